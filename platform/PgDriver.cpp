// The PostgreSQL driver: one read-only connection per open dataset, and a server-side cursor
// fetched in batches, so that a pass over millions of records holds one batch in memory.
#include "platform/Driver.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace zel {

namespace {

// Rows per FETCH. Larger batches save round trips, smaller ones memory; past a few thousand
// rows the round trips no longer show in the time of a pass (bench/SummarizeBench.cpp).
// The first batch is smaller, and later ones shrink when rows are wide (long texts, blobs),
// so that one batch stays near kBatchBytes whatever the table holds.
constexpr int kBatchRows = 10000;
constexpr int kFirstBatchRows = 1000;
constexpr int kMinBatchRows = 10;
constexpr std::int64_t kBatchBytes = 16 << 20;

constexpr const char* kCursorName = "zelstats_cursor";

// Type OIDs of the built-in types (catalog pg_type); they are fixed across server versions.
enum : Oid {
    kBoolOid = 16, kByteaOid = 17, kInt8Oid = 20, kInt2Oid = 21, kInt4Oid = 23, kTextOid = 25,
    kFloat4Oid = 700, kFloat8Oid = 701, kMoneyOid = 790, kBpcharOid = 1042, kVarcharOid = 1043,
    kDateOid = 1082, kTimestampOid = 1114, kTimestamptzOid = 1184, kNumericOid = 1700
};

TFieldType KindOfType(Oid type)
{
    switch (type) {
    case kInt2Oid: return TFieldType::ftSmallint;
    case kInt4Oid: return TFieldType::ftInteger;
    case kInt8Oid: return TFieldType::ftLargeint;
    case kFloat4Oid:
    case kFloat8Oid: return TFieldType::ftFloat;
    case kNumericOid: return TFieldType::ftBCD;
    case kMoneyOid: return TFieldType::ftCurrency;
    case kDateOid: return TFieldType::ftDate;
    case kTimestampOid:
    case kTimestamptzOid: return TFieldType::ftDateTime;
    case kBoolOid: return TFieldType::ftBoolean;
    case kByteaOid: return TFieldType::ftBlob;
    default: return TFieldType::ftString; // text, varchar, bpchar and every other type
    }
}

bool IsNumberKind(TFieldType kind)
{
    switch (kind) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftLargeint:
    case TFieldType::ftFloat:
    case TFieldType::ftBCD:
    case TFieldType::ftCurrency: return true;
    default: return false;
    }
}

// libpq's messages run over several lines ("server closed the connection unexpectedly\n\t
// This probably means..."); a message box wants one sentence.
std::string OneLine(const char* text)
{
    std::string line;
    bool space = false;
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p))) {
            space = !line.empty();
            continue;
        }
        if (space)
            line += ' ';
        space = false;
        line += *p;
    }
    return line.empty() ? "unknown error" : line;
}

// The server's own message: the primary text of a failed statement (without the "LINE 1:"
// excerpt, which would show the cursor statement wrapped around the caller's SQL), or the
// connection's message when the statement never got an answer (a lost connection).
std::string ServerMessage(PGconn* conn, const PGresult* result)
{
    if (result != nullptr) {
        const char* primary = PQresultErrorField(result, PG_DIAG_MESSAGE_PRIMARY);
        if (primary != nullptr && *primary != '\0') {
            std::string message = OneLine(primary);
            if (const char* detail = PQresultErrorField(result, PG_DIAG_MESSAGE_DETAIL))
                message += " (" + OneLine(detail) + ")";
            return message;
        }
    }
    // Failures found by libpq itself; the connection's message also keeps what the server
    // said last ("terminating connection due to administrator command").
    if (conn != nullptr && *PQerrorMessage(conn) != '\0')
        return OneLine(PQerrorMessage(conn));
    if (result != nullptr)
        return OneLine(PQresultErrorMessage(result));
    return "out of memory";
}

// The one place where a libpq failure becomes the data-access layer's exception.
[[noreturn]] void ThrowPgError(PGconn* conn, const PGresult* result, const std::string& what)
{
    throw EDatabaseError(what + ": " + ServerMessage(conn, result));
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnDeleter>;

bool IsIdentifierChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$'
           || static_cast<unsigned char>(c) >= 0x80;
}

