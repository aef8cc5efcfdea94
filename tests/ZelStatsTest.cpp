// The statistics engine on every backend: properties, loading, moments, classes, median and
// mode, the undefined cases, and what a failed pass leaves behind.
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "zelstats/gui/Dialogs.h"
#include "zelstats/stats/Aggregates.h"
#include "zelstats/stats/WorkPool.h"
#include "tests/TestSupport.h"
#include "zelstats/windows/ZelClass.h"
#include "zelstats/windows/ZelGauge.h"

#include <QApplication>
#include <QWidget>
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <thread>

using namespace zel;
using namespace zel::test;

namespace {

int VisibleWindows()
{
    int visible = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        visible += w->isVisible();
    return visible;
}

class ZelStatsTest : public BackendTest {
protected:
    // A table component over a fresh table T(ID, X) holding the values (NaN for NULL), open.
    std::unique_ptr<TRivuReviTable> Table(const std::vector<double>& values,
                                          const std::string& name = "T")
    {
        CreateValueTable(*db_, name, "X", values);
        auto t = std::make_unique<TRivuReviTable>();
        t->SetDatabaseName(db_->Name());
        t->SetTableName(name);
        t->SetStatFieldName(FieldName("X"));
        t->SetShowCalcProgress(TBoolPlus::Never);
        t->Open();
        return t;
    }
};

TEST(ZelStatsDefaults, NewComponentHasItsDefaults)
{
    TRivuReviTable t;
    EXPECT_EQ(t.RecordPlotCount(), 500);
    EXPECT_EQ(t.ScaleBy(), 1.0);
    EXPECT_EQ(t.FreqClasses(), 10);
    EXPECT_EQ(t.ShowCalcProgress(), TBoolPlus::Prompt);
    EXPECT_EQ(t.StatFieldName(), "");
    EXPECT_FALSE(t.DataLoaded());
    const int expected[] = {10, 5, 10, 15, 20, 25, 35, 50, 0, 0, 0};
    for (int slot = 0; slot < CacheSlots; ++slot)
        EXPECT_EQ(t.GetdsCachedFreqData(slot).NumClasses, expected[slot]) << "slot " << slot;
    EXPECT_EQ(t.GetdsRange(), 0.0); // works on what no load left, and does not load
}

struct ScaleCase {
    double value;
    bool rejected;
};

class ScaleByTest : public testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleByTest, BelowLimitIsRejectedWithMessage)
{
    TRivuReviQuery q;
    MessageLog log;
    q.SetdsScaleFactor(GetParam().value);
    if (GetParam().rejected) {
        ASSERT_EQ(log.Messages().size(), 1u);
        EXPECT_EQ(log.Messages()[0].text, "Cannot Scale by 0.");
        EXPECT_EQ(log.Messages()[0].type, TMsgDlgType::mtError);
        EXPECT_EQ(log.Messages()[0].buttons, unsigned(mbOK));
        EXPECT_EQ(q.ScaleBy(), 1.0);
    } else {
        EXPECT_TRUE(log.Messages().empty());
        EXPECT_EQ(q.ScaleBy(), GetParam().value);
    }
}

INSTANTIATE_TEST_SUITE_P(Values, ScaleByTest,
                         testing::Values(ScaleCase{0, true}, ScaleCase{0.00009999, true},
                                         ScaleCase{-0.00005, true}, ScaleCase{0.0001, false},
                                         ScaleCase{-0.0001, false}, ScaleCase{0.00011, false},
                                         ScaleCase{-2, false}));

TEST(ZelStatsDefaults, NonFiniteScaleIsACallersMistake)
{
    TRivuReviTable t;
    EXPECT_THROW(t.SetdsScaleFactor(NAN), std::invalid_argument);
    EXPECT_EQ(t.ScaleBy(), 1.0);
}

TEST(ZelStatsDefaults, ClassAndPlotCountsAreClampedSilently)
{
    TRivuReviTable t;
    MessageLog log;
    for (auto [given, kept] : {std::pair{50, 50}, {51, 50}, {65535, 50}, {0, 0}, {7, 7}}) {
        t.SetdsFreqClasses(static_cast<std::uint16_t>(given));
        EXPECT_EQ(t.FreqClasses(), kept);
        EXPECT_EQ(t.GetdsCachedFreqData(0).NumClasses, kept);
    }
    for (auto [given, kept] : {std::pair{10000, 10000}, {10001, 10000}, {0, 0}}) {
        t.SetdsMaxPlotCount(static_cast<std::uint16_t>(given));
        EXPECT_EQ(t.RecordPlotCount(), kept);
    }
    EXPECT_TRUE(log.Messages().empty());
}

TEST(ZelStatsDefaults, IndicesOutsideTheirRangesThrow)
{
    TRivuReviTable t;
    EXPECT_THROW(t.GetdsClassStart(0), std::out_of_range);
    EXPECT_THROW(t.GetdsClassStart(52), std::out_of_range);
    EXPECT_NO_THROW(t.GetdsClassCount(51));
    EXPECT_THROW(t.SetClassDataFromCache(11), std::out_of_range);
    EXPECT_THROW(t.GetdsCachedFreqData(-1), std::out_of_range);
    EXPECT_THROW(t.CacheClass(11, 1.0), std::out_of_range);
    EXPECT_THROW(t.GetdsValue(0), std::out_of_range);
}

TEST(ZelStatsDefaults, DataSourceNamesOfBothKinds)
{
    TRivuReviQuery q;
    q.SetSQL({"SELECT * FROM EMPLOYEE", "WHERE 1 = 1"});
    q.SetStatFieldName("SALARY");
    EXPECT_EQ(q.SourceHeading(), "Summary of  EMPLOYEE SALARY");
    TRivuReviTable t;
    t.SetTableName("C:\\DATA\\EMPLOYEE.DB");
    t.SetStatFieldName("SALARY");
    EXPECT_EQ(t.SourceHeading(), "Summary of EMPLOYEE.DB SALARY");
}

TEST_P(ZelStatsTest, NumericFieldsAreListedInOrderAndTheDatasetIsLeftClosed)
{
    db_->Execute("CREATE TABLE K (I INTEGER, S VARCHAR(5), F DOUBLE PRECISION, D DATE, "
                 "C NUMERIC(8,2), B BOOLEAN)");
    TRivuReviTable t;
    t.SetDatabaseName(db_->Name());
    t.SetTableName("K");
    const auto& names = t.GetNumericFields();
    EXPECT_EQ(names, (std::vector<std::string>{FieldName("I"), FieldName("F"), FieldName("C")}));
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(&t.GetNumericFields(), &names); // the same list, refilled
    EXPECT_EQ(names.size(), 3u);
}

