#include "zelstats/components/ZelComponent.h"

#include "zelstats/gui/Dialogs.h"
#include "zelstats/plot/ZelPlot.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/windows/ZelClass.h"
#include "zelstats/windows/ZelGauge.h"
#include "zelstats/windows/Zeloutpt.h"

#include <QApplication>
#include <QThread>

#include <stdexcept>
#include <string>

namespace zel {

namespace {

bool HaveApplication() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

// Windows and the cursor belong to the application's own thread; a summary run on another
// thread shows nothing.
bool OnWindowThread() { return HaveApplication() && QThread::currentThread() == qApp->thread(); }

} // namespace

void RequireApplication(const char* what)
{
    if (!HaveApplication())
        throw std::logic_error(std::string(what) + " needs a QApplication to show its window");
    if (!OnWindowThread())
        throw std::logic_error(std::string(what)
                               + " shows its window on the application's thread only");
}

class TStatComponent::GaugeObserver : public TWalkObserver {
public:
    void WalkBegins(const std::string& heading, bool shown) override
    {
        if (!OnWindowThread())
            return;
        // The dialog is fed also when hidden: its listener may show the progress elsewhere.
        dialog_ = std::make_unique<TZELGaugeDlg>();
        dialog_->SetLabels(QString::fromStdString(heading));
        if (shown)
            dialog_->show();
        else
            SetScreenCursor(TCursor::crHourGlass);
    }

    void WalkProgress(TWalkKind kind, const std::string& message, double fraction) override
    {
        if (dialog_ == nullptr)
            return;
        if (message != lastMessage_) {
            lastMessage_ = message;
            qMessage_ = QString::fromStdString(message);
        }
        dialog_->SetGaugeProgress(kind == TWalkKind::Load ? GaugeKind::Horizontal : GaugeKind::Round,
                                  qMessage_, fraction);
    }

    void WalkEnds() noexcept override
    {
        if (!OnWindowThread())
            return;
        dialog_.reset();
        SetScreenCursor(TCursor::crDefault);
    }

    void Idle() noexcept override
    {
        if (OnWindowThread())
            SetScreenCursor(TCursor::crDefault);
    }

private:
    std::unique_ptr<TZELGaugeDlg> dialog_;
    std::string lastMessage_;
    QString qMessage_;
};

TStatComponent::TStatComponent(TStatistics& statistics)
    : statistics_(statistics), gauge_(std::make_unique<GaugeObserver>())
{
    UseMessageBoxes();
    statistics_.SetWalkObserver(gauge_.get());
}

// The statistics outlive this part of the component: the kinds derive from them first.
TStatComponent::~TStatComponent() { statistics_.SetWalkObserver(nullptr); }

void TStatComponent::Output()
{
    RequireApplication("Output");
    TOutputForm form;
    form.ShowOutput(statistics_);
}

void TStatComponent::FrequencyDisplay()
{
    RequireApplication("FrequencyDisplay");
    ClassWindow().SetDataset(statistics_);
    ClassWindow().Open(statistics_);
}

void TStatComponent::SummaryChart()
{
    RequireApplication("SummaryChart");
    PlotWindow().Plot(statistics_);
}

} // namespace zel
