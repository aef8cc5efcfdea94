// The item models of the results: Qt's model checks over a refresh, the texts the windows
// show, and the raw values under Qt::UserRole.
#include "zelstats/windows/ResultModels.h"

#include "zelstats/components/ZelTable.h"
#include "tests/TestSupport.h"

#include <QAbstractItemModelTester>
#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>

namespace zel {
namespace {

// Counts the warnings QAbstractItemModelTester reports while it lives.
class ModelWarnings {
public:
    ModelWarnings() { count_ = 0; previous_ = qInstallMessageHandler(&Handler); }
    ~ModelWarnings() { qInstallMessageHandler(previous_); }
    int Count() const { return count_; }

private:
    static void Handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        if (type != QtDebugMsg) {
            ++count_;
            ADD_FAILURE() << text.toStdString();
        }
    }
    static inline int count_ = 0;
    QtMessageHandler previous_;
};

using Mode = QAbstractItemModelTester::FailureReportingMode;

TEST(ResultModels, ClassTableFollowsTheComponentThroughARefresh)
{
    auto db = test::MakeSqliteDatabase();
    test::CreateValueTable(*db, "T", "V", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    TRivuReviTable table;
    table.SetDatabaseName(db->Name());
    table.SetTableName("T");
    table.SetStatFieldName("V");
    table.Open();
    table.Summarize();

    ModelWarnings warnings;
    TClassTableModel model;
    QAbstractItemModelTester tester(&model, Mode::Warning);
    model.Refresh(table);
    ASSERT_EQ(model.rowCount(), 10);
    ASSERT_EQ(model.columnCount(), 6);
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), "Class Min");
    EXPECT_EQ(model.index(0, 1).data().toString(), "000.505");
    EXPECT_EQ(model.index(0, 1).data(Qt::UserRole).toDouble(), table.GetdsClassStart(1));
    EXPECT_EQ(model.index(9, 3).data(Qt::UserRole).toLongLong(), 1);
    EXPECT_EQ(model.index(9, 5).data().toString(), "100.000");

    // The CSV's numbers read back to the very doubles, in any locale.
    const std::string csv = ClassTableCsv(model);
    const std::string heading = "Class,Class Min,Class Max,Class Freq,Percentage,Cumulative %\n";
    ASSERT_EQ(csv.substr(0, heading.size()), heading);
    std::string_view line(csv.data() + heading.size(), csv.find('\n', heading.size()) - heading.size());
    for (int c = 0; c < 6; ++c) {
        const std::size_t comma = std::min(line.find(','), line.size());
        double value = 0;
        std::from_chars(line.data(), line.data() + comma, value);
        EXPECT_EQ(value, model.Value(0, c)) << c;
        line.remove_prefix(std::min(comma + 1, line.size()));
    }

    // A switch of class count shows after the next refresh.
    table.SetdsFreqClasses(5);
    table.Summarize();
    model.Refresh(table);
    EXPECT_EQ(model.rowCount(), 5);
    EXPECT_EQ(model.index(4, 3).data(Qt::UserRole).toLongLong(), 2);
    model.Clear();
    EXPECT_EQ(model.rowCount(), 0);
    EXPECT_EQ(warnings.Count(), 0);
}

TEST(ResultModels, DescribeRowsShowUndefinedAndKeepRawValues)
{
    TDescribeRow full;
    full.field = "V";
    full.group = "north";
    full.count = 4;
    full.nulls = 1;
    full.mean = 2.5;
    full.stdDev = 1.2909944487358056;
    full.kurtosis = 1.64;
    full.skewSign = "(0)";
    TDescribeRow empty; // the group of NULL keys, with no value at all
    empty.field = "V";
    empty.nulls = 3;
    empty.mean = empty.stdDev = empty.skew = empty.kurtosis = NAN;

    ModelWarnings warnings;
    TDescribeModel model;
    QAbstractItemModelTester tester(&model, Mode::Warning);
    model.SetRows({full, empty});
    ASSERT_EQ(model.rowCount(), 2);
    ASSERT_EQ(model.columnCount(), 14);
    EXPECT_EQ(model.headerData(13, Qt::Horizontal).toString(), "kurtosis");

    struct Cell { int row, column; const char* text; };
    for (const Cell& c : {Cell{0, 1, "north"}, Cell{0, 2, "4"}, Cell{0, 4, "2.500"},
                          Cell{0, 5, "1.291"}, Cell{0, 12, "(0)"}, Cell{1, 1, ""},
                          Cell{1, 4, "undefined"}, Cell{1, 12, "undefined"},
                          Cell{1, 13, "undefined"}})
        EXPECT_EQ(model.index(c.row, c.column).data().toString(), c.text)
            << c.row << "," << c.column;

    EXPECT_EQ(model.index(0, 5).data(Qt::UserRole).toDouble(), full.stdDev);
    EXPECT_EQ(model.index(0, 3).data(Qt::UserRole).toLongLong(), 1);
    EXPECT_TRUE(std::isnan(model.index(1, 4).data(Qt::UserRole).toDouble()));
    EXPECT_FALSE(model.index(1, 1).data(Qt::UserRole).isValid());
    EXPECT_EQ(warnings.Count(), 0);
}

} // namespace
} // namespace zel
