// The plot window, driven headless: the four plots read back from the image's pixels, record
// set paging and its hints, the class-count menu, the pointer read-out, the colour menu, the
// application hint handler, and the plots that cannot be drawn.
#include "zelstats/tools/Format.h"
#include "zelstats/gui/Hints.h"
#include "zelstats/gui/Image.h"
#include "zelstats/plot/ZelPlot.h"
#include "zelstats/components/ZelTable.h"
#include "tests/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QToolButton>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>

using namespace zel;
using namespace zel::test;

// Readable QString values in failure messages.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace {

// Popup menus on the headless platform complain that they cannot raise themselves or grab
// the keyboard; that is expected here and would only bury real messages.
void QuietPopupMessages()
{
    static QtMessageHandler previous = nullptr;
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context,
                                         const QString& message) {
        if (message.startsWith("This plugin does not support"))
            return;
        if (previous)
            previous(type, context, message);
    });
}

const QRgb White = qRgb(255, 255, 255);
const QRgb Black = qRgb(0, 0, 0);
const QRgb Maroon = qRgb(128, 0, 0);
const QRgb Yellow = qRgb(255, 255, 0);

// The layout's image: 306 x 213 pixels.
constexpr int W = 306;
constexpr int H = 213;
constexpr double PlotHeight = H * 0.95;

// Values 0..9 with these counts: value v falls in class v + 1 of the 10-class table, and the
// modal class (5) holds 40 values.
std::vector<double> ClassData()
{
    const int counts[] = {3, 5, 8, 12, 40, 20, 10, 6, 4, 2};
    std::vector<double> values;
    for (int v = 0; v < 10; ++v)
        values.insert(values.end(), counts[v], double(v));
    return values;
}

std::vector<double> Ramp(int count)
{
    std::vector<double> values;
    for (int k = 1; k <= count; ++k)
        values.push_back(k);
    return values;
}

class ZelPlotTest : public testing::Test {
protected:
    ZelPlotTest() { QuietPopupMessages(); }

    // A table component over a fresh table VALS(ID, V) holding the values, open.
    std::unique_ptr<TRivuReviTable> Table(const std::vector<double>& values)
    {
        CreateValueTable(*db_, "VALS", "V", values);
        auto t = std::make_unique<TRivuReviTable>();
        t->SetName("Stats1");
        t->SetDatabaseName(db_->Name());
        t->SetTableName("VALS");
        t->SetStatFieldName("V");
        t->SetShowCalcProgress(TBoolPlus::Never);
        t->Open();
        return t;
    }

    // Opens the component's plot window through SummaryChart and runs `check` on it in place
    // of the modal loop.
    void ShowPlot(TStatComponent& component, const std::function<void(QDialog&)>& check)
    {
        ModalInspector inspector([&](QDialog& window) {
            window_ = &window;
            check(window);
            for (QMenu* menu : window.findChildren<QMenu*>())
                menu->hide();
        });
        component.SummaryChart();
        window_ = nullptr;
        EXPECT_EQ(inspector.Count(), 1);
    }

    template <class T>
    T& Find(const char* name)
    {
        T* found = window_->findChild<T*>(QString::fromLatin1(name));
        if (found == nullptr)
            throw std::runtime_error(std::string("no control named ") + name);
        return *found;
    }
    QAction& Item(const char* name) { return Find<QAction>(name); }
    TImage& Image() { return Find<TImage>("PlotImage"); }
    QRgb Pixel(int px, int py) { return Image().Picture().pixel(px, py) | 0xff000000u; }
    QString Text(const char* label) { return Find<QLabel>(label).text(); }
    QString Status() { return Text("StatusBar"); }

    void Click(const char* button)
    {
        for (QMenu* menu : window_->findChildren<QMenu*>())
            menu->hide();
        Find<QToolButton>(button).click();
    }
    // Opens the menu of a plot button and chooses an item of it.
    void Choose(const char* button, const char* item)
    {
        Click(button);
        Item(item).trigger();
    }
    void MoveTo(int px, int py = 100)
    {
        QMouseEvent move(QEvent::MouseMove, QPointF(px + 0.5, py + 0.5), QPointF(px, py),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&Image(), &move);
    }
    void PressAt(int px, int py = 100)
    {
        QMouseEvent press(QEvent::MouseButtonPress, QPointF(px + 0.5, py + 0.5), QPointF(px, py),
                          Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&Image(), &press);
    }