// Scans SQL text the way the server's lexer splits it: ';' inside a string, a quoted name,
// a comment or a dollar-quoted body is no statement end. Returns the position of the first
// ';' that ends a statement, or npos. `blank` asks only whether the text holds nothing but
// white space and comments (then the return value is 0 for blank, npos otherwise).
std::size_t FindStatementEnd(const std::string& sql, bool blank)
{
    const std::size_t n = sql.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = sql[i];
        const char next = i + 1 < n ? sql[i + 1] : '\0';
        if (c == '-' && next == '-') {
            i = sql.find('\n', i);
            if (i == std::string::npos)
                return blank ? 0 : std::string::npos;
            continue;
        }
        if (c == '/' && next == '*') { // block comments nest
            int depth = 0;
            while (i < n) {
                if (sql.compare(i, 2, "/*") == 0) {
                    ++depth;
                    i += 2;
                } else if (sql.compare(i, 2, "*/") == 0) {
                    i += 2;
                    if (--depth == 0)
                        break;
                } else {
                    ++i;
                }
            }
            continue;
        }
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        if (blank)
            return std::string::npos;
        if (c == ';')
            return i;
        if (c == '\'' || c == '"') {
            // E'...' strings take backslash escapes; everywhere a doubled quote is one quote.
            const bool escapes = c == '\'' && i > 0 && (sql[i - 1] == 'E' || sql[i - 1] == 'e')
                                 && (i < 2 || !IsIdentifierChar(sql[i - 2]));
            for (++i; i < n; ++i) {
                if (escapes && sql[i] == '\\') {
                    ++i;
                } else if (sql[i] == c) {
                    if (i + 1 < n && sql[i + 1] == c)
                        ++i;
                    else
                        break;
                }
            }
            ++i;
            continue;
        }
        if (c == '$' && (i == 0 || !IsIdentifierChar(sql[i - 1]))) {
            // $tag$ ... $tag$; $1 is a parameter, not a quote.
            std::size_t t = i + 1;
            while (t < n && IsIdentifierChar(sql[t]) && sql[t] != '$'
                   && !(t == i + 1 && std::isdigit(static_cast<unsigned char>(sql[t]))))
                ++t;
            if (t < n && sql[t] == '$') {
                const std::string tag = sql.substr(i, t - i + 1);
                const std::size_t close = sql.find(tag, t + 1);
                i = close == std::string::npos ? n : close + tag.size();
                continue;
            }
        }
        if (IsIdentifierChar(c)) {
            while (i < n && IsIdentifierChar(sql[i]))
                ++i;
            continue;
        }
        ++i;
    }
    return blank ? 0 : std::string::npos;
}

// The caller's one statement, without its trailing ';'. More than one statement is refused:
// the text is placed inside DECLARE ... CURSOR FOR, where a second statement would run on its
// own outside the cursor.
std::string SingleStatement(const std::string& sql, const std::string& source)
{
    std::string statement = sql;
    const std::size_t end = FindStatementEnd(sql, false);
    if (end != std::string::npos) {
        if (FindStatementEnd(sql.substr(end + 1), true) != 0)
            throw EDatabaseError("Cannot open " + source
                                 + ": the SQL text must hold exactly one statement");
        statement.erase(end);
    }
    if (FindStatementEnd(statement, true) == 0)
        throw EDatabaseError("Cannot open " + source + ": the SQL text is empty");
    return statement;
}

// Money is sent as the session's lc_monetary writes it; the session sets 'C', where it reads
// "$1,234.56" or "-$1,234.56". Only the digits, the point and the sign are kept, so the value
// reads as its exact decimal number and never as text.
bool ParseMoney(const char* text, double& value)
{
    char digits[64];
    std::size_t length = 0;
    bool negative = false;
    bool any = false;
    for (const char* p = text; *p != '\0'; ++p) {
        const char c = *p;
        if (std::isdigit(static_cast<unsigned char>(c)) || c == '.') {
            if (length + 1 >= sizeof digits)
                return false;
            digits[length++] = c;
            any = any || c != '.';
        } else if (c == '-' || c == '(') {
            negative = true;
        } else if (c != '$' && c != ',' && c != ')' && c != ' ') {
            return false;
        }
    }
    if (!any)
        return false;
    auto [end, error] = std::from_chars(digits, digits + length, value);
    if (error != std::errc() || end != digits + length)
        return false;
    if (negative)
        value = -value;
    return true;
}

