// The zelstat program, run as a user runs it, on every backend: its listings, its exact
// numbers, its undefined values, its report, and a clear line for every kind of bad input.
#include "tests/TestSupport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cmath>

using namespace zel::test;

namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs zelstat; `environment` entries NAME=VALUE are set, NAME= removes the variable.
Result Zelstat(const QStringList& arguments, const QStringList& environment = {},
               const QString& outputFile = {})
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : environment) {
        const QString name = entry.section('=', 0, 0), value = entry.section('=', 1);
        if (value.isEmpty())
            env.remove(name);
        else
            env.insert(name, value);
    }
    process.setProcessEnvironment(env);
    if (!outputFile.isEmpty())
        process.setStandardOutputFile(outputFile);
    process.start(QStringLiteral(ZELSTAT_PROGRAM), arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << "zelstat did not finish";
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

class ZelstatTest : public BackendTest {
protected:
    void SetUp() override
    {
        BackendTest::SetUp();
        if (IsSkipped())
            return;
        db_->Execute("CREATE TABLE T (ID INTEGER, X DOUBLE PRECISION, NAME VARCHAR(10))");
        db_->Execute("INSERT INTO T VALUES (1, 2, 'a'), (2, 4, 'b'), (3, 4, 'c'), (4, 4, 'd'), "
                     "(5, 5, 'e'), (6, 5, 'f'), (7, 7, 'g'), (8, 9, 'h'), (9, NULL, 'i')");
    }

    // The program's arguments for table T and field X on this backend.
    QStringList On(const QString& command, QStringList more = {}) const
    {
        QStringList args{command, "--db", QString::fromStdString(db_->Name()), "--table", "T",
                         "--field", Name("X")};
        return args + more;
    }

    QString Name(const char* upper) const { return QString::fromStdString(FieldName(upper)); }
};

TEST_P(ZelstatTest, FieldsListsTheNumericFieldsInOrder)
{
    Result r = Zelstat({"fields", "--db", QString::fromStdString(db_->Name()), "--table", "T"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, Name("ID") + "\n" + Name("X") + "\n");
}

TEST_P(ZelstatTest, JsonSummaryAgreesWithExactArithmetic)
{
    Result r = Zelstat(On("summary", {"--json"}));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject o = QJsonDocument::fromJson(r.out.toUtf8()).object();
    auto near = [](double actual, double expected) {
        return std::fabs(actual - expected) <= 1e-12 * std::fabs(expected);
    };
    EXPECT_EQ(o["count"].toInt(), 8);
    EXPECT_EQ(o["total"].toDouble(), 40);
    EXPECT_EQ(o["mean"].toDouble(), 5);
    EXPECT_EQ(o["minimum"].toDouble(), 2);
    EXPECT_EQ(o["maximum"].toDouble(), 9);
    EXPECT_EQ(o["range"].toDouble(), 7);
    EXPECT_EQ(o["median"].toDouble(), 4.5);
    EXPECT_PRED2(near, o["variance"].toDouble(), 32.0 / 7);
    EXPECT_PRED2(near, o["stdDev"].toDouble(), std::sqrt(32.0 / 7));
    EXPECT_PRED2(near, o["mu3"].toDouble(), 6.0);
    EXPECT_PRED2(near, o["mu4"].toDouble(), 356.0 / 7);
    EXPECT_PRED2(near, o["skew"].toDouble(), 36 / std::pow(32.0 / 7, 3));
    EXPECT_PRED2(near, o["kurtosis"].toDouble(), (356.0 / 7) / std::pow(32.0 / 7, 2));
    EXPECT_EQ(o["skewSign"].toString(), "(+)");
    EXPECT_EQ(o["freqClasses"].toInt(), 10);
    const QJsonArray classes = o["classes"].toArray();
    ASSERT_EQ(classes.size(), 10);
    int counted = 0;
    for (const auto& c : classes)
        counted += c.toObject()["count"].toInt();
    EXPECT_EQ(counted, 8);
    EXPECT_EQ(classes[0].toObject()["start"].toDouble(), 2 - (7.0 / 10 + 7) / 20);
}

TEST_P(ZelstatTest, TextSummaryUsesTheSummaryWindowsLabels)
{
    Result r = Zelstat(On("summary"));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 15);
    EXPECT_EQ(lines[0], "Table: T");
    EXPECT_EQ(lines[1], "Field Analyzed: " + Name("X"));
    EXPECT_EQ(lines[2], "Record Count: 8");
    EXPECT_EQ(lines[3], "Mean: 5.000");
    EXPECT_EQ(lines[12], "Standard Deviation: 2.138");
    EXPECT_EQ(lines[13], "Skewness: .377 (+)");
}

TEST_P(ZelstatTest, UndefinedStatisticsReadUndefinedAndNull)
{
    db_->Execute("CREATE TABLE ONE (X DOUBLE PRECISION)");
    db_->Execute("INSERT INTO ONE VALUES (5)");
    QStringList args{"summary", "--db", QString::fromStdString(db_->Name()), "--table", "ONE",
                     "--field", Name("X")};
    Result text = Zelstat(args);
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.contains("Variance: undefined\n")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("Skewness: undefined\n"));
    Result json = Zelstat(args << "--json");
    ASSERT_EQ(json.exitCode, 0);
    const QJsonObject o = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_TRUE(o["variance"].isNull());
    EXPECT_TRUE(o["skewSign"].isNull());
    // One value defines its count, total, mean, extremes and median, and nothing else.
    EXPECT_EQ(o["count"].toInt(), 1);
    EXPECT_EQ(o["total"].toDouble(), 5);
    EXPECT_EQ(o["mean"].toDouble(), 5);
    EXPECT_EQ(o["median"].toDouble(), 5);
    EXPECT_EQ(o["medianCount"].toInt(), 1);
    EXPECT_TRUE(o["range"].isNull());
}

