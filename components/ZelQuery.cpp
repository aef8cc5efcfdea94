#include "components/ZelQuery.h"

#include "components/KindWindows.h"

namespace zel {

namespace {

// The window pair shared by every query component.
KindWindows& QueryWindows()
{
    static KindWindows windows;
    return windows;
}

} // namespace

TRivuReviQuery::TRivuReviQuery(TComponent* owner)
    : TQuery(owner), TStatComponent(static_cast<TDataSet&>(*this))
{
    QueryWindows().Acquire();
}

TRivuReviQuery::~TRivuReviQuery() { QueryWindows().Release(); }

void TRivuReviQuery::Loaded() { TQuery::Loaded(); }

std::string TRivuReviQuery::FirstSQLLine() const
{
    return SQL().empty() ? std::string() : SQL().front();
}

std::string TRivuReviQuery::DataSourceName() const { return deleteStr(FirstSQLLine(), 1, 13); }

std::string TRivuReviQuery::SourceLine() const { return "Dataset Query: " + FirstSQLLine(); }

std::string TRivuReviQuery::SourceTitle() const { return DataSourceName(); }

std::string TRivuReviQuery::SourceText() const { return SQLText(); }

TClassDisplayForm& TRivuReviQuery::ClassWindow() { return QueryWindows().ClassWindow(); }

TRivuReviPlotForm& TRivuReviQuery::PlotWindow() { return QueryWindows().PlotWindow(); }

} // namespace zel
