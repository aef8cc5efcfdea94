// The named parameters of a query's SQL text (:name), found the same way for every database:
// outside string literals, quoted names, comments and "::" casts. Each driver binds the values
// natively, in its own placeholder form; the text is never spliced.
#pragma once

#include "zelstats/data/DataSet.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class QVariant;

namespace zel {

// Whose lexical rules the scan follows: which quotes a name takes, whether a backslash escapes
// in a string, which comments there are.
enum class SqlDialect { Sqlite, Postgres, MariaDb };

// One :name in SQL text: where it starts, its length with the colon, its name without.
struct ParamMark {
    std::size_t offset = 0;
    std::size_t length = 0;
    std::string name;
};

std::vector<ParamMark> FindParamMarks(const std::string& sql, SqlDialect dialect);

// The position after a PostgreSQL dollar-quoted body ($tag$ ... $tag$) that starts at i, or i
// when none does ($1 is a parameter, not a quote).
std::size_t PgDollarQuoteEnd(const std::string& sql, std::size_t i);

// The kind a value binds as. Booleans and every whole-number type are integers; a QByteArray
// is bytes; a null QVariant (of any type) is null; anything else binds as its text.
enum class ParamKind { Null, Integer, Real, Text, Bytes };
ParamKind KindOfParam(const QVariant& value);

// The SQL text with each :name written as the driver's placeholder, and for each placeholder
// written, in order, the index of its value in the parameters.
struct PositionalSql {
    std::string sql;
    std::vector<std::size_t> order;
};

// Checks that every :name of the text is set and every set parameter is named in the text
// (EDatabaseError "Cannot open <source>: ..." naming it otherwise), then writes each :name as
// placeholder(index of its value in `params`).
PositionalSql BindableSql(const std::string& sql, SqlDialect dialect,
                          const std::vector<TQueryParam>& params, const std::string& source,
                          const std::function<std::string(std::size_t)>& placeholder);

// The two mistakes, in the words every driver uses.
[[noreturn]] void ThrowUnsetParam(const std::string& source, const std::string& name);
[[noreturn]] void ThrowUnnamedParam(const std::string& source, const std::string& name);

} // namespace zel
