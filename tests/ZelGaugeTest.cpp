// The progress dialog and its gauge control, tested headless through the controls' names.
#include "zelstats/gui/Gauge.h"
#include "zelstats/windows/ZelGauge.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QWindow>
#include <gtest/gtest.h>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace zel {
namespace {

const QColor Navy(0, 0, 128);

template <class T>
T* Control(const QWidget& dialog, const char* name)
{
    T* control = dialog.findChild<T*>(QString::fromLatin1(name));
    if (control == nullptr)
        ADD_FAILURE() << "no control named " << name;
    return control;
}

TGauge* Bar(const QWidget& d) { return Control<TGauge>(d, "Gauge1"); }
TGauge* Pie(const QWidget& d) { return Control<TGauge>(d, "Gauge3"); }
QFrame* BarFrame(const QWidget& d) { return Control<QFrame>(d, "Panel2"); }
QLabel* StatusLine(const QWidget& d) { return Control<QLabel>(d, "Panel1"); }

// Shows the dialog and lets the window system expose and activate it (a display without a
// window manager activates nothing by itself).
void ShowAndSettle(QWidget& dialog)
{
    dialog.show();
    dialog.activateWindow();
    QElapsedTimer clock;
    clock.start();
    while ((!dialog.isActiveWindow() || !dialog.windowHandle()->isExposed())
           && clock.elapsed() < 3000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    QApplication::processEvents();
}

// Counts the paint events of the widgets it watches.
class PaintCounter : public QObject {
public:
    void Watch(QWidget* widget) { widget->installEventFilter(this); }
    int Count(const QObject* widget) const
    {
        const auto it = counts_.find(widget);
        return it == counts_.end() ? 0 : it->second;
    }
    int Total() const
    {
        int total = 0;
        for (const auto& [widget, count] : counts_)
            total += count;
        return total;
    }
    void Reset() { counts_.clear(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++counts_[watched];
        return false;
    }

private:
    std::map<const QObject*, int> counts_;
};

// ---- the gauge control ------------------------------------------------------------------

QImage Render(const TGauge& gauge, QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::gray);
    QPainter painter(&image);
    gauge.Paint(painter, QRect(QPoint(0, 0), size));
    return image;
}

// Pixels of `area` that differ from `ground`: the text written over it.
int CountOtherPixels(const QImage& image, const QRect& area, const QColor& ground)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += image.pixelColor(x, y) != ground;
    return count;
}

TEST(TGaugeTest, ProgressOutsideZeroToHundredIsClamped)
{
    TGauge gauge;
    EXPECT_TRUE(gauge.SetProgress(150));
    EXPECT_EQ(gauge.Progress(), 100);
    EXPECT_FALSE(gauge.SetProgress(101)) << "still showing 100: nothing changed";
    EXPECT_TRUE(gauge.SetProgress(-5));
    EXPECT_EQ(gauge.Progress(), 0);
    EXPECT_EQ(gauge.PercentText(), "0%");
    gauge.SetProgress(50);
    EXPECT_EQ(gauge.PercentText(), "50%");
}

TEST(TGaugeTest, BarFillsItsShareAndInvertsTheTextWhereItCovers)
{
    TGauge gauge;
    gauge.SetForeColor(Navy);
    gauge.SetBackColor(Qt::white);
    const QSize size(175, 21);
    const QRect inner(1, 1, 173, 19);

    gauge.SetProgress(0);
    QImage image = Render(gauge, size);
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::black)) << "single border";
    EXPECT_EQ(image.pixelColor(5, 10), QColor(Qt::white));
    EXPECT_GT(CountOtherPixels(image, inner, Qt::white), 20) << "text over the empty bar";
    EXPECT_EQ(image.pixelColor(1, 10), QColor(Qt::white));

    gauge.SetProgress(50);
    image = Render(gauge, size);
    EXPECT_EQ(image.pixelColor(5, 10), Navy);
    EXPECT_EQ(image.pixelColor(170, 10), QColor(Qt::white));

    gauge.SetProgress(100);
    image = Render(gauge, size);
    EXPECT_EQ(image.pixelColor(170, 10), Navy);
    EXPECT_GT(CountOtherPixels(image, inner, Navy), 20) << "text over the full bar";
}

TEST(TGaugeTest, PieGrowsClockwiseFromTwelveOClock)
{
    TGauge gauge;
    gauge.SetKind(TGauge::Pie);
    gauge.SetBorder(false);
    gauge.SetShowText(false);
    gauge.SetForeColor(Navy);
    gauge.SetBackColor(Qt::white);
    gauge.SetProgress(25);
    const QImage image = Render(gauge, QSize(55, 55));
    EXPECT_EQ(image.pixelColor(40, 14), Navy) << "upper right quarter filled";
    EXPECT_EQ(image.pixelColor(40, 40), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(14, 40), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(14, 14), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(1, 1), QColor(Qt::gray)) << "corners outside the circle untouched";
}

