#include "data/Driver.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string_view>
#include <system_error>

namespace zel {

namespace {

bool StartsWithNoCase(const std::string& text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i])
            return false;
    }
    return true;
}

// "keyword =" at the start, as a libpq key=value connection string begins.
bool StartsWithKeyword(const std::string& text)
{
    std::size_t i = text.find_first_not_of(" \t\r\n");
    if (i == std::string::npos
        || !(std::isalpha(static_cast<unsigned char>(text[i])) || text[i] == '_'))
        return false;
    while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_'))
        ++i;
    i = text.find_first_not_of(" \t\r\n", i);
    return i != std::string::npos && text[i] == '=';
}

} // namespace

std::size_t DataCursor::ReadRecords(std::span<const int> columns, double* values,
                                    std::size_t capacity, bool& ended)
{
    ended = false;
    for (std::size_t n = 0; n < capacity; ++n) {
        double* record = values + n * columns.size();
        for (std::size_t c = 0; c < columns.size(); ++c) {
            switch (ReadNumber(columns[c], record[c])) {
            case Number::Null: record[c] = std::numeric_limits<double>::quiet_NaN(); break;
            case Number::NotANumber: return n;
            case Number::Value:
                if (!std::isfinite(record[c]))
                    return n;
                break;
            }
        }
        if (!Fetch()) {
            ended = true;
            return n + 1;
        }
    }
    return capacity;
}

ServerSummaries& SummariesOf(DataCursor& cursor, const std::string& source)
{
    if (ServerSummaries* summaries = cursor.Summaries())
        return *summaries;
    throw EDatabaseError("Cannot compute the statistics of " + source
                         + " on its server: only a PostgreSQL data source can");
}

bool IsPostgresUri(const std::string& database)
{
    if (StartsWithNoCase(database, "postgresql://") || StartsWithNoCase(database, "postgres://"))
        return true;
    // A key=value string is a connection even when libpq cannot parse it, so that a mistyped
    // one ("host=h passwrod=secret") is refused by the PostgreSQL driver without being echoed;
    // a file that exists under such a name is still a file.
    if (!StartsWithKeyword(database))
        return false;
    std::error_code error;
    return !std::filesystem::exists(database, error);
}

bool IsMysqlUri(const std::string& database)
{
    return StartsWithNoCase(database, "mysql://") || StartsWithNoCase(database, "mariadb://");
}

std::string QuoteIdentifier(const std::string& name)
{
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string WithoutTrailingSemicolons(std::string sql)
{
    while (!sql.empty()
           && (sql.back() == ';' || std::isspace(static_cast<unsigned char>(sql.back()))))
        sql.pop_back();
    return sql;
}

std::string CountStatement(const std::string& sql)
{
    return "SELECT count(*) FROM (\n" + WithoutTrailingSemicolons(sql) + "\n) AS zel_counted";
}

std::string DatabaseDisplayName(std::string database)
{
    if (IsMysqlUri(database) || IsQtConnectionName(database))
        return QtSqlDisplayName(database);
    return IsPostgresUri(database) ? PgDisplayName(database) : database;
}

std::unique_ptr<DataCursor> OpenQueryCursor(const std::string& database, const std::string& sql,
                                            const CursorOptions& options)
{
    const std::string source = "the query on " + DatabaseDisplayName(database);
    if (IsMysqlUri(database) || IsQtConnectionName(database))
        return OpenQtSqlCursor(database, sql, source, options);
    if (IsPostgresUri(database))
        return OpenPgCursor(database, sql, source, options);
    return OpenSqliteCursor(database, sql, source, options);
}

std::unique_ptr<DataCursor> OpenTableCursor(const std::string& database, const std::string& table,
                                            const CursorOptions& options)
{
    const std::string source = "table '" + table + "' of " + DatabaseDisplayName(database);
    if (IsMysqlUri(database) || IsQtConnectionName(database))
        return OpenQtSqlTableCursor(database, table, source, options);
    if (IsPostgresUri(database))
        return OpenPgTableCursor(database, table, source, options);
    return OpenSqliteTableCursor(database, table, source, options);
}

} // namespace zel
