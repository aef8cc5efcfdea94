// The class-frequency and plot windows of one component kind.
//
// Every component of a kind shows its classes and plots in the same pair of windows. The
// first component of the kind creates the pair and the last one frees it, so a window is never
// used after it was freed, nor freed twice, whatever order components are made and destroyed.
#pragma once

#include <memory>

namespace zel {

class TClassDisplayForm;
class TRivuReviPlotForm;

class KindWindows {
public:
    KindWindows();
    ~KindWindows();
    KindWindows(const KindWindows&) = delete;
    KindWindows& operator=(const KindWindows&) = delete;

    // A component of the kind was created or destroyed.
    void Acquire();
    void Release();

    TClassDisplayForm& ClassWindow();
    TRivuReviPlotForm& PlotWindow();

private:
    int users_ = 0;
    std::unique_ptr<TClassDisplayForm> classWindow_;
    std::unique_ptr<TRivuReviPlotForm> plotWindow_;
};

} // namespace zel