// ---- the dialog -------------------------------------------------------------------------

TEST(ZelGaugeDlgTest, FormIsAFixedCentredDialogWithTheStatedLook)
{
    TZELGaugeDlg dialog;
    EXPECT_EQ(dialog.windowTitle(), "Percentage Complete");
    EXPECT_EQ(dialog.size(), QSize(224, 150));
    EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
    const Qt::WindowFlags flags = dialog.windowFlags();
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);
    EXPECT_FALSE(dialog.isModal());

    const QLabel* white = Control<QLabel>(dialog, "Label1");
    const QLabel* maroon = Control<QLabel>(dialog, "Label2");
    ASSERT_TRUE(white && maroon);
    EXPECT_EQ(white->geometry(), QRect(-1, 35, 227, 36));
    EXPECT_EQ(maroon->geometry(), white->geometry().translated(0, 1));
    EXPECT_EQ(white->palette().color(QPalette::WindowText), QColor(255, 255, 255));
    EXPECT_EQ(maroon->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    EXPECT_EQ(maroon->font().pixelSize(), 15);
    EXPECT_TRUE(maroon->font().bold());
    EXPECT_EQ(white->text(), "Descriptive Statistics");
    EXPECT_TRUE(Control<QLabel>(dialog, "Image1")->pixmap().size() == QSize(31, 30));

    EXPECT_EQ(BarFrame(dialog)->geometry(), QRect(21, 85, 182, 29));
    EXPECT_EQ(Bar(dialog)->parentWidget(), BarFrame(dialog));
    EXPECT_EQ(Bar(dialog)->geometry(), QRect(3, 4, 175, 21));
    EXPECT_EQ(Pie(dialog)->geometry(), QRect(85, 72, 55, 55));
    EXPECT_EQ(Pie(dialog)->Kind(), TGauge::Pie);
    EXPECT_EQ(Bar(dialog)->ForeColor(), Navy);
    EXPECT_EQ(Pie(dialog)->ForeColor(), Navy);
    EXPECT_EQ(Bar(dialog)->font().pixelSize(), 12);
    EXPECT_EQ(StatusLine(dialog)->geometry(), QRect(0, 131, 224, 19));
    EXPECT_EQ(StatusLine(dialog)->font().pixelSize(), 11);
}

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// Trunc(fraction × 100.0) in the bar and, for Round, the pie; fractions that cannot arise
// from a true record count show as the nearest end.
class FractionTest : public testing::TestWithParam<std::tuple<double, int, const char*>> {};

