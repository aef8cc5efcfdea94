// The PostgreSQL driver: one read-only connection per open dataset, and a server-side cursor
// fetched in batches, so that a pass over millions of records holds one batch in memory.
// Connection strings go through libpq's own parser, and every message shows them without
// their passwords.
#include "data/Driver.h"

#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>

namespace zel {

namespace {

// Rows per FETCH. Larger batches save round trips, smaller ones memory; past a few thousand
// rows the round trips no longer show in the time of a pass (bench/SummarizeBench.cpp).
// A walk starts with one row, as nothing tells the width of the rows before one arrives, and
// each batch may be up to kBatchGrowth times the last; every batch is then cut to what fits
// kBatchBytes at the width of the widest row of the last one, but never below one row. So a
// table of 4 MB texts is read a row at a time, and one of numbers in full batches after five
// round trips.
constexpr int kBatchRows = 10000;
constexpr int kFirstBatchRows = 1;
constexpr int kBatchGrowth = 8;
constexpr std::int64_t kBatchBytes = 4 << 20;
// What libpq keeps beside each value (its length, its pointer, a terminating zero) and each row.
constexpr std::int64_t kValueOverhead = 16;
constexpr std::int64_t kRowOverhead = 16;

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

// The text with every occurrence of a secret replaced by "***". A secret of one or two
// characters is replaced only where it stands alone (between non-alphanumeric characters, as
// libpq quotes a value it echoes), so that a password "a" does not turn every message into
// asterisks.
std::string Scrubbed(std::string text, const std::vector<std::string>& secrets)
{
    for (const std::string& secret : secrets) {
        if (secret.empty())
            continue;
        const auto isWord = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
        for (std::size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at)) {
            const std::size_t end = at + secret.size();
            const bool alone = (at == 0 || !isWord(text[at - 1]))
                               && (end == text.size() || !isWord(text[end]));
            if (secret.size() >= 3 || alone) {
                text.replace(at, secret.size(), "***");
                at += 3;
            } else {
                ++at;
            }
        }
    }
    return text;
}

// The one place where a libpq failure becomes the data-access layer's exception. libpq's and
// the server's texts may echo a value of the connection string (an option it cannot read, a
// database name), so the secrets are taken out of them.
[[noreturn]] void ThrowPgError(PGconn* conn, const PGresult* result, const std::string& what,
                               const std::vector<std::string>& secrets)
{
    throw EDatabaseError(Scrubbed(what + ": " + ServerMessage(conn, result), secrets));
}

struct ResultDeleter {
    void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
};
using Connection = std::unique_ptr<PGconn, ConnDeleter>;

// --- Connection strings

struct OptionsDeleter {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using Options = std::unique_ptr<PQconninfoOption, OptionsDeleter>;

// How a connection string that libpq cannot parse appears in messages.
constexpr const char* kUnreadableConnection = "(unreadable PostgreSQL connection string)";

// A connection string as libpq's parser reads it.
struct ConnectionSpec {
    bool valid = false;
    // The options set, in libpq's order, passwords included; for PQconnectdbParams.
    std::vector<std::pair<std::string, std::string>> options;
    // Values never to show: passwords, and their percent-encoded forms.
    std::vector<std::string> secrets;
    // The connection as a URI without its passwords, or kUnreadableConnection.
    std::string display;
};

std::string PercentEncoded(const std::string& text)
{
    static const char* const kHex = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        // '*' too, so that a value with a secret taken out reads as such.
        if (std::isalnum(u) || c == '-' || c == '.' || c == '_' || c == '~' || c == '*') {
            encoded += c;
        } else {
            encoded += '%';
            encoded += kHex[u >> 4];
            encoded += kHex[u & 15];
        }
    }
    return encoded;
}

bool IsPlainHost(const std::string& host)
{
    return !host.empty() && host.find_first_of(",/:[]@?#%") == std::string::npos;
}

bool IsDigits(const std::string& text)
{
    return !text.empty()
           && std::all_of(text.begin(), text.end(),
                          [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

ConnectionSpec ParseConnection(const std::string& text, int depth = 0)
{
    ConnectionSpec spec;
    spec.display = kUnreadableConnection;
    // libpq recognises the URI scheme only in lower case; a URI written POSTGRESQL:// would
    // otherwise be read as a key=value string and fail.
    std::string normalized = text;
    const std::size_t scheme = normalized.find("://");
    if (scheme != std::string::npos) {
        std::string name = normalized.substr(0, scheme);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name == "postgresql" || name == "postgres")
            normalized.replace(0, scheme, name);
    }
    char* error = nullptr;
    Options options(PQconninfoParse(normalized.c_str(), &error));
    // libpq's parse errors quote the text around the fault, which may be the password: they
    // are never shown.
    PQfreemem(error);
    if (options == nullptr)
        return spec;

    // First the options and the secrets, then the display, so that a secret is taken out of
    // every value shown, whatever the order of the options.
    std::vector<std::pair<std::string, std::string>> shown;
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val == nullptr || *o->val == '\0')
            continue;
        const std::string keyword = o->keyword;
        const std::string value = o->val;
        spec.options.emplace_back(keyword, value);
        // libpq marks its secret options (password, sslpassword) with the display
        // character '*'.
        if (o->dispchar != nullptr && std::strchr(o->dispchar, '*') != nullptr) {
            spec.secrets.push_back(value);
            spec.secrets.push_back(PercentEncoded(value));
            continue;
        }
        if (keyword == "dbname" && depth == 0
            && (value.find('=') != std::string::npos || value.find("://") != std::string::npos)) {
            // A connection string given as a database name: its password is secret too.
            ConnectionSpec inner = ParseConnection(value, depth + 1);
            if (!inner.valid)
                spec.secrets.push_back(value);
            spec.secrets.insert(spec.secrets.end(), inner.secrets.begin(), inner.secrets.end());
        }
        shown.emplace_back(keyword, value);
    }

    std::string user, host, port, dbname, query;
    for (auto& [keyword, raw] : shown) {
        const std::string value = Scrubbed(raw, spec.secrets);
        if (keyword == "user")
            user = value;
        else if (keyword == "host" && IsPlainHost(value))
            host = value;
        else if (keyword == "port" && IsDigits(value))
            port = value;
        else if (keyword == "dbname")
            dbname = value;
        else
            query += (query.empty() ? "?" : "&") + keyword + "=" + PercentEncoded(value);
    }
    // A port goes beside its host, or among the parameters when there is no plain host.
    if (host.empty() && !port.empty())
        query += (query.empty() ? "?" : "&") + std::string("port=") + port;
    std::string display = "postgresql://";
    if (!user.empty())
        display += PercentEncoded(user) + "@";
    display += host;
    if (!host.empty() && !port.empty())
        display += ":" + port;
    display += "/" + PercentEncoded(dbname) + query;
    spec.display = Scrubbed(display, spec.secrets);
    spec.valid = true;
    return spec;
}

// --- Cancelling from a signal handler

// One slot per open connection that can be cancelled: its PGcancel, made when it connected.
// A fixed array of lock-free atomics, so that the signal handler neither allocates nor locks;
// a connection that finds every slot taken cannot be cancelled, and says nothing of it.
constexpr int kCancelSlots = 128;
std::atomic<PGcancel*> gCancelSlots[kCancelSlots];
// Cancel requests running now; a slot's PGcancel is freed only when none is.
std::atomic<int> gCancelling{0};
// Counts the calls of CancelServerQueries; a connection whose count at opening differs is
// cancelled.
std::atomic<unsigned> gCancelGeneration{0};
static_assert(std::atomic<PGcancel*>::is_always_lock_free && std::atomic<int>::is_always_lock_free
              && std::atomic<unsigned>::is_always_lock_free);

// A connection's slot, from its opening to its closing.
class CancelRegistration {
public:
    CancelRegistration() = default;
    CancelRegistration(const CancelRegistration&) = delete;
    CancelRegistration& operator=(const CancelRegistration&) = delete;
    ~CancelRegistration() { Release(); }

