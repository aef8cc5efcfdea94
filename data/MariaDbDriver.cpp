// The MariaDB driver: datasets over MariaDB and MySQL connections, read through the client
// library under the handle of a Qt QMYSQL connection (QtSqlDriver.cpp opens the connection and
// checks that its plugin runs on this package's own client library).
//
// Qt's QMYSQL driver keeps the whole result on the client, forward-only or not: a plain query
// ends in mysql_store_result, a prepared one in mysql_stmt_store_result: a forward-only read
// of 1,000,000 records of one double peaked 35 to 45 MB above one of 100,000. A prepared
// statement's server-side cursor is therefore fetched here in batches
// (bench/peak-memory-mariadb.sh: the same peak on 100,000 and on 10,000,000 records).
#include "zelstats/data/Cancel.h"
#include "zelstats/data/MariaDbDriver.h"
#include "zelstats/data/Params.h"

#include <QDateTime>
#include <QVariant>

#include <mysql.h>
#include <errmsg.h>

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cctype>
#include <charconv>
#include <cstring>
#include <optional>

namespace zel {

namespace {

// Rows per server-side fetch. Each batch is one round trip; past a few thousand rows the round
// trips no longer show in the time of a pass (bench/QtSqlBench.cpp), and a batch of narrow
// rows stays well under a megabyte.
constexpr unsigned long kPrefetchRows = 4096;
// Text columns are fetched into a buffer of this size; a longer value is fetched again whole
// when it is read (mysql_stmt_fetch_column), so one long text costs no more than itself.
constexpr unsigned long kTextBuffer = 256;
// The character set number MariaDB gives binary strings.
constexpr unsigned kBinaryCharset = 63;

struct MysqlCloser {
    void operator()(MYSQL* mysql) const { mysql_close(mysql); }
};
using OwnConnection = std::unique_ptr<MYSQL, MysqlCloser>;

struct StatementCloser {
    void operator()(MYSQL_STMT* stmt) const { mysql_stmt_close(stmt); }
};
using Statement = std::unique_ptr<MYSQL_STMT, StatementCloser>;

struct ResultFreer {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using Result = std::unique_ptr<MYSQL_RES, ResultFreer>;

// Why a call failed, as the message tells it.
enum class Cause { Server, Cancelled, WaitLimit };

// The one place where a failure of the MariaDB client library becomes the data-access layer's
// exception. A statement stopped by a cancel or by the wait limit says so instead of the
// client's "Lost connection to server during query".
[[noreturn]] void ThrowMariaDbError(const std::string& what, const char* message,
                                    Cause cause = Cause::Server, const std::string& detail = {})
{
    switch (cause) {
    case Cause::Cancelled: throw EDatabaseError(what + ": the statement was cancelled");
    case Cause::WaitLimit: throw EDatabaseError(what + ": " + detail);
    case Cause::Server: break;
    }
    throw EDatabaseError(what + ": "
                         + (message != nullptr && *message != '\0' ? message : "unknown error"));
}

// A whole decimal text as a number; from_chars is locale independent, unlike strtod.
bool ParseNumber(const char* text, std::size_t length, double& value)
{
    auto [stop, error] = std::from_chars(text, text + length, value);
    return error == std::errc() && stop == text + length && length > 0;
}

bool IsUnsignedMetaType(int type)
{
    return type == QMetaType::UChar || type == QMetaType::UShort || type == QMetaType::UInt
           || type == QMetaType::ULong || type == QMetaType::ULongLong;
}

// Seconds with `decimals` fractional digits, as the server writes a time; Qt keeps
// milliseconds, the rest is zeros.
std::string TimeText(const QTime& time, int decimals)
{
    std::string text = time.toString(QStringLiteral("HH:mm:ss")).toStdString();
    if (decimals > 0) {
        std::string fraction = std::to_string(1000 + time.msec()).substr(1) + "000";
        text += "." + fraction.substr(0, static_cast<std::size_t>(std::min(decimals, 6)));
    }
    return text;
}

// Backquotes, with inner backquotes doubled: valid whatever the session's sql_mode.
std::string QuoteMariaDbName(const std::string& name)
{
    std::string quoted = "`";
    for (const char c : name)
        quoted += c == '`' ? std::string("``") : std::string(1, c);
    return quoted + "`";
}

// A string literal for the server: quotes and backslashes doubled. Under NO_BACKSLASH_ESCAPES
// a name with a backslash then names nothing, but the literal still ends where it should.
std::string QuoteMariaDbText(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text)
        quoted += c == '\'' || c == '\\' ? std::string(2, c) : std::string(1, c);
    return quoted + "'";
}

std::string LimitText(std::chrono::milliseconds limit)
{
    const auto ms = limit.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

// The client library counts its timeouts in whole seconds: a limit is rounded up.
unsigned TimeoutSeconds(std::chrono::milliseconds limit)
{
    const auto ms = std::max<std::int64_t>(limit.count(), 1);
    return static_cast<unsigned>((ms + 999) / 1000);
}

// --- Stopping a statement from another thread

// Stops the statement of one connection with KILL QUERY, sent through a second connection
// made for the purpose: a MariaDB connection takes no other command while a statement runs on
// it. Once cancelled, the cursor fails its later statements at once.
class MariaDbCanceller : public StatementCanceller {
public:
    MariaDbCanceller(const MariaDbServer& server, unsigned long threadId)
        : server_(server), threadId_(threadId)
    {
    }

    void CancelStatement(Deadline deadline) noexcept override
    {
        cancelled_.store(true);
        KillQuery(deadline);
    }

    // KILL QUERY for the connection's thread; true when the server knew the thread. The
    // client's timeouts are whole seconds: the deadline may be passed by less than one.
    bool KillQuery(Deadline deadline) const noexcept
    {
        try {
            OwnConnection conn(mysql_init(nullptr));
            if (conn == nullptr)
                return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            const unsigned seconds = TimeoutSeconds(left);
            mysql_options(conn.get(), MYSQL_OPT_CONNECT_TIMEOUT, &seconds);
            mysql_options(conn.get(), MYSQL_OPT_READ_TIMEOUT, &seconds);
            mysql_options(conn.get(), MYSQL_OPT_WRITE_TIMEOUT, &seconds);
            const MariaDbServer& s = server_;
            if (mysql_real_connect(conn.get(), s.host.empty() ? nullptr : s.host.c_str(),
                                   s.user.c_str(), s.password.c_str(), nullptr, s.port,
                                   s.socket.empty() ? nullptr : s.socket.c_str(), 0)
                == nullptr)
                return false;
            const std::string kill = "KILL QUERY " + std::to_string(threadId_);
            return mysql_real_query(conn.get(), kill.data(), kill.size()) == 0;
        } catch (...) {
            return false;
        }
    }

    bool Cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
    const MariaDbServer& Server() const { return server_; }

private:
    MariaDbServer server_;
    unsigned long threadId_;
    std::atomic<bool> cancelled_{false};
};

// The failure of a statement that the wait limit stopped.
[[noreturn]] void ThrowWaitLimit(const MariaDbCanceller& canceller, const std::string& what,
                                 std::chrono::milliseconds limit)
{
    ThrowMariaDbError(what, nullptr, Cause::WaitLimit,
                      "the MariaDB server " + canceller.Server().display
                          + " did not answer within the wait limit of " + LimitText(limit)
                          + ", and the statement was cancelled");
}

// After a connection was lost under a wait limit: stops the statement should the server still
// run it, and fails as the limit at work when it did (KILL QUERY found the thread) or when the
// wait lasted the limit. Returns when the connection was lost for another reason.
void ThrowIfWaitLimit(const MariaDbCanceller& canceller, const std::string& what,
                      std::chrono::milliseconds limit, std::chrono::steady_clock::duration waited)
{
    if (limit.count() <= 0)
        return;
    const bool killed = canceller.KillQuery(std::chrono::steady_clock::now() + limit);
    if (killed || waited >= limit)
        ThrowWaitLimit(canceller, what, limit);
}

// The wait limit on a connection whose client timeouts are the application's (its own
// QSqlDatabase, opened without them): a thread that sleeps until the deadline of the wait in
// progress and then stops the statement with KILL QUERY. The client library then returns
// the server's "interrupted", which Fired() explains. A connection that no longer answers at
// all is beyond it: only the client's own timeouts end that wait.
class WaitWatch {
public:
    WaitWatch(const MariaDbCanceller& canceller, std::chrono::milliseconds limit)
        : canceller_(canceller), limit_(limit), thread_([this] { Run(); })
    {
    }

    ~WaitWatch()
    {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    WaitWatch(const WaitWatch&) = delete;
    WaitWatch& operator=(const WaitWatch&) = delete;

    void Arm()
    {
        {
            std::lock_guard lock(mutex_);
            deadline_ = std::chrono::steady_clock::now() + limit_;
        }
        wake_.notify_one();
    }

    void Disarm()
    {
        std::lock_guard lock(mutex_);
        deadline_.reset();
    }

    bool Fired() const { return fired_.load(); }

private:
    void Run()
    {
        std::unique_lock lock(mutex_);
        while (!stop_) {
            if (!deadline_) {
                wake_.wait(lock);
                continue;
            }
            const auto deadline = *deadline_;
            if (wake_.wait_until(lock, deadline) != std::cv_status::timeout
                || deadline_ != deadline)
                continue;
            deadline_.reset();
            fired_.store(true);
            lock.unlock();
            canceller_.KillQuery(std::chrono::steady_clock::now() + limit_);
            lock.lock();
        }
    }

    const MariaDbCanceller& canceller_;
    std::chrono::milliseconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool stop_ = false;
    std::atomic<bool> fired_{false};
    std::thread thread_; // last: starts when every other member is made
};

// --- Field kinds

TFieldType KindOfMysqlField(const MYSQL_FIELD& f)
{
    return MariaDbFieldKind(static_cast<int>(f.type), (f.flags & UNSIGNED_FLAG) != 0, f.length,
                            f.charsetnr == kBinaryCharset);
}

// The refusals that only MariaDB's grammar needs: statements that run hidden in an executable
// comment, and reads that take locks.
class LockScanner {
public:
    explicit LockScanner(const std::string& sql) : sql_(sql) {}

    // The refused construct as the user wrote it, or empty.
    std::string Refused()
    {
        std::vector<std::string> words;
        while (i_ < sql_.size()) {
            const char c = sql_[i_];
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                words.push_back(Word());
                if (std::string found = Match(words); !found.empty())
                    return found;
            } else if (!SkipNonCode()) {
                ++i_;
            }
        }
        return {};
    }

private:
    std::string Word()
    {
        std::string word;
        while (i_ < sql_.size()
               && (std::isalnum(static_cast<unsigned char>(sql_[i_])) || sql_[i_] == '_'
                   || sql_[i_] == '$'))
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(sql_[i_++])));
        return word;
    }