    std::unique_ptr<TestDatabase> db_ = MakeSqliteDatabase();
    QDialog* window_ = nullptr;
};

// Columns of class i on the histogram's scale, as the window computes them.
int Column(TStatistics& t, double value)
{
    const double first = t.GetdsClassStart(1), last = t.GetdsClassEnd(t.FreqClasses());
    return int(std::trunc((value - first) / (last - first) * W));
}

TEST_F(ZelPlotTest, ModalBarIsTruncPlotHeightTallAndAxesShowTheModalFrequency)
{
    auto t = Table(ClassData());
    t->Summarize();
    ASSERT_EQ(t->GetdsModeClass(), 40);
    ShowPlot(*t, [&](QDialog& window) {
        EXPECT_EQ(window.windowTitle(), "RivuRevi Dataset Plot Form");
        Choose("sbtnHistogram", "PlotHistogram1");
        EXPECT_EQ(window.windowTitle(), "Histogram for V from VALS");
        EXPECT_EQ(Text("yMaxLabel"), "40");
        EXPECT_EQ(Text("yMidLabel"), "20");
        EXPECT_EQ(Text("yMinLabel"), "0");
        EXPECT_EQ(Text("xMinLabel"), QString::fromStdString(FloatToStrF(t->GetdsClassStart(1), 7, 2)));
        EXPECT_EQ(Status(), "");
        const int left = Column(*t, t->GetdsClassStart(5));
        const int top = H - int(std::trunc(PlotHeight)); // 202 pixels above the bottom edge
        ASSERT_EQ(top, 11);
        EXPECT_EQ(Pixel(left + 1, top), Black);       // the bar's outline
        EXPECT_EQ(Pixel(left + 1, top - 1), White);   // nothing above it
        EXPECT_EQ(Pixel(left + 1, H - 1), Black);     // bottom outline on the last row
        // Every bar's fill has no blue; the outline is black, the background white.
        for (int i = 1; i <= 10; ++i) {
            const QRgb fill = Pixel(Column(*t, t->GetdsClassStart(i)) + 1, H - 2);
            EXPECT_EQ(qBlue(fill), 0) << "class " << i;
            EXPECT_NE(fill, White) << "class " << i;
        }
    });
}

TEST_F(ZelPlotTest, CumulativeHistogramLastBarReachesFullHeight)
{
    auto t = Table(ClassData());
    t->Summarize();
    ShowPlot(*t, [&](QDialog& window) {
        Choose("sbtnCumHistogram", "PlotHistogram1");
        EXPECT_EQ(window.windowTitle(), "Cumulative % Histogram for V from VALS");
        EXPECT_EQ(Text("yMaxLabel"), "100");
        EXPECT_EQ(Text("yMidLabel"), "50");
        const double cumulative = t->GetdsClassCumPercent(10);
        EXPECT_NEAR(cumulative, 100.0, 1e-9);
        const int top = H - int(std::trunc(cumulative * 0.01 * PlotHeight));
        const int left = Column(*t, t->GetdsClassStart(10));
        EXPECT_EQ(Pixel(left + 1, top), Black);
        EXPECT_EQ(Pixel(left + 1, top - 1), White);
        EXPECT_EQ(qBlue(Pixel(left + 1, top + 1)), 0);
        // The first bar: 3 of 110 values.
        const int firstTop = H - int(std::trunc(t->GetdsClassCumPercent(1) * 0.01 * PlotHeight));
        EXPECT_EQ(Pixel(1, firstTop), Black);
        EXPECT_EQ(Pixel(1, firstTop - 1), White);
    });
}

