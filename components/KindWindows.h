// The class-frequency and plot windows of one component kind.
//
// Every component of a kind shows its classes and plots in the same pair of windows. The pair
// is made when a component first needs it and freed when the last component of the kind goes,
// or when the QApplication goes, whichever comes first: a window never outlives the
// application it belongs to, and is never used after it was freed, nor freed twice, whatever
// order components, windows and the application go in.
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
    void Make();
    void Free();
    // Run by the QApplication as it is destroyed.
    static void FreeAll();

    int users_ = 0;
    std::unique_ptr<TClassDisplayForm> classWindow_;
    std::unique_ptr<TRivuReviPlotForm> plotWindow_;
    // Every instance, so that the application's end reaches them all.
    KindWindows* next_ = nullptr;
};

} // namespace zel