    // Quoted texts and names and ordinary comments, which hold no code. An executable
    // comment's text is code: only its opening is skipped.
    bool SkipNonCode()
    {
        const char c = sql_[i_];
        const std::size_t n = sql_.size();
        if (c == '\'' || c == '"' || c == '`') {
            for (++i_; i_ < n && sql_[i_] != c; ++i_)
                if (sql_[i_] == '\\' && c != '`')
                    ++i_;
            i_ = std::min(i_ + 1, n);
        } else if (c == '#' || (c == '-' && sql_.compare(i_, 3, "-- ") == 0)) {
            i_ = std::min(sql_.find('\n', i_), n);
        } else if (sql_.compare(i_, 3, "/*!") == 0 || sql_.compare(i_, 4, "/*M!") == 0) {
            i_ += sql_[i_ + 2] == '!' ? 3 : 4;
            while (i_ < n && std::isdigit(static_cast<unsigned char>(sql_[i_])))
                ++i_; // the version the comment is meant for
        } else if (sql_.compare(i_, 2, "/*") == 0) {
            const std::size_t end = sql_.find("*/", i_ + 2);
            i_ = end == std::string::npos ? n : end + 2;
        } else {
            return false;
        }
        return true;
    }

    std::string Match(const std::vector<std::string>& w)
    {
        static const char* const kLockFunctions[] = {"GET_LOCK", "RELEASE_LOCK",
                                                     "RELEASE_ALL_LOCKS", "IS_FREE_LOCK",
                                                     "IS_USED_LOCK"};
        const std::size_t k = w.size();
        if (k >= 2 && w[k - 2] == "FOR" && (w[k - 1] == "UPDATE" || w[k - 1] == "SHARE"))
            return "SELECT ... FOR " + w[k - 1];
        if (k >= 4 && w[k - 4] == "LOCK" && w[k - 3] == "IN" && w[k - 2] == "SHARE"
            && w[k - 1] == "MODE")
            return "SELECT ... LOCK IN SHARE MODE";
        std::size_t next = i_;
        while (next < sql_.size() && std::isspace(static_cast<unsigned char>(sql_[next])))
            ++next;
        if (next < sql_.size() && sql_[next] == '(')
            for (const char* name : kLockFunctions)
                if (w[k - 1] == name)
                    return w[k - 1] + "(...)";
        return {};
    }