TEST_F(ZelPlotTest, RecordSetDotsRunFromTheLeftEdgeToTruncPlotWidth)
{
    // 500 records: the first and the last at the maximum, the others lower.
    std::vector<double> values;
    for (int k = 1; k <= 500; ++k)
        values.push_back(k == 1 || k == 500 ? 100.0 : double(k % 50));
    auto t = Table(values);
    t->Summarize();
    ShowPlot(*t, [&](QDialog& window) {
        Choose("sbtnInputOrder", "FirstSet1");
        EXPECT_EQ(window.windowTitle(), "Plot of V from VALS by Dataset Order");
        EXPECT_EQ(Text("xMinLabel"), "1");
        EXPECT_EQ(Text("xMaxLabel"), "500");
        EXPECT_EQ(Text("yMaxLabel"), "100.00");
        EXPECT_EQ(Text("yMinLabel"), "0.00");
        // The maximum's dot starts at row 11; the first dot at column 0, filled in the dot
        // colour (maroon) outline and all.
        for (int px = 0; px < 4; ++px)
            EXPECT_EQ(Pixel(px, 12), Maroon) << px;
        EXPECT_EQ(Pixel(1, 11), Maroon);
        EXPECT_EQ(Pixel(1, 10), White);
        EXPECT_EQ(Pixel(4, 12), White);
        // The last dot at Trunc(306 x (1 - 1/500)) = 305, the image's last column.
        const int last = int(std::trunc(W * (1.0 - 1.0 / 500)));
        ASSERT_EQ(last, 305);
        EXPECT_NE(Pixel(last, 12), White);
        EXPECT_EQ(Pixel(last - 1, 12), White);
    });
}

TEST_F(ZelPlotTest, RecordSetsPageThroughTwelveHundredRecordsWithExactHints)
{
    auto t = Table(Ramp(1200));
    t->Summarize();
    ShowPlot(*t, [&](QDialog&) {
        Click("sbtnInputOrder");
        EXPECT_EQ(GetHint(Item("FirstSet1")), "Plot first 500 records.");
        EXPECT_FALSE(Item("PrevSet1").isEnabled());
        EXPECT_EQ(GetHint(Item("PrevSet1")), "No prior record set.");
        EXPECT_FALSE(Item("NextSet1").isEnabled());
        EXPECT_EQ(GetHint(Item("NextSet1")), "");

        struct Step { const char* item; const char* from; const char* to; const char* next; const char* prior; };
        const Step steps[] = {
            {"FirstSet1", "1", "500", "Plot records 501 to 1000.", "No prior record set."},
            {"NextSet1", "501", "1000", "Plot records 1001 to 1200.", "Plot records 1 to 501."},
            {"NextSet1", "1001", "1200", "All records have been plotted.", "Plot records 501 to 1001."},
            {"PrevSet1", "501", "1001", "Plot records 1001 to 1200.", "Plot records 1 to 501."},
            {"PrevSet1", "1", "501", "Plot records 501 to 1001.", "No prior record set."},
        };
        for (const Step& s : steps) {
            Choose("sbtnInputOrder", s.item);
            EXPECT_EQ(Text("xMinLabel"), s.from) << s.item;
            EXPECT_EQ(Text("xMaxLabel"), s.to) << s.item;
            Click("sbtnInputOrder");
            EXPECT_EQ(GetHint(Item("NextSet1")), s.next) << s.item << " to " << s.to;
            EXPECT_EQ(GetHint(Item("PrevSet1")), s.prior) << s.item << " to " << s.to;
        }
        EXPECT_FALSE(Item("PrevSet1").isEnabled());
    });
}

TEST_F(ZelPlotTest, ThreeHundredRecordsMakeOneSet)
{
    auto t = Table(Ramp(300));
    t->Summarize();
    ShowPlot(*t, [&](QDialog&) {
        Click("sbtnInputOrder");
        EXPECT_EQ(GetHint(Item("FirstSet1")), "Plot first 300 records.");
        EXPECT_FALSE(Item("NextSet1").isEnabled());
        EXPECT_EQ(GetHint(Item("NextSet1")), "Only one set of records.");
        Item("FirstSet1").trigger();
        EXPECT_EQ(Text("xMaxLabel"), "300");
        Click("sbtnInputOrder");
        EXPECT_FALSE(Item("NextSet1").isEnabled());
        EXPECT_EQ(GetHint(Item("NextSet1")), "Only one set of records.");
    });
}

