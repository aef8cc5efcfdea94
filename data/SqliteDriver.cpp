// The SQLite driver: a read-only connection and one prepared statement stepped row by row.
#include "zelstats/data/Driver.h"
#include "zelstats/data/Params.h"

#include <QByteArray>

#include <sqlite3.h>

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <string_view>
#include <vector>

namespace zel {

namespace {

// The one place where an SQLite failure becomes the data-access layer's exception.
[[noreturn]] void ThrowSqliteError(sqlite3* db, const std::string& what)
{
    // A failed sqlite3_open_v2 may leave no handle at all: the library ran out of memory.
    const char* message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    const int code = db != nullptr ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    if (code == SQLITE_READONLY_DIRECTORY || code == SQLITE_READONLY_CANTINIT)
        throw EDatabaseError(what + ": " + message
                             + " (the database is in WAL mode, whose readers need its -wal and "
                               "-shm files beside it, and this user cannot make them in its "
                               "folder: read a copy in a folder you can write, or have its owner "
                               "set PRAGMA journal_mode=DELETE)");
    throw EDatabaseError(what + ": " + message);
}

struct ConnectionCloser {
    // close_v2 defers the close until the last statement is finalized, and rolls back a
    // snapshot still open, so the order in which the handles go does not matter.
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// ASCII upper case. std::toupper follows the process locale: under tr_TR.UTF-8 it leaves 'i'
// alone (its capital is a two-byte character), so "integer" and "timestamp" would lose their
// kinds.
std::string Upper(const char* text)
{
    std::string s = text != nullptr ? text : "";
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return s;
}

// Field kinds from a declared column type: the usual type names first, then SQLite's own
// affinity rules for everything else.
TFieldType KindOfDeclaredType(const std::string& t)
{
    auto has = [&t](const char* part) { return t.find(part) != std::string::npos; };
    if (has("BIGINT") || has("INT8"))
        return TFieldType::ftLargeint;
    if (has("SMALLINT") || has("TINYINT") || has("INT2"))
        return TFieldType::ftSmallint;
    if (t == "WORD")
        return TFieldType::ftWord;
    if (has("INT"))
        return TFieldType::ftInteger;
    if (has("BOOL"))
        return TFieldType::ftBoolean;
    if (has("DATETIME") || has("TIMESTAMP"))
        return TFieldType::ftDateTime;
    if (has("DATE"))
        return TFieldType::ftDate;
    if (has("MONEY") || has("CURRENCY"))
        return TFieldType::ftCurrency;
    if (has("CHAR") || has("CLOB") || has("TEXT"))
        return TFieldType::ftString;
    if (has("BLOB"))
        return TFieldType::ftBlob;
    if (has("REAL") || has("FLOA") || has("DOUB"))
        return TFieldType::ftFloat;
    return TFieldType::ftBCD; // NUMERIC affinity: NUMERIC, DECIMAL and any other name
}

// A column without a declared type (an expression) takes its kind from its first value.
TFieldType KindOfStoredValue(int storage)
{
    switch (storage) {
    case SQLITE_TEXT: return TFieldType::ftString;
    case SQLITE_BLOB: return TFieldType::ftBlob;
    default: return TFieldType::ftFloat;
    }
}

bool OnlySeparatorsLeft(const char* tail)
{
    for (; tail != nullptr && *tail != '\0'; ++tail) {
        if (!std::isspace(static_cast<unsigned char>(*tail)) && *tail != ';')
            return false;
    }
    return true;
}

// The database name must be a regular file. Opening a FIFO blocks until something writes to
// it, and a device or a directory is no database: both are refused before the library opens
// anything. The journal files beside it are opened by the library too, so they are checked
// alike. (A file swapped for a FIFO between this check and the open would still block; that
// takes someone who can already write to the folder.)
void CheckRegularFile(const std::string& path)
{
    const std::string shown = DatabaseDisplayName(path);
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        struct stat info {};
        if (stat((path + suffix).c_str(), &info) != 0)
            continue; // a missing database is reported by the library, naming the path
        const std::string name = suffix[0] == '\0' ? "it" : std::string("its ") + suffix + " file";
        if (S_ISDIR(info.st_mode))
            throw EDatabaseError("Cannot open database '" + shown + "': " + name
                                 + " is a directory");
        if (!S_ISREG(info.st_mode))
            throw EDatabaseError("Cannot open database '" + shown + "': " + name
                                 + " is not a regular file");
    }
}

bool Exists(const std::string& path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

// Whether the file's header says WAL mode (its read and write versions are 2).
bool InWalMode(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    char header[20] = {};
    return file.read(header, sizeof header)
           && std::string_view(header, 16) == std::string_view("SQLite format 3", 16)
           && header[18] == 2 && header[19] == 2;
}

// What a dataset's statement may do: read. The authorizer sees every action the compiler
// asks for; anything but reading is refused by name, so that the message can say what was
// asked. Statements of the driver's own (BEGIN and COMMIT of a snapshot) pass while
// `internal` is set.
struct ReadGate {
    bool internal = false;
    bool read = false;     // the statement selects something (or is an informational PRAGMA)
    bool writes = false;   // it would change data or schema
    std::string refused;   // the first other action refused, as SQL names it

    void Clear()
    {
        read = writes = false;
        refused.clear();
    }
};

// Pragmas that only describe the schema or the library, whatever their argument names.
bool IsInformationPragma(const char* name)
{
    static const char* const kPragmas[] = {
        "table_info", "table_xinfo", "table_list", "index_info", "index_xinfo", "index_list",
        "foreign_key_list", "database_list", "collation_list", "function_list", "module_list",
        "pragma_list", "compile_options"};
    return name != nullptr
           && std::any_of(std::begin(kPragmas), std::end(kPragmas),
                          [name](const char* p) { return sqlite3_stricmp(name, p) == 0; });
}

int AuthorizeRead(void* data, int action, const char* arg1, const char* /*arg2*/,
                  const char* /*schema*/, const char* /*inner*/)
{
    ReadGate& gate = *static_cast<ReadGate*>(data);
    if (gate.internal)
        return SQLITE_OK;
    switch (action) {
    case SQLITE_SELECT:
        gate.read = true;
        return SQLITE_OK;
    case SQLITE_READ:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE:
        return SQLITE_OK;
    case SQLITE_PRAGMA:
        // Table-valued pragmas (pragma_table_info('t')) ask for their pragma when they are
        // first stepped, not when prepared: a refusal then shows up as a read failure.
        if (IsInformationPragma(arg1)) {
            gate.read = true;
            return SQLITE_OK;
        }
        gate.refused = std::string("PRAGMA ") + (arg1 != nullptr ? arg1 : "");
        return SQLITE_DENY;
    case SQLITE_UPDATE:
        // A table-valued function (json_each, pragma_table_info) is declared as a virtual
        // table, and the library checks that declaration as an update of the schema table's
        // columns. The connection is read-only and writable_schema is refused above, so the
        // schema table cannot actually change.
        if (arg1 != nullptr && sqlite3_stricmp(arg1, "sqlite_master") == 0)
            return SQLITE_OK;
        gate.writes = true;
        return SQLITE_DENY;
    case SQLITE_TRANSACTION: gate.refused = arg1 != nullptr ? arg1 : "a transaction"; break;
    case SQLITE_SAVEPOINT: gate.refused = "SAVEPOINT"; break;
    case SQLITE_ATTACH: gate.refused = "ATTACH"; break;
    case SQLITE_DETACH: gate.refused = "DETACH"; break;
    case SQLITE_REINDEX: gate.refused = "REINDEX"; break;
    case SQLITE_ANALYZE: gate.refused = "ANALYZE"; break;
    default: gate.writes = true; break; // INSERT, DELETE, CREATE ..., DROP ..., ALTER ...
    }
    return SQLITE_DENY;
}

// Why the gate refused a statement, or empty when it refused nothing.
std::string Refusal(const ReadGate& gate)
{
    if (gate.writes)
        return "the statement would change data, and datasets only read";
    if (!gate.refused.empty())
        return "the statement is not a plain read (" + gate.refused + "), and datasets only read";
    return {};
}

// Splits schema.table at the first '.' that is not inside double quotes. Either part may be
// quoted ("my schema"."t.x", a doubled quote standing for one); an unquoted table part is
// the rest of the text, dots and all. False when there is no such '.'.
bool SplitQualifiedName(const std::string& text, std::string& schema, std::string& name)
{
    // A quoted part starting at `i`: its name, with `i` moved past the closing quote; false
    // when the quote is never closed.
    auto quoted = [&text](std::size_t& i, std::string& part) {
        part.clear();
        for (++i; i < text.size(); ++i) {
            if (text[i] == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    ++i;
                } else {
                    ++i;
                    return true;
                }
            }
            part += text[i];
        }
        return false;
    };
    std::size_t i = 0;
    if (text.starts_with('"')) {
        if (!quoted(i, schema) || i >= text.size() || text[i] != '.')
            return false;
    } else {
        i = text.find('.');
        if (i == std::string::npos)
            return false;
        schema = text.substr(0, i);
    }
    ++i; // the '.'
    std::size_t end = i;
    if (end < text.size() && text[end] == '"' && quoted(end, name) && end == text.size())
        return !schema.empty() && !name.empty();
    name = text.substr(i);
    return !schema.empty() && !name.empty();
}

// Stops a connection's statement from another thread (sqlite3_interrupt), and every later one.
class SqliteCanceller final : public StatementCanceller {
public:
    explicit SqliteCanceller(sqlite3* db) : db_(db) {}

