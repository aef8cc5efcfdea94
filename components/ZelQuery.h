// The query kind of the statistics component: a query dataset whose records are the result of
// its SQL text.
#pragma once

#include "zelstats/components/KindWindows.h"
#include "zelstats/components/ZelComponent.h"
#include "zelstats/stats/SourceStatistics.h"

namespace zel {

class TRivuReviQuery : public TQueryStatistics, public TStatComponent {
public:
    explicit TRivuReviQuery(TComponent* owner = nullptr);
    ~TRivuReviQuery() override;

    void Loaded() override;

    TClassDisplayForm& ClassWindow() override;
    TRivuReviPlotForm& PlotWindow() override;

private:
    // The kind's shared window pair, held from this component's first window on.
    KindWindowsShare windows_;
};

} // namespace zel
