// The Qt SQL driver: datasets over a connection the application opened with Qt (QSqlDatabase),
// and over mysql:// and mariadb:// URLs, which open a connection of their own through Qt's
// QMYSQL driver. The walks run on the caller's thread and connection.
//
// MariaDB and MySQL connections are read through the client library under Qt's own handle
// (MariaDbDriver.cpp), when Qt's plugin runs on the same client library as this package; every
// other connection is walked with a forward-only QSqlQuery, which for QSQLITE steps one row at
// a time and for QMYSQL keeps the whole result on the client.
#include "zelstats/data/MariaDbDriver.h"
#include "zelstats/data/Params.h"

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

#include <sqlite3.h>

#include <atomic>
#include <cctype>
#include <charconv>
#include <cstring>

namespace zel {

namespace {

constexpr std::string_view kConnectionPrefix = "qtsql:";

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

// A wait limit bounds the client's every wait on the server, the connect included; the client
// counts in whole seconds.
std::unique_ptr<Connection> OpenUrl(const std::string& uri, const std::string& source,
                                    std::chrono::milliseconds waitLimit)
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
    if (waitLimit.count() > 0) {
        const std::int64_t limit = (waitLimit.count() + 999) / 1000;
        const auto seconds = QString::number(limit);
        const auto connect = QString::number(std::min<std::int64_t>(limit, 10));
        options = QStringList{QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=") + connect,
                              QStringLiteral("MYSQL_OPT_READ_TIMEOUT=") + seconds,
                              QStringLiteral("MYSQL_OPT_WRITE_TIMEOUT=") + seconds};
    }
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
    // Qt hands a connection only to the thread that made it, and an invalid one without a
    // driver name to any other, which would fail as "Driver not loaded".
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (!db.isValid() && db.driverName().isEmpty())
        throw EDatabaseError("Cannot open " + source + ": the connection '" + ToStd(name)
                             + "' belongs to another thread: open one in this thread, or use "
                               "SummarizeAsync");
    // Opens a connection the application registered but left closed.
    if (!db.isOpen())
        db.open();
    auto connection = std::make_unique<Connection>(std::move(db), false);
    if (!connection->Database().isOpen())
        ThrowQtError(connection->Database().lastError(), "Cannot open " + source);
    return connection;
}

// --- MariaDB and MySQL through the client library

std::atomic<bool> gForceQtQueryReads{false};

bool IsMysqlDriver(const QSqlDatabase& db)
{
    const QString driver = db.driverName();
    return driver == QLatin1String("QMYSQL") || driver == QLatin1String("QMARIADB");
}

// The MariaDB client handle under a QMYSQL connection, when the package may call its client
// library with it; null for every other driver, and for a plugin built on another client
// library (the struct behind the handle would then not be the one this package's calls
// read). Qt registers the pointer type under the name of the struct behind the typedef,
// st_mysql*. The driver's type information lives in the plugin's own library, which names
// the plugin to SharesMariaDbClient.
st_mysql* MysqlHandle(const QSqlDatabase& db)
{
    const QSqlDriver* driver = db.driver();
    const QVariant handle = driver->handle();
    if (!handle.isValid()
        || (std::strcmp(handle.typeName(), "MYSQL*") != 0
            && std::strcmp(handle.typeName(), "st_mysql*") != 0)
        || gForceQtQueryReads.load() || !SharesMariaDbClient(&typeid(*driver)))
        return nullptr;
    return *static_cast<st_mysql* const*>(handle.constData());
}

// How the cancel connection reaches the server of `db`: its own settings, and the socket of
// its connect options.
MariaDbServer ServerOf(const QSqlDatabase& db)
{
    MariaDbServer server;
    server.host = ToStd(db.hostName());
    server.port = db.port() > 0 ? static_cast<unsigned>(db.port()) : 0;
    server.user = ToStd(db.userName());
    server.password = ToStd(db.password());
    for (const QString& option : db.connectOptions().split(u';')) {
        const QString trimmed = option.trimmed();
        if (trimmed.startsWith(QLatin1String("UNIX_SOCKET=")))
            server.socket = ToStd(trimmed.mid(12));
    }
    server.display = server.host.empty() ? "localhost" : server.host;
    if (server.port > 0)
        server.display += ":" + std::to_string(server.port);
    if (!server.socket.empty())
        server.display += " (socket " + server.socket + ")";
    return server;
}

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
    // `table` quoted, `tableName` as the caller gave it.
    QtQueryCursor(std::unique_ptr<Connection> connection, const std::string& sql,
                  const std::string& table, const std::string& tableName,
                  const std::string& source, const CursorOptions& options)
        : connection_(std::move(connection)), db_(connection_->Database()), table_(table),
          tableName_(tableName), source_(source), waitLimit_(options.waitLimit),
          sql_(WithoutTrailingSemicolons(sql)), sqlite_(db_.driverName() == "QSQLITE"),
          mysql_(IsMysqlDriver(db_)), params_(options.params)
    {
        if (mysql_)
            BeginMysqlSession();
        CheckParams();
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
        ClearSessionParams();
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
        CheckCancelled();
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
        const std::string sql =
            table_.empty() ? CountStatement(sql_) : "SELECT COUNT(*) FROM " + table_;
        const bool done = params_.empty() || mysql_
                              ? count.exec(QString::fromStdString(sql))
                              : count.prepare(QString::fromStdString(sql)) && BindTo(count)
                                    && count.exec();
        if (!done || !count.next())
            ThrowQtError(count.lastError(), "Cannot count the records of " + source_);
        return count.value(0).toLongLong();
    }

