// What both component kinds, TRivuReviQuery and TRivuReviTable, add to the statistics of a
// query or a table (stats/SourceStatistics.h): the three windows, and a progress dialog or
// busy cursor for every walk over the records.
#pragma once

#include <memory>

namespace zel {

class TClassDisplayForm;
class TRivuReviPlotForm;
class TStatistics;

class TStatComponent {
public:
    virtual ~TStatComponent();
    TStatComponent(const TStatComponent&) = delete;
    TStatComponent& operator=(const TStatComponent&) = delete;

    // The summary window, the class-frequency window and the plot window, each modal. They
    // need a QApplication and its thread; elsewhere they throw std::logic_error. The rest of a
    // component (opening, summarising) runs on any thread, one thread at a time.
    void Output();
    void FrequencyDisplay();
    void SummaryChart();

    // The window pair shared by every component of the kind, made at its first use.
    virtual TClassDisplayForm& ClassWindow() = 0;
    virtual TRivuReviPlotForm& PlotWindow() = 0;

protected:
    // Shows the walks of `statistics`, which must outlive the component's windows: the kinds
    // pass themselves.
    explicit TStatComponent(TStatistics& statistics);

private:
    TStatistics& statistics_;
    // Binds the walks to a progress dialog and the screen cursor. Without a QApplication, and
    // on any thread but the application's, it shows nothing.
    class GaugeObserver;
    std::unique_ptr<GaugeObserver> gauge_;
};

// Throws std::logic_error unless a QApplication exists and this is its thread, naming what
// needed it.
void RequireApplication(const char* what);

} // namespace zel