TEST_P(ZelstatTest, ClassesPrintTheGridInItsNumberPictures)
{
    Result r = Zelstat(On("classes", {"--csv", "--slot", "1"}));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 6); // headings and the five classes of slot 1
    EXPECT_EQ(lines[0], "Class,Class Min,Class Max,Class Freq,Percentage,Cumulative %");
    EXPECT_TRUE(lines[5].endsWith(",100.000")) << lines[5].toStdString();
}

TEST_P(ZelstatTest, BadInputGivesOneClearLineAndAFailureStatus)
{
    const QString db = QString::fromStdString(db_->Name());
    const std::vector<std::pair<QStringList, QString>> cases = {
        {{"summary", "--db", db, "--table", "NO_SUCH", "--field", "X"}, "NO_SUCH"},
        {{"summary", "--db", db, "--table", "T", "--field", "NO_FIELD"}, "NO_FIELD"},
        {{"summary", "--db", db, "--sql", "SELEC 1", "--field", "X"}, "SELEC"},
        {{"summary", "--db", db, "--sql", "SELECT X\nFROM NO_SUCH", "--field", "X"}, "NO_SUCH"},
        {{"summary", "--db", db, "--table", "T", "--field", Name("NAME")}, "not a numeric field"},
    };
    for (const auto& [args, mention] : cases) {
        Result r = Zelstat(args);
        EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains(mention)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    Result usage = Zelstat({"summary", "--db", db, "--table", "T"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(usage.err.contains("--field NAME is required"));
}

TEST_P(ZelstatTest, ReportRendersEveryWindow)
{
    QTemporaryDir dir;
    Result r = Zelstat(On("report", {"--out", dir.path()}));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    for (const char* file : {"summary.png", "classes.png", "inputorder.png", "histogram.png",
                             "cumhistogram.png", "polygon.png"})
        EXPECT_GT(QFileInfo(dir.filePath(file)).size(), 1000) << file;
}

// Numbers in JSON, and option values, never follow the user's locale; text for people always
// writes a '.'. A locale with a decimal comma, and one whose separator is two bytes.
TEST_P(ZelstatTest, OutputIsTheSameInEveryLocale)
{
    const QStringList json = On("summary", {"--json", "--scale", "2.5"});
    const QStringList text = On("summary");
    const Result cJson = Zelstat(json, {"LC_ALL=C"}), cText = Zelstat(text, {"LC_ALL=C"});
    ASSERT_EQ(cJson.exitCode, 0) << cJson.err.toStdString();
    for (const char* locale : {"LC_ALL=de_DE.UTF-8", "LC_ALL=ps_AF.UTF-8"}) {
        const Result r = Zelstat(json, {locale});
        EXPECT_EQ(r.exitCode, 0) << locale << ": " << r.err.toStdString();
        EXPECT_EQ(r.out, cJson.out) << locale;
        EXPECT_EQ(Zelstat(text, {locale}).out, cText.out) << locale;
    }
}

// A mistake in the command line is exit 2, a failure exit 1; neither is ever a success.
TEST_P(ZelstatTest, UnusableOptionsAndFailuresNeverExitZero)
{
    const QString db = QString::fromStdString(db_->Name());
    db_->Execute("CREATE TABLE EMPTY (X DOUBLE PRECISION)");
    const std::vector<std::pair<QStringList, int>> cases = {
        {On("summary", {"--scale", "0"}), 2},
        {On("summary", {"--classes", "51"}), 2},
        {On("summary", {"--classes", " 10"}), 2},
        {On("summary", {"--classes", "+10"}), 2},
        {On("summary", {"--classes", "0x10"}), 2},
        {On("summary", {"--slot", "1"}), 2},       // not an option of summary
        {On("summary", {"--field", "X"}), 2},      // given twice
        {On("fields", {"--csv"}), 2},
        {{"summary", "--db", db, "--table", "EMPTY", "--field", "NO_SUCH"}, 1},
        {{"summary", "--db", db, "--table", "T", "--field", Name("NAME")}, 1},
    };
    for (const auto& [args, status] : cases) {
        const Result r = Zelstat(args);
        EXPECT_EQ(r.exitCode, status) << args.join(' ').toStdString() << "\n" << r.err.toStdString();
    }
    const Result full = Zelstat(On("summary", {"--json"}), {}, "/dev/full");
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_TRUE(full.err.contains("standard output")) << full.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Backends, ZelstatTest, testing::ValuesIn(ProgramBackends()),
                         [](const auto& info) { return info.param; });

TEST(Zelstat, MissingDatabaseFileIsNamed)
{
    Result r = Zelstat({"summary", "--db", "/tmp/zelstats-missing/none.db", "--table", "T", "--field", "X"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("/tmp/zelstats-missing/none.db")) << r.err.toStdString();
}

// The statistics commands need no display and no platform plugin; the demo says it needs a
// display instead of aborting; help is asked for in three ways.
TEST(Zelstat, RunsWithoutADisplay)
{
    const QStringList noDisplay{"QT_QPA_PLATFORM=nonexistent", "DISPLAY=", "WAYLAND_DISPLAY=",
                                "XDG_RUNTIME_DIR="};
    for (const QStringList& args : {QStringList{"summary", "--json"},
                                    QStringList{"fields", "--table", "EMPLOYEE"},
                                    QStringList{"classes", "--table", "EMPLOYEE", "--field", "SALARY"}}) {
        const Result r = Zelstat(args, noDisplay);
        EXPECT_EQ(r.exitCode, 0) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    }
    const Result gui = Zelstat({"gui"}, {"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(gui.exitCode, 1);
    EXPECT_EQ(gui.err, "zelstat: gui needs a display: set DISPLAY or use xvfb-run\n");
    for (const char* help : {"--help", "-h", "help"}) {
        const Result r = Zelstat({help});
        EXPECT_EQ(r.exitCode, 0) << help;
        EXPECT_TRUE(r.out.startsWith("usage:")) << help;
    }
}

TEST(Zelstat, WithoutArgumentsTheSampleIsSummarised)
{
    Result r = Zelstat({"summary"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("Table: EMPLOYEE\nField Analyzed: SALARY\n"));
}

} // namespace
