// The Qt SQL driver: datasets over a connection the application opened with Qt (QSqlDatabase),
// and over mysql:// and mariadb:// URLs, which open a connection of their own through Qt's
// QMYSQL driver. The walks run on the caller's thread and connection.
//
// Qt's QMYSQL driver keeps the whole result on the client, forward-only or not: a plain query
// ends in mysql_store_result, a prepared one in mysql_stmt_store_result: a forward-only read
// of 1,000,000 records of one double peaked 35 to 45 MB above one of 100,000. MariaDB and MySQL
// connections are therefore read through the client library under Qt's own handle, with a
// prepared statement's server-side cursor fetched in batches (bench/peak-memory-mariadb.sh:
// the same peak on 100,000 and on 10,000,000 records). Every other Qt driver is walked
// with a forward-only QSqlQuery, which for QSQLITE steps one row at a time.
#include "data/Driver.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <mysql.h>
#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstring>

namespace zel {

namespace {

constexpr std::string_view kConnectionPrefix = "qtsql:";

// Rows per server-side fetch. Each batch is one round trip; past a few thousand rows the round
// trips no longer show in the time of a pass (bench/QtSqlBench.cpp), and a batch of narrow
// rows stays well under a megabyte.
constexpr unsigned long kPrefetchRows = 4096;
// Text columns are fetched into a buffer of this size; a longer value is fetched again whole
// when it is read (mysql_stmt_fetch_column), so one long text costs no more than itself.
constexpr unsigned long kTextBuffer = 256;

std::string ToStd(const QString& text) { return text.toStdString(); }

// The database's own message, else the driver's ("Unable to execute statement").
std::string QtMessage(const QSqlError& error)
{
    std::string text = ToStd(error.databaseText().trimmed());
    if (text.empty())
        text = ToStd(error.driverText().trimmed());
    return text.empty() ? "unknown error" : text;
}

// The one place where a Qt SQL failure becomes the data-access layer's exception.
[[noreturn]] void ThrowQtError(const QSqlError& error, const std::string& what)
{
    throw EDatabaseError(what + ": " + QtMessage(error));
}

// The one place where a failure of the MariaDB client library becomes the exception.
[[noreturn]] void ThrowMysqlError(const char* message, const std::string& what)
{
    throw EDatabaseError(what + ": " + (message != nullptr && *message != '\0' ? message
                                                                               : "unknown error"));
}

bool IsNumberKind(TFieldType kind)
{
    switch (kind) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftWord:
    case TFieldType::ftLargeint:
    case TFieldType::ftFloat:
    case TFieldType::ftBCD:
    case TFieldType::ftCurrency: return true;
    default: return false;
    }
}

// A whole decimal text as a number; from_chars is locale independent, unlike strtod.
bool ParseNumber(const char* text, std::size_t length, double& value)
{
    auto [stop, error] = std::from_chars(text, text + length, value);
    return error == std::errc() && stop == text + length && length > 0;
}

// The first word of the SQL text, upper case, after white space, comments and parentheses.
std::string FirstKeyword(const std::string& sql)
{
    std::size_t i = 0;
    const std::size_t n = sql.size();
    while (i < n) {
        const char c = sql[i];
        if (std::isspace(static_cast<unsigned char>(c)) || c == '(') {
            ++i;
        } else if (c == '#' || (c == '-' && i + 1 < n && sql[i + 1] == '-')) {
            i = sql.find('\n', i);
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            const std::size_t end = sql.find("*/", i + 2);
            i = end == std::string::npos ? n : end + 2;
        } else {
            break;
        }
    }
    std::string word;
    for (; i < n && std::isalpha(static_cast<unsigned char>(sql[i])); ++i)
        word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql[i])));
    return word;
}

// Datasets only read. A statement that does not begin as a read is refused before it runs:
// MariaDB's DELETE ... RETURNING and SQLite's WITH ... DELETE return rows too, so a result
// set alone proves nothing. The drivers add their own checks where the database offers one.
void CheckPlainRead(const std::string& sql, const std::string& source)
{
    const std::string word = FirstKeyword(sql);
    if (word == "SELECT" || word == "WITH" || word == "VALUES" || word == "TABLE" || word == "SHOW")
        return;
    if (word.empty())
        throw EDatabaseError("Cannot open " + source + ": the SQL text is empty");
    throw EDatabaseError("Cannot open " + source + ": " + word
                         + " is no plain read, and datasets only read");
}

std::string QuoteName(const QSqlDatabase& db, const std::string& name)
{
    return ToStd(db.driver()->escapeIdentifier(QString::fromStdString(name),
                                               QSqlDriver::FieldName));
}

// --- Connections