    void CancelStatement(Deadline) noexcept override
    {
        cancelled_.store(true);
        sqlite3_interrupt(db_);
    }

    bool Cancelled() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

private:
    sqlite3* db_;
    std::atomic<bool> cancelled_{false};
};

// The schema object a table name stands for.
enum class TableKind { Unknown, Table, Other };

class SqliteCursor : public DataCursor {
public:
    // A cursor over the result of one SELECT statement (or an informational PRAGMA).
    static std::unique_ptr<SqliteCursor> OpenQuery(const std::string& path, const std::string& sql,
                                                   const std::string& source,
                                                   std::vector<TQueryParam> params)
    {
        std::unique_ptr<SqliteCursor> cursor(new SqliteCursor(path, source));
        cursor->sql_ = sql;
        cursor->params_ = std::move(params);
        cursor->countSql_ = CountStatement(sql);
        // The line breaks keep a trailing "-- comment" from swallowing the parenthesis.
        cursor->limitedCountSql_ = "SELECT count(*) FROM (SELECT 1 FROM (\n"
                                   + WithoutTrailingSemicolons(sql) + "\n) LIMIT :zelstats_limit)";
        cursor->full_ = cursor->PrepareQuery(sql);
        cursor->Start();
        return cursor;
    }

    // A cursor over every row of a table or view, which can also read one column alone.
    static std::unique_ptr<SqliteCursor> OpenTable(const std::string& path,
                                                   const std::string& table,
                                                   const std::string& source)
    {
        std::unique_ptr<SqliteCursor> cursor(new SqliteCursor(path, source));
        cursor->ResolveTable(table);
        cursor->full_ = cursor->Prepare(cursor->sql_, "Cannot open " + source);
        cursor->Start();
        return cursor;
    }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }
    StatementCanceller* Canceller() override { return canceller_.get(); }

