#include "zelstats/data/Driver.h"

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

// The scheme of a name written as a URL ("scheme:" with at least two letters, so that a
// drive letter is none), lower case, from `start`; `colon` is set to its ':'. Empty when the
// name has none.
std::string SchemeAt(const std::string& name, std::size_t start, std::size_t& colon)
{
    colon = name.find(':', start);
    if (colon == std::string::npos || colon - start < 2
        || !std::isalpha(static_cast<unsigned char>(name[start])))
        return {};
    std::string scheme;
    for (std::size_t i = start; i < colon; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.')
            return {};
        scheme += static_cast<char>(std::tolower(c));
    }
    return scheme;
}

// A name that goes to SQLite as a file but was meant as a connection: blanks before a
// known scheme, a known scheme without its "//", or an unknown scheme:// (pgsql://,
// mysql+tcp://). Refused naming the scheme alone, so that no user or password is repeated.
// A file that exists under such a name is still a file.
void CheckFileName(const std::string& database, const std::string& source)
{
    const std::size_t start = database.find_first_not_of(" \t\r\n");
    std::size_t colon = 0;
    const std::string scheme =
        start == std::string::npos ? std::string() : SchemeAt(database, start, colon);
    std::error_code error;
    if (scheme.empty() || std::filesystem::exists(database, error))
        return;
    const bool known = scheme == "postgresql" || scheme == "postgres" || scheme == "mysql"
                       || scheme == "mariadb";
    const bool slashes = database.compare(colon + 1, 2, "//") == 0;
    const std::string what = "Cannot open " + source + ": ";
    if (known && start > 0)
        throw EDatabaseError(what + "the database name begins with blanks before " + scheme
                             + "://, which a connection never does");
    if (known)
        throw EDatabaseError(what + "a " + scheme + " connection is written " + scheme
                             + "://, with two slashes");
    if (slashes)
        throw EDatabaseError(what + scheme
                             + ":// is no kind of database that can be read: give a SQLite "
                               "file, a postgresql:// URI or a mysql:// or mariadb:// URL");
}

} // namespace

TGroupKey DataCursor::ReadKey(int column) const
{
    if (IsNull(column))
        return {};
    switch (Columns()[column].type) {
    case TFieldType::ftSmallint:
    case TFieldType::ftInteger:
    case TFieldType::ftWord:
    case TFieldType::ftLargeint:
    case TFieldType::ftBCD:
        // From the text: a double would merge large integers and long decimals.
        return TGroupKey::Decimal(ReadText(column));
    case TFieldType::ftFloat:
    case TFieldType::ftCurrency: {
        double value = 0.0;
        if (ReadNumber(column, value) == Number::Value)
            return TGroupKey::Real(value);
        break;
    }
    default: break;
    }
    return TGroupKey::Text(ReadText(column));
}

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
    if (IsPostgresUri(database))
        return PgDisplayName(database);
    if (database.empty())
        return "''";
    // What parses as a URL's user information (user:secret@ after any scheme, or none) is
    // never repeated: the name is not shown at all.
    const std::size_t colon = database.find(':');
    if (colon != std::string::npos && database.find('@', colon) != std::string::npos)
        return "(a database whose name is not shown, as it may hold a password)";
    return database;
}

std::unique_ptr<DataCursor> OpenQueryCursor(const std::string& database, const std::string& sql,
                                            const CursorOptions& options)
{
    const std::string source = "the query on " + DatabaseDisplayName(database);
    if (IsMysqlUri(database) || IsQtConnectionName(database))
        return OpenQtSqlCursor(database, sql, source, options);
    if (IsPostgresUri(database))
        return OpenPgCursor(database, sql, source, options);
    CheckFileName(database, source);
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
    CheckFileName(database, source);
    return OpenSqliteTableCursor(database, table, source, options);
}

} // namespace zel
