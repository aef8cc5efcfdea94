#include "components/ZelQuery.h"

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
    : TQueryStatistics(owner), TStatComponent(static_cast<TStatistics&>(*this)),
      windows_(QueryWindows)
{
}

TRivuReviQuery::~TRivuReviQuery() = default;

void TRivuReviQuery::Loaded() { TQueryStatistics::Loaded(); }

TClassDisplayForm& TRivuReviQuery::ClassWindow() { return windows_.ClassWindow(); }

TRivuReviPlotForm& TRivuReviQuery::PlotWindow() { return windows_.PlotWindow(); }

} // namespace zel
