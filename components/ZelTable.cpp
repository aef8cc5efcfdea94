#include "zelstats/components/ZelTable.h"

namespace zel {

namespace {

// The window pair shared by every table component. It is never destroyed, so that a component
// that outlives main (a static of the program's) still gives its share back to a live pair.
KindWindows& TableWindows()
{
    static KindWindows* const windows = new KindWindows;
    return *windows;
}

} // namespace

TRivuReviTable::TRivuReviTable(TComponent* owner)
    : TTableStatistics(owner), TStatComponent(static_cast<TStatistics&>(*this)),
      windows_(TableWindows)
{
}

TRivuReviTable::~TRivuReviTable() = default;

void TRivuReviTable::Loaded() { TTableStatistics::Loaded(); }

TClassDisplayForm& TRivuReviTable::ClassWindow() { return windows_.ClassWindow(); }

TRivuReviPlotForm& TRivuReviTable::PlotWindow() { return windows_.PlotWindow(); }

} // namespace zel
