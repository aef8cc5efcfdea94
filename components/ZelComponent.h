// What both component kinds, TRivuReviQuery and TRivuReviTable, add to the statistics core:
// the three windows, and a progress dialog or busy cursor for every walk over the records.
#pragma once

#include "stats/ZelStats.h"

#include <memory>

namespace zel {

class TClassDisplayForm;
class TRivuReviPlotForm;

class TStatComponent : public TStatistics {
public:
    ~TStatComponent() override;

    // The summary window, the class-frequency window and the plot window, each modal. They
    // need a QApplication; without one they throw std::logic_error.
    void Output();
    void FrequencyDisplay();
    void SummaryChart();

    // The window pair shared by every component of the kind, made at its first use.
    virtual TClassDisplayForm& ClassWindow() = 0;
    virtual TRivuReviPlotForm& PlotWindow() = 0;

protected:
    explicit TStatComponent(TDataSet& dataset);

private:
    // Binds the walks to a progress dialog and the screen cursor. Without a QApplication, and
    // on any thread but the application's, it shows nothing.
    class GaugeObserver;
    std::unique_ptr<GaugeObserver> gauge_;
};

// Throws std::logic_error unless a QApplication exists, naming what needed it.
void RequireApplication(const char* what);

} // namespace zel
