// The summary window, driven headless: each test runs Output and reads the labels in place of
// the window's modal loop.
#include "zelstats/windows/Zeloutpt.h"

#include "zelstats/data/DataSet.h"
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "tests/TestSupport.h"

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <typeinfo>

namespace zel {
namespace {

using test::ModalInspector;

const double NaN = std::nan("");

const char* const LabelNames[] = {"labTableName", "labFieldName", "labCount",  "labTotal",
                                  "labMean",      "labMin",       "labVariance", "labMax",
                                  "labStdDev",    "labRange",     "labCoeff",  "labMode",
                                  "labSkew",      "labMedian",    "labKurtosis"};

// Runs Output and returns every label's text as the window showed it.
std::map<std::string, std::string> SummaryLabels(TStatComponent& component)
{
    std::map<std::string, std::string> texts;
    ModalInspector inspector([&texts](QDialog& window) {
        for (const char* name : LabelNames) {
            auto* label = window.findChild<QLabel*>(name);
            EXPECT_NE(label, nullptr) << name;
            if (label)
                texts[name] = label->text().toStdString();
        }
    });
    component.Output();
    EXPECT_EQ(inspector.Count(), 1);
    return texts;
}

class SummaryWindow : public testing::Test {
protected:
    // An open table component over a fresh table T with one column V.
    TRivuReviTable& TableOf(const std::vector<double>& values)
    {
        test::CreateValueTable(*db, "T", "V", values);
        table.SetDatabaseName(db->Name());
        table.SetTableName("T");
        table.SetStatFieldName("V");
        table.Open();
        return table;
    }