    void Rewind() override
    {
        if (wanted_ != narrowed_)
            SwitchStatement();
        // The return value repeats the failure of the last step, which Fetch has reported.
        sqlite3_reset(stmt_);
        released_ = false;
    }

    bool Fetch() override
    {
        if (released_)
            ThrowReleased();
        const int rc = Step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        ThrowStatementError("Cannot read " + source_);
    }

    std::int64_t CountRecords() override
    {
        // A second statement on the same connection, so that the walk's own position is not
        // disturbed and a snapshot holds for it too.
        const std::string what = "Cannot count the records of " + source_;
        gate_.Clear();
        sqlite3_stmt* raw = nullptr;
        std::int64_t n = 0;
        if (sqlite3_prepare_v2(db_.get(), countSql_.c_str(), -1, &raw, nullptr) == SQLITE_OK
            && raw != nullptr) {
            Statement count(raw);
            BindParams(raw);
            const int rc = Step(raw);
            if (rc != SQLITE_ROW)
                ThrowStatementError(what);
            return sqlite3_column_int64(raw, 0);
        }
        // Not every statement can stand in a subquery (PRAGMA, for one): count by walking.
        Statement walk = Prepare(sql_, what);
        BindParams(walk.get());
        int rc;
        while ((rc = Step(walk.get())) == SQLITE_ROW)
            ++n;
        if (rc != SQLITE_DONE)
            ThrowStatementError(what);
        return n;
    }