TEST_F(ZelPlotTest, RecordSetsStopAtTheLastStoredValue)
{
    auto t = Table(Ramp(10500));
    t->SetdsMaxPlotCount(4000);
    MessageLog messages;
    t->Summarize();
    messages.Clear();
    ShowPlot(*t, [&](QDialog&) {
        Choose("sbtnInputOrder", "FirstSet1");
        Choose("sbtnInputOrder", "NextSet1");
        Click("sbtnInputOrder");
        EXPECT_EQ(GetHint(Item("NextSet1")), "Plot records 8001 to 10000.");
        Item("NextSet1").trigger();
        EXPECT_EQ(Text("xMinLabel"), "8001");
        EXPECT_EQ(Text("xMaxLabel"), "10000");
        Click("sbtnInputOrder");
        EXPECT_FALSE(Item("NextSet1").isEnabled());
        EXPECT_EQ(GetHint(Item("NextSet1")), "Cannot plot records above 10000.");
        EXPECT_EQ(GetHint(Item("PrevSet1")), "Plot records 4001 to 8001.");
    });
    // No value above the store was asked for, so no value-store warning appeared.
    EXPECT_TRUE(messages.Texts().empty());
}

TEST_F(ZelPlotTest, ClassItemSwitchesTableChecksItAndKeepsThePlotKind)
{
    auto t = Table(ClassData());
    t->Summarize();
    ShowPlot(*t, [&](QDialog& window) {
        Click("sbtnCumHistogram");
        EXPECT_EQ(Item("PlotHistogram1").text(), "Plot &Histogram");
        EXPECT_EQ(Item("N151").text(), "&3   15 Classes");
        EXPECT_FALSE(Item("N1001").isVisible());
        Item("N151").trigger();
        EXPECT_EQ(t->FreqClasses(), 15);
        EXPECT_EQ(window.windowTitle(), "Cumulative % Histogram for V from VALS");
        for (const char* name : {"N51", "N101", "N151", "N201", "N251", "N351", "N501", "N1001"})
            EXPECT_EQ(Item(name).isChecked(), std::string(name) == "N151") << name;
        Click("sbtnFreqPolygon");
        EXPECT_EQ(Item("PlotHistogram1").text(), "Plot &Polygon");
    });
}

TEST_F(ZelPlotTest, ReadOutNamesTheHigherClassOnABoundaryAndCatchesUpAfterAPress)
{
    auto t = Table(ClassData());
    t->Summarize();
    ShowPlot(*t, [&](QDialog&) {
        Choose("sbtnHistogram", "PlotHistogram1");
        EXPECT_TRUE(Image().ShowHint());
        const int boundary = Column(*t, t->GetdsClassStart(3));
        ASSERT_EQ(boundary, Column(*t, t->GetdsClassEnd(2)));
        const QString mid = QString::fromStdString(
            FloatToStrF((t->GetdsClassStart(3) + t->GetdsClassEnd(3)) * 0.5, 8, 2));
        ASSERT_EQ(mid, "1.98");
        const QString base = "This is class 3. Class frequency is 8.";
        MoveTo(boundary);
        EXPECT_EQ(Image().Hint(), "Class 3 midpoint is 1.98|" + base + " Click mouse to update class data.");
        EXPECT_EQ(Status(), base + " Click mouse to update class data.");
        PressAt(boundary);
        MoveTo(boundary);
        EXPECT_EQ(Image().Hint(), "Class 3 midpoint is 1.98|" + base + " Class 3 midpoint is 1.98");
        EXPECT_EQ(Status(), base + " Class 3 midpoint is 1.98");

        // Over the cumulative histogram there is no read-out.
        Choose("sbtnCumHistogram", "PlotHistogram1");
        MoveTo(boundary);
        EXPECT_EQ(Image().Hint(), "|");
        EXPECT_EQ(Status(), "");
    });
}