TEST_P(ZelStatsTest, NothingToOpenAsksToCheckTheTableName)
{
    TRivuReviTable t;
    t.SetDatabaseName(db_->Name());
    MessageLog log;
    EXPECT_TRUE(t.GetNumericFields().empty());
    ASSERT_EQ(log.Texts(), std::vector<std::string>{"Please check the table name."});
    EXPECT_EQ(log.Messages()[0].type, TMsgDlgType::mtWarning);
}

TEST_P(ZelStatsTest, LoadCountsSumsAndStoresNonNullValuesInRecordOrder)
{
    auto t = Table({3, NAN, 1, 2});
    EXPECT_EQ(t->GetdsDataCount(), 3);
    EXPECT_EQ(t->GetdsTotal(), 6);
    EXPECT_EQ(t->GetdsMean(), 2);
    EXPECT_EQ(t->Minimum(), 1);
    EXPECT_EQ(t->Maximum(), 3);
    EXPECT_EQ(t->GetdsRange(), 2);
    EXPECT_EQ(t->GetdsValue(1), 3);
    EXPECT_EQ(t->GetdsValue(2), 1);
    EXPECT_EQ(t->GetdsValue(3), 2);
    EXPECT_EQ(t->RecNo(), 1); // the load leaves the data at its first record
    EXPECT_FALSE(t->ControlsDisabled());

    t->SetdsScaleFactor(2);
    t->Summarize();
    EXPECT_EQ(t->GetdsTotal(), 3);
    EXPECT_EQ(t->GetdsMean(), 1);
    EXPECT_EQ(t->Minimum(), 0.5);
    EXPECT_EQ(t->Maximum(), 1.5);
}

TEST_P(ZelStatsTest, ProgressFractionsCountNullRecordsInTheRecordCount)
{
    auto t = Table({3, NAN, 1, 2});
    std::vector<int> percents;
    auto previous = TZELGaugeDlg::SetProgressListener(
        [&](const QString&, const QString& message, int percent) {
            if (message == "Loading dataset, calculating totals, mean")
                percents.push_back(percent);
        });
    t->LoadDataSet();
    TZELGaugeDlg::SetProgressListener(previous);
    EXPECT_EQ(percents, (std::vector<int>{25, 50, 75}));
}

// Each whole percentage reaches the dialog once and in order, as a call for every value would
// show them: the load reports the count after each value, a pass the count before it.
TEST_P(ZelStatsTest, ProgressTellsEachWholePercentageOnceInOrder)
{
    for (int records : {7, 301, 1234}) {
        std::vector<double> values;
        for (int i = 0; i < records; ++i)
            values.push_back(i % 50 == 3 ? NAN : i % 17);
        auto t = Table(values, "T" + std::to_string(records));
        std::map<QString, std::vector<int>> heard;
        auto previous = TZELGaugeDlg::SetProgressListener(
            [&](const QString&, const QString& message, int percent) {
                heard[message].push_back(percent);
            });
        t->Summarize();
        TZELGaugeDlg::SetProgressListener(previous);

        const std::int64_t count = t->GetdsDataCount();
        auto percents = [records](std::int64_t from, std::int64_t to) {
            std::vector<int> shown;
            for (std::int64_t n = from; n <= to; ++n) {
                const int percent = static_cast<int>(static_cast<double>(n) / records * 100.0);
                if (shown.empty() || shown.back() != percent)
                    shown.push_back(percent);
            }
            return shown;
        };
        EXPECT_EQ(heard["Loading dataset, calculating totals, mean"], percents(1, count))
            << records << " records";
        EXPECT_EQ(heard["Calculating Variance, Skew, Kurtosis"], percents(0, count - 1))
            << records << " records";
    }
}

TEST_P(ZelStatsTest, OneValueNeverLoadsAndLeavesStatisticsUndefined)
{
    auto t = Table({NAN, 5});
    EXPECT_EQ(t->GetdsDataCount(), -1);
    EXPECT_EQ(t->GetdsMean(), 0);
    EXPECT_EQ(t->GetdsTotal(), 0);
    EXPECT_EQ(t->GetdsValue(1), 5);
    t->Summarize();
    EXPECT_EQ(t->GetdsMedian(), 5);
    EXPECT_TRUE(std::isnan(t->GetdsVariance()));
    EXPECT_TRUE(std::isnan(t->GetdsStdDev()));
    EXPECT_TRUE(std::isnan(t->GetdsSkew()));
    EXPECT_TRUE(std::isnan(t->GetdsKurtosis()));
    EXPECT_TRUE(std::isnan(t->GetdsCoeffVariation()));
    EXPECT_EQ(t->GetdsSkewSign(), "");
}

TEST_P(ZelStatsTest, NoValueAtAllLeavesLocationUndefinedNotStale)
{
    auto t = Table({4, 8, 9});
    t->Summarize();
    EXPECT_EQ(t->GetdsMedian(), 8);
    db_->Execute("CREATE TABLE N (ID INTEGER, X DOUBLE PRECISION)");
    db_->Execute("INSERT INTO N VALUES (1, NULL)");
    t->Close();
    t->SetTableName("N");
    t->Open();
    t->Summarize();
    EXPECT_EQ(t->GetdsDataCount(), -1);
    EXPECT_TRUE(std::isnan(t->Minimum()));
    EXPECT_TRUE(std::isnan(t->Maximum()));
    EXPECT_TRUE(std::isnan(t->GetdsRange()));
    EXPECT_TRUE(std::isnan(t->GetdsMedian()));
    EXPECT_TRUE(std::isnan(t->GetdsMode()));
    EXPECT_TRUE(std::isnan(t->GetdsVariance()));
}

