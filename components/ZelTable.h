// The table kind of the statistics component: a table dataset whose records are those of one
// table.
#pragma once

#include "zelstats/components/KindWindows.h"
#include "zelstats/components/ZelComponent.h"
#include "zelstats/stats/SourceStatistics.h"

namespace zel {

class TRivuReviTable : public TTableStatistics, public TStatComponent {
public:
    explicit TRivuReviTable(TComponent* owner = nullptr);
    ~TRivuReviTable() override;

    void Loaded() override;

    TClassDisplayForm& ClassWindow() override;
    TRivuReviPlotForm& PlotWindow() override;

private:
    // The kind's shared window pair, held from this component's first window on.
    KindWindowsShare windows_;
};

} // namespace zel