    const std::string& sql_;
    std::size_t i_ = 0;
};

} // namespace

TFieldType MariaDbFieldKind(int type, bool isUnsigned, unsigned long length, bool binary)
{
    switch (static_cast<enum_field_types>(type)) {
    case MYSQL_TYPE_TINY: return length == 1 ? TFieldType::ftBoolean : TFieldType::ftSmallint;
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
        return binary ? TFieldType::ftBlob : TFieldType::ftString;
    default: return TFieldType::ftString;
    }
}

// Sound because both lookups are the dynamic linker's own: the plugin's calls bind to the
// first definition in the global scope, else in the plugin's own dependencies, and both must
// lead to the object that holds this package's client library (found by the address of the
// text its mysql_get_client_info returns). A plugin linked to another client library (another
// soname, or a copy elsewhere) resolves elsewhere in one of them; a client library linked
// into this package statically is another object than the plugin's.
bool SharesMariaDbClient(const void* addressInPlugin)
{
    Dl_info ours{};
    Dl_info plugin{};
    if (dladdr(mysql_get_client_info(), &ours) == 0 || dladdr(addressInPlugin, &plugin) == 0
        || plugin.dli_fname == nullptr)
        return false;
    struct Closer {
        void operator()(void* handle) const { dlclose(handle); }
    };
    const std::unique_ptr<void, Closer> handle(dlopen(plugin.dli_fname, RTLD_LAZY | RTLD_NOLOAD));
    if (handle == nullptr)
        return false;
    const auto resolvesToOurs = [&ours](void* scope) {
        Dl_info where{};
        void* function = dlsym(scope, "mysql_get_client_info");
        return function != nullptr && dladdr(function, &where) != 0
               && where.dli_fbase == ours.dli_fbase;
    };
    return resolvesToOurs(handle.get()) && resolvesToOurs(RTLD_DEFAULT);
}

