#include "components/ZelTable.h"

#include "components/KindWindows.h"
#include "platform/Format.h"

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
    : TTable(owner), TStatComponent(static_cast<TDataSet&>(*this))
{
    TableWindows().Acquire();
}

TRivuReviTable::~TRivuReviTable() { TableWindows().Release(); }

void TRivuReviTable::Loaded() { TTable::Loaded(); }

std::string TRivuReviTable::DataSourceName() const { return ExtractFileName(TableName()); }

std::string TRivuReviTable::SourceLine() const { return "Table: " + TableName(); }

std::string TRivuReviTable::SourceTitle() const { return TableName(); }

std::string TRivuReviTable::SourceText() const { return TableName(); }

TClassDisplayForm& TRivuReviTable::ClassWindow() { return TableWindows().ClassWindow(); }

TRivuReviPlotForm& TRivuReviTable::PlotWindow() { return TableWindows().PlotWindow(); }

} // namespace zel