// The connection a cursor reads through: the application's own, or one opened for this one
// dataset from a mysql:// or mariadb:// URL, registered with Qt under a name of its own and
// removed again with the dataset. The cursor holds the only handle to it, so that the removal
// finds no copy left in use.
class Connection {
public:
    explicit Connection(QSqlDatabase db, bool owned) : db_(std::move(db)), owned_(owned) {}
    ~Connection()
    {
        if (!owned_)
            return;
        const QString name = db_.connectionName();
        db_.close();
        db_ = QSqlDatabase(); // removeDatabase wants every copy of the handle gone first
        QSqlDatabase::removeDatabase(name);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    const QSqlDatabase& Database() const { return db_; }
    bool Owned() const { return owned_; }

private:
    QSqlDatabase db_;
    bool owned_;
};

std::unique_ptr<Connection> OpenUrl(const std::string& uri, const std::string& source)
{
    const QUrl url(QString::fromStdString(uri), QUrl::StrictMode);
    if (!url.isValid())
        throw EDatabaseError("Cannot open " + source + ": the URL is not valid");
    static std::atomic<int> counter{0};
    auto owned = std::make_unique<Connection>(
        QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"),
                                  QStringLiteral("zelstats-mysql-%1").arg(++counter)),
        true);
    QSqlDatabase db = owned->Database();
    if (!db.isValid())
        throw EDatabaseError("Cannot open " + source
                             + ": Qt's QMYSQL driver is not installed (libqt6sql6-mysql)");
    QStringList options{QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=10")};
    for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (key != QLatin1String("unix_socket"))
            throw EDatabaseError("Cannot open " + source + ": unknown parameter '" + ToStd(key)
                                 + "'; only unix_socket is understood");
        options << QStringLiteral("UNIX_SOCKET=") + value;
    }
    db.setConnectOptions(options.join(u';'));
    db.setHostName(url.host().isEmpty() ? QStringLiteral("localhost") : url.host());
    if (url.port() > 0)
        db.setPort(url.port());
    db.setUserName(url.userName(QUrl::FullyDecoded));
    db.setPassword(url.password(QUrl::FullyDecoded));
    db.setDatabaseName(url.path(QUrl::FullyDecoded).mid(1));
    if (!db.open())
        ThrowQtError(db.lastError(), "Cannot open " + source);
    return owned;
}

std::unique_ptr<Connection> ApplicationConnection(const std::string& database,
                                                  const std::string& source)
{
    const QString name = QString::fromStdString(database.substr(kConnectionPrefix.size()));
    if (!QSqlDatabase::contains(name))
        throw EDatabaseError("Cannot open " + source
                             + ": the application has no database connection of that name");
    // Opens a connection the application registered but left closed.
    auto connection = std::make_unique<Connection>(QSqlDatabase::database(name, true), false);
    if (!connection->Database().isOpen())
        ThrowQtError(connection->Database().lastError(), "Cannot open " + source);
    return connection;
}

// The MariaDB client handle under a QMYSQL connection; null for every other driver. Qt
// registers the pointer type under the name of the struct behind the typedef, st_mysql*.
MYSQL* MysqlHandle(const QSqlDatabase& db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid()
        || (std::strcmp(handle.typeName(), "MYSQL*") != 0
            && std::strcmp(handle.typeName(), "st_mysql*") != 0))
        return nullptr;
    return *static_cast<MYSQL* const*>(handle.constData());
}

// --- MariaDB and MySQL: a server-side cursor through the client library

TFieldType KindOfMysqlField(const MYSQL_FIELD& f)
{
    const bool isUnsigned = (f.flags & UNSIGNED_FLAG) != 0;
    switch (f.type) {
    case MYSQL_TYPE_TINY: return f.length == 1 ? TFieldType::ftBoolean : TFieldType::ftSmallint;
    case MYSQL_TYPE_SHORT: return isUnsigned ? TFieldType::ftWord : TFieldType::ftSmallint;
    case MYSQL_TYPE_YEAR: return TFieldType::ftSmallint;
    case MYSQL_TYPE_INT24: return TFieldType::ftInteger;
    case MYSQL_TYPE_LONG: return isUnsigned ? TFieldType::ftLargeint : TFieldType::ftInteger;
    case MYSQL_TYPE_LONGLONG: return TFieldType::ftLargeint;
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE: return TFieldType::ftFloat;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL: return TFieldType::ftBCD;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_NEWDATE: return TFieldType::ftDate;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: return TFieldType::ftDateTime;
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_GEOMETRY:
        // Text columns report the blob types too; only the binary character set is binary.
        return f.charsetnr == 63 ? TFieldType::ftBlob : TFieldType::ftString;
    default: return TFieldType::ftString;
    }
}

class MysqlCursor : public DataCursor {
public:
    MysqlCursor(std::unique_ptr<Connection> connection, MYSQL* mysql, const std::string& sql,
                const std::string& table, const std::string& source)
        : connection_(std::move(connection)), mysql_(mysql), table_(table), source_(source),
          sql_(WithoutTrailingSemicolons(sql))
    {
        // A constructor that fails runs no destructor: the statements made so far are closed
        // here, before the connection they belong to goes with the members.
        try {
            Open();
        } catch (...) {
            ClosePeek();
            Close();
            throw;
        }
    }