TEST_F(ZelPlotTest, PolygonIsSqueezedByTheRecordSetSize)
{
    auto t = Table(ClassData());
    t->SetdsMaxPlotCount(10);
    t->Summarize();
    ShowPlot(*t, [&](QDialog& window) {
        Choose("sbtnFreqPolygon", "PlotHistogram1");
        EXPECT_EQ(window.windowTitle(), "Frequency Polygon for V from VALS");
        const double first = t->GetdsClassStart(1), last = t->GetdsClassEnd(10);
        const double mid = (t->GetdsClassStart(5) + t->GetdsClassEnd(5)) * 0.5;
        const int px = int(std::trunc((mid - first) * (W * 0.9) / (last - first)));
        const int fullWidth = int(std::trunc((mid - first) * W / (last - first)));
        ASSERT_LT(px + 4, fullWidth);
        // The modal vertex's dot, Trunc(PlotHeight) above the bottom edge.
        EXPECT_EQ(Pixel(px + 1, 12), Maroon);
        EXPECT_EQ(Pixel(px + 1, 10), White);
        EXPECT_EQ(Pixel(fullWidth + 1, 12), White);
    });
}

TEST_F(ZelPlotTest, DotFillsRecolourTheLinesTheyTouchAndStopAtTheBackground)
{
    auto t = Table(ClassData());
    t->Summarize();
    ShowPlot(*t, [&](QDialog&) {
        Choose("sbtnFreqPolygon", "PlotHistogram1");
        Item("Yellow1").trigger();
        // Only the background, the dot colour and the black pen are on the image: no fill ran
        // into the background.
        int yellow = 0;
        for (int py = 0; py < H; ++py)
            for (int px = 0; px < W; ++px) {
                const QRgb p = Pixel(px, py);
                yellow += p == Yellow;
                EXPECT_TRUE(p == Yellow || p == Maroon || p == Black) << px << "," << py;
            }
        EXPECT_GT(yellow, W * H * 9 / 10);
        // Every vertex's dot is filled in the dot colour, the modal one Trunc(PlotHeight) above
        // the bottom edge.
        const double first = t->GetdsClassStart(1), last = t->GetdsClassEnd(10);
        for (int i = 1; i <= 10; ++i) {
            const double mid = (t->GetdsClassStart(i) + t->GetdsClassEnd(i)) * 0.5;
            const int px = int(std::trunc((mid - first) * (W * (1 - 1.0 / 110)) / (last - first)));
            const int py = H - int(std::trunc(double(t->GetdsClassCount(i)) / 40 * PlotHeight));
            // The line to the next vertex is drawn over the dot afterwards, in black.
            int maroon = 0;
            for (int dy = 0; dy < 4; ++dy)
                for (int dx = 0; dx < 4; ++dx)
                    maroon += Pixel(px + dx, py + dy) == Maroon;
            EXPECT_GE(maroon, 6) << "class " << i;
            if (i == 5) {
                EXPECT_EQ(py, 11);
            }
        }
        // The closing line to the bottom-right corner is drawn after the last fill: black.
        EXPECT_EQ(Pixel(W - 1, H - 1), Black);
    });
}

TEST_F(ZelPlotTest, ColourItemsBeforeAnyPlotRepaintOnlyTheBackgroundOrTheButton)
{
    auto t = Table(ClassData());
    t->Summarize();
    ShowPlot(*t, [&](QDialog& window) {
        Click("sbtnColor");
        Item("Aqua1").trigger();
        EXPECT_EQ(Pixel(0, 0), qRgb(0, 255, 255));
        EXPECT_EQ(Pixel(W - 1, H - 1), qRgb(0, 255, 255));
        Item("mnuGreen").trigger();
        EXPECT_EQ(Find<QToolButton>("sbtnColor").palette().color(QPalette::ButtonText), QColor(0, 128, 0));
        EXPECT_EQ(window.windowTitle(), "RivuRevi Dataset Plot Form");
        EXPECT_EQ(Text("yMaxLabel"), "");
        // Back to the start colours for the windows that follow.
        Item("White1").trigger();
        Item("mnuMaroon").trigger();
        // Reset clears a plot's labels.
        Choose("sbtnHistogram", "PlotHistogram1");
        EXPECT_EQ(Text("yMaxLabel"), "40");
        Find<QToolButton>("sbtnReset").click();
        EXPECT_EQ(Text("yMaxLabel"), "");
        EXPECT_EQ(Text("xMaxLabel"), "");
        EXPECT_EQ(window.windowTitle(), "RivuRevi Dataset Plot Form");
    });
}

