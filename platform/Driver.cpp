#include "platform/Driver.h"

#include <algorithm>
#include <cstring>

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

std::string DatabaseDisplayName(std::string uri)
{
    if (IsQtConnectionName(uri))
        return QtConnectionDisplayName(uri);
    if (!IsPostgresUri(uri) && !IsMysqlUri(uri))
        return uri;
    const std::size_t scheme = uri.find("://");
    if (scheme != std::string::npos) {
        const std::size_t start = scheme + 3;
        const std::size_t end = std::min(uri.find_first_of("/?", start), uri.size());
        const std::size_t at = uri.rfind('@', end);
        if (at != std::string::npos && at >= start) {
            const std::size_t colon = uri.find(':', start);
            if (colon != std::string::npos && colon < at)
                uri.erase(colon, at - colon);
        }
    }
    for (std::size_t pos = uri.find("password="); pos != std::string::npos;
         pos = uri.find("password=", pos + 1)) {
        if (pos == 0 || (uri[pos - 1] != '?' && uri[pos - 1] != '&'))
            continue;
        const std::size_t value = pos + std::strlen("password=");
        const std::size_t end = std::min(uri.find('&', value), uri.size());
        uri.replace(value, end - value, "***");
    }
    return uri;
}

std::unique_ptr<DataCursor> OpenQueryCursor(const std::string& database, const std::string& sql)
{
    const std::string source = "the query on " + DatabaseDisplayName(database);
    if (IsPostgresUri(database))
        return OpenPgCursor(database, sql, source);
    if (IsMysqlUri(database) || IsQtConnectionName(database))
        return OpenQtSqlCursor(database, sql, source);
    return OpenSqliteCursor(database, sql, source);
}

std::unique_ptr<DataCursor> OpenTableCursor(const std::string& database, const std::string& table)
{
    const std::string source = "table '" + table + "' of " + DatabaseDisplayName(database);
    if (IsPostgresUri(database))
        return OpenPgCursor(database, "SELECT * FROM " + QuotePgTableName(table), source);
    if (IsMysqlUri(database) || IsQtConnectionName(database))
        return OpenQtSqlTableCursor(database, table, source);
    return OpenSqliteCursor(database, "SELECT * FROM " + QuoteIdentifier(table), source);
}

} // namespace zel
