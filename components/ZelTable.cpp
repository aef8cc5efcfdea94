#include "components/ZelTable.h"

#include "components/KindWindows.h"

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
    : TTableStatistics(owner), TStatComponent(static_cast<TStatistics&>(*this))
{
    TableWindows().Acquire();
}

TRivuReviTable::~TRivuReviTable() { TableWindows().Release(); }

void TRivuReviTable::Loaded() { TTableStatistics::Loaded(); }

TClassDisplayForm& TRivuReviTable::ClassWindow() { return TableWindows().ClassWindow(); }

TRivuReviPlotForm& TRivuReviTable::PlotWindow() { return TableWindows().PlotWindow(); }

} // namespace zel
