// The table kind of the statistics component: a table dataset whose records are those of one
// table.
#pragma once

#include "platform/DataSet.h"
#include "stats/ZelStats.h"

namespace zel {

class TRivuReviTable : public TTable, public TStatistics {
public:
    explicit TRivuReviTable(TComponent* owner = nullptr);
    ~TRivuReviTable() override;

    void Loaded() override;

    // The table name without its directory part.
    std::string DataSourceName() const override;

    TClassDisplayForm& ClassWindow() override;
    TRivuReviPlotForm& PlotWindow() override;
};

} // namespace zel