    ~MysqlCursor() override
    {
        ClosePeek();
        Close();
        EndSnapshot();
    }

private:
    void Open()
    {
        CheckPlainRead(sql_, source_);
        if (connection_->Owned()) {
            // The connection is this dataset's own: read-only for the whole session, so that
            // even a stored function with side effects cannot write.
            Query("SET SESSION TRANSACTION READ ONLY", "Cannot open ");
        }
        Prepare(sql_);
        MYSQL_RES* meta = mysql_stmt_result_metadata(stmt_);
        if (meta == nullptr) {
            // A read that returns nothing: SELECT ... INTO, which would write a file or a
            // variable.
            if (mysql_stmt_errno(stmt_) != 0)
                ThrowMysqlError(mysql_stmt_error(stmt_), "Cannot open " + source_);
            throw EDatabaseError("Cannot open " + source_
                                 + ": the statement returns no records, and datasets only read");
        }
        const unsigned count = mysql_num_fields(meta);
        const MYSQL_FIELD* fields = mysql_fetch_fields(meta);
        for (unsigned i = 0; i < count; ++i) {
            columns_.push_back({std::string(fields[i].name, fields[i].name_length),
                                KindOfMysqlField(fields[i])});
            types_.push_back(fields[i].type);
            unsigned_.push_back((fields[i].flags & UNSIGNED_FLAG) != 0);
        }
        mysql_free_result(meta);
        Bind();
        Position();
    }

public:
    const std::vector<ColumnInfo>& Columns() const override { return columns_; }

    void Rewind() override
    {
        if (restrictTo_ != restricted_) {
            // A table walk narrowed to one column asks the server for that column alone. No
            // index: the server could read a one-column select from a covering index, in that
            // index's order, and a one-field walk must meet the records in the order of the
            // full one. A view takes no index hint; its walks read every column.
            Close();
            restricted_ = restrictTo_;
            if (restricted_ < 0
                || !Prepare("SELECT " + QuoteName(Db(), columns_[restricted_].name) + " FROM "
                                + table_ + " USE INDEX ()",
                            true)) {
                narrowable_ = restricted_ < 0 && narrowable_;
                restricted_ = restrictTo_ = -1;
                Prepare(sql_);
            }
            Bind();
            Position();
            return;
        }
        // Nothing read since the statement ran (the first walk after opening).
        if (fresh_)
            return;
        Position();
    }

    bool Fetch() override
    {
        fresh_ = false;
        if (peeked_) {
            if (!onPeek_) {
                onPeek_ = true;
                return peekRow_;
            }
            // On past the peeked record: the whole statement runs and skips it.
            peeked_ = false;
            Execute();
            fresh_ = false;
            if (!FetchRow())
                return false;
        }
        return FetchRow();
    }

    std::int64_t CountRecords() override
    {
        // Another statement on the same connection: the open server-side cursor leaves the
        // connection free. The line breaks keep a trailing "-- comment" of the caller's SQL
        // from swallowing the closing parenthesis.
        const std::string sql = table_.empty()
                                    ? "SELECT COUNT(*) FROM (\n" + sql_ + "\n) AS zelstats_count"
                                    : "SELECT COUNT(*) FROM " + table_;
        Query(sql, "Cannot count the records of ");
        MYSQL_RES* result = mysql_store_result(mysql_);
        if (result == nullptr)
            ThrowMysqlError(mysql_error(mysql_), "Cannot count the records of " + source_);
        std::int64_t n = 0;
        MYSQL_ROW row = mysql_fetch_row(result);
        if (row != nullptr && row[0] != nullptr)
            std::from_chars(row[0], row[0] + std::strlen(row[0]), n);
        mysql_free_result(result);
        return n;
    }

    // Only while no snapshot of the application's own is open: START TRANSACTION would
    // silently commit a transaction the application has begun on its connection.
    void BeginSnapshot() override
    {
        Query("SELECT @@in_transaction", "Cannot read ");
        MYSQL_RES* result = mysql_store_result(mysql_);
        MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr;
        const bool busy = row != nullptr && row[0] != nullptr && row[0][0] != '0';
        mysql_free_result(result);
        if (busy)
            return;
        // Repeatable read for this one transaction, whatever the session's level, so that
        // every walk of the snapshot reads the same rows.
        Query("SET TRANSACTION ISOLATION LEVEL REPEATABLE READ", "Cannot read ");
        Query("START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY", "Cannot read ");
        snapshot_ = true;
        fresh_ = false; // the open's result was read before the snapshot began
    }

    void EndSnapshot() override
    {
        if (!snapshot_)
            return;
        snapshot_ = false;
        // Called on the way out of a pass, also when the pass failed: never throws, and a
        // connection that went away has nothing left to release.
        mysql_query(mysql_, "COMMIT");
    }

    void RestrictToColumn(int column) noexcept override
    {
        restrictTo_ = table_.empty() || !narrowable_ ? -1 : column;
    }

    bool IsNull(int column) const override { return slots_[Slot(column)].isNull != 0; }