    void BeginSnapshot() override
    {
        if (snapshot_)
            return;
        // A walk left in the middle still reads the rows of the moment it began, and BEGIN
        // would make that old read the snapshot.
        ReleaseWalk();
        Execute("BEGIN", "Cannot take a read snapshot of " + source_);
        try {
            // In a WAL database BEGIN alone fixes nothing: the snapshot is the one the first
            // read sees. Read now, so that every walk until EndSnapshot sees this moment.
            Execute("SELECT 1 FROM sqlite_schema LIMIT 1",
                    "Cannot take a read snapshot of " + source_);
        } catch (const EDatabaseError&) {
            EndTransaction();
            throw;
        }
        snapshot_ = true;
    }

    void EndSnapshot() override
    {
        if (!snapshot_)
            return;
        snapshot_ = false;
        // A walk left in the middle (a pass that failed) would keep its read past COMMIT,
        // and on a rollback-journal database no writer could commit until it ended.
        ReleaseWalk();
        try {
            Execute("COMMIT", "Cannot release the read snapshot of " + source_);
        } catch (const EDatabaseError&) {
            EndTransaction(); // so that the next snapshot can begin
            throw;
        }
    }

    void RestrictToColumn(int column) noexcept override
    {
        if (column < 0)
            wanted_.clear();
        else
            RestrictToColumns(std::span(&column, 1));
    }

    void RestrictToColumns(std::span<const int> columns) noexcept override
    {
        // Only a plain table is asked for some columns: for a view or a query the narrower
        // statement may be planned differently and return the rows in another order.
        wanted_.clear();
        const bool valid = std::all_of(columns.begin(), columns.end(), [this](int column) {
            return column >= 0 && column < static_cast<int>(columns_.size());
        });
        if (!valid || !narrowable_ || columns.empty())
            return;
        try {
            for (const int column : columns) {
                if (std::find(wanted_.begin(), wanted_.end(), column) == wanted_.end())
                    wanted_.push_back(column);
            }
        } catch (const std::bad_alloc&) {
            wanted_.clear(); // every column is read then, which is never wrong
        }
    }

    bool IsNull(int column) const override
    {
        return sqlite3_column_type(stmt_, Index(column)) == SQLITE_NULL;
    }

    bool ReadDouble(int column, double& value) const override
    {
        return ReadNumber(column, value) == Number::Value;
    }

    Number ReadNumber(int column, double& value) const override
    {
        const int i = Index(column);
        // sqlite3_column_double reads text as 0, so the storage class is checked first.
        switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_NULL: return Number::Null;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT: value = sqlite3_column_double(stmt_, i); return Number::Value;
        default: return Number::NotANumber;
        }
    }

    std::size_t ReadRecords(std::span<const int> columns, double* values, std::size_t capacity,
                            bool& ended) override
    {
        // ReadNumber and Fetch, without a virtual call or a column check per value.
        int index[16];
        if (columns.size() > std::size(index))
            return DataCursor::ReadRecords(columns, values, capacity, ended);
        for (std::size_t c = 0; c < columns.size(); ++c)
            index[c] = Index(columns[c]);
        sqlite3_stmt* const stmt = stmt_;
        ended = false;
        for (std::size_t n = 0; n < capacity; ++n) {
            double* record = values + n * columns.size();
            for (std::size_t c = 0; c < columns.size(); ++c) {
                // One column call per value, not two: the value it returns is "unprotected",
                // which only matters to a connection shared between threads, and this one is
                // the cursor's alone (NOMUTEX), read on one thread while the row is current.
                sqlite3_value* const value = sqlite3_column_value(stmt, index[c]);
                // sqlite3_value_double reads text as 0, so the storage class is checked first.
                const int storage = sqlite3_value_type(value);
                if (storage == SQLITE_NULL) {
                    record[c] = std::numeric_limits<double>::quiet_NaN();
                    continue;
                }
                if (storage != SQLITE_INTEGER && storage != SQLITE_FLOAT)
                    return n;
                record[c] = sqlite3_value_double(value);
                if (!std::isfinite(record[c]))
                    return n;
            }
            if (!SqliteCursor::Fetch()) {
                ended = true;
                return n + 1;
            }
        }
        return capacity;
    }

