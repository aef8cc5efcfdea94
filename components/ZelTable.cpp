#include "components/ZelTable.h"

namespace zel {

namespace {

// The window pair shared by every table component.
KindWindows& TableWindows()
{
    static KindWindows windows;
    return windows;
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
