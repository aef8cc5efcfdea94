#include "stats/KindWindows.h"

#include "plot/ZelPlot.h"
#include "windows/ZelClass.h"

#include <stdexcept>

namespace zel {

KindWindows::KindWindows() = default;
KindWindows::~KindWindows() = default;

void KindWindows::Acquire()
{
    if (users_++ == 0) {
        classWindow_ = std::make_unique<TClassDisplayForm>();
        plotWindow_ = std::make_unique<TRivuReviPlotForm>();
    }
}

void KindWindows::Release()
{
    if (users_ > 0 && --users_ == 0) {
        classWindow_.reset();
        plotWindow_.reset();
    }
}

TClassDisplayForm& KindWindows::ClassWindow()
{
    if (classWindow_ == nullptr)
        throw std::logic_error("no component of this kind holds a class-frequency window");
    return *classWindow_;
}

TRivuReviPlotForm& KindWindows::PlotWindow()
{
    if (plotWindow_ == nullptr)
        throw std::logic_error("no component of this kind holds a plot window");
    return *plotWindow_;
}

} // namespace zel