TEST_P(FractionTest, BarAndPieShowTruncatedPercent)
{
    const auto [fraction, percent, name] = GetParam();
    for (GaugeKind kind : {GaugeKind::Horizontal, GaugeKind::Round}) {
        TZELGaugeDlg dialog;
        dialog.SetGaugeProgress(kind, "Calculating", fraction);
        EXPECT_EQ(Bar(dialog)->Progress(), percent) << "the bar follows every call";
        if (kind == GaugeKind::Round) {
            EXPECT_EQ(Pie(dialog)->Progress(), percent);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fractions, FractionTest,
    testing::Values(std::tuple{0.5, 50, "Half"}, std::tuple{0.29, 28, "PointTwentyNine"},
                    std::tuple{1.0, 100, "One"}, std::tuple{0.0, 0, "Zero"},
                    std::tuple{0.999, 99, "JustBelowOne"}, std::tuple{1.5, 100, "AboveOne"},
                    std::tuple{-0.2, 0, "Negative"}, std::tuple{NaN, 0, "NaN"},
                    std::tuple{Inf, 100, "Infinity"}, std::tuple{1e300, 100, "Huge"}),
    [](const auto& info) { return std::string(std::get<2>(info.param)); });

TEST(ZelGaugeDlgTest, RoundAfterHorizontalSwapsTheBarFrameForThePie)
{
    TZELGaugeDlg dialog;
    ShowAndSettle(dialog);
    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", 0.4);
    EXPECT_TRUE(BarFrame(dialog)->isVisible());
    EXPECT_FALSE(Pie(dialog)->isVisible());

    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Variance", 0.1);
    EXPECT_FALSE(BarFrame(dialog)->isVisible());
    EXPECT_TRUE(Pie(dialog)->isVisible());
    EXPECT_EQ(Pie(dialog)->Progress(), 10);

    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Variance", 0.7);
    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", 0.7);
    EXPECT_TRUE(BarFrame(dialog)->isVisible());
    EXPECT_FALSE(Pie(dialog)->isVisible());
    EXPECT_EQ(Bar(dialog)->Progress(), 70);

    // The bar kept following while its frame was hidden: it is already at the latest value
    // when a Horizontal call shows it, whatever that call's fraction.
    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Variance", 0.9);
    EXPECT_EQ(Bar(dialog)->Progress(), 90);
}

TEST(ZelGaugeDlgTest, HiddenPieKeepsItsValue)
{
    TZELGaugeDlg dialog;
    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Skewness", 0.3);
    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", 0.8);
    EXPECT_EQ(Pie(dialog)->Progress(), 30);
    EXPECT_EQ(Bar(dialog)->Progress(), 80);
}

TEST(ZelGaugeDlgTest, ActivationResetsTheBarButNotThePie)
{
    TZELGaugeDlg dialog;
    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Kurtosis", 0.6);
    ASSERT_EQ(Bar(dialog)->Progress(), 60);
    ShowAndSettle(dialog);
    ASSERT_TRUE(dialog.isActiveWindow());
    EXPECT_EQ(Bar(dialog)->Progress(), 0);
    EXPECT_EQ(Pie(dialog)->Progress(), 60);

    // The same value again must not be taken for "nothing changed": the bar shows it again.
    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Kurtosis", 0.6);
    EXPECT_EQ(Bar(dialog)->Progress(), 60);
}

TEST(ZelGaugeDlgTest, NeverShownDialogTakesEveryValueWithoutPainting)
{
    TZELGaugeDlg dialog;
    PaintCounter paints;
    paints.Watch(&dialog);
    paints.Watch(Bar(dialog));
    paints.Watch(Pie(dialog));
    paints.Watch(StatusLine(dialog));

    dialog.SetLabels("Summary of scores Amount");
    dialog.SetCaption("Working");
    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading dataset, calculating totals, mean",
                            0.25);
    dialog.SetGaugeProgress(GaugeKind::Round, "Calculating Variance, Skew, Kurtosis", 0.75);

    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(Control<QLabel>(dialog, "Label1")->text(), "Summary of scores Amount");
    EXPECT_EQ(Control<QLabel>(dialog, "Label2")->text(), "Summary of scores Amount");
    EXPECT_EQ(dialog.windowTitle(), "Working");
    EXPECT_EQ(StatusLine(dialog)->text(), "Calculating Variance, Skew, Kurtosis");
    EXPECT_EQ(Bar(dialog)->Progress(), 75);
    EXPECT_EQ(Pie(dialog)->Progress(), 75);
    EXPECT_TRUE(BarFrame(dialog)->isHidden());
    EXPECT_FALSE(Pie(dialog)->isHidden());
    EXPECT_EQ(paints.Total(), 0);
}

TEST(ZelGaugeDlgTest, LongHeadingWrapsInsideTheLabelWidthInBothCopies)
{
    TZELGaugeDlg dialog;
    const QString heading =
        "Summary of  quarterly_sales Amount";
    dialog.SetLabels(heading);
    for (const char* name : {"Label1", "Label2"}) {
        const QLabel* label = Control<QLabel>(dialog, name);
        ASSERT_NE(label, nullptr);
        EXPECT_EQ(label->text(), heading);
        EXPECT_TRUE(label->wordWrap());
        EXPECT_EQ(label->width(), 227) << "the label keeps its size; the text wraps";
        const int lineHeight = label->fontMetrics().height();
        const int needed = label->heightForWidth(227);
        EXPECT_GT(needed, lineHeight) << "more than one line";
        EXPECT_LE(needed, label->height()) << "two lines fit without clipping";
    }
}

TEST(ZelGaugeDlgTest, HeadingLooksLikeHtmlIsShownAsWritten)
{
    TZELGaugeDlg dialog;
    dialog.SetLabels("Summary of <b>t</b> x");
    EXPECT_EQ(Control<QLabel>(dialog, "Label1")->textFormat(), Qt::PlainText);
    EXPECT_EQ(StatusLine(dialog)->textFormat(), Qt::PlainText);
}

TEST(ZelGaugeDlgTest, ChangesPaintAtOnceWithoutTheEventLoop)
{
    TZELGaugeDlg dialog;
    ShowAndSettle(dialog);
    PaintCounter paints;
    paints.Watch(Bar(dialog));
    paints.Watch(StatusLine(dialog));

    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", 0.33);
    EXPECT_GE(paints.Count(Bar(dialog)), 1);
    EXPECT_GE(paints.Count(StatusLine(dialog)), 1);
    paints.Reset();

    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", 0.335);
    // An equal message in another string object is no change either.
    dialog.SetGaugeProgress(GaugeKind::Horizontal, QString("Load") + "ing", 0.339);
    EXPECT_EQ(paints.Total(), 0) << "same whole percent and message: nothing to paint";

    dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", 0.34);
    EXPECT_GE(paints.Count(Bar(dialog)), 1);
    EXPECT_EQ(paints.Count(StatusLine(dialog)), 0);
}

TEST(ZelGaugeDlgTest, DialogShownByAPassThatNeverYieldsStillPaintsItsProgress)
{
    TZELGaugeDlg dialog;
    PaintCounter paints;
    paints.Watch(Bar(dialog));
    // From here on no event loop runs, as in a pass over the records.
    dialog.show();
    for (int i = 1; i <= 1000; ++i)
        dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", i / 1000.0);
    EXPECT_GE(paints.Count(Bar(dialog)), 90);
    EXPECT_EQ(Bar(dialog)->Progress(), 100) << "an activation during the pass did not undo it";
}

#if defined(__x86_64__)
// Whether the upper halves of the AVX registers are in use, or nullopt where the processor
// cannot tell.
std::optional<bool> UpperVectorStateInUse()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid_count(0xD, 1, &a, &b, &c, &d) || (a & (1u << 2)) == 0)
        return std::nullopt; // no XGETBV with ECX = 1
    std::uint32_t low = 0, high = 0;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(1));
    return (low & (1u << 2)) != 0;
}
#else
std::optional<bool> UpperVectorStateInUse() { return std::nullopt; }
#endif

