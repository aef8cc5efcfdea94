// The class-frequency window, driven headless: each test runs FrequencyDisplay and reads the
// grid, the identification line and the title in place of the window's modal loop.
#include "zelstats/windows/ZelClass.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "tests/TestSupport.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace zel {
namespace {

using test::ModalInspector;

QTableWidget& Grid(QDialog& window)
{
    auto* grid = window.findChild<QTableWidget*>("StringGrid1");
    if (!grid)
        throw std::runtime_error("no StringGrid1");
    return *grid;
}

QComboBox& Combo(QDialog& window)
{
    auto* box = window.findChild<QComboBox*>("ComboBox1");
    if (!box)
        throw std::runtime_error("no ComboBox1");
    return *box;
}

std::string IdLine(QDialog& window)
{
    return window.findChild<QLabel*>("labDataID")->text().toStdString();
}

// The texts of class i (1-based) as the grid shows them, column 0 to 5.
std::vector<std::string> Row(QDialog& window, int i)
{
    std::vector<std::string> cells;
    QTableWidget& grid = Grid(window);
    for (int c = 0; c < grid.columnCount(); ++c) {
        QTableWidgetItem* item = grid.item(i - 1, c);
        cells.push_back(item ? item->text().toStdString() : "<none>");
    }
    return cells;
}

// Types into the combo box's edit field as a person would, then presses Return.
void TypeIntoCombo(QComboBox& box, const QString& text)
{
    QLineEdit* edit = box.lineEdit();
    edit->selectAll();
    for (QChar ch : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(ch));
        QApplication::sendEvent(edit, &press);
    }
    QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(edit, &ret);
}

// Runs FrequencyDisplay with `inspect` in place of the modal loop.
void Display(TStatComponent& component, const std::function<void(QDialog&)>& inspect)
{
    ModalInspector inspector(inspect);
    component.FrequencyDisplay();
    EXPECT_EQ(inspector.Count(), 1);
}

class ClassWindow : public testing::Test {
protected:
    // A summarised, open table component over a fresh table with one column V; `sqlName` is
    // the table's name as SQL spells it.
    TRivuReviTable& TableOf(const std::vector<double>& values, const std::string& name = "T",
                            const std::string& sqlName = "T")
    {
        test::CreateValueTable(*db, sqlName, "V", values);
        table.SetDatabaseName(db->Name());
        table.SetTableName(name);
        table.SetStatFieldName("V");
        table.SetName("SalaryStats");
        table.Open();
        table.Summarize();
        return table;
    }

    static std::vector<double> OneToTen() { return {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}; }

    std::unique_ptr<test::TestDatabase> db = test::MakeSqliteDatabase();
    TRivuReviTable table;
};

TEST_F(ClassWindow, GridShowsEveryClassInItsPictures)
{
    TableOf(OneToTen());
    Display(table, [](QDialog& window) {
        QTableWidget& grid = Grid(window);
        ASSERT_EQ(grid.columnCount(), 6);
        const char* headings[] = {"Class",      "Class Min",  "Class Max",
                                  "Class Freq", "Percentage", "Cumulative %"};
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(grid.horizontalHeaderItem(c)->text(), headings[c]);
        ASSERT_EQ(grid.rowCount(), 10);
        EXPECT_EQ(Row(window, 1), (std::vector<std::string>{"1", "000.505", "001.495", "1",
                                                             "010.00", "010.000"}));
        EXPECT_EQ(Row(window, 2)[1], "001.495");
        EXPECT_EQ(Row(window, 10), (std::vector<std::string>{"10", "009.415", "010.405", "1",
                                                              "010.00", "100.000"}));
        // Cells are read-only.
        EXPECT_FALSE(grid.item(0, 1)->flags() & Qt::ItemIsEditable);
    });
}

TEST_F(ClassWindow, PercentageHasTwoDecimalsAndThreeIntegerDigits)
{
    TableOf({1, 2, 3, 4, 5, 6, 7, 8});
    table.SetdsFreqClasses(8);
    table.Summarize();
    Display(table, [](QDialog& window) {
        ASSERT_EQ(Grid(window).rowCount(), 8);
        EXPECT_EQ(Row(window, 1)[4], "012.50");
        EXPECT_EQ(Row(window, 1)[5], "012.500");
        EXPECT_EQ(Row(window, 8)[5], "100.000");
    });
}