TEST_P(ZelStatsTest, ValueStoreLimitsAndTheMedianOfTheFirstTenThousand)
{
    std::vector<double> values;
    for (int i = 1; i <= 10001; ++i)
        values.push_back(i == 10001 ? -5.0 : i);
    auto t = Table(values);
    MessageLog log;
    t->Summarize();
    EXPECT_EQ(t->GetdsDataCount(), 10001);
    EXPECT_EQ(t->Minimum(), -5);
    EXPECT_EQ(t->Maximum(), 10000);
    EXPECT_EQ(t->GetdsTotal(), 10000.0 * 10001 / 2 - 5);
    EXPECT_EQ(t->GetdsMedian(), 5000.5); // of 1..10000; the value -5 lies beyond the store
    ASSERT_EQ(log.Texts(),
              std::vector<std::string>{"Median is calculated based on\n\ronly the first 10000 records."});
    EXPECT_EQ(t->GetdsMedian(), 5000.5); // cached: no second warning
    EXPECT_EQ(log.Messages().size(), 1u);

    log.Clear();
    EXPECT_EQ(t->GetdsValue(10000), 10000);
    EXPECT_EQ(t->GetdsValue(10001), 0);
    ASSERT_EQ(log.Texts(), std::vector<std::string>{"Records above # 10000 not stored."});
    EXPECT_EQ(log.Messages()[0].type, TMsgDlgType::mtWarning);
    EXPECT_EQ(t->GetdsValue(10002), 0);
    EXPECT_EQ(log.Messages().size(), 1u);
}

TEST_P(ZelStatsTest, LargeDataSourcesAskOnceWhetherToShowProgress)
{
    auto small = Table(std::vector<double>(1000, 1.0), "S");
    auto large = Table(std::vector<double>(1001, 1.0), "L");
    small->SetShowCalcProgress(TBoolPlus::Prompt);
    large->SetShowCalcProgress(TBoolPlus::Prompt);
    {
        MessageLog log(TModalResult::mrYes);
        small->Summarize();
        EXPECT_TRUE(log.Messages().empty());
        EXPECT_FALSE(small->ProgressAccepted());
        large->Summarize();
        ASSERT_EQ(log.Texts(), std::vector<std::string>{
                                   "Large dataset. Show progress\n\r during loading or calculating."});
        EXPECT_EQ(log.Messages()[0].type, TMsgDlgType::mtConfirmation);
        EXPECT_EQ(log.Messages()[0].buttons, unsigned(mbYes | mbNo));
        EXPECT_TRUE(large->ProgressAccepted());
    }
    {
        MessageLog log(TModalResult::mrNo);
        large->Summarize();
        EXPECT_FALSE(large->ProgressAccepted());
    }
    for (TBoolPlus never : {TBoolPlus::Always, TBoolPlus::Never}) {
        MessageLog log(TModalResult::mrYes);
        large->SetShowCalcProgress(never);
        large->Summarize();
        EXPECT_TRUE(log.Messages().empty());
        EXPECT_FALSE(large->ProgressAccepted());
    }
    EXPECT_EQ(ScreenCursor(), TCursor::crDefault);
}

struct MomentCase {
    std::vector<double> values;
    double variance, mu3, mu4, skew, kurtosis, coeff;
    std::string sign;
};

class MomentsTest : public testing::TestWithParam<MomentCase> {};

