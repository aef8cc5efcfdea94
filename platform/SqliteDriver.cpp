// The SQLite driver: a read-only connection and one prepared statement stepped row by row.
#include "platform/Driver.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>

namespace zel {

namespace {

[[noreturn]] void ThrowSqliteError(sqlite3* db, const std::string& what)
{
    const char* message = db != nullptr ? sqlite3_errmsg(db) : "out of memory";
    throw EDatabaseError(what + ": " + message);
}

std::string Upper(const char* text)
{
    std::string s = text != nullptr ? text : "";
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
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

class SqliteCursor : public DataCursor {
public:
    SqliteCursor(const std::string& path, const std::string& sql, const std::string& source)
        : sql_(sql), source_(source)
    {
        if (path.empty())
            throw EDatabaseError("Cannot open " + source + ": no database name is set");
        // Read-only, and never create a file: a misspelt path fails here. The connection
        // belongs to this cursor alone, so it needs no mutex of its own.
        int rc = sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            db_ = nullptr;
            throw EDatabaseError("Cannot open database '" + path + "': " + message);
        }
        // A writer holding the database locked gets a moment to finish, then the read fails.
        sqlite3_busy_timeout(db_, 2000);

        const char* tail = nullptr;
        rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &stmt_, &tail);
        if (rc != SQLITE_OK) {
            std::string message = sqlite3_errmsg(db_);
            Release();
            throw EDatabaseError("Cannot open " + source + ": " + message);
        }
        if (stmt_ == nullptr || !OnlySeparatorsLeft(tail)) {
            Release();
            throw EDatabaseError("Cannot open " + source
                                 + ": the SQL text must hold exactly one statement");
        }
        if (!sqlite3_stmt_readonly(stmt_)) {
            Release();
            throw EDatabaseError("Cannot open " + source
                                 + ": the statement would change data, and datasets only read");
        }
        ReadColumns();
    }

    ~SqliteCursor() override { Release(); }

    const std::vector<ColumnInfo>& Columns() const override { return columns_; }

    void Rewind() override { sqlite3_reset(stmt_); }

    bool Fetch() override
    {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        ThrowSqliteError(db_, "Cannot read " + source_);
    }

    std::int64_t CountRecords() override
    {
        // A second statement, so that the walk's own position is not disturbed.
        std::string count = "SELECT count(*) FROM (" + WithoutTrailingSemicolons(sql_) + ")";
        sqlite3_stmt* stmt = nullptr;
        std::int64_t n = 0;
        if (sqlite3_prepare_v2(db_, count.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
            int rc = sqlite3_step(stmt);
            if (rc == SQLITE_ROW)
                n = sqlite3_column_int64(stmt, 0);
            sqlite3_finalize(stmt);
            if (rc == SQLITE_ROW)
                return n;
            ThrowSqliteError(db_, "Cannot count the records of " + source_);
        }
        // Not every statement can stand in a subquery (PRAGMA, for one): count by walking.
        if (sqlite3_prepare_v2(db_, sql_.c_str(), -1, &stmt, nullptr) != SQLITE_OK)
            ThrowSqliteError(db_, "Cannot count the records of " + source_);
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
            ++n;
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE)
            ThrowSqliteError(db_, "Cannot count the records of " + source_);
        return n;
    }

    bool IsNull(int column) const override
    {
        return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
    }

    bool ReadDouble(int column, double& value) const override
    {
        return ReadNumber(column, value) == Number::Value;
    }

    Number ReadNumber(int column, double& value) const override
    {
        // sqlite3_column_double reads text as 0, so the storage class is checked first.
        switch (sqlite3_column_type(stmt_, column)) {
        case SQLITE_NULL: return Number::Null;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT: value = sqlite3_column_double(stmt_, column); return Number::Value;
        default: return Number::NotANumber;
        }
    }

    std::string ReadText(int column) const override
    {
        if (sqlite3_column_type(stmt_, column) == SQLITE_BLOB)
            return "(binary data)";
        const unsigned char* text = sqlite3_column_text(stmt_, column);
        return text != nullptr ? reinterpret_cast<const char*>(text) : "";
    }

private:
    static std::string WithoutTrailingSemicolons(std::string sql)
    {
        while (!sql.empty() && (sql.back() == ';' || std::isspace(static_cast<unsigned char>(sql.back()))))
            sql.pop_back();
        return sql;
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

    void Release()
    {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        sqlite3_close(db_);
        db_ = nullptr;
    }

    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
    std::string sql_;
    std::string source_;
    std::vector<ColumnInfo> columns_;
};

} // namespace

std::unique_ptr<DataCursor> OpenSqliteCursor(const std::string& path, const std::string& sql,
                                             const std::string& source)
{
    return std::make_unique<SqliteCursor>(path, sql, source);
}

} // namespace zel

namespace zel {

TFieldType SqliteColumnKind(const char* declared, int storage)
{
    if (declared != nullptr && *declared != '\0')
        return KindOfDeclaredType(Upper(declared));
    return KindOfStoredValue(storage);
}

} // namespace zel