class PgCursor : public DataCursor {
public:
    PgCursor(const std::string& uri, const std::string& sql, const std::string& source)
        : source_(source),
          sql_(SingleStatement(sql, source_))
    {
        Connect(uri);
        Begin();
        Declare();
        ReadColumns();
    }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }

    void Rewind() override
    {
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            ThrowPgError(conn_.get(), nullptr, "Cannot read " + source_);
        // Nothing read since the cursor was declared (the first walk after opening): the
        // cursor already stands at the start.
        if (batchNumber_ == 0 && row_ == -1 && batch_ != nullptr && !atEnd_)
            return;
        if (PQtransactionStatus(conn_.get()) == PQTRANS_INTRANS) {
            Execute(std::string("CLOSE ") + kCursorName, PGRES_COMMAND_OK, "Cannot read ");
        } else {
            // An earlier failure (say a division by zero halfway) aborted the transaction.
            Execute("ROLLBACK", PGRES_COMMAND_OK, "Cannot read ");
            Begin();
        }
        Declare();
        FetchBatch(kFirstBatchRows);
    }

    bool Fetch() override
    {
        if (atEnd_)
            return false;
        if (++row_ < rows_)
            return true;
        // A short batch was the last one; a full one may be followed by more, or by none:
        // only the next (possibly empty) fetch tells.
        if (rows_ < requested_) {
            atEnd_ = true;
            return false;
        }
        FetchBatch(NextBatchRows());
        ++batchNumber_;
        row_ = 0;
        if (rows_ == 0) {
            atEnd_ = true;
            return false;
        }
        return true;
    }

    std::int64_t CountRecords() override
    {
        if (count_ >= 0)
            return count_;
        // The line breaks keep a trailing "-- comment" of the caller's SQL from swallowing
        // the closing parenthesis.
        Result result = Execute("SELECT count(*) FROM (\n" + sql_ + "\n) AS t", PGRES_TUPLES_OK,
                                "Cannot count the records of ");
        std::int64_t n = 0;
        const char* text = PQgetvalue(result.get(), 0, 0);
        std::from_chars(text, text + std::strlen(text), n);
        count_ = n;
        return count_;
    }

    bool IsNull(int column) const override
    {
        return PQgetisnull(batch_.get(), row_, column) != 0;
    }

    bool ReadDouble(int column, double& value) const override
    {
        const TFieldType kind = columns_[column].type;
        if (!IsNumberKind(kind))
            return false; // a NULL reads as "", which no parser below accepts
        const char* text = PQgetvalue(batch_.get(), row_, column);
        if (kind == TFieldType::ftCurrency)
            return ParseMoney(text, value);
        // Text results: integers, "1.5e+300", numeric's "123.4500", and float8's "NaN",
        // "Infinity" and "-Infinity", which from_chars reads as the non-finite doubles they
        // are. from_chars is locale independent, unlike strtod.
        const char* end = text + PQgetlength(batch_.get(), row_, column);
        auto [stop, error] = std::from_chars(text, end, value);
        return error == std::errc() && stop == end;
    }

    std::string ReadText(int column) const override
    {
        if (PQgetisnull(batch_.get(), row_, column))
            return std::string();
        const char* text = PQgetvalue(batch_.get(), row_, column);
        if (columns_[column].type == TFieldType::ftBoolean)
            return *text == 't' ? "True" : "False";
        if (columns_[column].type == TFieldType::ftBlob)
            return "(binary data)";
        return std::string(text, PQgetlength(batch_.get(), row_, column));
    }