    bool MoreRecordsThan(std::int64_t limit) override
    {
        // Counts no further than one record past the limit.
        gate_.Clear();
        sqlite3_stmt* raw = nullptr;
        if (limitedCountSql_.empty()
            || sqlite3_prepare_v2(db_.get(), limitedCountSql_.c_str(), -1, &raw, nullptr)
                   != SQLITE_OK
            || raw == nullptr) {
            sqlite3_finalize(raw);
            return CountRecords() > limit; // a statement that cannot stand in a subquery
        }
        Statement count(raw);
        BindParams(raw);
        sqlite3_bind_int64(raw, sqlite3_bind_parameter_index(raw, ":zelstats_limit"),
                           limit < INT64_MAX ? limit + 1 : limit);
        if (Step(raw) != SQLITE_ROW)
            ThrowStatementError("Cannot count the records of " + source_);
        return sqlite3_column_int64(raw, 0) > limit;
    }

    TGroupKey ReadKey(int column) const override { return SqliteKey(stmt_, Index(column)); }

    std::string ReadText(int column) const override
    {
        const int i = Index(column);
        if (sqlite3_column_type(stmt_, i) == SQLITE_BLOB)
            return "(binary data)";
        const unsigned char* text = sqlite3_column_text(stmt_, i);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }

private:
    SqliteCursor(const std::string& path, const std::string& source) : source_(source)
    {
        if (path.empty())
            throw EDatabaseError("Cannot open " + source + ": the database name is empty");
        CheckRegularFile(path);
        // A name that begins with "file:" is an SQLite URI when the library was built to
        // accept them (SQLITE_USE_URI) or told to, whatever the open flags say. A path
        // beginning with '/' or "./" is never one.
        const std::string name = path.starts_with('/') ? path : "./" + path;
        // A WAL database is read through -wal and -shm files beside it, which a read-only
        // connection makes and leaves behind; the last read-write connection to close removes
        // them. So where there are none yet, the connection may write, and query_only and the
        // read gate keep it to reading: the folder is left as it was found.
        const bool writable = InWalMode(path) && !Exists(path + "-wal") && !Exists(path + "-shm");
        // Never create a file: a misspelt path fails here. The connection belongs to this
        // cursor alone, so it needs no mutex of its own.
        sqlite3* raw = nullptr;
        const int mode = writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
        const int rc = sqlite3_open_v2(name.c_str(), &raw, mode | SQLITE_OPEN_NOMUTEX, nullptr);
        db_.reset(raw); // a failed open still returns a handle to close
        const std::string what = "Cannot open database '" + DatabaseDisplayName(path) + "'";
        if (rc != SQLITE_OK)
            ThrowSqliteError(db_.get(), what);
        const char* const readOnly = "PRAGMA query_only=1";
        if (writable && sqlite3_exec(db_.get(), readOnly, nullptr, nullptr, nullptr) != SQLITE_OK)
            ThrowSqliteError(db_.get(), what);
        // A writer holding the database locked gets a moment to finish, then the read fails.
        sqlite3_busy_timeout(db_.get(), 2000);
        canceller_ = std::make_unique<SqliteCanceller>(db_.get());
        registration_ = std::make_unique<CancelRegistration>(*canceller_);
        sqlite3_set_authorizer(db_.get(), AuthorizeRead, &gate_);
    }

    // Sets the walk on the full statement and reads the column kinds.
    void Start()
    {
        stmt_ = full_.get();
        ReadColumns();
    }

    // Ends a walk that stands on a record. The record is gone with it: reading or moving on
    // fails until the walk starts again, rather than reading NULLs or the first record.
    void ReleaseWalk()
    {
        if (sqlite3_stmt_busy(stmt_) != 0) {
            sqlite3_reset(stmt_);
            released_ = true;
        }
    }

    [[noreturn]] void ThrowReleased() const
    {
        throw EDatabaseError("Cannot read " + source_
                             + ": the walk ended with its read snapshot; it must start again "
                               "at the first record");
    }

    // One step of a statement that reads the data; a cancelled connection steps no more.
    int Step(sqlite3_stmt* stmt)
    {
        return canceller_->Cancelled() ? SQLITE_INTERRUPT : sqlite3_step(stmt);
    }

    // The statement's own failure, or the read gate's refusal when it caused it.
    [[noreturn]] void ThrowStatementError(const std::string& what) const
    {
        if (canceller_ != nullptr && canceller_->Cancelled())
            throw EDatabaseError(what + ": the query was cancelled");
        const std::string refusal = Refusal(gate_);
        if (!refusal.empty())
            throw EDatabaseError(what + ": " + refusal);
        ThrowSqliteError(db_.get(), what);
    }