TEST_F(ClassWindow, ChoosingClassCountsSwitchesCacheSlots)
{
    TableOf(OneToTen());
    Display(table, [this](QDialog& window) {
        QComboBox& box = Combo(window);
        EXPECT_EQ(box.currentText(), "Classes");
        EXPECT_EQ(box.count(), 8);

        box.setCurrentIndex(box.findText("35"));
        EXPECT_EQ(table.FreqClasses(), 35);
        EXPECT_EQ(Grid(window).rowCount(), 35);
        EXPECT_EQ(box.currentText(), "35");
        // Laid out at once, so that a grab in place of the modal loop shows the scroll bar.
        EXPECT_TRUE(Grid(window).verticalScrollBar()->isVisibleTo(&window));

        // Five classes: the lowest bound lies below zero and keeps three integer digits.
        box.setCurrentIndex(box.findText("5"));
        EXPECT_EQ(table.FreqClasses(), 5);
        ASSERT_EQ(Grid(window).rowCount(), 5);
        EXPECT_EQ(Row(window, 1), (std::vector<std::string>{"1", "-000.080", "002.080", "2",
                                                             "020.00", "020.000"}));
        EXPECT_EQ(Grid(window).item(5, 0), nullptr);
        EXPECT_FALSE(Grid(window).verticalScrollBar()->isVisibleTo(&window));

        // Choosing the item already shown switches again.
        table.SetClassDataFromCache(6);
        emit box.activated(box.currentIndex());
        EXPECT_EQ(table.FreqClasses(), 5);
        EXPECT_EQ(Grid(window).rowCount(), 5);

        // Typed text is a choice too: an item by its text, anything else the default slot.
        TypeIntoCombo(box, "20");
        EXPECT_EQ(table.FreqClasses(), 20);
        EXPECT_EQ(Grid(window).rowCount(), 20);
        TypeIntoCombo(box, "abc");
        EXPECT_EQ(box.currentText(), "Default");
        EXPECT_EQ(box.currentIndex(), 0);
        EXPECT_EQ(table.FreqClasses(), 10);
        EXPECT_EQ(Grid(window).rowCount(), 10);
    });
}

TEST_F(ClassWindow, DefaultFollowsClassCountOfTheProperty)
{
    TableOf(OneToTen());
    table.SetdsFreqClasses(15);
    table.Summarize();
    table.SetClassDataFromCache(7);
    Display(table, [this](QDialog& window) {
        EXPECT_EQ(Grid(window).rowCount(), 50);
        TypeIntoCombo(Combo(window), "abc");
        EXPECT_EQ(Combo(window).currentText(), "Default");
        EXPECT_EQ(table.FreqClasses(), 15);
        EXPECT_EQ(Grid(window).rowCount(), 15);
    });
}

TEST_F(ClassWindow, LeavingTheBoxUnchangedSwitchesNothing)
{
    TableOf(OneToTen());
    table.SetClassDataFromCache(6);
    Display(table, [this](QDialog& window) {
        QComboBox& box = Combo(window);
        // Focus passing through the box leaves its text and the class table alone.
        emit box.lineEdit()->editingFinished();
        EXPECT_EQ(box.currentText(), "Classes");
        EXPECT_EQ(table.FreqClasses(), 35);
    });
}

TEST_F(ClassWindow, SmallerTableLeavesNoStaleRows)
{
    TableOf(OneToTen());
    table.SetClassDataFromCache(7);
    Display(table, [](QDialog& window) { EXPECT_EQ(Grid(window).rowCount(), 50); });
    table.SetClassDataFromCache(1);
    Display(table, [](QDialog& window) {
        QTableWidget& grid = Grid(window);
        EXPECT_EQ(grid.rowCount(), 5);
        for (int row = 5; row < 50; ++row)
            EXPECT_EQ(grid.item(row, 0), nullptr);
        EXPECT_EQ(Row(window, 5)[0], "5");
    });
}

TEST_F(ClassWindow, TableTitleAndIdentificationDropTheDirectory)
{
    TableOf(OneToTen(), "C:\\DATA\\EMP.DB", "\"C:\\DATA\\EMP.DB\"");
    Display(table, [](QDialog& window) {
        EXPECT_EQ(IdLine(window), "EMP.DB: V");
        EXPECT_EQ(window.windowTitle(), "SalaryStats Class Frequency Data");
    });
}

TEST_F(ClassWindow, QueryIdentificationDropsFirstThirteenCharacters)
{
    test::CreateValueTable(*db, "T", "V", OneToTen());
    TRivuReviQuery query;
    query.SetName("QueryStats");
    query.SetDatabaseName(db->Name());
    query.SetSQL({"SELECT * FROM T", "WHERE V > 0"});
    query.SetStatFieldName("V");
    query.Open();
    query.Summarize();
    Display(query, [](QDialog& window) {
        EXPECT_EQ(IdLine(window), " T: V");
        EXPECT_EQ(window.windowTitle(), "QueryStats Class Frequency Data");
        EXPECT_EQ(Grid(window).rowCount(), 10);
    });
    // A first line shorter than 13 characters leaves nothing before the field name.
    query.Close();
    query.SetSQL({"SELECT V", "FROM T"});
    query.Open();
    query.Summarize();
    Display(query, [](QDialog& window) { EXPECT_EQ(IdLine(window), ": V"); });
}