// Activation from another window of the application resets the plot; coming back from
// another application does not.
TEST_F(ZelPlotTest, OnlyAnotherWindowOfTheApplicationResetsThePlot)
{
    auto t = Table(ClassData());
    t->Summarize();
    ShowPlot(*t, [&](QDialog& window) {
        window.show();
        QApplication::setActiveWindow(&window);
        Choose("sbtnHistogram", "PlotHistogram1");
        ASSERT_EQ(Text("yMaxLabel"), "40");
        QApplication::setActiveWindow(nullptr); // the user went to another application
        QApplication::setActiveWindow(&window);
        EXPECT_EQ(Text("yMaxLabel"), "40");
        QWidget other;
        other.show();
        QApplication::setActiveWindow(&other);
        QApplication::setActiveWindow(&window);
        EXPECT_EQ(Text("yMaxLabel"), "");
        window.hide();
    });
}

TEST_F(ZelPlotTest, WindowTakesTheHintHandlerOnlyWhileShown)
{
    QStringList appHints;
    HintHandlerScope app([&](const QString& status) { appHints << status; });
    // Creating a component (and with it the plot window) leaves the application's handler.
    auto t = Table(ClassData());
    ShowApplicationHint("before");
    ShowPlot(*t, [&](QDialog&) {
        ShowApplicationHint("shown in the window");
        EXPECT_EQ(Status(), "shown in the window");
        Item("mnuGray").hover();
        EXPECT_EQ(Status(), "Set plot scatter dots to dark gray");
    });
    ShowApplicationHint("after");
    EXPECT_EQ(appHints, QStringList({"before", "after"}));
}

// --- Plots that cannot be drawn

struct EmptyCase {
    const char* name;
    std::vector<double> values;
    std::function<void(TRivuReviTable&)> prepare;
    const char* button;  // the plot button, or the input-order button
    const char* item;
    QString status;
};

class ZelPlotEmptyTest : public ZelPlotTest, public testing::WithParamInterface<EmptyCase> {};

TEST_P(ZelPlotEmptyTest, DrawsTitleAndSaysWhyInTheStatusLine)
{
    const EmptyCase& c = GetParam();
    auto t = Table(c.values);
    if (c.prepare)
        c.prepare(*t);
    ShowPlot(*t, [&](QDialog& window) {
        Choose(c.button, c.item);
        EXPECT_NE(window.windowTitle(), "RivuRevi Dataset Plot Form");
        EXPECT_EQ(Status(), c.status);
        // The status part of the image's hint says it again, and the read-out keeps it.
        for (int px : {0, 150, 305})
            MoveTo(px);
        EXPECT_EQ(Status(), c.status);
        // Nothing is drawn on the background.
        if (std::string(c.item) != "FirstSet1") {
            for (int px = 0; px < W; px += 5)
                EXPECT_EQ(Pixel(px, H - 1), White) << px;
        }
    });
}

const auto Summarized = [](TRivuReviTable& t) { t.Summarize(); };