    void Register(PGconn* conn)
    {
        PGcancel* cancel = PQgetCancel(conn);
        if (cancel == nullptr)
            return;
        for (int i = 0; i < kCancelSlots; ++i) {
            PGcancel* empty = nullptr;
            if (gCancelSlots[i].compare_exchange_strong(empty, cancel)) {
                slot_ = i;
                return;
            }
        }
        PQfreeCancel(cancel);
    }

    void Release() noexcept
    {
        if (slot_ < 0)
            return;
        PGcancel* cancel = gCancelSlots[slot_].exchange(nullptr);
        slot_ = -1;
        // A handler that took the PGcancel before the exchange may still be sending with it.
        // A handler running on this very thread has returned before this line runs.
        while (gCancelling.load() != 0)
            std::this_thread::yield();
        PQfreeCancel(cancel);
    }

private:
    int slot_ = -1;
};

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

// A column the walks read alone comes in binary when the server's binary form of its type is
// a plain big-endian number: no text to write on the server and to parse here. A float8
// comes as its own bits, as exact as its text with extra_float_digits 3.
bool ReadsInBinary(Oid type)
{
    return type == kFloat8Oid || type == kInt8Oid || type == kInt4Oid || type == kInt2Oid;
}

std::uint64_t BigEndian(const char* bytes, int length)
{
    std::uint64_t value = 0;
    for (int i = 0; i < length; ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[i]);
    return value;
}

// A binary value of a type ReadsInBinary accepts as the double it stands for; false when its
// length is not the type's.
bool BinaryNumber(Oid type, const char* bytes, int length, double& value)
{
    switch (type) {
    case kFloat8Oid:
        if (length != 8)
            return false;
        value = std::bit_cast<double>(BigEndian(bytes, 8));
        return true;
    case kInt8Oid:
        if (length != 8)
            return false;
        value = static_cast<double>(static_cast<std::int64_t>(BigEndian(bytes, 8)));
        return true;
    case kInt4Oid:
        if (length != 4)
            return false;
        value = static_cast<std::int32_t>(static_cast<std::uint32_t>(BigEndian(bytes, 4)));
        return true;
    case kInt2Oid:
        if (length != 2)
            return false;
        value = static_cast<std::int16_t>(static_cast<std::uint16_t>(BigEndian(bytes, 2)));
        return true;
    default: return false;
    }
}

// The bytes of a bytea as the server writes them: "\x4142" (bytea_output hex), or with
// octal escapes "\101\102" and "\\" for a backslash (bytea_output escape).
std::string ByteaBytes(const char* text, int length)
{
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    std::string bytes;
    if (length >= 2 && text[0] == '\\' && text[1] == 'x') {
        for (int i = 2; i + 1 < length; i += 2)
            bytes += static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1]));
        return bytes;
    }
    for (int i = 0; i < length; ++i) {
        if (text[i] == '\\' && i + 3 < length && text[i + 1] != '\\') {
            bytes += static_cast<char>((text[i + 1] - '0') << 6 | (text[i + 2] - '0') << 3
                                       | (text[i + 3] - '0'));
            i += 3;
        } else {
            bytes += text[i];
            i += text[i] == '\\'; // "\\"
        }
    }
    return bytes;
}