    std::unique_ptr<test::TestDatabase> db = test::MakeSqliteDatabase();
    TRivuReviTable table;
};

TEST_F(SummaryWindow, KnownDataFillsEveryLabel)
{
    auto texts = SummaryLabels(TableOf({1, 2, 6}));
    const std::map<std::string, std::string> expected = {
        {"labTableName", "Table: T"},
        {"labFieldName", "Field Analyzed: V"},
        {"labCount", "Record Count: 3"},
        {"labTotal", "Total: 9.000"},
        {"labMean", "Mean: 3.000"},
        {"labMin", "Minimum: 1.000"},
        {"labMax", "Maximum: 6.000"},
        {"labRange", "Range: 5.000"},
        {"labVariance", "Variance: 7.000"},
        {"labStdDev", "Standard Deviation: 2.646"},
        {"labCoeff", "Coeff of Variation: 88.192"},
        {"labMedian", "Median: 2.000"},
        {"labSkew", "Skewness: .236 (+)"},
        {"labKurtosis", "Kurtosis: 1.000"},
    };
    for (const auto& [name, text] : expected)
        EXPECT_EQ(texts[name], text) << name;
    EXPECT_TRUE(texts["labMode"].starts_with("Mode: ")) << texts["labMode"];
}

TEST_F(SummaryWindow, SymmetricDataShowsZeroSkewnessWithZeroSign)
{
    auto texts = SummaryLabels(TableOf({1, 2, 3}));
    EXPECT_EQ(texts["labSkew"], "Skewness: .000 (0)");
    EXPECT_EQ(texts["labKurtosis"], "Kurtosis: 1.000");
}

TEST_F(SummaryWindow, NegativeThirdMomentShowsMinusSign)
{
    auto texts = SummaryLabels(TableOf({-6, -2, -1}));
    EXPECT_EQ(texts["labSkew"], "Skewness: .236 (-)");
    EXPECT_EQ(texts["labMean"], "Mean: -3.000");
    EXPECT_EQ(texts["labMin"], "Minimum: -6.000");
    EXPECT_EQ(texts["labMax"], "Maximum: -1.000");
    EXPECT_EQ(texts["labTotal"], "Total: -9.000");
}

// The "#.000" picture: no leading zero below one, rounding to three decimals.
struct PictureCase {
    const char* name;
    std::vector<double> values;
    const char* label;
    const char* text;
};

class SummaryPicture : public SummaryWindow, public testing::WithParamInterface<PictureCase> {};

TEST_P(SummaryPicture, ShowsValueInPicture)
{
    auto texts = SummaryLabels(TableOf(GetParam().values));
    EXPECT_EQ(texts[GetParam().label], GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, SummaryPicture,
    testing::Values(PictureCase{"MeanRoundsToThreeDecimals", {12.3456, 12.3456}, "labMean",
                                "Mean: 12.346"},
                    PictureCase{"MeanBelowOneHasNoLeadingZero", {0.25, 0.75}, "labMean",
                                "Mean: .500"},
                    PictureCase{"ZeroTotal", {-0.5, 0.5}, "labTotal", "Total: .000"},
                    PictureCase{"NegativeBelowOne", {-0.25, -0.75}, "labMean", "Mean: -.500"},
                    PictureCase{"RangeBelowOne", {0.1, 0.35}, "labRange", "Range: .250"},
                    PictureCase{"NullIsNoValue", {1, NaN, 2, 6}, "labCount",
                                "Record Count: 3"}),
    [](const testing::TestParamInfo<PictureCase>& info) { return info.param.name; });

TEST_F(SummaryWindow, OneValueShowsUndefinedStatistics)
{
    auto texts = SummaryLabels(TableOf({5}));
    EXPECT_EQ(texts["labVariance"], "Variance: undefined");
    EXPECT_EQ(texts["labStdDev"], "Standard Deviation: undefined");
    EXPECT_EQ(texts["labCoeff"], "Coeff of Variation: undefined");
    // No sign is reported for a skewness that has no value.
    EXPECT_EQ(texts["labSkew"], "Skewness: undefined");
    EXPECT_EQ(texts["labKurtosis"], "Kurtosis: undefined");
    for (const auto& [name, text] : texts)
        EXPECT_EQ(text.find("nan"), std::string::npos) << name << ": " << text;
}

TEST_F(SummaryWindow, EmptyTableShowsUndefinedBoundsAndNoNumberMadeUp)
{
    auto texts = SummaryLabels(TableOf({}));
    EXPECT_EQ(texts["labMin"], "Minimum: undefined");
    EXPECT_EQ(texts["labMax"], "Maximum: undefined");
    EXPECT_EQ(texts["labRange"], "Range: undefined");
    EXPECT_EQ(texts["labMedian"], "Median: undefined");
    EXPECT_EQ(texts["labMode"], "Mode: undefined");
    EXPECT_EQ(texts["labSkew"], "Skewness: undefined");
}

TEST_F(SummaryWindow, TableNameKeepsItsDirectory)
{
    test::CreateValueTable(*db, "\"C:\\DATA\\EMP.DB\"", "SALARY", {1, 2, 6});
    table.SetDatabaseName(db->Name());
    table.SetTableName("C:\\DATA\\EMP.DB");
    table.SetStatFieldName("SALARY");
    table.Open();
    auto texts = SummaryLabels(table);
    EXPECT_EQ(texts["labTableName"], "Table: C:\\DATA\\EMP.DB");
    EXPECT_EQ(texts["labFieldName"], "Field Analyzed: SALARY");
}

TEST_F(SummaryWindow, QueryShowsFirstLineOfItsSql)
{
    test::CreateValueTable(*db, "T", "V", {1, 2, 3});
    TRivuReviQuery query;
    query.SetDatabaseName(db->Name());
    query.SetSQL({"SELECT * FROM T", "WHERE V > 0"});
    query.SetStatFieldName("V");
    query.Open();
    auto texts = SummaryLabels(query);
    EXPECT_EQ(texts["labTableName"], "Dataset Query: SELECT * FROM T");
    EXPECT_EQ(texts["labSkew"], "Skewness: .000 (0)");
}

TEST_F(SummaryWindow, MissingFieldFailsBeforeTheWindowShows)
{
    TableOf({1, 2, 3}).SetStatFieldName("NOSUCH");
    ModalInspector inspector([](QDialog&) {});
    EXPECT_THROW(table.Output(), EDatabaseError);
    EXPECT_EQ(inspector.Count(), 0);
}

TEST_F(SummaryWindow, WindowHasItsLayoutAndGrabsFilled)
{
    // Wide statistics: their labels must still fit inside the panel.
    TableOf({7425.28, 291438.45, 55053.5, 38666.7});
    ModalInspector inspector([](QDialog& window) {
        EXPECT_EQ(window.windowTitle(), "Summary Output");
        EXPECT_EQ(window.size(), QSize(343, 335));
        EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
        EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
        EXPECT_FALSE(window.windowFlags() & Qt::WindowContextHelpButtonHint);
        EXPECT_FALSE(window.windowIcon().isNull());
        auto* ok = window.findChild<QPushButton*>("BitBtn1");
        ASSERT_NE(ok, nullptr);
        EXPECT_EQ(ok->text(), "OK");
        EXPECT_EQ(ok->geometry(), QRect(133, 299, 77, 27));

        auto* white = window.findChild<QLabel*>("Label1");
        auto* maroon = window.findChild<QLabel*>("Label2");
        ASSERT_TRUE(white && maroon);
        EXPECT_EQ(white->text(), "Datafield Statistical Summary");
        EXPECT_EQ(maroon->text(), white->text());
        EXPECT_EQ(maroon->geometry(), white->geometry().translated(0, 1));
        EXPECT_EQ(white->font().pixelSize(), 21);
        EXPECT_EQ(maroon->palette().color(QPalette::WindowText), QColor(128, 0, 0));

        // Every label is filled, starts where the form puts it and fits inside the panel.
        auto* panel = window.findChild<QFrame*>("Panel1");
        ASSERT_NE(panel, nullptr);
        EXPECT_EQ(panel->geometry(), QRect(9, 35, 325, 258));
        for (const char* name : LabelNames) {
            auto* label = window.findChild<QLabel*>(name);
            ASSERT_NE(label, nullptr);
            EXPECT_EQ(label->parentWidget(), panel) << name;
            EXPECT_EQ(label->font().pixelSize(), 11) << name;
            EXPECT_LE(label->geometry().right(), panel->width() - 2) << name;
            EXPECT_GE(label->width(), label->sizeHint().width()) << name;
        }
        EXPECT_TRUE(window.findChild<QLabel*>("labStdDev")->text().startsWith(
            "Standard Deviation: 1"));
        EXPECT_EQ(window.findChild<QLabel*>("labTotal")->pos(), QPoint(12, 84));
        EXPECT_EQ(window.findChild<QLabel*>("labKurtosis")->pos(), QPoint(161, 229));

        // A grab in place of the modal loop shows the filled window: the white panel carries
        // dark text pixels in the first label row.
        QImage image = window.grab().toImage();
        ASSERT_EQ(image.size(), QSize(343, 335));
        int dark = 0;
        for (int y = 35 + 6; y < 35 + 20; ++y)
            for (int x = 9 + 12; x < 9 + 100; ++x)
                dark += qGray(image.pixel(x, y)) < 100;
        EXPECT_GT(dark, 20);
    });
    table.Output();
    EXPECT_EQ(inspector.Count(), 1);
}

} // namespace
} // namespace zel
