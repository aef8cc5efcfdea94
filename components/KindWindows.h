// The class-frequency and plot windows of one component kind.
//
// Every component of a kind shows its classes and plots in the same pair of windows. The pair
// is made when a component first needs it and freed when the last component that used it goes,
// or when the QApplication goes, whichever comes first: a window never outlives the
// application it belongs to, and is never used after it was freed, nor freed twice, whatever
// order components, windows and the application go in.
//
// Components are made, used and freed on any thread; the pair and its count of users live on
// the window thread only. A component counts as a user from its first window on, which it
// opens on the window thread; when it goes on another thread, its release is posted there.
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

    // A component of the kind began or ended using the pair. On the window thread only (or,
    // once the application is gone, on the thread that ends the program).
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

// One component's share in its kind's window pair: taken at the component's first window, on
// the window thread, and given back as the component goes, on the window thread too.
class KindWindowsShare {
public:
    // `kind` reaches the pair of the component's kind; it is called on the window thread.
    explicit KindWindowsShare(KindWindows& (*kind)()) : kind_(kind) {}
    ~KindWindowsShare();
    KindWindowsShare(const KindWindowsShare&) = delete;
    KindWindowsShare& operator=(const KindWindowsShare&) = delete;

    // The windows of the pair. They need a QApplication and its thread; elsewhere they throw
    // std::logic_error.
    TClassDisplayForm& ClassWindow();
    TRivuReviPlotForm& PlotWindow();

private:
    KindWindows& Take();

    KindWindows& (*kind_)();
    KindWindows* taken_ = nullptr;
};

} // namespace zel
