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
    : TQueryStatistics(owner), TStatComponent(static_cast<TStatistics&>(*this))
{
    QueryWindows().Acquire();
}

TRivuReviQuery::~TRivuReviQuery() { QueryWindows().Release(); }

void TRivuReviQuery::Loaded() { TQueryStatistics::Loaded(); }

TClassDisplayForm& TRivuReviQuery::ClassWindow() { return QueryWindows().ClassWindow(); }

TRivuReviPlotForm& TRivuReviQuery::PlotWindow() { return QueryWindows().PlotWindow(); }

} // namespace zel