    Number ReadNumber(int column, double& value) const override
    {
        const Slot_& s = slots_[Slot(column)];
        if (s.isNull)
            return Number::Null;
        switch (s.read) {
        case Read::Integer:
            value = s.isUnsigned ? static_cast<double>(static_cast<unsigned long long>(s.integer))
                                 : static_cast<double>(s.integer);
            return columns_[column].type == TFieldType::ftBoolean ? Number::NotANumber
                                                                  : Number::Value;
        case Read::Double: value = s.real; return Number::Value;
        case Read::Decimal:
            return ParseNumber(s.text.data(), s.length, value) ? Number::Value
                                                               : Number::NotANumber;
        case Read::Text: return Number::NotANumber;
        }
        return Number::NotANumber;
    }

    bool ReadDouble(int column, double& value) const override
    {
        return ReadNumber(column, value) == Number::Value;
    }

    std::string ReadText(int column) const override
    {
        const int slot = Slot(column);
        const Slot_& s = slots_[slot];
        if (s.isNull)
            return std::string();
        if (columns_[column].type == TFieldType::ftBlob)
            return "(binary data)";
        if (columns_[column].type == TFieldType::ftBoolean)
            return s.integer != 0 ? "True" : "False";
        char digits[32];
        switch (s.read) {
        case Read::Integer: {
            auto end = s.isUnsigned
                           ? std::to_chars(digits, digits + sizeof digits,
                                           static_cast<unsigned long long>(s.integer)).ptr
                           : std::to_chars(digits, digits + sizeof digits, s.integer).ptr;
            return std::string(digits, end);
        }
        case Read::Double:
            return std::string(digits, std::to_chars(digits, digits + sizeof digits, s.real).ptr);
        case Read::Decimal:
        case Read::Text: break;
        }
        return Bytes(slot);
    }

    // Binary data and BIT values by their bytes (BIT(8) 0xAA and 0xFF are text no character
    // set reads), other values as the default reads them.
    TGroupKey ReadKey(int column) const override
    {
        const int slot = Slot(column);
        if (slots_[slot].isNull
            || (columns_[column].type != TFieldType::ftBlob && types_[column] != MYSQL_TYPE_BIT))
            return DataCursor::ReadKey(column);
        return TGroupKey::Blob(Bytes(slot));
    }

private:
    // The bytes of a value read as text, fetched again when longer than its slot's buffer.
    std::string Bytes(int slot) const
    {
        const Slot_& s = slots_[slot];
        if (s.length <= s.text.size())
            return std::string(s.text.data(), s.length);
        // Longer than the buffer: fetch the whole value of this column once more.
        std::string whole(s.length, '\0');
        MYSQL_BIND bind{};
        unsigned long length = 0;
        bind.buffer_type = MYSQL_TYPE_STRING;
        bind.buffer = whole.data();
        bind.buffer_length = s.length;
        bind.length = &length;
        MYSQL_STMT* current = peeked_ ? peek_ : stmt_;
        if (mysql_stmt_fetch_column(current, &bind, static_cast<unsigned>(slot), 0) != 0)
            ThrowMysqlError(mysql_stmt_error(current), "Cannot read " + source_);
        whole.resize(std::min<unsigned long>(length, s.length));
        return whole;
    }

    enum class Read { Integer, Double, Decimal, Text };

    struct Slot_ {
        Read read = Read::Text;
        bool isUnsigned = false;
        long long integer = 0;
        double real = 0;
        std::vector<char> text;
        unsigned long length = 0;
        my_bool isNull = 0;
        my_bool error = 0;
    };

    int Slot(int column) const { return restricted_ >= 0 ? 0 : column; }
    const QSqlDatabase& Db() const { return connection_->Database(); }

    bool FetchRow()
    {
        const int rc = mysql_stmt_fetch(stmt_);
        if (rc == 0 || rc == MYSQL_DATA_TRUNCATED)
            return true;
        if (rc == MYSQL_NO_DATA)
            return false;
        ThrowMysqlError(mysql_stmt_error(stmt_), "Cannot read " + source_);
    }