// A binary value as the server writes its text (extra_float_digits 3): integers in digits;
// floats "NaN", "Infinity" and "-Infinity", and otherwise their shortest exact digits, in
// fixed notation when the first digit's decimal exponent is from -4 to 14, else as
// "1.5e+300" or "1e-05".
std::string BinaryText(Oid type, const char* bytes, int length)
{
    double value = 0.0;
    if (!BinaryNumber(type, bytes, length, value))
        return std::string(bytes, length);
    char text[64];
    if (type != kFloat8Oid) {
        const std::int64_t whole = type == kInt8Oid
                                       ? static_cast<std::int64_t>(BigEndian(bytes, 8))
                                       : static_cast<std::int64_t>(value);
        return std::string(text, std::to_chars(text, text + sizeof text, whole).ptr);
    }
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "Infinity" : "-Infinity";
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* e = std::find(text + 0, end, 'e');
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
    if (exponent >= -4 && exponent < 15)
        end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
    return std::string(text + 0, end);
}

class PgCursor : public DataCursor {
public:
    // `table` is the quoted name of the table the SQL text reads whole, or empty for a query,
    // whose text is kept as it is.
    PgCursor(const ConnectionSpec& connection, const std::string& sql, std::string table,
             const std::string& source)
        : source_(source),
          secrets_(connection.secrets),
          sql_(SingleStatement(sql, source_)),
          table_(std::move(table)),
          generation_(gCancelGeneration.load())
    {
        Connect(connection);
        StartTransaction();
        txn_ = Txn::Walk;
        Declare(-1);
        FetchBatch(kFirstBatchRows);
        ReadColumns();
        fresh_ = true;
    }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }

    void Rewind() override
    {
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            Fail(nullptr, "Cannot read ");
        const int wanted = table_.empty() ? -1 : restrictTo_;
        if (snapshot_) {
            EnsureSnapshot();
            // The cursor declared at opening, when the snapshot took over its transaction.
            if (fresh_ && selected_ == wanted)
                return;
            if (declared_)
                Execute(std::string("CLOSE ") + kCursorName, PGRES_COMMAND_OK, "Cannot read ");
        } else {
            // Nothing read since the cursor was declared at opening: it stands at the start.
            if (fresh_ && selected_ == wanted)
                return;
            // A transaction per walk, so that each walk sees the data as it is when it starts;
            // this also ends one that an earlier failure (a division by zero halfway) aborted.
            StartTransaction();
            txn_ = Txn::Walk;
        }
        Declare(wanted);
        FetchBatch(kFirstBatchRows);
    }

    bool Fetch() override
    {
        if (atEnd_)
            return false;
        fresh_ = false;
        if (++row_ < rows_)
            return true;
        // A short batch was the last one; a full one may be followed by more, or by none:
        // only the next (possibly empty) fetch tells.
        if (rows_ < requested_) {
            atEnd_ = true;
            return false;
        }
        FetchBatch(NextBatchRows());
        if (rows_ == 0) {
            atEnd_ = true;
            return false;
        }
        row_ = 0;
        return true;
    }

    std::int64_t CountRecords() override
    {
        if (count_ >= 0)
            return count_;
        if (snapshot_) {
            EnsureSnapshot();
        } else if (PQtransactionStatus(conn_.get()) == PQTRANS_INERROR) {
            Execute("ROLLBACK", PGRES_COMMAND_OK, "Cannot count the records of ");
            EndedTransaction();
        }
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

    void BeginSnapshot() override
    {
        snapshot_ = true;
        count_ = -1;
        // Right after opening, the open transaction has read nothing but the declared cursor,
        // so its snapshot is the cursor's: the read snapshot takes it over, and the first walk
        // reads the batch already here. Otherwise the first Rewind or count starts one.
        if (fresh_ && txn_ == Txn::Walk && PQtransactionStatus(conn_.get()) == PQTRANS_INTRANS)
            txn_ = Txn::Snapshot;
    }

    void EndSnapshot() override
    {
        snapshot_ = false;
        count_ = -1;
        // Nothing is held until the next walk: no snapshot that keeps old row versions from
        // vacuum, no lock that keeps a writer's ALTER TABLE waiting. The current batch stays,
        // so the current record can still be read.
        if (txn_ != Txn::None && PQstatus(conn_.get()) == CONNECTION_OK)
            PQclear(PQexec(conn_.get(), "ROLLBACK"));
        EndedTransaction();
    }

    void RestrictToColumn(int column) noexcept override
    {
        restrictTo_ = column >= 0 && column < static_cast<int>(columns_.size()) ? column : -1;
    }

    bool IsNull(int column) const override
    {
        return PQgetisnull(batch_.get(), row_, ResultColumn(column)) != 0;
    }

    bool ReadDouble(int column, double& value) const override
    {
        const TFieldType kind = columns_[column].type;
        if (!IsNumberKind(kind))
            return false; // a NULL reads as "", which no parser below accepts
        const int field = ResultColumn(column);
        // PQgetvalue gives a null pointer for a column the result does not hold.
        const char* text = PQgetvalue(batch_.get(), row_, field);
        if (text == nullptr)
            return false;
        if (binary_) {
            return !PQgetisnull(batch_.get(), row_, field)
                   && BinaryNumber(types_[column], text, PQgetlength(batch_.get(), row_, field),
                                   value);
        }
        if (kind == TFieldType::ftCurrency)
            return ParseMoney(text, value);
        // Text results: integers, "1.5e+300", numeric's "123.4500", and float8's "NaN",
        // "Infinity" and "-Infinity", which from_chars reads as the non-finite doubles they
        // are. from_chars is locale independent, unlike strtod.
        const char* end = text + PQgetlength(batch_.get(), row_, field);
        auto [stop, error] = std::from_chars(text, end, value);
        return error == std::errc() && stop == end;
    }

    std::string ReadText(int column) const override
    {
        const int field = ResultColumn(column);
        if (PQgetisnull(batch_.get(), row_, field))
            return std::string();
        const char* text = PQgetvalue(batch_.get(), row_, field);
        if (binary_ && text != nullptr)
            return BinaryText(types_[column], text, PQgetlength(batch_.get(), row_, field));
        if (columns_[column].type == TFieldType::ftBoolean)
            return *text == 't' ? "True" : "False";
        if (columns_[column].type == TFieldType::ftBlob)
            return "(binary data)";
        return std::string(text, PQgetlength(batch_.get(), row_, field));
    }

    TGroupKey ReadKey(int column) const override
    {
        const int field = ResultColumn(column);
        if (types_[column] != kByteaOid || PQgetisnull(batch_.get(), row_, field))
            return DataCursor::ReadKey(column);
        return TGroupKey::Blob(ByteaBytes(PQgetvalue(batch_.get(), row_, field),
                                          PQgetlength(batch_.get(), row_, field)));
    }

    bool ComputesOnServer() const override { return true; }

    std::string ServerRelation() const override
    {
        if (!table_.empty())
            return table_ + " AS zel_rows";
        // The line breaks keep a trailing "-- comment" of the caller's SQL from swallowing
        // the closing parenthesis.
        return "(\n" + sql_ + "\n) AS zel_rows";
    }

    bool ServerColumnSql(int column, std::string& value, std::string& decimal) const override
    {
        const std::string name = "zel_rows." + QuoteIdentifier(columns_.at(column).name);
        // Each value as ReadDouble reads it from the text the server sends: float4 and money
        // go through that text too, as float4's widening to float8 would keep binary digits
        // the shortest text leaves out, and money has no cast to float8. Integers, numeric
        // and money are summed exactly as they are; floats have no exact cast to numeric
        // (float8's rounds to 15 digits) and are summed by their parts (stats/ServerSummary).
        switch (types_.at(column)) {
        case kInt2Oid:
        case kInt4Oid:
        case kInt8Oid:
        case kNumericOid:
            value = name + "::float8";
            decimal = name;
            return true;
        case kFloat8Oid:
            value = name;
            decimal.clear();
            return true;
        case kFloat4Oid:
            value = name + "::text::float8";
            decimal.clear();
            return true;
        case kMoneyOid:
            value = name + "::numeric::float8";
            decimal = name + "::numeric";
            return true;
        default:
            return false;
        }
    }

    ServerRows ServerSelect(const std::string& sql, const std::vector<std::string>& params,
                            ServerPlan plan) override
    {
        if (PQstatus(conn_.get()) != CONNECTION_OK)
            Fail(nullptr, "Cannot read ");
        if (snapshot_) {
            EnsureSnapshot();
        } else {
            StartTransaction();
            txn_ = Txn::Walk;
        }
        // Parallel workers each read a part of the table, and a Gather hands on their rows
        // as they come; a single reader hands them on in the order a cursor reads them. A
        // synchronized scan of a large table starts where the last scan that stopped early
        // (a LIMIT) left off, not at its first page. SET LOCAL would last to the end of the
        // transaction, so the settings are reset after the statement.
        const bool inScanOrder = plan == ServerPlan::InScanOrder;
        if (inScanOrder)
            Execute("SET LOCAL max_parallel_workers_per_gather = 0; "
                    "SET LOCAL synchronize_seqscans = off",
                    PGRES_COMMAND_OK, "Cannot read ");
        std::vector<const char*> values;
        for (const std::string& param : params)
            values.push_back(param.c_str());
        if (gCancelGeneration.load(std::memory_order_relaxed) != generation_)
            throw EDatabaseError("Cannot read " + source_ + ": the query was cancelled");
        Result result(PQexecParams(conn_.get(), sql.c_str(), static_cast<int>(values.size()),
                                   nullptr, values.data(), nullptr, nullptr, 0));
        if (result == nullptr || PQresultStatus(result.get()) != PGRES_TUPLES_OK)
            Fail(result.get(), "Cannot read ");
        if (inScanOrder)
            Execute("RESET max_parallel_workers_per_gather; RESET synchronize_seqscans",
                    PGRES_COMMAND_OK, "Cannot read ");
        ServerRows rows(PQntuples(result.get()));
        const int columns = PQnfields(result.get());
        for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
            rows[r].resize(columns);
            for (int c = 0; c < columns; ++c) {
                if (!PQgetisnull(result.get(), r, c))
                    rows[r][c].emplace(PQgetvalue(result.get(), r, c),
                                       PQgetlength(result.get(), r, c));
            }
        }
        return rows;
    }