DataCursor::Number MariaDbNumberOf(const MariaDbQtColumn& column, const QVariant& value,
                                   double& number)
{
    if (column.kind == TFieldType::ftBoolean || !IsNumberKind(column.kind))
        return DataCursor::Number::NotANumber;
    bool ok = false;
    switch (value.typeId()) {
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::Short:
    case QMetaType::Int:
    case QMetaType::Long:
    case QMetaType::LongLong: number = static_cast<double>(value.toLongLong(&ok)); break;
    case QMetaType::Double:
    case QMetaType::Float: number = value.toDouble(&ok); break;
    default:
        if (IsUnsignedMetaType(value.typeId())) {
            number = static_cast<double>(value.toULongLong(&ok));
        } else {
            const QByteArray text = value.toString().toLatin1();
            ok = ParseNumber(text.constData(), static_cast<std::size_t>(text.size()), number);
        }
    }
    // A FLOAT's text names the float (it has its shortest digits): the float, widened, is
    // what the client library's binding reads.
    if (ok && column.type == MYSQL_TYPE_FLOAT)
        number = static_cast<double>(static_cast<float>(number));
    return ok ? DataCursor::Number::Value : DataCursor::Number::NotANumber;
}

std::string MariaDbTextOf(const MariaDbQtColumn& column, const QVariant& value)
{
    if (column.kind == TFieldType::ftBlob)
        return "(binary data)";
    if (column.kind == TFieldType::ftBoolean)
        return value.toLongLong() != 0 ? "True" : "False";
    char digits[32];
    double number = 0;
    switch (static_cast<enum_field_types>(column.type)) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_YEAR:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG:
        return std::string(digits, IsUnsignedMetaType(value.typeId())
                                       ? std::to_chars(digits, digits + sizeof digits,
                                                       value.toULongLong()).ptr
                                       : std::to_chars(digits, digits + sizeof digits,
                                                       value.toLongLong()).ptr);
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
        if (MariaDbNumberOf(column, value, number) != DataCursor::Number::Value)
            break;
        return std::string(digits, std::to_chars(digits, digits + sizeof digits, number).ptr);
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP: {
        const QDateTime at = value.toDateTime();
        return at.date().toString(Qt::ISODate).toStdString() + " "
               + TimeText(at.time(), column.decimals);
    }
    case MYSQL_TYPE_TIME: return TimeText(value.toTime(), column.decimals);
    default: break;
    }
    return value.toString().toStdString();
}

// InnoDB and RocksDB keep snapshots; MyISAM, Aria, MEMORY and the rest show other
// connections' writes at once. Which tables a query reads would take the server's parser.
std::string MariaDbSnapshotGap(const std::string& table, const MariaDbFirstColumn& firstColumn)
{
    const std::string snapshotEngines = " IN ('InnoDB', 'ROCKSDB')";
    if (!table.empty()) {
        const std::size_t dot = table.find('.');
        const std::string schema = dot == std::string::npos
                                       ? "DATABASE()"
                                       : QuoteMariaDbText(table.substr(0, dot));
        const auto engine = firstColumn(
            "SELECT CASE WHEN ENGINE" + snapshotEngines + " THEN '' ELSE ENGINE END FROM "
            "information_schema.TABLES WHERE TABLE_TYPE = 'BASE TABLE' AND TABLE_SCHEMA = "
            + schema + " AND TABLE_NAME = "
            + QuoteMariaDbText(table.substr(dot == std::string::npos ? 0 : dot + 1)));
        if (!engine)
            return "the table's engine may keep no snapshots";
        if (!engine->empty()) // else a view: the tables it reads are not known here
            return engine->front().empty()
                       ? std::string()
                       : "the table's engine, " + engine->front() + ", keeps no snapshots";
    }
    const auto engines = firstColumn(
        "SELECT DISTINCT ENGINE FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
        "DATABASE() AND TABLE_TYPE = 'BASE TABLE' AND ENGINE NOT" + snapshotEngines
        + " ORDER BY ENGINE");
    if (!engines)
        return "the tables it reads may be of engines that keep no snapshots";
    std::string list;
    for (const std::string& engine : *engines)
        list += (list.empty() ? "" : ", ") + engine;
    return list.empty() ? std::string()
                        : "the tables it reads may be of engines that keep no snapshots "
                          "(the database holds tables of " + list + ")";
}