    void Query(const std::string& sql, const char* what)
    {
        if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0)
            ThrowMysqlError(mysql_error(mysql_), what + source_);
    }

    // False instead of a failure to prepare when `mayFail`.
    bool Prepare(const std::string& sql, bool mayFail = false)
    {
        stmt_ = mysql_stmt_init(mysql_);
        if (stmt_ == nullptr)
            ThrowMysqlError(mysql_error(mysql_), "Cannot open " + source_);
        if (mysql_stmt_prepare(stmt_, sql.data(), sql.size()) != 0) {
            if (mayFail) {
                Close();
                return false;
            }
            ThrowMysqlError(mysql_stmt_error(stmt_), "Cannot open " + source_);
        }
        // A read-only cursor: the server keeps the result and sends kPrefetchRows rows per
        // fetch, so that the client holds one batch, and the connection stays free for other
        // statements (the record count, the application's own) between fetches.
        const unsigned long cursor = CURSOR_TYPE_READ_ONLY;
        const unsigned long prefetch = kPrefetchRows;
        if (mysql_stmt_attr_set(stmt_, STMT_ATTR_CURSOR_TYPE, &cursor) != 0
            || mysql_stmt_attr_set(stmt_, STMT_ATTR_PREFETCH_ROWS, &prefetch) != 0)
            ThrowMysqlError(mysql_stmt_error(stmt_), "Cannot open " + source_);
        return true;
    }

    // Numbers arrive in binary and are bound as numbers: no text round trip per value.
    // Decimals are bound as text, which is their exact form on the wire.
    void Bind()
    {
        ClosePeek(); // bound to the slots about to be replaced
        const std::size_t count = restricted_ >= 0 ? 1 : columns_.size();
        slots_.assign(count, Slot_{});
        binds_.assign(count, MYSQL_BIND{});
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t column = restricted_ >= 0 ? restricted_ : i;
            Slot_& s = slots_[i];
            MYSQL_BIND& b = binds_[i];
            b.is_null = &s.isNull;
            b.length = &s.length;
            b.error = &s.error;
            switch (types_[column]) {
            case MYSQL_TYPE_TINY:
            case MYSQL_TYPE_SHORT:
            case MYSQL_TYPE_YEAR:
            case MYSQL_TYPE_INT24:
            case MYSQL_TYPE_LONG:
            case MYSQL_TYPE_LONGLONG:
                s.read = Read::Integer;
                s.isUnsigned = unsigned_[column];
                b.buffer_type = MYSQL_TYPE_LONGLONG;
                b.buffer = &s.integer;
                b.is_unsigned = s.isUnsigned;
                break;
            case MYSQL_TYPE_FLOAT:
            case MYSQL_TYPE_DOUBLE:
                s.read = Read::Double;
                b.buffer_type = MYSQL_TYPE_DOUBLE;
                b.buffer = &s.real;
                break;
            default:
                s.read = types_[column] == MYSQL_TYPE_NEWDECIMAL || types_[column] == MYSQL_TYPE_DECIMAL
                             ? Read::Decimal
                             : Read::Text;
                // Binary columns are never read as text: no buffer, only the null flag.
                s.text.resize(columns_[column].type == TFieldType::ftBlob ? 0 : kTextBuffer);
                b.buffer_type = MYSQL_TYPE_STRING;
                b.buffer = s.text.data();
                b.buffer_length = s.text.size();
                break;
            }
        }
        if (mysql_stmt_bind_result(stmt_, binds_.data()) != 0)
            ThrowMysqlError(mysql_stmt_error(stmt_), "Cannot open " + source_);
    }

    // Runs the walk's statement, or for a whole table only reads its first record. The
    // server-side cursor makes the server write out the whole result before the first fetch;
    // a dataset rests on its first record after opening and after each First(), and most
    // such rests are never followed by a walk (a pass ends with First()). So a table's first
    // record is read alone, and the whole statement runs only when a walk goes past it. The
    // table is read without an index, in the order of the whole walk.
    void Position()
    {
        if (restricted_ >= 0 || table_.empty() || !Peek())
            Execute();
    }

    bool Peek()
    {
        if (peek_ == nullptr && peekable_) {
            peek_ = mysql_stmt_init(mysql_);
            const std::string sql = "SELECT * FROM " + table_ + " USE INDEX () LIMIT 1";
            if (peek_ == nullptr || mysql_stmt_prepare(peek_, sql.data(), sql.size()) != 0
                || mysql_stmt_field_count(peek_) != columns_.size()
                || mysql_stmt_bind_result(peek_, binds_.data()) != 0) {
                ClosePeek();
                peekable_ = false; // a view takes no index hint
            }
        }
        if (peek_ == nullptr)
            return false;
        mysql_stmt_free_result(stmt_); // the earlier walk's cursor is of no more use
        mysql_stmt_free_result(peek_);
        // Buffered: one row, and the connection is free again for the record count.
        if (mysql_stmt_execute(peek_) != 0 || mysql_stmt_store_result(peek_) != 0)
            ThrowMysqlError(mysql_stmt_error(peek_), "Cannot read " + source_);
        const int rc = mysql_stmt_fetch(peek_);
        if (rc != 0 && rc != MYSQL_DATA_TRUNCATED && rc != MYSQL_NO_DATA)
            ThrowMysqlError(mysql_stmt_error(peek_), "Cannot read " + source_);
        peekRow_ = rc != MYSQL_NO_DATA;
        peeked_ = true;
        onPeek_ = false;
        fresh_ = true;
        return true;
    }

    void ClosePeek()
    {
        if (peek_ != nullptr)
            mysql_stmt_close(peek_);
        peek_ = nullptr;
        peeked_ = false;
    }

    void Execute()
    {
        peeked_ = false;
        // Executing again closes the statement's earlier cursor on the server.
        mysql_stmt_free_result(stmt_);
        if (mysql_stmt_execute(stmt_) != 0)
            ThrowMysqlError(mysql_stmt_error(stmt_), "Cannot read " + source_);
        fresh_ = true;
    }

    void Close()
    {
        if (stmt_ != nullptr)
            mysql_stmt_close(stmt_);
        stmt_ = nullptr;
    }

    // Declared first, released last: the connection outlives the statement on it.
    std::unique_ptr<Connection> connection_;
    MYSQL* mysql_;
    std::string table_; // quoted; empty for a query
    std::string source_;
    std::string sql_;
    MYSQL_STMT* stmt_ = nullptr;
    // The first record of a table, read alone (Position).
    MYSQL_STMT* peek_ = nullptr;
    bool peekable_ = true;
    bool peeked_ = false;
    bool onPeek_ = false;
    bool peekRow_ = false;
    std::vector<ColumnInfo> columns_;
    std::vector<enum_field_types> types_;
    std::vector<bool> unsigned_;
    std::vector<Slot_> slots_;
    std::vector<MYSQL_BIND> binds_;
    int restricted_ = -1;
    int restrictTo_ = -1;
    bool narrowable_ = true;
    bool fresh_ = false;
    bool snapshot_ = false;
};