    // SQLite: a read transaction, whose first read fixes the snapshot until COMMIT. A BEGIN
    // that fails because the application has a transaction open leaves that one in charge.
    // MariaDB: as MariaDbDriver.cpp begins one (QMYSQL keeps each result whole on the client,
    // so the connection is free for it).
    void BeginSnapshot() override
    {
        if ((!sqlite_ && !mysql_) || snapshot_)
            return;
        if (mysql_) {
            BeginMysqlSnapshot();
            return;
        }
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

    std::string SnapshotGap() const override
    {
        if (!mysql_)
            return {};
        return MariaDbSnapshotGap(tableName_, [this](const std::string& sql) {
            std::optional<std::vector<std::string>> values;
            QSqlQuery query(db_);
            if (Cancelled() || !query.exec(QString::fromStdString(sql)))
                return values;
            values.emplace();
            while (query.next())
                values->push_back(ToStd(query.value(0).toString()));
            return values;
        });
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
        if (mysql_)
            return MariaDbNumberOf(mysqlColumns_[column], v, value);
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
        if (mysql_)
            return MariaDbTextOf(mysqlColumns_[column], v);
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
        if (mysql_) {
            // Decimals as their exact text, floats as their digits. MariaDB runs the text as it
            // is, not prepared: Qt's plugin reads the dates of a prepared statement through the
            // client library's time struct, and with some client library releases (10.11.18)
            // every date and time then comes back invalid, where the text protocol's are right.
            query_->setNumericalPrecisionPolicy(QSql::HighPrecision);
            text_ = QString::fromStdString(sql);
            return true;
        }
        if (!query_->prepare(QString::fromStdString(sql))) {
            if (mayFail)
                return false;
            ThrowQtError(query_->lastError(), "Cannot open " + source_);
        }
        BindTo(*query_);
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
        CheckCancelled();
        if (!sessionParams_.isEmpty())
            SetSessionParams();
        const auto start = std::chrono::steady_clock::now();
        if (!(mysql_ ? query_->exec(text_) : query_->exec())) {
            CheckCancelled();
            if (canceller_ != nullptr)
                canceller_->ThrowIfWaitLimit("Cannot read " + source_,
                                             query_->lastError().nativeErrorCode().toInt(),
                                             waitLimit_, std::chrono::steady_clock::now() - start);
            ThrowQtError(query_->lastError(), "Cannot read " + source_);
        }
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

    // Every :name of the SQL text set and every value named, as on every backend. MariaDB's
    // text is run as it is (see Prepare), so its parameters become user variables of the
    // session, each set by a prepared SET with its value bound: the value keeps its type and is
    // never spliced. Other queries of the same connection use the same variables: they are set
    // before every run of the text (SetSessionParams) and cleared when the cursor goes.
    void CheckParams()
    {
        if (!table_.empty())
            return;
        const SqlDialect dialect = mysql_                                     ? SqlDialect::MariaDb
                                   : db_.driverName().startsWith(u"QPSQL") ? SqlDialect::Postgres
                                                                           : SqlDialect::Sqlite;
        const PositionalSql positional =
            BindableSql(sql_, dialect, params_, source_, [this](std::size_t i) {
                return mysql_ ? "@zelstats_p" + std::to_string(i + 1) : ":" + params_[i].name;
            });
        if (!mysql_ || params_.empty())
            return;
        sql_ = positional.sql;
        for (std::size_t i = 0; i < params_.size(); ++i)
            sessionParams_ +=
                QStringLiteral("%1@zelstats_p%2 = ?").arg(i > 0 ? u", " : u"SET ").arg(i + 1);
    }

    void SetSessionParams()
    {
        QSqlQuery query(db_);
        if (!query.prepare(sessionParams_))
            ThrowQtError(query.lastError(), "Cannot read " + source_);
        for (const TQueryParam& param : params_)
            query.addBindValue(param.value);
        if (!query.exec())
            ThrowQtError(query.lastError(), "Cannot read " + source_);
    }

    // No value of this query stays on the application's session. A connection that failed
    // meanwhile holds none worth clearing.
    void ClearSessionParams() noexcept
    {
        if (sessionParams_.isEmpty() || !db_.isOpen())
            return;
        QString clear = sessionParams_;
        clear.replace(u'?', QStringLiteral("NULL"));
        QSqlQuery query(db_);
        query.exec(clear);
    }

    // The query's values on a statement Qt has prepared, each by its name.
    bool BindTo(QSqlQuery& query) const
    {
        for (const TQueryParam& param : params_)
            query.bindValue(QString::fromStdString(":" + param.name), param.value);
        return true;
    }

    // As on the client library's way: a session of this dataset's own reads only, and the
    // connection's server thread can be stopped from another thread.
    void BeginMysqlSession()
    {
        QSqlQuery query(db_);
        if (connection_->Owned()
            && !query.exec(QStringLiteral("SET SESSION TRANSACTION READ ONLY")))
            ThrowQtError(query.lastError(), "Cannot open " + source_);
        if (!query.exec(QStringLiteral("SELECT CONNECTION_ID()")) || !query.next())
            ThrowQtError(query.lastError(), "Cannot open " + source_);
        canceller_ = std::make_unique<MariaDbThreadCanceller>(
            ServerOf(db_), static_cast<unsigned long>(query.value(0).toULongLong()));
    }

    bool Cancelled() const { return canceller_ != nullptr && canceller_->Cancelled(); }

    void CheckCancelled() const
    {
        if (Cancelled())
            throw EDatabaseError("Cannot read " + source_ + ": the statement was cancelled");
    }

    // Only while the application has no transaction open on its connection (START
    // TRANSACTION would commit it); repeatable read, so that every walk reads the same rows.
    void BeginMysqlSnapshot()
    {
        QSqlQuery query(db_);
        if (!query.exec(QStringLiteral("SELECT @@in_transaction")) || !query.next())
            ThrowQtError(query.lastError(), "Cannot read " + source_);
        if (query.value(0).toLongLong() != 0)
            return;
        for (const char* sql : {"SET TRANSACTION ISOLATION LEVEL REPEATABLE READ",
                                "START TRANSACTION WITH CONSISTENT SNAPSHOT, READ ONLY"})
            if (!query.exec(QString::fromLatin1(sql)))
                ThrowQtError(query.lastError(), "Cannot read " + source_);
        snapshot_ = true;
        fresh_ = false; // the open's result was read before the snapshot began
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
            const QSqlField field = record.field(i);
            if (stmt != nullptr) {
                info.type = SqliteColumnKind(sqlite3_column_decltype(stmt, i),
                                             sqlite3_column_type(stmt, i));
            } else if (mysql_) {
                // The client library's rules, from what QMYSQL keeps of the column.
                const int meta = field.metaType().id();
                info.type = MariaDbFieldKind(field.typeID(),
                                             meta == QMetaType::UChar || meta == QMetaType::UShort
                                                 || meta == QMetaType::UInt
                                                 || meta == QMetaType::ULongLong,
                                             static_cast<unsigned long>(field.length()),
                                             meta == QMetaType::QByteArray);
                mysqlColumns_.push_back({field.typeID(), info.type, field.precision()});
            } else {
                info.type = KindOfMetaType(field.metaType().id());
            }
            columns_.push_back(info);
        }
    }

    std::unique_ptr<Connection> connection_;
    const QSqlDatabase& db_;
    std::string table_;
    std::string tableName_;
    std::string source_;
    std::chrono::milliseconds waitLimit_;
    std::string sql_;
    bool sqlite_;
    // QMYSQL on another client library than this package's (MysqlHandle): its values are read
    // by the MariaDB cursor's rules, from each column's type code.
    bool mysql_;
    std::vector<MariaDbQtColumn> mysqlColumns_;
    std::vector<TQueryParam> params_;
    // Registered while the connection is open (QMYSQL only).
    std::unique_ptr<MariaDbThreadCanceller> canceller_;
    std::unique_ptr<QSqlQuery> query_;
    // MariaDB's statement, run as text at each Execute, and the SET of its parameters' user
    // variables before it (empty without parameters).
    QString text_;
    QString sessionParams_;
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
                                       const std::string& table, const std::string& source,
                                       const CursorOptions& options)
{
    std::unique_ptr<Connection> connection = IsMysqlUri(database)
                                                 ? OpenUrl(database, source, options.waitLimit)
                                                 : ApplicationConnection(database, source);
    const QSqlDatabase& db = connection->Database();
    std::string select = WithoutTrailingSemicolons(sql);
    std::string quoted;
    if (!table.empty()) {
        quoted = QuoteName(db, table);
        select = "SELECT * FROM " + quoted;
    }
    if (IsMysqlDriver(db))
        CheckMariaDbRead(select, source);
    CheckPlainRead(select, source);
    if (st_mysql* mysql = MysqlHandle(db)) {
        MariaDbLink link{mysql, nullptr, connection->Owned(), ServerOf(db), table};
        link.owner = std::shared_ptr<Connection>(std::move(connection));
        return OpenMariaDbCursor(std::move(link), select, quoted, source, options);
    }
    return std::make_unique<QtQueryCursor>(std::move(connection), select, quoted, table, source,
                                           options);
}

} // namespace

