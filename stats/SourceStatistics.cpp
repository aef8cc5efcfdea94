#include "zelstats/stats/SourceStatistics.h"

#include "zelstats/tools/Format.h"
#include "zelstats/tools/ZelTools.h"

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

std::unique_ptr<TStatistics> TQueryStatistics::NewWorkerCopy() const
{
    auto copy = std::make_unique<TQueryStatistics>();
    copy->CopySourceFrom(*this);
    CopySettingsTo(*copy);
    return copy;
}

TTableStatistics::TTableStatistics(TComponent* owner)
    : TTable(owner), TStatistics(static_cast<TDataSet&>(*this))
{
}

std::string TTableStatistics::DataSourceName() const { return ExtractFileName(TableName()); }

std::string TTableStatistics::SourceLine() const { return "Table: " + TableName(); }

std::string TTableStatistics::SourceTitle() const { return TableName(); }

std::string TTableStatistics::SourceText() const { return TableName(); }

std::unique_ptr<TStatistics> TTableStatistics::NewWorkerCopy() const
{
    auto copy = std::make_unique<TTableStatistics>();
    copy->CopySourceFrom(*this);
    CopySettingsTo(*copy);
    return copy;
}

} // namespace zel
