// The table kind of the statistics component: a table dataset whose records are those of one
// table.
#pragma once

#include "components/ZelComponent.h"
#include "platform/DataSet.h"

namespace zel {

class TRivuReviTable : public TTable, public TStatComponent {
public:
    explicit TRivuReviTable(TComponent* owner = nullptr);
    ~TRivuReviTable() override;

    void Loaded() override;

    // The table name without its directory part.
    std::string DataSourceName() const override;
    // "Table: " and the table name as set.
    std::string SourceLine() const override;
    // The table name as set, directory included.
    std::string SourceTitle() const override;
    std::string SourceText() const override;

    TClassDisplayForm& ClassWindow() override;
    TRivuReviPlotForm& PlotWindow() override;
};

} // namespace zel