void ForceQtQueryReadsForMariaDb(bool force) { gForceQtQueryReads.store(force); }

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
    if (!db.isValid())
        return text; // another thread's, or without its driver
    return ToStd(db.driverName()) + " " + text + " (database '" + ToStd(db.databaseName()) + "')";
}

namespace {

QString ConnectionName(const std::string& database)
{
    return QString::fromStdString(database.substr(kConnectionPrefix.size()));
}

// The file behind a QSQLITE connection's main database; empty for an in-memory or temporary one.
std::string SqliteFileOf(const QSqlDatabase& db)
{
    const QVariant handle = db.driver()->handle();
    if (std::strcmp(handle.typeName(), "sqlite3*") != 0)
        return "?";
    auto* sqlite = *static_cast<sqlite3* const*>(handle.constData());
    const char* file = sqlite != nullptr ? sqlite3_db_filename(sqlite, "main") : nullptr;
    return file != nullptr ? file : "";
}

bool InTransaction(const QSqlDatabase& db)
{
    const QVariant handle = db.driver()->handle();
    if (std::strcmp(handle.typeName(), "sqlite3*") == 0) {
        auto* sqlite = *static_cast<sqlite3* const*>(handle.constData());
        return sqlite != nullptr && sqlite3_get_autocommit(sqlite) == 0;
    }
    if (!IsMysqlDriver(db))
        return false;
    QSqlQuery query(db);
    return query.exec(QStringLiteral("SELECT @@in_transaction")) && query.next()
           && query.value(0).toLongLong() != 0;
}

} // namespace