// --- Every other Qt driver: a forward-only QSqlQuery

TFieldType KindOfMetaType(int type)
{
    switch (type) {
    case QMetaType::Short:
    case QMetaType::SChar:
    case QMetaType::Char: return TFieldType::ftSmallint;
    case QMetaType::UShort:
    case QMetaType::UChar: return TFieldType::ftWord;
    case QMetaType::Int: return TFieldType::ftInteger;
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: return TFieldType::ftLargeint;
    case QMetaType::Float:
    case QMetaType::Double: return TFieldType::ftFloat;
    case QMetaType::QDate: return TFieldType::ftDate;
    case QMetaType::QDateTime: return TFieldType::ftDateTime;
    case QMetaType::Bool: return TFieldType::ftBoolean;
    case QMetaType::QByteArray: return TFieldType::ftBlob;
    default: return TFieldType::ftString;
    }
}

class QtQueryCursor : public DataCursor {
public:
    QtQueryCursor(std::unique_ptr<Connection> connection, const std::string& sql,
                  const std::string& table, const std::string& source)
        : connection_(std::move(connection)), db_(connection_->Database()), table_(table),
          source_(source), sql_(WithoutTrailingSemicolons(sql)),
          sqlite_(db_.driverName() == "QSQLITE")
    {
        CheckPlainRead(sql_, source_);
        Prepare(sql_);
        Execute();
        ReadColumns();
        if (sqlite_)
            KeepFirst();
    }

