#include "zelstats/components/ZelQuery.h"

namespace zel {

namespace {

// The window pair shared by every query component. It is never destroyed, so that a component
// that outlives main (a static of the program's) still gives its share back to a live pair.
KindWindows& QueryWindows()
{
    static KindWindows* const windows = new KindWindows;
    return *windows;
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
