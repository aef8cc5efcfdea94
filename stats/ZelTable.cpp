#include "stats/ZelTable.h"

#include "platform/Format.h"
#include "stats/KindWindows.h"

namespace zel {

namespace {

// The window pair shared by every table component.
KindWindows& TableWindows()
{
    static KindWindows windows;
    return windows;
}

} // namespace

TRivuReviTable::TRivuReviTable(TComponent* owner) : TTable(owner), TStatistics(static_cast<TDataSet&>(*this))
{
    TableWindows().Acquire();
}

TRivuReviTable::~TRivuReviTable() { TableWindows().Release(); }

void TRivuReviTable::Loaded() { TTable::Loaded(); }

std::string TRivuReviTable::DataSourceName() const { return ExtractFileName(TableName()); }

TClassDisplayForm& TRivuReviTable::ClassWindow() { return TableWindows().ClassWindow(); }

TRivuReviPlotForm& TRivuReviTable::PlotWindow() { return TableWindows().PlotWindow(); }

} // namespace zel