private:
    void Connect(const std::string& uri)
    {
        // Settings that come before the URI are defaults the URI may override: a server that
        // is unreachable fails within seconds, and keepalives notice a server that went away
        // without closing the connection. No statement_timeout: a pass may be long.
        const char* keywords[] = {"connect_timeout", "keepalives", "keepalives_idle",
                                  "keepalives_interval", "keepalives_count",
                                  "fallback_application_name", "dbname", "client_encoding",
                                  nullptr};
        const char* values[] = {"10", "1", "10", "3", "3", "zelstats", uri.c_str(), "UTF8",
                                nullptr};
        conn_.reset(PQconnectdbParams(keywords, values, 1));
        if (conn_ == nullptr || PQstatus(conn_.get()) != CONNECTION_OK)
            ThrowPgError(conn_.get(), nullptr, "Cannot open " + source_);
        // Notices ("there is no transaction in progress") are no business of the application.
        PQsetNoticeProcessor(conn_.get(), [](void*, const char*) {}, nullptr);
        // Read-only for the whole session, whatever the URI's options say; money and dates
        // in the formats the readers here expect; floats written exactly; and cursors planned
        // for reading every row, which every pass does.
        Execute("SET default_transaction_read_only = on; SET lc_monetary = 'C'; "
                "SET DateStyle = 'ISO, YMD'; SET extra_float_digits = 3; "
                "SET cursor_tuple_fraction = 1.0",
                PGRES_COMMAND_OK, "Cannot open ");
    }

    // Read committed: each declared cursor takes its own snapshot, so that a walk started
    // anew sees the data as it is then, as a walk over an SQLite file does.
    void Begin()
    {
        Execute("BEGIN ISOLATION LEVEL READ COMMITTED READ ONLY", PGRES_COMMAND_OK,
                "Cannot open ");
    }

    void Declare()
    {
        batch_.reset();
        rows_ = 0;
        row_ = -1;
        batchNumber_ = 0;
        atEnd_ = false;
        Execute(std::string("DECLARE ") + kCursorName + " NO SCROLL CURSOR FOR\n" + sql_ + "\n",
                PGRES_COMMAND_OK, "Cannot open ");
    }

    void FetchBatch(int rows)
    {
        batch_ = Execute("FETCH " + std::to_string(rows) + " FROM " + kCursorName,
                         PGRES_TUPLES_OK, "Cannot read ");
        requested_ = rows;
        rows_ = PQntuples(batch_.get());
        row_ = -1;
    }

    // The size of the next batch, from the width of the rows of the last one (a sample of
    // about a hundred rows tells it well enough).
    int NextBatchRows() const
    {
        std::int64_t bytes = 0;
        std::int64_t sampled = 0;
        const int columns = PQnfields(batch_.get());
        const int stride = std::max(1, rows_ / 100);
        for (int r = 0; r < rows_; r += stride, ++sampled) {
            for (int c = 0; c < columns; ++c)
                bytes += PQgetlength(batch_.get(), r, c) + 16; // plus libpq's own share
        }
        if (bytes == 0)
            return kBatchRows;
        const std::int64_t fit = kBatchBytes * sampled / bytes;
        return static_cast<int>(std::clamp<std::int64_t>(fit, kMinBatchRows, kBatchRows));
    }

    // The first batch arrives with the column descriptions; it is kept for the first walk.
    void ReadColumns()
    {
        FetchBatch(kFirstBatchRows);
        const int count = PQnfields(batch_.get());
        for (int i = 0; i < count; ++i)
            columns_.push_back({PQfname(batch_.get(), i), KindOfType(PQftype(batch_.get(), i))});
    }

    Result Execute(const std::string& statement, ExecStatusType expected, const char* what)
    {
        Result result(PQexec(conn_.get(), statement.c_str()));
        if (result == nullptr || PQresultStatus(result.get()) != expected)
            ThrowPgError(conn_.get(), result.get(), what + source_);
        return result;
    }

    std::string source_;
    std::string sql_;
    Connection conn_;
    std::vector<ColumnInfo> columns_;
    Result batch_;
    int requested_ = 0;
    int rows_ = 0;
    int row_ = -1;
    std::int64_t batchNumber_ = 0;
    bool atEnd_ = false;
    std::int64_t count_ = -1;
};

// One part of a table name: "quoted" parts keep their text, others fold to lower case as the
// server folds unquoted names, so a table created as Employee is found as Employee.
std::string NamePart(const std::string& table, std::size_t& i)
{
    std::string part;
    if (i < table.size() && table[i] == '"') {
        for (++i; i < table.size(); ++i) {
            if (table[i] == '"') {
                if (i + 1 < table.size() && table[i + 1] == '"')
                    ++i;
                else {
                    ++i;
                    break;
                }
            }
            part += table[i];
        }
        return part;
    }
    for (; i < table.size() && table[i] != '.'; ++i) {
        const char c = table[i];
        part += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return part;
}

} // namespace

std::unique_ptr<DataCursor> OpenPgCursor(const std::string& uri, const std::string& sql,
                                         const std::string& source)
{
    return std::make_unique<PgCursor>(uri, sql, source);
}

std::string QuotePgTableName(const std::string& table)
{
    std::string quoted;
    std::size_t i = 0;
    do {
        if (!quoted.empty()) {
            ++i; // the '.' between the parts
            quoted += '.';
        }
        quoted += QuoteIdentifier(NamePart(table, i));
        if (i < table.size() && table[i] != '.')
            throw EDatabaseError("The table name " + table
                                 + " is not valid: a quoted part must end at a '.' or at the end");
    } while (i < table.size());
    return quoted;
}

} // namespace zel