    ~QtQueryCursor() override
    {
        EndSnapshot();
        query_.reset();
    }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }

    void Rewind() override
    {
        if (restrictTo_ != restricted_) {
            // One column alone, from the table itself: NOT INDEXED keeps SQLite from reading
            // a covering index in its own order. A view takes no such clause; its walks read
            // every column.
            restricted_ = restrictTo_;
            if (restricted_ < 0
                || !Prepare("SELECT " + QuoteName(db_, columns_[restricted_].name) + " FROM "
                                + table_ + " NOT INDEXED",
                            true)) {
                narrowable_ = restricted_ < 0 && narrowable_;
                restricted_ = restrictTo_ = -1;
                Prepare(sql_);
            }
        } else if (fresh_) {
            return;
        }
        Execute();
        if (sqlite_ && !snapshot_)
            KeepFirst();
    }

    bool Fetch() override
    {
        fresh_ = false;
        if (firstKept_) {
            if (!onFirst_) {
                onFirst_ = true;
                return !first_.isEmpty();
            }
            // On past the kept record: the statement runs again and skips it.
            Execute();
            fresh_ = false;
            if (!query_->next() && query_->lastError().isValid())
                ThrowQtError(query_->lastError(), "Cannot read " + source_);
        }
        if (query_->next())
            return true;
        if (query_->lastError().isValid())
            ThrowQtError(query_->lastError(), "Cannot read " + source_);
        return false;
    }

    std::int64_t CountRecords() override
    {
        QSqlQuery count(db_);
        count.setForwardOnly(true);
        const std::string sql = table_.empty()
                                    ? "SELECT COUNT(*) FROM (\n" + sql_ + "\n) AS zelstats_count"
                                    : "SELECT COUNT(*) FROM " + table_;
        if (!count.exec(QString::fromStdString(sql)) || !count.next())
            ThrowQtError(count.lastError(), "Cannot count the records of " + source_);
        return count.value(0).toLongLong();
    }

    // SQLite: a read transaction, whose first read fixes the snapshot until COMMIT. A BEGIN
    // that fails because the application has a transaction open leaves that one in charge.
    void BeginSnapshot() override
    {
        if (!sqlite_ || snapshot_)
            return;
        QSqlQuery begin(db_);
        snapshot_ = begin.exec(QStringLiteral("BEGIN DEFERRED"));
        // A record kept from before the snapshot is not read again in it.
        fresh_ = fresh_ && !snapshot_;
    }

    void EndSnapshot() override
    {
        if (!snapshot_)
            return;
        snapshot_ = false;
        // A statement still stepping would keep the read transaction open.
        if (query_ != nullptr)
            query_->finish();
        fresh_ = false;
        QSqlQuery commit(db_);
        commit.exec(QStringLiteral("COMMIT"));
    }

    void RestrictToColumn(int column) noexcept override
    {
        restrictTo_ = table_.empty() || !sqlite_ || !narrowable_ ? -1 : column;
    }

    bool IsNull(int column) const override
    {
        if (stmt_ != nullptr && !firstKept_)
            return sqlite3_column_type(stmt_, Slot(column)) == SQLITE_NULL;
        return NullAt(Slot(column));
    }

    Number ReadNumber(int column, double& value) const override
    {
        const int slot = Slot(column);
        if (stmt_ != nullptr && !firstKept_) {
            // Qt's QSQLITE reads a forward-only row from the statement when asked, so the
            // statement stands on the current record: reading it here spares a QVariant per
            // value, and takes the native backend's rule with it (sqlite3_column_double
            // reads text as 0, so the storage class is checked first).
            switch (sqlite3_column_type(stmt_, slot)) {
            case SQLITE_NULL: return Number::Null;
            case SQLITE_INTEGER:
            case SQLITE_FLOAT: value = sqlite3_column_double(stmt_, slot); return Number::Value;
            default: return Number::NotANumber;
            }
        }
        if (NullAt(slot))
            return Number::Null;
        const QVariant v = ValueAt(slot);
        switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Double:
        case QMetaType::Float:
            value = v.toDouble();
            return Number::Value;
        case QMetaType::QString: {
            // Decimals that a driver hands over as their exact text.
            if (!IsNumberKind(columns_[column].type))
                return Number::NotANumber;
            const QByteArray text = v.toString().toLatin1();
            return ParseNumber(text.constData(), text.size(), value) ? Number::Value
                                                                     : Number::NotANumber;
        }
        default: return Number::NotANumber;
        }
    }

    bool ReadDouble(int column, double& value) const override
    {
        return ReadNumber(column, value) == Number::Value;
    }

    std::string ReadText(int column) const override
    {
        const int slot = Slot(column);
        if (NullAt(slot))
            return std::string();
        const QVariant v = ValueAt(slot);
        if (v.typeId() == QMetaType::QByteArray)
            return "(binary data)";
        if (v.typeId() == QMetaType::Bool)
            return v.toBool() ? "True" : "False";
        return ToStd(v.toString());
    }

    TGroupKey ReadKey(int column) const override
    {
        const int slot = Slot(column);
        if (stmt_ != nullptr && !firstKept_)
            // By storage class, as the native backend reads it; but QSQLITE has read the row
            // as UTF-16 already, so text bytes that are no UTF-8 are U+FFFD here.
            return SqliteKey(stmt_, slot);
        if (NullAt(slot))
            return {};
        const QVariant v = ValueAt(slot);
        switch (v.typeId()) {
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::LongLong:
        case QMetaType::ULongLong:
        case QMetaType::Short:
        case QMetaType::UShort: return TGroupKey::Decimal(ToStd(v.toString()));
        case QMetaType::Double:
        case QMetaType::Float: return TGroupKey::Real(v.toDouble());
        case QMetaType::QByteArray: {
            const QByteArray bytes = v.toByteArray();
            return TGroupKey::Blob(std::string(bytes.constData(), bytes.size()));
        }
        default: return DataCursor::ReadKey(column);
        }
    }