void CheckMariaDbRead(const std::string& sql, const std::string& source)
{
    std::size_t i = 0;
    while (i < sql.size() && (std::isspace(static_cast<unsigned char>(sql[i])) || sql[i] == '('))
        ++i;
    if (sql.compare(i, 3, "/*!") == 0 || sql.compare(i, 4, "/*M!") == 0)
        throw EDatabaseError("Cannot open " + source
                             + ": a statement that begins in a MariaDB executable comment "
                               "(/*! ... */) is no plain read, and datasets only read");
    const std::string refused = LockScanner(sql).Refused();
    if (!refused.empty())
        throw EDatabaseError("Cannot open " + source + ": " + refused
                             + " is no plain read, and datasets only read");
}

namespace {

class MariaDbCursor : public DataCursor {
public:
    MariaDbCursor(MariaDbLink link, const std::string& sql, const std::string& table,
                  const std::string& source, const CursorOptions& options)
        : link_(std::move(link)), mysql_(link_.mysql), table_(table), source_(source), sql_(sql),
          limit_(options.waitLimit), canceller_(link_.server, mysql_thread_id(mysql_)),
          registration_(canceller_)
    {
        if (table_.empty())
            BindValues(options.params);
        if (limit_.count() > 0 && !link_.owned)
            watch_ = std::make_unique<WaitWatch>(canceller_, limit_);
        Open();
    }

    ~MariaDbCursor() override
    {
        // The statements go before the snapshot's COMMIT; the connection outlives them all.
        peek_.reset();
        stmt_.reset();
        EndSnapshot();
    }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }

