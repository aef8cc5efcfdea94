#include "stats/SourceStatistics.h"

#include "tools/Format.h"
#include "tools/ZelTools.h"

namespace zel {

TQueryStatistics::TQueryStatistics(TComponent* owner)
    : TQuery(owner), TStatistics(static_cast<TDataSet&>(*this))
{
}

std::string TQueryStatistics::FirstSQLLine() const
{
    return SQL().empty() ? std::string() : SQL().front();
}

std::string TQueryStatistics::DataSourceName() const { return deleteStr(FirstSQLLine(), 1, 13); }

std::string TQueryStatistics::SourceLine() const { return "Dataset Query: " + FirstSQLLine(); }

std::string TQueryStatistics::SourceTitle() const { return DataSourceName(); }

std::string TQueryStatistics::SourceText() const { return SQLText(); }

TTableStatistics::TTableStatistics(TComponent* owner)
    : TTable(owner), TStatistics(static_cast<TDataSet&>(*this))
{
}

std::string TTableStatistics::DataSourceName() const { return ExtractFileName(TableName()); }

std::string TTableStatistics::SourceLine() const { return "Table: " + TableName(); }

std::string TTableStatistics::SourceTitle() const { return TableName(); }

std::string TTableStatistics::SourceText() const { return TableName(); }

} // namespace zel
