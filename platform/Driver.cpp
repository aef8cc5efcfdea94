#include "platform/Driver.h"

namespace zel {

bool IsPostgresUri(const std::string& database)
{
    return database.starts_with("postgresql://") || database.starts_with("postgres://");
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

std::unique_ptr<DataCursor> OpenQueryCursor(const std::string& database, const std::string& sql)
{
    const std::string source = "the query on " + database;
    if (IsPostgresUri(database))
        return OpenPgCursor(database, sql, source);
    return OpenSqliteCursor(database, sql, source);
}

std::unique_ptr<DataCursor> OpenTableCursor(const std::string& database, const std::string& table)
{
    const std::string source = "table '" + table + "' of " + database;
    if (IsPostgresUri(database))
        return OpenPgCursor(database, "SELECT * FROM " + QuotePgTableName(table), source);
    return OpenSqliteCursor(database, "SELECT * FROM " + QuoteIdentifier(table), source);
}

} // namespace zel