    void Rewind() override
    {
        if (restrictTo_ != restricted_) {
            Narrow();
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
        // connection free.
        const std::string sql =
            table_.empty() ? CountStatement(sql_) : "SELECT COUNT(*) FROM " + table_;
        if (!paramBinds_.empty())
            return CountWithParams(sql);
        Result result = Query(sql, "Cannot count the records of ");
        std::int64_t n = 0;
        MYSQL_ROW row = mysql_fetch_row(result.get());
        if (row != nullptr && row[0] != nullptr)
            std::from_chars(row[0], row[0] + std::strlen(row[0]), n);
        return n;
    }

    // Only while no snapshot of the application's own is open: START TRANSACTION would
    // silently commit a transaction the application has begun on its connection.
    void BeginSnapshot() override
    {
        Result result = Query("SELECT @@in_transaction", "Cannot read ");
        MYSQL_ROW row = mysql_fetch_row(result.get());
        if (row != nullptr && row[0] != nullptr && row[0][0] != '0')
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
        // connection that went away or was cancelled has nothing left to release.
        if (!canceller_.Cancelled())
            mysql_query(mysql_, "COMMIT");
    }

    std::string SnapshotGap() const override
    {
        if (!gap_)
            gap_ = MariaDbSnapshotGap(link_.tableName, [this](const std::string& sql) {
                return FirstColumn(sql);
            });
        return *gap_;
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
    enum class Read { Integer, Double, Decimal, Text };

    // The bytes of a value read as text, fetched again when longer than its slot's buffer.
    std::string Bytes(int slot) const
    {
        const Slot_& s = slots_[slot];
        if (s.length <= s.text.size())
            return std::string(s.text.data(), s.length);
        return WholeText(slot);
    }

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

    void Open()
    {
        if (link_.owned) {
            // The connection is this dataset's own: read-only for the whole session, so that
            // even a stored function with side effects cannot write.
            Query("SET SESSION TRANSACTION READ ONLY", "Cannot open ");
        }
        Prepare(sql_);
        const Result meta(mysql_stmt_result_metadata(stmt_.get()));
        if (meta == nullptr) {
            // A read that returns nothing: SELECT ... INTO, which would write a file or a
            // variable.
            if (mysql_stmt_errno(stmt_.get()) != 0)
                Fail("Cannot open ", stmt_.get());
            throw EDatabaseError("Cannot open " + source_
                                 + ": the statement returns no records, and datasets only read");
        }
        const unsigned count = mysql_num_fields(meta.get());
        const MYSQL_FIELD* fields = mysql_fetch_fields(meta.get());
        for (unsigned i = 0; i < count; ++i) {
            columns_.push_back({std::string(fields[i].name, fields[i].name_length),
                                KindOfMysqlField(fields[i])});
            types_.push_back(fields[i].type);
            unsigned_.push_back((fields[i].flags & UNSIGNED_FLAG) != 0);
        }
        Bind();
        Position();
    }

    // A table walk narrowed to one column asks the server for that column alone. No index:
    // the server could read a one-column select from a covering index, in that index's order,
    // and a one-field walk must meet the records in the order of the full one. A view takes
    // no index hint; its walks read every column.
    void Narrow()
    {
        stmt_.reset();
        restricted_ = restrictTo_;
        if (restricted_ < 0
            || !Prepare("SELECT " + QuoteMariaDbName(columns_[restricted_].name) + " FROM "
                            + table_ + " USE INDEX ()",
                        true)) {
            narrowable_ = restricted_ < 0 && narrowable_;
            restricted_ = restrictTo_ = -1;
            Prepare(sql_);
        }
        Bind();
        Position();
    }

    // A failure of the last call on `stmt` (or on the connection), as the one error maker
    // words it. A connection lost under a wait limit is the limit at work, when the server
    // still ran the statement (KILL QUERY found it) or the wait lasted the limit.
    [[noreturn]] void Fail(const char* what, MYSQL_STMT* stmt = nullptr) const
    {
        const unsigned code = stmt != nullptr ? mysql_stmt_errno(stmt) : mysql_errno(mysql_);
        const char* message = stmt != nullptr ? mysql_stmt_error(stmt) : mysql_error(mysql_);
        const std::string context = what + source_;
        if (canceller_.Cancelled())
            ThrowMariaDbError(context, message, Cause::Cancelled);
        if (watch_ != nullptr && watch_->Fired())
            ThrowWaitLimit(canceller_, context, limit_);
        if (code == CR_SERVER_LOST || code == CR_SERVER_GONE_ERROR) {
            const bool timed = waitStart_ != std::chrono::steady_clock::time_point{};
            ThrowIfWaitLimit(canceller_, context, limit_,
                             timed ? std::chrono::steady_clock::now() - waitStart_
                                   : std::chrono::steady_clock::duration::zero());
        }
        ThrowMariaDbError(context, message);
    }

    // Ends the watched wait that BeginWait began.
    struct WaitEnd {
        void operator()(WaitWatch* watch) const { watch->Disarm(); }
    };
    using Wait = std::unique_ptr<WaitWatch, WaitEnd>;

    // Before each statement that waits on the server: a cancelled connection, or one whose
    // statement the wait limit stopped, runs nothing. The wait lasts as long as the result.
    [[nodiscard]] Wait BeginWait(const char* what)
    {
        if (canceller_.Cancelled())
            ThrowMariaDbError(what + source_, nullptr, Cause::Cancelled);
        if (watch_ != nullptr && watch_->Fired())
            ThrowWaitLimit(canceller_, what + source_, limit_);
        waitStart_ = std::chrono::steady_clock::now();
        if (watch_ == nullptr)
            return nullptr;
        watch_->Arm();
        return Wait(watch_.get());
    }

    // Runs one statement and keeps its whole result (null for a statement without one).
    Result Query(const std::string& sql, const char* what)
    {
        const Wait wait = BeginWait(what);
        if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0)
            Fail(what);
        Result result(mysql_store_result(mysql_));
        if (result == nullptr && mysql_field_count(mysql_) != 0)
            Fail(what);
        return result;
    }

    bool FetchRow()
    {
        // Not timed: mostly a copy out of the batch at hand (BeginWait would cost a clock
        // read per record); a stalled fetch still ends at the connection's read timeout.
        if (canceller_.Cancelled())
            ThrowMariaDbError("Cannot read " + source_, nullptr, Cause::Cancelled);
        waitStart_ = {};
        const int rc = mysql_stmt_fetch(stmt_.get());
        if (rc == 0 || rc == MYSQL_DATA_TRUNCATED)
            return true;
        if (rc == MYSQL_NO_DATA)
            return false;
        Fail("Cannot read ", stmt_.get());
    }

    // False instead of a failure to prepare when `mayFail`.
    bool Prepare(const std::string& sql, bool mayFail = false)
    {
        const Wait wait = BeginWait("Cannot open ");
        stmt_.reset(mysql_stmt_init(mysql_));
        if (stmt_ == nullptr)
            Fail("Cannot open ");
        if (mysql_stmt_prepare(stmt_.get(), sql.data(), sql.size()) != 0) {
            if (mayFail && !canceller_.Cancelled()) {
                stmt_.reset();
                return false;
            }
            Fail("Cannot open ", stmt_.get());
        }
        if (mysql_stmt_param_count(stmt_.get()) > 0
            && mysql_stmt_bind_param(stmt_.get(), paramBinds_.data()) != 0)
            Fail("Cannot open ", stmt_.get());
        // A read-only cursor: the server keeps the result and sends kPrefetchRows rows per
        // fetch, so that the client holds one batch, and the connection stays free for other
        // statements (the record count, the application's own) between fetches.
        const unsigned long cursor = CURSOR_TYPE_READ_ONLY;
        const unsigned long prefetch = kPrefetchRows;
        if (mysql_stmt_attr_set(stmt_.get(), STMT_ATTR_CURSOR_TYPE, &cursor) != 0
            || mysql_stmt_attr_set(stmt_.get(), STMT_ATTR_PREFETCH_ROWS, &prefetch) != 0)
            Fail("Cannot open ", stmt_.get());
        return true;
    }

    // The values of the query's parameters, as paramBinds_ sends them.
    struct ParamValue {
        long long integer = 0;
        double real = 0.0;
        std::string bytes;
        unsigned long length = 0;
    };

    // The query's values, one for each '?' the SQL text's :name parameters became, each bound
    // with its own type. The binds point into paramValues_, sized once here.
    void BindValues(const std::vector<TQueryParam>& params)
    {
        const PositionalSql positional = BindableSql(
            sql_, SqlDialect::MariaDb, params, source_, [](std::size_t) { return "?"; });
        sql_ = positional.sql;
        paramValues_.resize(positional.order.size());
        paramBinds_.assign(positional.order.size(), MYSQL_BIND{});
        for (std::size_t i = 0; i < positional.order.size(); ++i)
            BindValue(params[positional.order[i]].value, paramValues_[i], paramBinds_[i]);
    }

    static void BindValue(const QVariant& v, ParamValue& value, MYSQL_BIND& b)
    {
        switch (KindOfParam(v)) {
        case ParamKind::Null: b.buffer_type = MYSQL_TYPE_NULL; return;
        case ParamKind::Integer:
            value.integer = v.toLongLong();
            b.buffer_type = MYSQL_TYPE_LONGLONG;
            b.buffer = &value.integer;
            return;
        case ParamKind::Real:
            value.real = v.toDouble();
            b.buffer_type = MYSQL_TYPE_DOUBLE;
            b.buffer = &value.real;
            return;
        case ParamKind::Bytes:
            value.bytes = v.toByteArray().toStdString();
            b.buffer_type = MYSQL_TYPE_BLOB;
            break;
        case ParamKind::Text:
            value.bytes = v.toString().toStdString();
            b.buffer_type = MYSQL_TYPE_STRING;
            break;
        }
        value.length = value.bytes.size();
        b.buffer = value.bytes.data();
        b.buffer_length = value.length;
        b.length = &value.length;
    }

    // The count of a query that has parameters: prepared too, with the same values.
    std::int64_t CountWithParams(const std::string& sql)
    {
        const char* what = "Cannot count the records of ";
        const Wait wait = BeginWait(what);
        Statement count(mysql_stmt_init(mysql_));
        if (count == nullptr)
            Fail(what);
        long long n = 0;
        MYSQL_BIND out{};
        out.buffer_type = MYSQL_TYPE_LONGLONG;
        out.buffer = &n;
        if (mysql_stmt_prepare(count.get(), sql.data(), sql.size()) != 0
            || mysql_stmt_bind_param(count.get(), paramBinds_.data()) != 0
            || mysql_stmt_execute(count.get()) != 0
            || mysql_stmt_bind_result(count.get(), &out) != 0
            || mysql_stmt_fetch(count.get()) != 0)
            Fail(what, count.get());
        return n;
    }

    // Numbers arrive in binary and are bound as numbers: no text round trip per value.
    // Decimals are bound as text, which is their exact form on the wire.
    void Bind()
    {
        peek_.reset(); // bound to the slots about to be replaced
        peeked_ = false;
        const std::size_t count = restricted_ >= 0 ? 1 : columns_.size();
        slots_.assign(count, Slot_{});
        binds_.assign(count, MYSQL_BIND{});
        for (std::size_t i = 0; i < count; ++i)
            BindSlot(restricted_ >= 0 ? restricted_ : i, slots_[i], binds_[i]);
        if (mysql_stmt_bind_result(stmt_.get(), binds_.data()) != 0)
            Fail("Cannot open ", stmt_.get());
    }

    void BindSlot(std::size_t column, Slot_& s, MYSQL_BIND& b)
    {
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

    // A text longer than its buffer: the whole value of this column, fetched once more.
    std::string WholeText(int slot) const
    {
        const Slot_& s = slots_[slot];
        std::string whole(s.length, '\0');
        MYSQL_BIND bind{};
        unsigned long length = 0;
        bind.buffer_type = MYSQL_TYPE_STRING;
        bind.buffer = whole.data();
        bind.buffer_length = s.length;
        bind.length = &length;
        MYSQL_STMT* current = peeked_ ? peek_.get() : stmt_.get();
        if (mysql_stmt_fetch_column(current, &bind, static_cast<unsigned>(slot), 0) != 0)
            Fail("Cannot read ", current);
        whole.resize(std::min<unsigned long>(length, s.length));
        return whole;
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

    // The statement that reads a table's first record alone; null for a view, which takes no
    // index hint.
    void PreparePeek()
    {
        Statement peek(mysql_stmt_init(mysql_));
        const std::string sql = "SELECT * FROM " + table_ + " USE INDEX () LIMIT 1";
        if (peek == nullptr || mysql_stmt_prepare(peek.get(), sql.data(), sql.size()) != 0
            || mysql_stmt_field_count(peek.get()) != columns_.size()
            || mysql_stmt_bind_result(peek.get(), binds_.data()) != 0) {
            peekable_ = false;
            return;
        }
        peek_ = std::move(peek);
    }

    bool Peek()
    {
        if (peek_ == nullptr && peekable_)
            PreparePeek();
        if (peek_ == nullptr)
            return false;
        const Wait wait = BeginWait("Cannot read ");
        mysql_stmt_free_result(stmt_.get()); // the earlier walk's cursor is of no more use
        mysql_stmt_free_result(peek_.get());
        // Buffered: one row, and the connection is free again for the record count.
        if (mysql_stmt_execute(peek_.get()) != 0 || mysql_stmt_store_result(peek_.get()) != 0)
            Fail("Cannot read ", peek_.get());
        const int rc = mysql_stmt_fetch(peek_.get());
        if (rc != 0 && rc != MYSQL_DATA_TRUNCATED && rc != MYSQL_NO_DATA)
            Fail("Cannot read ", peek_.get());
        peekRow_ = rc != MYSQL_NO_DATA;
        peeked_ = true;
        onPeek_ = false;
        fresh_ = true;
        return true;
    }

    void Execute()
    {
        peeked_ = false;
        const Wait wait = BeginWait("Cannot read ");
        // Executing again closes the statement's earlier cursor on the server.
        mysql_stmt_free_result(stmt_.get());
        if (mysql_stmt_execute(stmt_.get()) != 0)
            Fail("Cannot read ", stmt_.get());
        fresh_ = true;
    }

    // The first column of every row, a null as empty; nullopt when the statement fails.
    std::optional<std::vector<std::string>> FirstColumn(const std::string& sql) const
    {
        if (canceller_.Cancelled() || mysql_real_query(mysql_, sql.data(), sql.size()) != 0)
            return std::nullopt;
        const Result result(mysql_store_result(mysql_));
        if (result == nullptr)
            return std::nullopt;
        std::vector<std::string> values;
        while (MYSQL_ROW row = mysql_fetch_row(result.get()))
            values.emplace_back(row[0] != nullptr ? row[0] : "");
        return values;
    }

    // Declared first, released last: the connection outlives the statements on it.
    MariaDbLink link_;
    MYSQL* mysql_;
    std::string table_; // quoted; empty for a query
    std::string source_;
    std::string sql_;
    std::chrono::milliseconds limit_;
    MariaDbCanceller canceller_;
    CancelRegistration registration_;
    // Only for an application's connection under a wait limit.
    std::unique_ptr<WaitWatch> watch_;
    std::chrono::steady_clock::time_point waitStart_{};
    Statement stmt_;
    // The first record of a table, read alone (Position).
    Statement peek_;
    bool peekable_ = true;
    bool peeked_ = false;
    bool onPeek_ = false;
    bool peekRow_ = false;
    std::vector<ColumnInfo> columns_;
    std::vector<enum_field_types> types_;
    std::vector<bool> unsigned_;
    std::vector<Slot_> slots_;
    std::vector<MYSQL_BIND> binds_;
    std::vector<ParamValue> paramValues_; // the query's parameters' values
    std::vector<MYSQL_BIND> paramBinds_;
    int restricted_ = -1;
    int restrictTo_ = -1;
    bool narrowable_ = true;
    bool fresh_ = false;
    bool snapshot_ = false;
    mutable std::optional<std::string> gap_;
};

} // namespace

struct MariaDbThreadCanceller::Registered {
    Registered(const MariaDbServer& server, unsigned long threadId)
        : canceller(server, threadId), registration(canceller)
    {
    }
    MariaDbCanceller canceller;
    CancelRegistration registration;
};

MariaDbThreadCanceller::MariaDbThreadCanceller(const MariaDbServer& server,
                                               unsigned long threadId)
    : registered_(std::make_unique<Registered>(server, threadId))
{
}

MariaDbThreadCanceller::~MariaDbThreadCanceller() = default;

bool MariaDbThreadCanceller::Cancelled() const { return registered_->canceller.Cancelled(); }

void MariaDbThreadCanceller::ThrowIfWaitLimit(const std::string& what, int errorCode,
                                              std::chrono::milliseconds limit,
                                              std::chrono::steady_clock::duration waited) const
{
    if (errorCode == CR_SERVER_LOST || errorCode == CR_SERVER_GONE_ERROR)
        zel::ThrowIfWaitLimit(registered_->canceller, what, limit, waited);
}

std::unique_ptr<DataCursor> OpenMariaDbCursor(MariaDbLink link, const std::string& sql,
                                              const std::string& table, const std::string& source,
                                              const CursorOptions& options)
{
    return std::make_unique<MariaDbCursor>(std::move(link), sql, table, source, options);
}

} // namespace zel