private:
    // The transaction the connection is in: none, one for the current walk, or the read
    // snapshot's.
    enum class Txn { None, Walk, Snapshot };

    void Connect(const ConnectionSpec& connection)
    {
        // Settings that come before the user's are defaults they may override: a server that
        // is unreachable fails within seconds, and a server that went away without closing
        // the connection is noticed within 30 s: by keepalives while waiting for an answer
        // (10 s idle, then 3 probes 3 s apart: 19 s), and by tcp_user_timeout while a request
        // stays unacknowledged. No statement_timeout: a pass may be long.
        std::vector<const char*> keywords = {"connect_timeout", "keepalives", "keepalives_idle",
                                             "keepalives_interval", "keepalives_count",
                                             "tcp_user_timeout", "fallback_application_name"};
        std::vector<const char*> values = {"10", "1", "10", "3", "3", "30000", "zelstats"};
        for (const auto& [keyword, value] : connection.options) {
            keywords.push_back(keyword.c_str());
            values.push_back(value.c_str());
        }
        // The readers here expect UTF-8, whatever the user's options say.
        keywords.push_back("client_encoding");
        values.push_back("UTF8");
        keywords.push_back(nullptr);
        values.push_back(nullptr);
        // The options are already parsed: expand_dbname 0 keeps a database name that looks
        // like a connection string from being parsed once more.
        conn_.reset(PQconnectdbParams(keywords.data(), values.data(), 0));
        if (conn_ == nullptr || PQstatus(conn_.get()) != CONNECTION_OK)
            Fail(nullptr, "Cannot open ");
        cancel_.Register(conn_.get());
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

    // Ends whatever transaction went before and starts one. Repeatable read, so that the
    // walks and counts in it read one snapshot, taken by its first statement.
    void StartTransaction()
    {
        const char* begin = "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY";
        if (PQtransactionStatus(conn_.get()) == PQTRANS_IDLE)
            Execute(begin, PGRES_COMMAND_OK, "Cannot read ");
        else
            Execute(std::string("ROLLBACK; ") + begin, PGRES_COMMAND_OK, "Cannot read ");
        EndedTransaction();
    }

    void EndedTransaction()
    {
        txn_ = Txn::None;
        declared_ = false;
        fresh_ = false;
    }

    // The read snapshot's transaction, started if it is not yet. A failed statement aborts a
    // transaction, and the snapshot ends with it: the walks of this summary can no longer
    // read the same rows, so they fail rather than read others.
    void EnsureSnapshot()
    {
        if (txn_ == Txn::Snapshot) {
            if (PQtransactionStatus(conn_.get()) != PQTRANS_INTRANS)
                throw EDatabaseError("Cannot read " + source_
                                     + ": an earlier failure ended the read snapshot of this "
                                       "summary; run the summary again");
            return;
        }
        StartTransaction();
        txn_ = Txn::Snapshot;
    }

    // The cursor over the SQL text, or over one column of the table.
    void Declare(int column)
    {
        batch_.reset();
        rows_ = 0;
        row_ = -1;
        requested_ = 0;
        atEnd_ = false;
        fresh_ = false;
        const std::string select =
            column < 0 ? sql_
                       : "SELECT " + QuoteIdentifier(columns_[column].name) + " FROM " + table_;
        Execute(std::string("DECLARE ") + kCursorName + " NO SCROLL CURSOR FOR\n" + select + "\n",
                PGRES_COMMAND_OK, "Cannot open ");
        declared_ = true;
        selected_ = column;
        binary_ = column >= 0 && ReadsInBinary(types_[column]);
    }

    void FetchBatch(int rows)
    {
        if (!declared_)
            throw EDatabaseError("Cannot read " + source_
                                 + ": the walk was ended by the end of its read snapshot or "
                                   "by an earlier failure; start it again");
        // The last batch goes before the next arrives: one batch in memory at a time.
        batch_.reset();
        rows_ = 0;
        const std::string fetch = "FETCH " + std::to_string(rows) + " FROM " + kCursorName;
        if (binary_) {
            if (gCancelGeneration.load(std::memory_order_relaxed) != generation_)
                throw EDatabaseError("Cannot read " + source_ + ": the query was cancelled");
            Result result(PQexecParams(conn_.get(), fetch.c_str(), 0, nullptr, nullptr,
                                       nullptr, nullptr, 1));
            if (result == nullptr || PQresultStatus(result.get()) != PGRES_TUPLES_OK)
                Fail(result.get(), "Cannot read ");
            batch_ = std::move(result);
        } else {
            batch_ = Execute(fetch, PGRES_TUPLES_OK, "Cannot read ");
        }
        requested_ = rows;
        rows_ = PQntuples(batch_.get());
        row_ = -1;
    }

    // The size of the next batch: what fits kBatchBytes at the width of the widest row of the
    // last batch, at most kBatchGrowth times the last request.
    int NextBatchRows() const
    {
        std::int64_t widest = 0;
        const int columns = PQnfields(batch_.get());
        for (int r = 0; r < rows_; ++r) {
            std::int64_t bytes = kRowOverhead;
            for (int c = 0; c < columns; ++c)
                bytes += PQgetlength(batch_.get(), r, c) + kValueOverhead;
            widest = std::max(widest, bytes);
        }
        const std::int64_t fit = kBatchBytes / std::max<std::int64_t>(widest, 1);
        const std::int64_t most =
            std::min<std::int64_t>(kBatchRows, std::int64_t{requested_} * kBatchGrowth);
        return static_cast<int>(std::clamp<std::int64_t>(fit, 1, most));
    }

    // The first batch arrives with the column descriptions.
    void ReadColumns()
    {
        const int count = PQnfields(batch_.get());
        for (int i = 0; i < count; ++i) {
            columns_.push_back({PQfname(batch_.get(), i), KindOfType(PQftype(batch_.get(), i))});
            types_.push_back(PQftype(batch_.get(), i));
        }
    }

    // The result column of a column of Columns(): while the cursor selects one column, that
    // column is the result's only one, and any other reads as absent (libpq answers null for
    // a column out of range).
    int ResultColumn(int column) const
    {
        if (selected_ < 0)
            return column;
        return column == selected_ ? 0 : -1;
    }

    Result Execute(const std::string& statement, ExecStatusType expected, const char* what)
    {
        if (gCancelGeneration.load(std::memory_order_relaxed) != generation_)
            throw EDatabaseError(what + source_ + ": the query was cancelled");
        Result result(PQexec(conn_.get(), statement.c_str()));
        if (result == nullptr || PQresultStatus(result.get()) != expected)
            Fail(result.get(), what);
        return result;
    }

    [[noreturn]] void Fail(const PGresult* result, const char* what)
    {
        ThrowPgError(conn_.get(), result, what + source_, secrets_);
    }

    std::string source_;
    std::vector<std::string> secrets_;
    std::string sql_;
    std::string table_;
    unsigned generation_;
    Connection conn_;
    // After conn_, so that the slot is given up before the connection closes.
    CancelRegistration cancel_;
    std::vector<ColumnInfo> columns_;
    std::vector<Oid> types_; // the server's type of each column
    Result batch_;
    int requested_ = 0;
    int rows_ = 0;
    int row_ = -1;
    bool atEnd_ = false;
    std::int64_t count_ = -1;

    Txn txn_ = Txn::None;
    bool snapshot_ = false;
    // A cursor is declared in the current transaction.
    bool declared_ = false;
    // The cursor declared at opening, with its first batch, and nothing read from it yet.
    bool fresh_ = false;
    // The column the declared cursor selects alone, or -1 for the whole SQL text.
    int selected_ = -1;
    // The declared cursor's results come in binary (ReadsInBinary of the selected column).
    bool binary_ = false;
    // The column the next walk selects alone, or -1.
    int restrictTo_ = -1;
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

namespace {

ConnectionSpec ReadConnection(const std::string& connection, const std::string& source)
{
    ConnectionSpec spec = ParseConnection(connection);
    if (!spec.valid)
        throw EDatabaseError("Cannot open " + source
                             + ": libpq cannot parse it; write it as "
                               "postgresql://user@host:port/database?parameters or as "
                               "key=value pairs");
    return spec;
}

} // namespace

std::unique_ptr<DataCursor> OpenPgCursor(const std::string& connection, const std::string& sql,
                                         const std::string& source,
                                         const CursorOptions& /*options*/)
{
    return std::make_unique<PgCursor>(ReadConnection(connection, source), sql, std::string(),
                                      source);
}

std::unique_ptr<DataCursor> OpenPgTableCursor(const std::string& connection,
                                              const std::string& table, const std::string& source,
                                              const CursorOptions& /*options*/)
{
    const std::string quoted = QuotePgTableName(table);
    return std::make_unique<PgCursor>(ReadConnection(connection, source), "SELECT * FROM " + quoted,
                                      quoted, source);
}

std::string PgDisplayName(const std::string& connection)
{
    return ParseConnection(connection).display;
}

void CancelServerQueries() noexcept
{
    gCancelling.fetch_add(1);
    gCancelGeneration.fetch_add(1);
    for (auto& slot : gCancelSlots) {
        if (PGcancel* cancel = slot.load()) {
            // PQcancel is safe in a signal handler when given its own buffer for the error.
            char error[256];
            PQcancel(cancel, error, sizeof error);
        }
    }
    gCancelling.fetch_sub(1);
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