struct ScaleCase {
    const char* name;
    double scaleBy;
    const char* idLine;
};

class ClassWindowScale : public ClassWindow, public testing::WithParamInterface<ScaleCase> {};

TEST_P(ClassWindowScale, NoteOnlyForScaleAwayFromOne)
{
    TableOf(OneToTen());
    table.SetdsScaleFactor(GetParam().scaleBy);
    table.Summarize();
    Display(table, [](QDialog& window) { EXPECT_EQ(IdLine(window), GetParam().idLine); });
}

INSTANTIATE_TEST_SUITE_P(
    Values, ClassWindowScale,
    testing::Values(ScaleCase{"One", 1.0, "T: V"},
                    ScaleCase{"TwoAndAHalf", 2.5, "T: V (Scaled by 2.5)"},
                    ScaleCase{"WithinTenThousandthOfOne", 1.00005, "T: V"},
                    ScaleCase{"Negative", -2.0, "T: V (Scaled by -2)"},
                    ScaleCase{"Fraction", 0.1, "T: V (Scaled by 0.1)"}),
    [](const testing::TestParamInfo<ScaleCase>& info) { return info.param.name; });

TEST_F(ClassWindow, BoundsOfAnOverflowingRangeReadUndefined)
{
    // The range of these values overflows a double, so the classes have no bounds.
    TableOf({-1e308, 1e308});
    Display(table, [](QDialog& window) {
        ASSERT_EQ(Grid(window).rowCount(), 10);
        for (int i = 1; i <= 10; ++i) {
            EXPECT_EQ(Row(window, i)[1], "undefined");
            EXPECT_EQ(Row(window, i)[2], "undefined");
        }
    });
}

TEST_F(ClassWindow, WindowOpensAgainAndKeepsItsLayout)
{
    TableOf(OneToTen());
    for (int round = 0; round < 2; ++round) {
        Display(table, [](QDialog& window) {
            EXPECT_EQ(window.size(), QSize(442, 375));
            EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
            EXPECT_FALSE(window.windowFlags() & Qt::WindowContextHelpButtonHint);
            auto* ok = window.findChild<QPushButton*>("OKBtn");
            ASSERT_NE(ok, nullptr);
            EXPECT_EQ(ok->geometry(), QRect(182, 343, 77, 27));
            EXPECT_EQ(Combo(window).geometry(), QRect(371, 3, 65, 21));
            auto* white = window.findChild<QLabel*>("Label1");
            auto* maroon = window.findChild<QLabel*>("Label2");
            EXPECT_EQ(white->text(), "Descriptive Statistics Class Summary");
            EXPECT_EQ(maroon->geometry(), white->geometry().translated(1, 1));
            EXPECT_EQ(Grid(window).horizontalHeader()->sectionSize(5), 85);
            EXPECT_EQ(Grid(window).rowHeight(0), 20);
            EXPECT_EQ(window.grab().size(), QSize(442, 375));
        });
    }
}

TEST_F(ClassWindow, CtrlCCopiesTheWholeSelectionUnderItsHeadings)
{
    TableOf({1, 2, 3, 4});
    table.SetdsFreqClasses(2);
    table.Summarize();
    QApplication::clipboard()->clear();
    Display(table, [](QDialog& window) {
        QTableWidget& grid = Grid(window);
        grid.selectAll();
        QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier);
        QApplication::sendEvent(&grid, &copy);
    });
    EXPECT_EQ(QApplication::clipboard()->text().toStdString(),
              "Class\tClass Min\tClass Max\tClass Freq\tPercentage\tCumulative %\n"
              "1\t-000.125\t002.125\t2\t050.00\t050.000\n"
              "2\t002.125\t004.375\t2\t050.00\t100.000\n");
}

TEST_F(ClassWindow, SaveAsCsvWritesTheTableAndTellsOfAFailedWrite)
{
    TableOf(OneToTen());
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    test::MessageLog log;
    std::string kept;
    Display(table, [&](QDialog& window) {
        kept = ClassTableCsv(static_cast<TClassDisplayForm&>(window).ClassTable());
        for (const QString& name : {dir.filePath("classes"), dir.filePath("missing/c.csv")}) {
            ModalInspector answer([&](QDialog& dialog) {
                dynamic_cast<QFileDialog&>(dialog).selectFile(name);
            });
            window.findChild<QAction*>("SaveCsvItem")->trigger();
        }
    });
    QFile written(dir.filePath("classes.csv"));
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_EQ(written.readAll().toStdString(), kept);
    EXPECT_EQ(kept.substr(0, 24), "Class,Class Min,Class Ma");
    ASSERT_EQ(log.Texts().size(), 1u);
    EXPECT_NE(log.Texts()[0].find("missing/c.csv"), std::string::npos) << log.Texts()[0];
}

} // namespace
} // namespace zel