    Statement Prepare(const std::string& sql, const std::string& what)
    {
        gate_.Clear();
        sqlite3_stmt* raw = nullptr;
        const int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size()),
                                          &raw, nullptr);
        Statement stmt(raw);
        if (rc != SQLITE_OK)
            ThrowStatementError(what);
        return stmt;
    }

    // The caller's statement: exactly one, a plain read, every parameter set.
    Statement PrepareQuery(const std::string& sql)
    {
        const std::string what = "Cannot open " + source_;
        gate_.Clear();
        sqlite3_stmt* raw = nullptr;
        const char* tail = nullptr;
        const int rc = sqlite3_prepare_v2(db_.get(), sql.c_str(), static_cast<int>(sql.size()),
                                          &raw, &tail);
        Statement stmt(raw);
        if (rc != SQLITE_OK)
            ThrowStatementError(what);
        if (stmt == nullptr || !OnlySeparatorsLeft(tail))
            throw EDatabaseError(what + ": the SQL text must hold exactly one statement");
        // The gate sees nothing of statements such as VACUUM (VACUUM INTO writes a file even
        // from a read-only connection), so a statement must also have asked to read.
        if (!sqlite3_stmt_readonly(stmt.get()) || !gate_.read) {
            const std::string refusal = Refusal(gate_);
            throw EDatabaseError(what + ": "
                                 + (refusal.empty() ? "the statement is not a plain read, and "
                                                      "datasets only read"
                                                    : refusal));
        }
        CheckParams(stmt.get());
        BindParams(stmt.get());
        return stmt;
    }

    // An unset parameter would read as NULL in every record: a silent wrong answer. The scan
    // every driver makes names the first mistake; SQLite's own list then catches the forms
    // that are not :name (?, ?1, @x, $x), which datasets never set.
    void CheckParams(sqlite3_stmt* stmt) const
    {
        BindableSql(sql_, SqlDialect::Sqlite, params_, source_,
                    [](std::size_t) { return std::string(); });
        // A bare ? has no name; nor has an index that ?NNN skips, so a name is looked for first.
        const int count = sqlite3_bind_parameter_count(stmt);
        for (int i = 1; i <= count; ++i) {
            const char* name = sqlite3_bind_parameter_name(stmt, i);
            if (name == nullptr || (name[0] == ':' && std::any_of(params_.begin(), params_.end(),
                                                                  [&](const TQueryParam& p) {
                                                                      return p.name == name + 1;
                                                                  })))
                continue;
            RefuseParam(name);
        }
        for (int i = 1; i <= count; ++i)
            if (sqlite3_bind_parameter_name(stmt, i) == nullptr)
                RefuseParam("?");
    }

    [[noreturn]] void RefuseParam(const char* name) const
    {
        throw EDatabaseError("Cannot open " + source_ + ": the statement has a parameter " + name
                             + ", and datasets set only parameters written :name");
    }

    // The query's values, each by its name and with its own type. SQLITE_TRANSIENT: the
    // statement keeps its own copy, as the values are made here.
    void BindParams(sqlite3_stmt* stmt) const
    {
        for (const TQueryParam& param : params_) {
            const int index = sqlite3_bind_parameter_index(stmt, (":" + param.name).c_str());
            if (index == 0)
                continue;
            const QVariant& v = param.value;
            switch (KindOfParam(v)) {
            case ParamKind::Null: sqlite3_bind_null(stmt, index); break;
            case ParamKind::Integer: sqlite3_bind_int64(stmt, index, v.toLongLong()); break;
            case ParamKind::Real: sqlite3_bind_double(stmt, index, v.toDouble()); break;
            case ParamKind::Bytes: {
                const QByteArray bytes = v.toByteArray();
                sqlite3_bind_blob64(stmt, index, bytes.constData(),
                                    static_cast<sqlite3_uint64>(bytes.size()), SQLITE_TRANSIENT);
                break;
            }
            case ParamKind::Text: {
                const QByteArray text = v.toString().toUtf8();
                sqlite3_bind_text64(stmt, index, text.constData(),
                                    static_cast<sqlite3_uint64>(text.size()), SQLITE_TRANSIENT,
                                    SQLITE_UTF8);
                break;
            }
            }
        }
    }

    // Runs one of the driver's own statements to its end.
    void Execute(const char* sql, const std::string& what)
    {
        struct InternalScope {
            ReadGate& gate;
            explicit InternalScope(ReadGate& g) : gate(g) { gate.internal = true; }
            ~InternalScope() { gate.internal = false; }
        } scope(gate_);
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(db_.get(), sql, -1, &raw, nullptr) != SQLITE_OK)
            ThrowSqliteError(db_.get(), what);
        Statement stmt(raw);
        int rc;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        }
        if (rc != SQLITE_DONE)
            ThrowSqliteError(db_.get(), what);
    }

    // Leaves a snapshot that could not be completed, whatever state it reached.
    void EndTransaction() noexcept
    {
        try {
            Execute("COMMIT", source_);
        } catch (const EDatabaseError&) {
        }
        if (sqlite3_get_autocommit(db_.get()) == 0) {
            try {
                Execute("ROLLBACK", source_);
            } catch (const EDatabaseError&) {
            }
        }
    }

    // The type of the schema object `name` in `schema`.
    TableKind KindOf(const std::string& schema, const std::string& name)
    {
        const std::string sql = "SELECT sql LIKE 'CREATE VIRTUAL%' OR type = 'view' FROM "
                                + QuoteIdentifier(schema)
                                + ".sqlite_schema WHERE type IN ('table', 'view') "
                                  "AND name = ?1 COLLATE NOCASE";
        const std::string what = "Cannot open " + source_;
        sqlite3_stmt* raw = nullptr;
        const int prepared = sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &raw, nullptr);
        Statement stmt(raw);
        if (prepared == SQLITE_ERROR)
            return TableKind::Unknown; // no such schema: the SELECT will say so
        if (prepared != SQLITE_OK) // a locked database or no database at all: say so once
            ThrowSqliteError(db_.get(), what);
        sqlite3_bind_text(raw, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
        const int rc = sqlite3_step(raw);
        if (rc == SQLITE_DONE)
            return TableKind::Unknown;
        if (rc != SQLITE_ROW)
            ThrowSqliteError(db_.get(), what);
        return sqlite3_column_int(raw, 0) == 0 ? TableKind::Table : TableKind::Other;
    }

    // A table name may be schema-qualified (main.t, temp.t), each part quoted. A table whose
    // own name holds a dot is taken first when one of that exact name exists.
    void ResolveTable(const std::string& table)
    {
        std::string from = QuoteIdentifier(table);
        TableKind kind = KindOf("main", table);
        std::string schema;
        std::string name;
        if (kind == TableKind::Unknown && SplitQualifiedName(table, schema, name)) {
            from = QuoteIdentifier(schema) + "." + QuoteIdentifier(name);
            kind = KindOf(schema, name);
        }
        // NOT INDEXED: with no WHERE clause the planner may scan a covering index instead of
        // the table, and a one-column select is the likeliest to be covered. Scanning the
        // table itself gives the full walk and a one-column walk the same row order.
        narrowable_ = kind == TableKind::Table;
        from_ = narrowable_ ? from + " NOT INDEXED" : from;
        sql_ = "SELECT * FROM " + from_;
        countSql_ = "SELECT count(*) FROM " + from;
        limitedCountSql_ =
            "SELECT count(*) FROM (SELECT 1 FROM " + from + " LIMIT :zelstats_limit)";
    }

    // Moves the walk to the statement that reads what RestrictToColumns asked for.
    void SwitchStatement()
    {
        sqlite3_reset(stmt_); // the statement left behind holds no read
        if (wanted_.empty()) {
            stmt_ = full_.get();
        } else {
            if (narrowColumns_ != wanted_) {
                narrow_.reset();
                narrowColumns_.clear();
                std::string list;
                for (const int column : wanted_)
                    list += (list.empty() ? "" : ", ") + QuoteIdentifier(columns_[column].name);
                narrow_ = Prepare("SELECT " + list + " FROM " + from_, "Cannot read " + source_);
                narrowColumns_ = wanted_;
            }
            stmt_ = narrow_.get();
        }
        narrowed_ = wanted_;
    }

    // The statement's column for a column of Columns(). While the walk reads some columns
    // alone, reading any other is a caller's mistake, which must not read as a NULL.
    int Index(int column) const
    {
        if (released_)
            ThrowReleased();
        if (narrowed_.empty())
            return column;
        const auto at = std::find(narrowed_.begin(), narrowed_.end(), column);
        if (at == narrowed_.end()) {
            std::string names;
            for (const int c : narrowed_)
                names += (names.empty() ? "'" : ", '") + columns_[c].name + "'";
            throw EDatabaseError("Cannot read column " + std::to_string(column) + " of "
                                 + source_ + ": this walk reads only " + names);
        }
        return static_cast<int>(at - narrowed_.begin());
    }


    void ReadColumns()
    {
        const int count = sqlite3_column_count(stmt_);
        bool undeclared = false;
        for (int i = 0; i < count; ++i) {
            const char* declared = sqlite3_column_decltype(stmt_, i);
            ColumnInfo info;
            info.name = sqlite3_column_name(stmt_, i);
            if (declared != nullptr && *declared != '\0')
                info.type = KindOfDeclaredType(Upper(declared));
            else
                undeclared = true;
            columns_.push_back(info);
        }
        if (!undeclared)
            return;
        const bool row = Fetch();
        for (int i = 0; i < count; ++i) {
            if (columns_[i].type == TFieldType::ftUnknown)
                columns_[i].type = row ? KindOfStoredValue(sqlite3_column_type(stmt_, i))
                                       : TFieldType::ftFloat;
        }
        Rewind();
    }

    // The gate outlives the connection whose authorizer points at it.
    ReadGate gate_;
    Connection db_;
    // After db_, so that both are gone before the connection closes.
    std::unique_ptr<SqliteCanceller> canceller_;
    std::unique_ptr<CancelRegistration> registration_;
    Statement full_;               // every column
    Statement narrow_;             // some columns of a table, prepared on first use
    sqlite3_stmt* stmt_ = nullptr; // the statement the walk steps: full_ or narrow_
    std::string source_;
    std::string sql_;              // the full statement's text
    std::string countSql_;
    std::string limitedCountSql_;  // counts up to the bound :zelstats_limit
    std::string from_;             // a table cursor's FROM target
    bool narrowable_ = false;
    std::vector<int> wanted_;        // the columns RestrictToColumns asked for; empty: all
    std::vector<int> narrowed_;      // the columns the walk reads alone; empty: all
    std::vector<int> narrowColumns_; // the columns narrow_ reads
    bool snapshot_ = false;
    bool released_ = false;        // the walk was ended on a record by ReleaseWalk
    std::vector<ColumnInfo> columns_;
    std::vector<TQueryParam> params_; // the query's, bound to each statement of its text
};

} // namespace