// A repaint in the middle of a pass hands the pass back a vector unit that runs its SSE
// arithmetic at full speed.
TEST(ZelGaugeDlgTest, RepaintsLeaveTheVectorUnitReadyForThePass)
{
    if (!UpperVectorStateInUse().has_value())
        GTEST_SKIP() << "this processor does not report its vector state";
    TZELGaugeDlg dialog;
    dialog.show();
    for (int percent = 0; percent <= 100; percent += 10) {
        dialog.SetGaugeProgress(percent < 50 ? GaugeKind::Horizontal : GaugeKind::Round,
                                "Loading", percent / 100.0);
        EXPECT_FALSE(*UpperVectorStateInUse()) << "after painting " << percent << " %";
    }
    dialog.SetLabels("Summary of big Amount");
    EXPECT_FALSE(*UpperVectorStateInUse()) << "after painting the heading";
}

TEST(ZelGaugeDlgTest, MillionCallsPaintOncePerWholePercent)
{
    TZELGaugeDlg dialog;
    dialog.SetLabels("Summary of big Amount");
    ShowAndSettle(dialog);
    PaintCounter paints;
    paints.Watch(Bar(dialog));
    paints.Watch(Pie(dialog));
    paints.Watch(StatusLine(dialog));

    const QString loading = "Loading dataset, calculating totals, mean";
    const QString moments = "Calculating Variance, Skew, Kurtosis";
    constexpr int records = 1000000;
    for (int i = 1; i <= records; ++i)
        dialog.SetGaugeProgress(GaugeKind::Horizontal, loading, double(i) / records);
    EXPECT_EQ(Bar(dialog)->Progress(), 100);
    const int barPaints = paints.Count(Bar(dialog));
    EXPECT_GE(barPaints, 50) << "each new percent is painted at once";
    EXPECT_LE(barPaints, 300);

    for (int i = 0; i < records; ++i)
        dialog.SetGaugeProgress(GaugeKind::Round, moments, double(i) / records);
    EXPECT_EQ(Pie(dialog)->Progress(), 99);
    EXPECT_GE(paints.Count(Pie(dialog)), 50);
    EXPECT_LE(paints.Total(), 600);
}

TEST(ZelGaugeDlgTest, ListenerIsToldOfEachChangeOnly)
{
    struct Told {
        QString heading, message;
        int percent;
        bool operator==(const Told&) const = default;
    };
    std::vector<Told> told;
    const auto previous = TZELGaugeDlg::SetProgressListener(
        [&](const QString& h, const QString& m, int p) { told.push_back({h, m, p}); });

    {
        TZELGaugeDlg dialog;
        dialog.SetLabels("Summary of t x");
        dialog.SetLabels("Summary of t x");
        for (int i = 0; i < 1000; ++i)
            dialog.SetGaugeProgress(GaugeKind::Horizontal, "Loading", i / 1000.0);
        dialog.SetGaugeProgress(GaugeKind::Round, "Variance", 0.999);
    }
    TZELGaugeDlg::SetProgressListener(previous);

    ASSERT_EQ(told.size(), 1u + 100u + 1u);
    EXPECT_EQ(told.front(), (Told{"Summary of t x", "", 0}));
    EXPECT_EQ(told[1], (Told{"Summary of t x", "Loading", 0}));
    EXPECT_EQ(told[100], (Told{"Summary of t x", "Loading", 99}));
    EXPECT_EQ(told.back(), (Told{"Summary of t x", "Variance", 99}));
}

} // namespace
} // namespace zel