std::string QtConnectionCopyGap(const std::string& database)
{
    const QString name = ConnectionName(database);
    if (!QSqlDatabase::contains(name))
        return {};
    const QSqlDatabase db = QSqlDatabase::database(name, false);
    if (!db.isOpen())
        return {};
    if (db.driverName() == QLatin1String("QSQLITE") && SqliteFileOf(db).empty())
        return "its SQLite database is in memory, seen by that one connection alone";
    if (InTransaction(db))
        return "the application has a transaction open on it, whose changes another connection "
               "does not see";
    return {};
}

std::string CopyQtConnection(const std::string& database)
{
    static std::atomic<int> counter{0};
    const QString name = ConnectionName(database);
    const QString copy = name + QStringLiteral(" (worker copy %1)").arg(++counter);
    QSqlDatabase::cloneDatabase(name, copy);
    return QtConnectionDatabaseName(copy);
}

void RemoveQtConnectionCopy(const std::string& copy)
{
    QSqlDatabase::removeDatabase(ConnectionName(copy));
}

std::unique_ptr<DataCursor> OpenQtSqlCursor(const std::string& database, const std::string& sql,
                                            const std::string& source,
                                            const CursorOptions& options)
{
    return OpenCursor(database, sql, std::string(), source, options);
}

std::unique_ptr<DataCursor> OpenQtSqlTableCursor(const std::string& database,
                                                 const std::string& table,
                                                 const std::string& source,
                                                 const CursorOptions& options)
{
    return OpenCursor(database, std::string(), table, source, options);
}

} // namespace zel
