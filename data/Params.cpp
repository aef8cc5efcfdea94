#include "zelstats/data/Params.h"

#include <QByteArray>
#include <QVariant>

#include <cctype>

namespace zel {

namespace {

bool IsNameStart(char c)
{
    return std::isalpha(static_cast<unsigned char>(c)) || c == '_'
           || static_cast<unsigned char>(c) >= 0x80;
}

bool IsNameChar(char c)
{
    return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) || c == '$';
}

// Walks SQL text by one dialect's lexical rules, stopping at each :name.
class MarkScanner {
public:
    MarkScanner(const std::string& sql, SqlDialect dialect) : sql_(sql), dialect_(dialect) {}

    std::vector<ParamMark> Marks()
    {
        std::vector<ParamMark> marks;
        while (i_ < sql_.size()) {
            if (SkipComment() || SkipQuoted() || SkipDollarBody())
                continue;
            if (sql_[i_] == ':')
                Colon(marks);
            else if (IsNameChar(sql_[i_]))
                while (++i_ < sql_.size() && IsNameChar(sql_[i_])) {}
            else
                ++i_;
        }
        return marks;
    }

private:
    bool At(const char* text) const
    {
        return sql_.compare(i_, std::char_traits<char>::length(text), text) == 0;
    }

    bool SkipComment()
    {
        // MariaDB takes "--" as a comment only before a blank; '#' starts one too.
        const bool dashes = At("--")
                            && (dialect_ != SqlDialect::MariaDb || i_ + 2 >= sql_.size()
                                || std::isspace(static_cast<unsigned char>(sql_[i_ + 2])));
        if (dashes || (dialect_ == SqlDialect::MariaDb && sql_[i_] == '#')) {
            i_ = std::min(sql_.find('\n', i_), sql_.size());
            return true;
        }
        if (!At("/*"))
            return false;
        // PostgreSQL's block comments nest; the others end at the first "*/".
        int depth = 0;
        do {
            if (At("/*")) {
                ++depth;
                i_ += 2;
            } else if (At("*/")) {
                i_ += 2;
                --depth;
            } else {
                ++i_;
            }
        } while (i_ < sql_.size() && depth > 0 && (depth == 1 || dialect_ == SqlDialect::Postgres));
        return true;
    }

    // A string or a quoted name; a doubled quote is one quote inside it. MariaDB strings, and
    // PostgreSQL's E'...' strings, take backslash escapes.
    bool SkipQuoted()
    {
        const char quote = sql_[i_];
        const char close = quote == '[' ? ']' : quote;
        const bool sqlite = dialect_ == SqlDialect::Sqlite;
        if (quote != '\'' && quote != '"' && !(quote == '`' && dialect_ != SqlDialect::Postgres)
            && !(quote == '[' && sqlite))
            return false;
        const bool escapes =
            quote != '`' && quote != '['
            && (dialect_ == SqlDialect::MariaDb
                || (dialect_ == SqlDialect::Postgres && quote == '\'' && i_ > 0
                    && (sql_[i_ - 1] == 'E' || sql_[i_ - 1] == 'e')));
        for (++i_; i_ < sql_.size(); ++i_) {
            if (escapes && sql_[i_] == '\\') {
                ++i_;
            } else if (sql_[i_] == close) {
                if (close == ']' || i_ + 1 >= sql_.size() || sql_[i_ + 1] != close)
                    break;
                ++i_;
            }
        }
        i_ = std::min(i_ + 1, sql_.size());
        return true;
    }

    bool SkipDollarBody()
    {
        if (dialect_ != SqlDialect::Postgres || sql_[i_] != '$')
            return false;
        const std::size_t end = PgDollarQuoteEnd(sql_, i_);
        if (end == i_)
            return false;
        i_ = end;
        return true;
    }

    // "::" is a cast; ":name" a parameter unless it follows a name or a number (a[1:n]).
    void Colon(std::vector<ParamMark>& marks)
    {
        if (At("::")) {
            i_ += 2;
            return;
        }
        const bool follows = i_ > 0 && IsNameChar(sql_[i_ - 1]);
        if (follows || i_ + 1 >= sql_.size() || !IsNameStart(sql_[i_ + 1])) {
            ++i_;
            return;
        }
        std::size_t end = i_ + 1;
        while (end < sql_.size() && IsNameChar(sql_[end]) && sql_[end] != '$')
            ++end;
        marks.push_back({i_, end - i_, sql_.substr(i_ + 1, end - i_ - 1)});
        i_ = end;
    }

    const std::string& sql_;
    SqlDialect dialect_;
    std::size_t i_ = 0;
};

} // namespace

std::size_t PgDollarQuoteEnd(const std::string& sql, std::size_t i)
{
    if (i > 0 && IsNameChar(sql[i - 1]))
        return i;
    std::size_t t = i + 1;
    while (t < sql.size() && IsNameChar(sql[t]) && sql[t] != '$'
           && !(t == i + 1 && std::isdigit(static_cast<unsigned char>(sql[t]))))
        ++t;
    if (t >= sql.size() || sql[t] != '$')
        return i;
    const std::string tag = sql.substr(i, t - i + 1);
    const std::size_t close = sql.find(tag, t + 1);
    return close == std::string::npos ? sql.size() : close + tag.size();
}

std::vector<ParamMark> FindParamMarks(const std::string& sql, SqlDialect dialect)
{
    return MarkScanner(sql, dialect).Marks();
}

ParamKind KindOfParam(const QVariant& value)
{
    if (value.isNull())
        return ParamKind::Null;
    switch (value.typeId()) {
    case QMetaType::Bool:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::LongLong: return ParamKind::Integer;
    // Past int64 an unsigned value binds as the double nearest it.
    case QMetaType::ULong:
    case QMetaType::ULongLong:
        return value.toULongLong() <= static_cast<qulonglong>(INT64_MAX) ? ParamKind::Integer
                                                                         : ParamKind::Real;
    case QMetaType::Float:
    case QMetaType::Double: return ParamKind::Real;
    case QMetaType::QByteArray: return ParamKind::Bytes;
    default: return ParamKind::Text;
    }
}

void ThrowUnsetParam(const std::string& source, const std::string& name)
{
    throw EDatabaseError("Cannot open " + source + ": the SQL text names the parameter :" + name
                         + ", which is not set");
}

void ThrowUnnamedParam(const std::string& source, const std::string& name)
{
    throw EDatabaseError("Cannot open " + source + ": the parameter '" + name
                         + "' is set, but the SQL text does not name it as :" + name);
}

PositionalSql BindableSql(const std::string& sql, SqlDialect dialect,
                          const std::vector<TQueryParam>& params, const std::string& source,
                          const std::function<std::string(std::size_t)>& placeholder)
{
    const std::vector<ParamMark> marks = FindParamMarks(sql, dialect);
    std::vector<bool> named(params.size(), false);
    PositionalSql out;
    std::size_t copied = 0;
    for (const ParamMark& mark : marks) {
        std::size_t index = 0;
        while (index < params.size() && params[index].name != mark.name)
            ++index;
        if (index == params.size())
            ThrowUnsetParam(source, mark.name);
        named[index] = true;
        out.sql += sql.substr(copied, mark.offset - copied) + placeholder(index);
        out.order.push_back(index);
        copied = mark.offset + mark.length;
    }
    for (std::size_t i = 0; i < params.size(); ++i)
        if (!named[i])
            ThrowUnnamedParam(source, params[i].name);
    out.sql += sql.substr(copied);
    return out;
}

} // namespace zel