INSTANTIATE_TEST_SUITE_P(
    Cases, ZelPlotEmptyTest,
    testing::Values(
        EmptyCase{"EqualValuesHistogram", {5, 5, 5, 5}, Summarized, "sbtnHistogram", "PlotHistogram1",
                  "All values are equal: the classes have no width."},
        EmptyCase{"EqualValuesPolygon", {5, 5, 5, 5}, Summarized, "sbtnFreqPolygon", "PlotHistogram1",
                  "All values are equal: the classes have no width."},
        EmptyCase{"EqualValuesInputOrder", {5, 5, 5, 5}, Summarized, "sbtnInputOrder", "FirstSet1",
                  "All values are equal: the dots are drawn at mid-height."},
        EmptyCase{"NotSummarizedHistogram", {1, 2, 3, 4}, nullptr, "sbtnHistogram", "PlotHistogram1",
                  "No class counts yet: the statistics have not been computed."},
        EmptyCase{"NotSummarizedCumulative", {1, 2, 3, 4}, nullptr, "sbtnCumHistogram", "PlotHistogram1",
                  "No class counts yet: the statistics have not been computed."},
        EmptyCase{"OneValueHistogram", {7}, Summarized, "sbtnHistogram", "PlotHistogram1",
                  "No values to plot: the data source holds fewer than two values."},
        EmptyCase{"OneValueInputOrder", {7}, Summarized, "sbtnInputOrder", "FirstSet1",
                  "No values to plot: the data source holds fewer than two values."},
        EmptyCase{"NoValuesPolygon", {}, Summarized, "sbtnFreqPolygon", "PlotHistogram1",
                  "No values to plot: the data source holds fewer than two values."},
        EmptyCase{"NoClassesHistogram", {1, 2, 3, 4},
                  [](TRivuReviTable& t) { t.SetdsFreqClasses(0); t.Summarize(); }, "sbtnHistogram",
                  "PlotHistogram1", "No classes to plot: the number of classes (FreqClasses) is 0."},
        EmptyCase{"NoClassesPolygon", {1, 2, 3, 4},
                  [](TRivuReviTable& t) { t.SetdsFreqClasses(0); t.Summarize(); }, "sbtnFreqPolygon",
                  "PlotHistogram1", "No classes to plot: the number of classes (FreqClasses) is 0."},
        EmptyCase{"NoRecordsPerSet", {1, 2, 3, 4},
                  [](TRivuReviTable& t) { t.SetdsMaxPlotCount(0); t.Summarize(); }, "sbtnInputOrder",
                  "FirstSet1", "No records to plot: the number of records per set (RecordPlotCount) is 0."}),
    [](const testing::TestParamInfo<EmptyCase>& info) { return std::string(info.param.name); });

TEST_F(ZelPlotTest, EqualValuesPlotTheirDotsAtMidHeight)
{
    auto t = Table({5, 5, 5, 5});
    t->Summarize();
    ShowPlot(*t, [&](QDialog&) {
        Choose("sbtnInputOrder", "FirstSet1");
        const int row = H - int(std::trunc(PlotHeight * 0.5));
        EXPECT_EQ(Pixel(1, row + 1), Maroon);
        EXPECT_EQ(Text("yMaxLabel"), "5.00");
    });
}

TEST_F(ZelPlotTest, NoRecordSetStillDrawsTheClassPlots)
{
    auto t = Table(ClassData());
    t->SetdsMaxPlotCount(0);
    t->Summarize();
    ShowPlot(*t, [&](QDialog&) {
        Click("sbtnInputOrder");
        EXPECT_FALSE(Item("NextSet1").isEnabled());
        Choose("sbtnFreqPolygon", "PlotHistogram1");
        EXPECT_EQ(Status(), "");
        EXPECT_EQ(Text("yMaxLabel"), "40");
    });
}

TEST_F(ZelPlotTest, RenderPlotsWritesTheFourPictures)
{
    auto t = Table(ClassData());
    t->Summarize();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    RenderPlots(*t, dir.path());
    for (const char* name : {"inputorder.png", "histogram.png", "cumhistogram.png", "polygon.png"}) {
        QImage picture(QDir(dir.path()).filePath(name));
        ASSERT_FALSE(picture.isNull()) << name;
        EXPECT_EQ(picture.width(), 420) << name;
        EXPECT_GE(picture.height(), 272) << name;
    }
    EXPECT_THROW(RenderPlots(*t, dir.path() + "/missing/folder"), std::runtime_error);
}

TEST_F(ZelPlotTest, SavePictureWritesTheWindowsPictureAndTellsOfAFailure)
{
    auto t = Table(ClassData());
    t->Summarize();
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    MessageLog log;
    ShowPlot(*t, [&](QDialog&) {
        Choose("sbtnHistogram", "PlotHistogram1");
        // The file dialog answered with a name typed without its suffix, then with a folder
        // that is not there.
        for (const QString& name : {dir.filePath("plot"), dir.filePath("missing/plot.png")}) {
            ModalInspector answer([&](QDialog& dialog) {
                dynamic_cast<QFileDialog&>(dialog).selectFile(name);
            });
            Item("SavePicture1").trigger();
        }
    });
    const QImage picture(dir.filePath("plot.png"));
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.width(), 420);
    ASSERT_EQ(log.Texts().size(), 1u);
    EXPECT_NE(log.Texts()[0].find("missing/plot.png"), std::string::npos) << log.Texts()[0];
}

} // namespace