TEST_P(MomentsTest, KnownDataGiveExactMoments)
{
    auto db = MakeSqliteDatabase();
    const MomentCase& c = GetParam();
    for (double scale : {1.0, 10.0}) {
        std::string name = scale == 1.0 ? "T" : "T10";
        CreateValueTable(*db, name, "X", c.values);
        TRivuReviTable t;
        t.SetDatabaseName(db->Name());
        t.SetTableName(name);
        t.SetStatFieldName("X");
        t.SetdsScaleFactor(scale);
        t.Open();
        t.Summarize();
        auto near = [](double actual, double expected) {
            return std::fabs(actual - expected) <= 1e-12 * std::max(1.0, std::fabs(expected));
        };
        // Scaling divides the moments by powers of the scale and leaves the shape alone.
        EXPECT_PRED2(near, t.GetdsVariance(), c.variance / (scale * scale));
        EXPECT_PRED2(near, t.GetdsMu3(), c.mu3 / std::pow(scale, 3));
        EXPECT_PRED2(near, t.GetdsMu4(), c.mu4 / std::pow(scale, 4));
        EXPECT_PRED2(near, t.GetdsSkew(), c.skew);
        EXPECT_PRED2(near, t.GetdsKurtosis(), c.kurtosis);
        EXPECT_PRED2(near, t.GetdsStdDev(), std::sqrt(c.variance) / scale);
        EXPECT_PRED2(near, t.GetdsCoeffVariation(), c.coeff);
        if (scale == 1.0) { // scaled, a zero third moment is only zero to within rounding
            EXPECT_EQ(t.GetdsSkewSign(), c.sign);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Values, MomentsTest,
    testing::Values(MomentCase{{1, 2, 6}, 7, 9, 49, 81.0 / 343, 1, std::sqrt(7.0) / 3 * 100, "(+)"},
                    MomentCase{{1, 2, 3}, 1, 0, 1, 0, 1, 50, "(0)"},
                    MomentCase{{2, 4, 4, 4, 5, 5, 7, 9}, 32.0 / 7, 6, 356.0 / 7,
                               36 / std::pow(32.0 / 7, 3), (356.0 / 7) / std::pow(32.0 / 7, 2),
                               std::sqrt(32.0 / 7) / 5 * 100, "(+)"},
                    MomentCase{{-1, -2, -6}, 7, -9, 49, 81.0 / 343, 1, -std::sqrt(7.0) / 3 * 100, "(-)"}));

TEST_P(ZelStatsTest, ZeroVarianceAndZeroMeanAreUndefinedNotInfinite)
{
    auto equal = Table({4, 4, 4}, "E");
    equal->Summarize();
    EXPECT_EQ(equal->GetdsVariance(), 0);
    EXPECT_TRUE(std::isnan(equal->GetdsSkew()));
    EXPECT_TRUE(std::isnan(equal->GetdsKurtosis()));
    // All bounds equal the value: nothing is counted.
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(equal->GetdsClassStart(i), 4);
        EXPECT_EQ(equal->GetdsClassCount(i), 0);
    }
    auto centred = Table({-1, 1}, "Z");
    centred->Summarize();
    EXPECT_TRUE(std::isnan(centred->GetdsCoeffVariation()));
    EXPECT_EQ(centred->GetdsVariance(), 2);
}

TEST_P(ZelStatsTest, GettersWalkOnlyWhenTheirFlagIsClear)
{
    auto t = Table({1, 2, 6});
    t->GetdsMean();
    EXPECT_FALSE(t->VarianceValid());
    EXPECT_DOUBLE_EQ(t->GetdsVariance(), 7); // the variance pass, by multiplication
    EXPECT_TRUE(t->VarianceValid());
    EXPECT_EQ(t->GetdsClassCount(t->FreqClasses() + 1), 3); // and it tallied the classes
    db_->Execute("INSERT INTO T (ID, X) VALUES (4, 100)");
    EXPECT_DOUBLE_EQ(t->GetdsVariance(), 7); // cached: the change is not seen
    EXPECT_DOUBLE_EQ(t->GetdsMean(), 3);
    t->SetStatFieldName(FieldName("ID"));
    EXPECT_DOUBLE_EQ(t->GetdsMean(), 3); // the old field's mean until the next summary
    t->Summarize();
    EXPECT_DOUBLE_EQ(t->GetdsMean(), 2.5);
    EXPECT_EQ(ScreenCursor(), TCursor::crDefault);
}

// The class tables as the plain rule defines them: a scan over every class of every table,
// with percentages recomputed after every value.
struct ScannedTables {
    std::array<std::vector<std::int64_t>, 9> counts;
};

TEST_P(ZelStatsTest, FastTallyAgreesWithTheScanOnEveryBound)
{
    std::mt19937 random(7);
    std::uniform_int_distribution<int> small(0, 40);
    std::vector<double> values;
    for (int i = 0; i < 3000; ++i)
        values.push_back(i % 7 == 0 ? small(random) * 0.25 : std::ldexp(random() % 100000, -10));
    auto t = Table(values);
    t->SetdsFreqClasses(13);
    t->Summarize();
    for (int table = 0; table <= 8; ++table) {
        TFreqData d = table == 0 ? TFreqData{} : t->GetdsCachedFreqData(table - 1);
        if (table == 0) {
            d.NumClasses = t->FreqClasses();
            for (int i = 1; i <= d.NumClasses + 1; ++i) {
                d.ClassStart[i] = t->GetdsClassStart(i);
                d.ClassEnd[i] = t->GetdsClassEnd(i);
                d.ClassCount[i] = t->GetdsClassCount(i);
            }
        }
        std::int64_t total = 0;
        for (int i = 1; i <= d.NumClasses; ++i) {
            std::int64_t expected = 0;
            for (double v : values)
                expected += d.ClassStart[i] <= v && v < d.ClassEnd[i];
            EXPECT_EQ(d.ClassCount[i], expected) << "table " << table << " class " << i;
            total += expected;
        }
        EXPECT_EQ(d.ClassCount[d.NumClasses + 1], total) << "table " << table;
    }
}

TEST_P(ZelStatsTest, ClassCountChangedSinceTheLoadIsTalliedByTheScanRule)
{
    // Bounds of 10 classes from the load, then 13 classes without a new load: cells 11 to 13
    // hold no layout of their own, and the pass counts by the plain rule over what is there.
    std::vector<double> values;
    for (int i = -3; i <= 12; ++i)
        values.push_back(i);
    auto t = Table(values);
    t->Summarize();
    t->SetdsFreqClasses(13);
    t->CalculateMoments();
    for (int i = 1; i <= 13; ++i) {
        std::int64_t expected = 0;
        for (double v : values)
            expected += t->GetdsClassStart(i) <= v && v < t->GetdsClassEnd(i);
        EXPECT_EQ(t->GetdsClassCount(i), expected) << "class " << i;
    }
}

TEST_P(ZelStatsTest, ClassBoundsCountsAndPercentagesOfOneToTen)
{
    auto t = Table({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    t->Summarize();
    EXPECT_NEAR(t->GetdsClassStart(1), 0.505, 1e-12);
    EXPECT_NEAR(t->GetdsClassEnd(1), 1.495, 1e-12);
    EXPECT_NEAR(t->GetdsClassStart(10), 9.415, 1e-12);
    EXPECT_NEAR(t->GetdsClassEnd(10), 10.405, 1e-12);
    for (int i = 1; i <= 10; ++i) {
        EXPECT_EQ(t->GetdsClassStart(i + 1 > 10 ? 10 : i + 1), i < 10 ? t->GetdsClassEnd(i)
                                                                      : t->GetdsClassStart(10));
        EXPECT_EQ(t->GetdsClassCount(i), 1);
        EXPECT_NEAR(t->GetdsClassPercent(i), 10, 1e-12);
        EXPECT_NEAR(t->GetdsClassCumPercent(i), 10.0 * i, 1e-9);
    }
    EXPECT_EQ(t->GetdsClassCount(11), 10);
    EXPECT_NEAR(t->GetdsClassPercent(11), 100, 1e-12);
    EXPECT_NEAR(t->GetdsClassCumPercent(11), 200, 1e-9);

    TFreqData five = t->GetdsCachedFreqData(1);
    const double bounds[] = {-0.08, 2.08, 4.24, 6.40, 8.56, 10.72};
    for (int i = 1; i <= 5; ++i) {
        EXPECT_NEAR(five.ClassStart[i], bounds[i - 1], 1e-12);
        EXPECT_EQ(five.ClassCount[i], 2);
        EXPECT_NEAR(five.ClassPercent[i], 20, 1e-12);
    }
    EXPECT_NEAR(five.ClassEnd[5], bounds[5], 1e-12);

    t->SetClassDataFromCache(3);
    EXPECT_EQ(t->FreqClasses(), 15);
    TFreqData fifteen = t->GetdsCachedFreqData(3);
    for (int i = 1; i <= 15; ++i)
        EXPECT_EQ(t->GetdsClassCount(i), fifteen.ClassCount[i]);
    t->SetClassDataFromCache(0);
    EXPECT_EQ(t->FreqClasses(), 10);
    EXPECT_EQ(t->GetdsCachedFreqData(8).NumClasses, 0);

    t->SetdsFreqClasses(1);
    t->Summarize();
    EXPECT_EQ(t->GetdsClassStart(1), -8);
    EXPECT_EQ(t->GetdsClassEnd(1), 10);
    EXPECT_EQ(t->GetdsClassCount(1), 9); // 10 lies on the upper bound, outside the class
    EXPECT_NEAR(t->GetdsClassPercent(1), 90, 1e-12);
    EXPECT_EQ(t->GetdsModeClass(), 9);
}

TEST_P(ZelStatsTest, ValueOnAnInnerBoundCountsInTheUpperClass)
{
    auto t = Table({0, 3, 8});
    t->SetdsFreqClasses(2);
    t->Summarize();
    EXPECT_EQ(t->GetdsClassStart(1), -3);
    EXPECT_EQ(t->GetdsClassEnd(1), 3);
    EXPECT_EQ(t->GetdsClassEnd(2), 9);
    EXPECT_EQ(t->GetdsClassCount(1), 1);
    EXPECT_EQ(t->GetdsClassCount(2), 2);
    EXPECT_NEAR(t->GetdsClassPercent(2), 200.0 / 3, 1e-12);
    EXPECT_EQ(t->GetdsModeClass(), 2);
    EXPECT_EQ(t->GetdsMode(), 6);
}

TEST_P(ZelStatsTest, TheLowestClassWithTheHighestCountIsModal)
{
    // Four classes of width 10 from 0 to 40 need a range of 32 from 5: values 5 .. 37.
    std::vector<double> values;
    const int counts[] = {3, 7, 7, 1};
    const double centres[] = {5, 15, 25, 35};
    for (int c = 0; c < 4; ++c)
        for (int i = 0; i < counts[c]; ++i)
            values.push_back(centres[c]);
    values.push_back(37);
    auto t = Table(values);
    t->SetdsFreqClasses(4);
    t->Summarize();
    EXPECT_EQ(t->GetdsClassStart(1), 0);
    EXPECT_EQ(t->GetdsClassEnd(4), 40);
    EXPECT_EQ(t->GetdsModeClass(), 7);
    EXPECT_EQ(t->GetdsMode(), 15);
    // Each slot carries its own mode, brought forward with the slot.
    t->SetClassDataFromCache(1);
    EXPECT_EQ(t->GetdsModeClass(), t->GetdsCachedFreqData(1).ModeClassCount);
}

TEST_P(ZelStatsTest, ZeroClassesGiveAnEmptyTableAndAnUndefinedMode)
{
    auto t = Table({1, 2, 3});
    t->SetdsFreqClasses(0);
    EXPECT_NO_THROW(t->Summarize());
    EXPECT_TRUE(std::isnan(t->GetdsMode()));
    EXPECT_EQ(t->GetdsModeClass(), 0);
    EXPECT_EQ(t->GetdsClassCount(1), 0);
    EXPECT_EQ(t->GetdsCachedFreqData(1).ClassCount[6], 3); // the other slots still count
}

TEST_P(ZelStatsTest, MedianOfEvenAndOddCountsLeavesTheStoreInRecordOrder)
{
    auto even = Table({5, 1, 4, 2}, "A");
    EXPECT_EQ(even->GetdsMedian(), 3);
    EXPECT_EQ(even->GetdsValue(1), 5);
    EXPECT_EQ(even->GetdsValue(4), 2);
    auto odd = Table({5, 1, 4}, "B");
    EXPECT_EQ(odd->GetdsMedian(), 4);
}

TEST_P(ZelStatsTest, FailedPassesKeepEarlierResultsAndReleaseEverything)
{
    auto t = Table({1, 2, 6});
    t->Summarize();
    const double variance = t->GetdsVariance();
    const std::int64_t classCount = t->GetdsClassCount(11);
    // A value that is not a number appears in the analysed field.
    t->Close();
    db_->Execute("CREATE TABLE W (ID INTEGER, X VARCHAR(10))");
    db_->Execute("INSERT INTO W VALUES (1, '7'), (2, 'seven')");
    t->SetTableName("W");
    t->Open();
    EXPECT_THROW(t->CalculateMoments(), EDatabaseError);
    EXPECT_EQ(t->GetdsVariance(), variance);
    EXPECT_EQ(t->GetdsClassCount(11), classCount);
    EXPECT_FALSE(t->ControlsDisabled());
    EXPECT_EQ(ScreenCursor(), TCursor::crDefault);

    EXPECT_THROW(t->LoadDataSet(), EDatabaseError);
    EXPECT_TRUE(t->DataLoaded());
    EXPECT_EQ(t->GetdsDataCount(), 3);
    EXPECT_EQ(t->GetdsValue(1), 1);
    EXPECT_FALSE(t->ControlsDisabled());
    EXPECT_EQ(ScreenCursor(), TCursor::crDefault);
    EXPECT_EQ(VisibleWindows(), 0);
}

TEST_P(ZelStatsTest, SummarizeOnAClosedDatasetListsFieldsThenFailsToLoad)
{
    auto t = Table({1, 2});
    t->Close();
    try {
        t->Summarize();
        FAIL() << "no error for a closed dataset";
    } catch (const EDatabaseError& e) {
        EXPECT_NE(std::string(e.what()).find("closed"), std::string::npos) << e.what();
    }
    EXPECT_EQ(t->NumericFieldNames(), (std::vector<std::string>{FieldName("ID"), FieldName("X")}));
    EXPECT_FALSE(t->Active());
}

TEST_P(ZelStatsTest, QueryComponentsComputeTheSame)
{
    CreateValueTable(*db_, "Q", "X", {2, 4, 4, 4, 5, 5, 7, 9});
    TRivuReviQuery q;
    q.SetDatabaseName(db_->Name());
    q.SetSQL({"SELECT X * 2 AS Y FROM Q", "ORDER BY ID"});
    q.SetStatFieldName(FieldName("Y"));
    q.SetShowCalcProgress(TBoolPlus::Never);
    q.Open();
    q.Summarize();
    EXPECT_EQ(q.GetdsDataCount(), 8);
    EXPECT_EQ(q.GetdsMean(), 10);
    EXPECT_NEAR(q.GetdsVariance(), 4 * 32.0 / 7, 1e-12);
    EXPECT_EQ(q.GetdsMedian(), 9);
}

// A writer inserting throughout a summary: the load and the passes read one snapshot, so the
// class counts of every table sum to the count and the percentages to 100.
TEST_P(ZelStatsTest, AWriterDuringTheSummaryIsNotSeenHalfway)
{
    db_->Execute("CREATE TABLE W (X DOUBLE PRECISION)");
    db_->Execute("INSERT INTO W (X) WITH RECURSIVE c(i) AS (SELECT 1 UNION ALL SELECT i + 1 "
                 "FROM c WHERE i < 200000) SELECT i % 1000 FROM c");
    auto t = std::make_unique<TRivuReviTable>();
    t->SetDatabaseName(db_->Name());
    t->SetTableName("W");
    t->SetStatFieldName(FieldName("X"));
    t->SetShowCalcProgress(TBoolPlus::Never);
    t->Open();

    std::atomic<bool> done{false};
    std::atomic<int> inserted{0};
    std::thread writer([&] {
        while (!done) {
            db_->Execute("INSERT INTO W (X) VALUES (-500)");
            ++inserted;
        }
    });
    for (int summary = 0; summary < 3; ++summary) {
        t->Summarize();
        const std::int64_t count = t->GetdsDataCount();
        for (int slot = 0; slot < MaintainedSlots; ++slot) {
            const TFreqData table = t->GetdsCachedFreqData(slot);
            EXPECT_EQ(table.ClassCount[table.NumClasses + 1], count) << "slot " << slot;
            EXPECT_NEAR(table.ClassCumPercent[table.NumClasses], 100.0, 1e-9) << "slot " << slot;
        }
    }
    done = true;
    writer.join();
    EXPECT_GT(inserted, 0);
}

// Three table components and a query component, destroyed in every order, each survivor
// opening its windows after every destruction: no window is used after it was freed or freed
// twice (the sanitizers see either).
class WindowSharingTest : public testing::TestWithParam<std::array<int, 3>> {};

TEST_P(WindowSharingTest, ComponentsOfOneKindShareTheirWindowsInAnyOrder)
{
    auto db = MakeSqliteDatabase();
    CreateValueTable(*db, "T", "X", {1, 2, 6});
    auto make = [&] {
        auto t = std::make_unique<TRivuReviTable>();
        t->SetDatabaseName(db->Name());
        t->SetTableName("T");
        t->SetStatFieldName("X");
        t->Open();
        t->Summarize();
        return t;
    };
    std::array<std::unique_ptr<TRivuReviTable>, 3> tables{make(), make(), make()};
    auto query = std::make_unique<TRivuReviQuery>();
    TClassDisplayForm* shared = &tables[0]->ClassWindow();
    for (const auto& t : tables) {
        EXPECT_EQ(&t->ClassWindow(), shared);
        EXPECT_EQ(&t->PlotWindow(), &tables[0]->PlotWindow());
    }
    EXPECT_NE(static_cast<void*>(&query->ClassWindow()), static_cast<void*>(shared));

    for (int victim : GetParam()) {
        tables[victim].reset();
        for (const auto& t : tables) {
            if (t == nullptr)
                continue;
            t->FrequencyDisplay();
            t->SummaryChart();
        }
    }
    // The last one freed the pair; a new component makes a new one and uses it.
    auto again = make();
    again->FrequencyDisplay();
    again->SummaryChart();
    query.reset();
}

INSTANTIATE_TEST_SUITE_P(Orders, WindowSharingTest,
                         testing::Values(std::array{0, 1, 2}, std::array{0, 2, 1},
                                         std::array{1, 0, 2}, std::array{1, 2, 0},
                                         std::array{2, 0, 1}, std::array{2, 1, 0}));

// Every result of a component as bits, so that two runs compare to the bit, NaNs included.
std::vector<std::uint64_t> ResultBits(TStatistics& t)
{
    std::vector<double> results{double(t.ValuesRead()), t.ValuesTotal(),   t.GetdsMean(),
                                t.Minimum(),            t.Maximum(),       t.GetdsRange(),
                                t.GetdsVariance(),      t.GetdsStdDev(),   t.GetdsCoeffVariation(),
                                t.GetdsSkew(),          t.GetdsKurtosis(), t.GetdsMu3(),
                                t.GetdsMu4(),           t.GetdsMedian(),   t.GetdsMode(),
                                double(t.GetdsModeClass())};
    for (int slot = -1; slot < MaintainedSlots; ++slot) {
        const TFreqData table = slot < 0 ? TFreqData{} : t.GetdsCachedFreqData(slot);
        for (int i = 1; i <= (slot < 0 ? t.FreqClasses() + 1 : table.NumClasses + 1); ++i) {
            if (slot < 0) {
                results.insert(results.end(), {t.GetdsClassStart(i), t.GetdsClassEnd(i),
                                               double(t.GetdsClassCount(i)),
                                               t.GetdsClassPercent(i), t.GetdsClassCumPercent(i)});
            } else {
                results.insert(results.end(), {table.ClassStart[i], table.ClassEnd[i],
                                               double(table.ClassCount[i]), table.ClassPercent[i],
                                               table.ClassCumPercent[i]});
            }
        }
    }
    std::vector<std::uint64_t> bits;
    for (double r : results)
        bits.push_back(std::bit_cast<std::uint64_t>(r));
    return bits;
}

// Sets TMPDIR for the life of the object and puts back what was there.
class TemporaryFolderSetting {
public:
    explicit TemporaryFolderSetting(const char* folder)
    {
        if (const char* old = std::getenv("TMPDIR"))
            old_ = old;
        if (folder != nullptr)
            setenv("TMPDIR", folder, 1);
    }
    ~TemporaryFolderSetting()
    {
        if (old_)
            setenv("TMPDIR", old_->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

private:
    std::optional<std::string> old_;
};

struct Spooling {
    const char* name;
    bool use;
    std::size_t memory;
    const char* temporaryFolder; // null: as it is
};

constexpr Spooling Spoolings[] = {
    {"none", false, TSpool::DefaultMemory, nullptr},
    {"memory", true, TSpool::DefaultMemory, nullptr},
    {"memory and file", true, 8 * 500 + 3, nullptr},
    {"file", true, 0, nullptr},
    {"unwritable", true, 0, "/nonexistent/zelstats-temporary-folder"},
};

// 1200 values about normal around 40, every 37th of them NULL.
std::vector<double> NormalValuesWithNulls()
{
    std::mt19937 random(11);
    std::normal_distribution<double> normal(40.0, 12.5);
    std::vector<double> values;
    for (int i = 0; i < 1200; ++i)
        values.push_back(i % 37 == 5 ? NAN : normal(random));
    return values;
}

// A table component over `field` of `table`, scaled by 3 and spooled as `spooling` says, open.
void OpenSpooled(TRivuReviTable& t, const std::string& database, const std::string& table,
                 const std::string& field, const Spooling& spooling)
{
    t.SetDatabaseName(database);
    t.SetTableName(table);
    t.SetStatFieldName(field);
    t.SetShowCalcProgress(TBoolPlus::Never);
    t.SetdsScaleFactor(3);
    t.SetUseSpool(spooling.use);
    t.SetSpoolMemory(spooling.memory);
    t.Open();
}

// The passes after a load read the values it kept, in memory, in the temporary file, or, where
// that cannot be written, the data source again: every result is the same to the bit as when
// every pass reads the data source, whenever the passes run and whatever changed since.
TEST_P(ZelStatsTest, SpooledPassesGiveTheSameResultsToTheBit)
{
    using Scenario = std::function<void(TRivuReviTable&, const std::string& table)>;
    const std::pair<const char*, Scenario> scenarios[] = {
        {"summary", [](TRivuReviTable& t, const std::string&) { t.Summarize(); }},
        {"lazy passes after a load",
         [](TRivuReviTable& t, const std::string&) {
             t.LoadDataSet();
             t.GetdsKurtosis();
             t.GetdsSkew();
             t.GetdsVariance();
         }},
        {"field changed after the load",
         [this](TRivuReviTable& t, const std::string&) {
             t.LoadDataSet();
             t.SetStatFieldName(FieldName("ID"));
             t.GetdsVariance();
             t.GetdsSkew();
         }},
        {"scale changed after the load",
         [](TRivuReviTable& t, const std::string&) {
             t.LoadDataSet();
             t.SetdsScaleFactor(7);
             t.CalculateMoments();
         }},
        {"reopened on other rows after the load",
         [this](TRivuReviTable& t, const std::string& table) {
             t.Summarize();
             t.Close();
             db_->Execute("INSERT INTO " + table + " (ID, X) VALUES (100000, 1e6)");
             t.Open();
             t.SetdsFreqClasses(7);
             t.CalculateMoments();
         }},
    };
    const std::vector<double> values = NormalValuesWithNulls();
    int tables = 0;
    for (const auto& [scenario, run] : scenarios) {
        std::vector<std::uint64_t> expected;
        for (const Spooling& spooling : Spoolings) {
            const std::string name = "S" + std::to_string(++tables);
            CreateValueTable(*db_, name, "X", values);
            TRivuReviTable t;
            OpenSpooled(t, db_->Name(), name, FieldName("X"), spooling);
            {
                const TemporaryFolderSetting folder(spooling.temporaryFolder);
                run(t, name);
            }
            const std::vector<std::uint64_t> bits = ResultBits(t);
            if (expected.empty())
                expected = bits;
            else
                EXPECT_EQ(bits, expected) << scenario << ", spooled in " << spooling.name;
        }
    }
    EXPECT_EQ(ScreenCursor(), TCursor::crDefault);
}

// A pass long after its load reads the loaded rows, as the load's own results describe them.
TEST_P(ZelStatsTest, LazyPassesDescribeTheLoadedRows)
{
    auto t = Table({1, 2, 6});
    EXPECT_EQ(t->GetdsMean(), 3);
    db_->Execute("INSERT INTO T (ID, X) VALUES (4, 100)");
    EXPECT_DOUBLE_EQ(t->GetdsVariance(), 7);
    EXPECT_EQ(t->GetdsClassCount(t->FreqClasses() + 1), 3);
    // Deviations -2, -1 and 3: a fourth moment of 98 / 2 over a squared variance of 49.
    EXPECT_NEAR(t->GetdsKurtosis(), 1, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Backends, ZelStatsTest, testing::ValuesIn(Backends()),
                         [](const auto& info) { return info.param; });

} // namespace

// The core alone: values made by a function, progress told to a recording observer, and no
// window anywhere.
namespace {

class MadeValues : public TValueSource {
public:
    MadeValues(std::int64_t count, std::function<double(std::int64_t)> make)
        : count_(count), make_(std::move(make))
    {
    }
    std::int64_t RecordCount() override { return count_; }
    void Start() override { next_ = 0; }
    std::size_t Read(double* values, std::size_t capacity) override
    {
        std::size_t n = 0;
        for (; n < capacity && next_ < count_; ++n)
            values[n] = make_(next_++);
        return n;
    }
    void Finish() override {}

private:
    std::int64_t count_;
    std::function<double(std::int64_t)> make_;
    std::int64_t next_ = 0;
};

struct RecordingObserver : TWalkObserver {
    void WalkBegins(const std::string&, bool) override { ++begun; }
    void WalkProgress(TWalkKind, const std::string& message, double fraction) override
    {
        EXPECT_GT(begun, ended) << "progress outside a walk";
        last[message] = fraction;
    }
    void WalkEnds() noexcept override { ++ended; }
    void Idle() noexcept override {}
    int begun = 0, ended = 0;
    std::map<std::string, double> last;
};

// A dataset that is never opened stands in for the records; the values come from elsewhere.
struct UnusedDataSet {
    TQuery unused;
};

class MadeStatistics : private UnusedDataSet, public TStatistics {
public:
    MadeStatistics(std::int64_t count, std::function<double(std::int64_t)> make)
        : TStatistics(unused), count_(count), make_(std::move(make))
    {
        SetShowCalcProgress(TBoolPlus::Never);
    }
    std::string DataSourceName() const override { return "made"; }
    std::string SourceLine() const override { return "made"; }
    std::string SourceTitle() const override { return "made"; }
    std::string SourceText() const override { return "made"; }

protected:
    std::unique_ptr<TValueSource> OpenValues() override
    {
        return std::make_unique<MadeValues>(count_, make_);
    }

private:
    std::int64_t count_;
    std::function<double(std::int64_t)> make_;
};

// Millisecond timestamps and identifiers: a large offset under small differences. A plain
// running total loses the differences, and the mean, variance and skewness with them.
TEST(StatisticsCore, LargeOffsetKeepsMeanVarianceAndSkewnessExact)
{
    const std::int64_t n = 2'000'000;
    MadeStatistics s(n, [](std::int64_t k) { return 1'700'000'000'000.0 + double(k % 10); });
    RecordingObserver observer;
    s.SetWalkObserver(&observer);
    s.Summarize();
    EXPECT_EQ(s.GetdsMean(), 1'700'000'000'004.5);
    EXPECT_EQ(s.GetdsTotal(), 3'400'000'000'009'000'000.0);
    // 0..9 have the population variance 8.25; the component divides by n - 1.
    EXPECT_NEAR(s.GetdsVariance(), 8.25 * double(n) / double(n - 1), 1e-9 * 8.25);
    EXPECT_NEAR(s.GetdsSkew(), 0.0, 1e-9);
    EXPECT_EQ(observer.begun, observer.ended);
    EXPECT_EQ(observer.begun, 2); // the load and the moments pass
    EXPECT_EQ(observer.last["Loading dataset, calculating totals, mean"], 1.0);
    EXPECT_EQ(ScreenCursor(), TCursor::crDefault);
}

} // namespace

namespace {

// A source without a snapshot may read other values on the pass than on the load: the summary
// fails with one line, rather than mixing the two.
TEST(StatisticsCore, APassThatSeesOtherExtremesThanTheLoadFails)
{
    for (const double changed : {1e6, -1e6}) {
        int walks = 0;
        MadeStatistics s(1000, [&](std::int64_t k) {
            walks += k == 0;
            return k == 5 && walks > 1 ? changed : double(k % 10);
        });
        s.SetUseSpool(false);
        try {
            s.Summarize();
            ADD_FAILURE() << "no error for " << changed;
        } catch (const EDatabaseError& e) {
            EXPECT_NE(std::string(e.what()).find("The data changed during the summary"),
                      std::string::npos)
                << e.what();
        }
    }
}

// Data at the edges of the doubles: every value lies in one class, a mean and a standard
// deviation that are doubles are given, and skewness and kurtosis are those of the same data
// brought to ordinary size by a power of two.
struct RangeCase {
    const char* name;
    std::vector<double> values;
    std::vector<double> ordinary; // the same shape at ordinary size; empty: not checked
    double mean = NAN, stdDev = NAN; // NaN: not checked
};

class RangeLimitTest : public testing::TestWithParam<RangeCase> {};

TEST_P(RangeLimitTest, ClassesHoldEveryValueAndResultsStayDoubles)
{
    const RangeCase& c = GetParam();
    const auto n = static_cast<std::int64_t>(c.values.size());
    MadeStatistics s(n, [&](std::int64_t k) { return c.values[k]; });
    s.Summarize();
    EXPECT_EQ(s.GetdsClassCount(s.FreqClasses() + 1), n);
    EXPECT_FALSE(std::isinf(s.GetdsCoeffVariation()));
    auto near = [](double actual, double expected) {
        return std::fabs(actual - expected) <= 1e-12 * std::fabs(expected);
    };
    if (!std::isnan(c.mean)) {
        EXPECT_PRED2(near, s.GetdsMean(), c.mean);
    }
    if (!std::isnan(c.stdDev)) {
        EXPECT_PRED2(near, s.GetdsStdDev(), c.stdDev);
    }
    if (c.ordinary.empty())
        return;
    const MomentResults expected = Moments(c.ordinary);
    EXPECT_PRED2(near, s.GetdsSkew(), expected.skew);
    EXPECT_PRED2(near, s.GetdsKurtosis(), expected.kurtosis);
    EXPECT_EQ(s.GetdsSkewSign(), SkewSign(expected.mu3));
    const MomentResults product = Moments(c.values, PowerRule::Product);
    EXPECT_PRED2(near, product.skew, expected.skew);
    EXPECT_EQ(SkewSign(product.scaledMu3), SkewSign(expected.mu3));
}

std::vector<double> Alternating(double a, double b, std::size_t n)
{
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = i % 2 == 0 ? a : b;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Edges, RangeLimitTest,
    testing::Values(
        RangeCase{"Subnormal", {5e-324, 1e-323, 1.5e-323, 2e-323}, {}},
        RangeCase{"NearTwoToThe63", Alternating(0x1p63, 0x1p63 - 1024, 1000), {}},
        RangeCase{"TotalOverflows", {1e308, 1e308, 7e307}, {}, 9e307},
        RangeCase{"VarianceUnderflows", {1e-200, 2e-200, 4e-200}, {1, 2, 4}, 7e-200 / 3,
                  std::sqrt(7.0 / 3) * 1e-200},
        RangeCase{"Near1eMinus60", {1e-60, 2e-60, 4e-60}, {1, 2, 4}},
        RangeCase{"Near1e55", {1e55, 2e55, 4e55}, {1, 2, 4}},
        RangeCase{"CoefficientOfVariationOverflows", {-1e300, 1e300, 1e-6}, {}},
        RangeCase{"PlusMinus1e80", {1e80, -1e80, 1e80, 4e80}, {1, -1, 1, 4}}),
    [](const auto& info) { return info.param.name; });

// The moments pass works its powers and class counts out on the pool's threads a batch at a
// time; its sums must still be those of one value after the other, to the bit, across many
// batches and a partial last: those of the pure kernel over the same values, and the same on
// one thread as on two.
TEST(StatisticsCore, MomentsAreTheSumsOfOneValueAfterTheOtherOnAnyNumberOfThreads)
{
    const std::int64_t n = 300'001;
    auto make = [](std::int64_t k) { return std::sin(double(k)) * 1e3 + double(k % 7); };
    std::vector<double> values(n);
    for (std::int64_t k = 0; k < n; ++k)
        values[k] = make(k);
    const MomentResults expected = Moments(values);
    auto bits = [](double x) { return std::bit_cast<std::uint64_t>(x); };
    std::vector<std::array<std::int64_t, 50>> counts;
    for (const std::size_t threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        SetMaxThreads(threads);
        MadeStatistics s(n, make);
        s.SetdsFreqClasses(37);
        s.Summarize();
        SetMaxThreads(0);
        EXPECT_EQ(s.GetdsMean(), SumValues(values).Mean());
        EXPECT_EQ(bits(s.GetdsVariance()), bits(expected.variance));
        EXPECT_EQ(bits(s.GetdsMu3()), bits(expected.mu3));
        EXPECT_EQ(bits(s.GetdsMu4()), bits(expected.mu4));
        EXPECT_EQ(bits(s.GetdsSkew()), bits(expected.skew));
        EXPECT_EQ(bits(s.GetdsKurtosis()), bits(expected.kurtosis));
        std::array<std::int64_t, 50> c{};
        for (int i = 1; i <= 37; ++i)
            c[i - 1] = s.GetdsClassCount(i);
        EXPECT_EQ(s.GetdsClassCount(38), n);
        counts.push_back(c);
    }
    EXPECT_EQ(counts[0], counts[1]);
}

} // namespace
