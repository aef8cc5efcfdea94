#include "zelstats/components/KindWindows.h"

#include "zelstats/components/ZelComponent.h"
#include "zelstats/plot/ZelPlot.h"
#include "zelstats/windows/ZelClass.h"

#include <QCoreApplication>
#include <QThread>

namespace zel {

namespace {

// A plain pointer, so that it is valid at any time of the program, before and after statics.
KindWindows* instances = nullptr;
// Whether the running application will free the windows as it ends.
bool freedWithApplication = false;

} // namespace

KindWindows::KindWindows() : next_(instances) { instances = this; }

KindWindows::~KindWindows()
{
    for (KindWindows** link = &instances; *link != nullptr; link = &(*link)->next_) {
        if (*link == this) {
            *link = next_;
            break;
        }
    }
}

void KindWindows::Acquire() { ++users_; }

void KindWindows::Release()
{
    if (users_ > 0 && --users_ == 0)
        Free();
}

void KindWindows::Make()
{
    RequireApplication("A component window");
    if (classWindow_ != nullptr)
        return;
    if (!freedWithApplication) {
        qAddPostRoutine(&KindWindows::FreeAll);
        freedWithApplication = true;
    }
    auto classWindow = std::make_unique<TClassDisplayForm>();
    plotWindow_ = std::make_unique<TRivuReviPlotForm>();
    classWindow_ = std::move(classWindow);
}

void KindWindows::Free()
{
    classWindow_.reset();
    plotWindow_.reset();
}

void KindWindows::FreeAll()
{
    for (KindWindows* windows = instances; windows != nullptr; windows = windows->next_)
        windows->Free();
    freedWithApplication = false;
}

TClassDisplayForm& KindWindows::ClassWindow()
{
    Make();
    return *classWindow_;
}

TRivuReviPlotForm& KindWindows::PlotWindow()
{
    Make();
    return *plotWindow_;
}

KindWindowsShare::~KindWindowsShare()
{
    if (taken_ == nullptr)
        return;
    KindWindows* windows = taken_;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() == app->thread()) {
        windows->Release();
        return;
    }
    // The pairs are statics, alive until the program ends. Should the application end before
    // the release runs, it has freed the windows already; the count then only keeps a later
    // application's pair until that application ends.
    QMetaObject::invokeMethod(app, [windows] { windows->Release(); }, Qt::QueuedConnection);
}

KindWindows& KindWindowsShare::Take()
{
    RequireApplication("A component window");
    if (taken_ == nullptr) {
        KindWindows& windows = kind_();
        windows.Acquire();
        taken_ = &windows;
    }
    return *taken_;
}

TClassDisplayForm& KindWindowsShare::ClassWindow() { return Take().ClassWindow(); }

TRivuReviPlotForm& KindWindowsShare::PlotWindow() { return Take().PlotWindow(); }

} // namespace zel