private:
    int Slot(int column) const { return restricted_ >= 0 ? 0 : column; }
    bool NullAt(int slot) const { return firstKept_ ? first_.isNull(slot) : query_->isNull(slot); }
    QVariant ValueAt(int slot) const { return firstKept_ ? first_.value(slot) : query_->value(slot); }

    // False instead of a failure to prepare when `mayFail`.
    bool Prepare(const std::string& sql, bool mayFail = false)
    {
        query_ = std::make_unique<QSqlQuery>(db_);
        query_->setForwardOnly(true);
        if (!query_->prepare(QString::fromStdString(sql))) {
            if (mayFail)
                return false;
            ThrowQtError(query_->lastError(), "Cannot open " + source_);
        }
        stmt_ = nullptr;
        if (sqlite_) {
            // The statement is prepared but not yet stepped: SQLite can still tell whether it
            // would write (WITH ... DELETE passes the keyword check).
            const QVariant handle = query_->result()->handle();
            if (std::strcmp(handle.typeName(), "sqlite3_stmt*") == 0) {
                auto* stmt = *static_cast<sqlite3_stmt* const*>(handle.constData());
                stmt_ = stmt;
                if (stmt != nullptr && !sqlite3_stmt_readonly(stmt))
                    throw EDatabaseError("Cannot open " + source_
                                         + ": the statement would change data, and datasets "
                                           "only read");
            }
        }
        return true;
    }

    void Execute()
    {
        firstKept_ = false;
        if (!query_->exec())
            ThrowQtError(query_->lastError(), "Cannot read " + source_);
        if (stmt_ != nullptr) // the statement Qt steps now, should it have prepared anew
            stmt_ = *static_cast<sqlite3_stmt* const*>(query_->result()->handle().constData());
        fresh_ = true;
    }

    // An SQLite statement that has stepped but not finished holds a read transaction on the
    // whole connection, and the application shares that connection: every other statement on
    // it would read the data as it was when this walk began, for as long as the dataset stays
    // on the walk's first record (where it rests after opening and after First()). Outside a
    // snapshot the first record is therefore kept here and the statement finished; a walk
    // that goes on past it runs the statement again and skips the record.
    void KeepFirst()
    {
        first_ = query_->next() ? query_->record() : QSqlRecord();
        if (first_.isEmpty() && query_->lastError().isValid())
            ThrowQtError(query_->lastError(), "Cannot read " + source_);
        query_->finish();
        firstKept_ = true;
        onFirst_ = false;
    }

    void ReadColumns()
    {
        const QSqlRecord record = query_->record();
        sqlite3_stmt* stmt = nullptr;
        if (sqlite_) {
            const QVariant handle = query_->result()->handle();
            if (std::strcmp(handle.typeName(), "sqlite3_stmt*") == 0)
                stmt = *static_cast<sqlite3_stmt* const*>(handle.constData());
        }
        for (int i = 0; i < record.count(); ++i) {
            ColumnInfo info{ToStd(record.fieldName(i)), TFieldType::ftUnknown};
            // Qt's QSQLITE knows only a few declared type names ("DOUBLE PRECISION" reads as
            // text there); the native backend's rules apply instead. Qt has stepped to the
            // first row already, so an undeclared column takes its kind from that row's
            // storage class, as it does on the native backend.
            if (stmt != nullptr)
                info.type = SqliteColumnKind(sqlite3_column_decltype(stmt, i),
                                             sqlite3_column_type(stmt, i));
            else
                info.type = KindOfMetaType(record.field(i).metaType().id());
            columns_.push_back(info);
        }
    }

    std::unique_ptr<Connection> connection_;
    const QSqlDatabase& db_;
    std::string table_;
    std::string source_;
    std::string sql_;
    bool sqlite_;
    std::unique_ptr<QSqlQuery> query_;
    // SQLite's statement under query_, read directly by the passes; null for other drivers.
    sqlite3_stmt* stmt_ = nullptr;
    std::vector<ColumnInfo> columns_;
    // The first record, kept from the open until a walk goes past it or a snapshot begins.
    QSqlRecord first_;
    bool firstKept_ = false;
    bool onFirst_ = false;
    int restricted_ = -1;
    int restrictTo_ = -1;
    bool narrowable_ = true;
    bool fresh_ = false;
    bool snapshot_ = false;
};

std::unique_ptr<DataCursor> OpenCursor(const std::string& database, const std::string& sql,
                                       const std::string& table, const std::string& source)
{
    std::unique_ptr<Connection> connection = IsMysqlUri(database)
                                                 ? OpenUrl(database, source)
                                                 : ApplicationConnection(database, source);
    std::string select = sql;
    std::string quoted;
    if (!table.empty()) {
        quoted = QuoteName(connection->Database(), table);
        select = "SELECT * FROM " + quoted;
    }
    if (MYSQL* mysql = MysqlHandle(connection->Database()))
        return std::make_unique<MysqlCursor>(std::move(connection), mysql, select, quoted,
                                             source);
    return std::make_unique<QtQueryCursor>(std::move(connection), select, quoted, source);
}

} // namespace

bool IsQtConnectionName(const std::string& database)
{
    return database.starts_with(kConnectionPrefix);
}

std::string QtConnectionDatabaseName(const QString& connection)
{
    return std::string(kConnectionPrefix) + ToStd(connection);
}

std::string QtSqlDisplayName(const std::string& database)
{
    if (IsMysqlUri(database)) {
        const QUrl url(QString::fromStdString(database));
        // A URL that does not parse is not shown as written: it may hold a password.
        if (!url.isValid())
            return "a " + database.substr(0, database.find(':')) + " URL that is not valid";
        return ToStd(url.toString(QUrl::RemovePassword));
    }
    const QString name = QString::fromStdString(database.substr(kConnectionPrefix.size()));
    std::string text = "connection '" + ToStd(name) + "'";
    if (!QSqlDatabase::contains(name))
        return text;
    const QSqlDatabase db = QSqlDatabase::database(name, false);
    return ToStd(db.driverName()) + " " + text + " (database '" + ToStd(db.databaseName()) + "')";
}

std::unique_ptr<DataCursor> OpenQtSqlCursor(const std::string& database, const std::string& sql,
                                            const std::string& source,
                                            const CursorOptions& /*options*/)
{
    return OpenCursor(database, sql, std::string(), source);
}

std::unique_ptr<DataCursor> OpenQtSqlTableCursor(const std::string& database,
                                                 const std::string& table,
                                                 const std::string& source,
                                                 const CursorOptions& /*options*/)
{
    return OpenCursor(database, std::string(), table, source);
}

} // namespace zel