std::unique_ptr<DataCursor> OpenSqliteCursor(const std::string& path, const std::string& sql,
                                             const std::string& source,
                                             const CursorOptions& options)
{
    return SqliteCursor::OpenQuery(path, sql, source, options.params);
}

std::unique_ptr<DataCursor> OpenSqliteTableCursor(const std::string& path,
                                                  const std::string& table,
                                                  const std::string& source,
                                                  const CursorOptions& /*options*/)
{
    return SqliteCursor::OpenTable(path, table, source);
}

} // namespace zel

namespace zel {

TGroupKey SqliteKey(sqlite3_stmt* stmt, int index)
{
    // sqlite3_column_bytes is asked after the text or blob itself, as it must be, and counts
    // every byte: text may hold NUL bytes, and a blob of no bytes reads as a null pointer.
    switch (sqlite3_column_type(stmt, index)) {
    case SQLITE_NULL: return {};
    case SQLITE_INTEGER: return TGroupKey::Integer(sqlite3_column_int64(stmt, index));
    case SQLITE_FLOAT: return TGroupKey::Real(sqlite3_column_double(stmt, index));
    case SQLITE_BLOB: {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(stmt, index));
        const int length = sqlite3_column_bytes(stmt, index);
        return TGroupKey::Blob(bytes != nullptr ? std::string(bytes, length) : std::string());
    }
    default: {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, index));
        const int length = sqlite3_column_bytes(stmt, index);
        return TGroupKey::Text(text != nullptr ? std::string(text, length) : std::string());
    }
    }
}

TFieldType SqliteColumnKind(const char* declared, int storage)
{
    if (declared != nullptr && *declared != '\0')
        return KindOfDeclaredType(Upper(declared));
    return KindOfStoredValue(storage);
}

} // namespace zel
