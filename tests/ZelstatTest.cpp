// The zelstat program, run as a user runs it, on every backend: its listings, its exact
// numbers, its undefined values, its report, and a clear line for every kind of bad input.
#include "tests/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>
#include <utility>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zel::test;

namespace {

struct Result {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs zelstat; `environment` entries NAME=VALUE are set, NAME= removes the variable.
Result Zelstat(const QStringList& arguments, const QStringList& environment = {},
               const QString& outputFile = {},
               const QString& program = QStringLiteral(ZELSTAT_PROGRAM))
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
    process.start(program, arguments);
    EXPECT_TRUE(process.waitForFinished(60000)) << "zelstat did not finish";
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

// Starts zelstat with standard output on `out` (/dev/null when -1) and standard error into
// `errorFile`; 0 when it cannot start.
pid_t SpawnZelstat(const QStringList& arguments, int out, const QString& errorFile)
{
    std::vector<std::string> words{ZELSTAT_PROGRAM};
    for (const QString& argument : arguments)
        words.push_back(argument.toStdString());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (out >= 0)
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.toLocal8Bit().constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? child : 0;
}

// Waits for a spawned zelstat: its exit status, or 128 + the signal that ended it, as a shell
// reports it; -1 when it cannot be waited for.
int WaitForZelstat(pid_t child)
{
    int status = 0;
    if (child == 0 || waitpid(child, &status, 0) != child)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

QString FileText(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll());
}

// Runs zelstat with standard output on a pipe whose reading end is already closed.
Result ZelstatIntoClosedPipe(const QStringList& arguments, const QString& errorFile)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return {};
    close(pipeEnds[0]);
    const pid_t child = SpawnZelstat(arguments, pipeEnds[1], errorFile);
    close(pipeEnds[1]);
    const int status = WaitForZelstat(child);
    return {status, {}, FileText(errorFile)};
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
    // --all adds the text fields, which --by wants, with their kinds.
    r = Zelstat({"fields", "--db", QString::fromStdString(db_->Name()), "--table", "T", "--all"});
    const QStringList lines = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3) << r.out.toStdString();
    EXPECT_TRUE(QRegularExpression("^" + Name("NAME") + " +text$").match(lines[2]).hasMatch())
        << r.out.toStdString();
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

// On PostgreSQL the server computes the same summary and classes; a SQLite file has no server,
// which is a usage error.
TEST_P(ZelstatTest, OnServerComputesTheSameOrIsAUsageError)
{
    for (const char* command : {"summary", "classes"}) {
        Result walked = Zelstat(On(command, {"--json"}));
        Result computed = Zelstat(On(command, {"--json", "--on-server"}));
        if (GetParam() != "postgres") {
            EXPECT_EQ(computed.exitCode, 2);
            EXPECT_TRUE(computed.err.startsWith("zelstat: --on-server needs a PostgreSQL --db"))
                << computed.err.toStdString();
            continue;
        }
        ASSERT_EQ(computed.exitCode, 0) << computed.err.toStdString();
        const QJsonObject a = QJsonDocument::fromJson(walked.out.toUtf8()).object();
        const QJsonObject b = QJsonDocument::fromJson(computed.out.toUtf8()).object();
        ASSERT_EQ(b.keys(), a.keys());
        for (const QString& key : a.keys()) {
            if (a[key].isDouble()) {
                const double x = a[key].toDouble(), y = b[key].toDouble();
                EXPECT_LE(std::fabs(y - x), 1e-12 * std::fabs(x)) << key.toStdString();
            } else {
                EXPECT_EQ(b[key], a[key]) << key.toStdString();
            }
        }
    }
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
    EXPECT_TRUE(lines[5].endsWith(",100")) << lines[5].toStdString();
}

// CSV writes every number as the shortest text that reads back to the same double: the same
// bits as JSON's 17 digits, on values that fixed decimals would round away.
TEST_P(ZelstatTest, CsvNumbersReadBackToTheSameDouble)
{
    db_->Execute("CREATE TABLE R (V DOUBLE PRECISION)");
    db_->Execute("INSERT INTO R VALUES (1e-170), (3e-170), (2.5e-170), (0.1), (0.3333333333333333), "
                 "(1e300), (-7.25)");
    const QStringList on{"--db", QString::fromStdString(db_->Name()), "--table", "R"};
    auto numbers = [](const QString& line) {
        std::vector<double> values;
        for (const QString& cell : line.split(','))
            values.push_back(cell.isEmpty() ? NAN : std::strtod(cell.toUtf8().constData(), nullptr));
        return values;
    };
    auto sameBits = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0 || (a != a && b != b); };
    // classes: start, end, percent and cumulative percent of each class.
    const QStringList classArgs = QStringList{"classes", "--field", Name("V"), "--classes", "4"} + on;
    const QStringList csv = Zelstat(classArgs + QStringList{"--csv"}).out.split('\n', Qt::SkipEmptyParts);
    const QJsonArray classes =
        QJsonDocument::fromJson(Zelstat(classArgs + QStringList{"--json"}).out.toUtf8())
            .object()["classes"].toArray();
    ASSERT_EQ(csv.size(), classes.size() + 1);
    for (qsizetype i = 0; i < classes.size(); ++i) {
        const auto row = numbers(csv[i + 1]);
        const QJsonObject json = classes[i].toObject();
        const char* keys[] = {"start", "end", "count", "percent", "cumPercent"};
        for (std::size_t k = 0; k < std::size(keys); ++k)
            EXPECT_TRUE(sameBits(row[k + 1], json[keys[k]].toDouble())) << csv[i + 1].toStdString();
    }
    // describe: every statistic, and 0.1 written as 0.1.
    const QStringList describeArgs = QStringList{"describe", "--percentiles", "0.1,0.3,0.9"} + on;
    const QStringList table = Zelstat(describeArgs + QStringList{"--csv"}).out.split('\n');
    const QJsonObject row =
        QJsonDocument::fromJson(Zelstat(describeArgs + QStringList{"--json"}).out.toUtf8())
            .array()[0].toObject();
    const QStringList headings = table[0].split(',');
    const auto values = numbers(table[1]);
    for (qsizetype c = 1; c < headings.size(); ++c) {
        if (headings[c] == "skewSign")
            continue;
        const double json = row[headings[c]].isNull() ? NAN : row[headings[c]].toDouble();
        EXPECT_TRUE(sameBits(values[c], json)) << headings[c].toStdString() << ": "
                                               << table[1].toStdString();
    }
    EXPECT_FALSE(table[1].contains("0.1000")) << table[1].toStdString();
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
        EXPECT_TRUE(r.err.contains(mention, Qt::CaseInsensitive)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    Result usage = Zelstat({"summary", "--db", db, "--table", "T"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_TRUE(usage.err.contains("--field NAME is required"));
}

TEST_P(ZelstatTest, ReportRendersEveryWindow)
{
    QTemporaryDir dir;
    // A link at a picture's name is replaced by the picture, never written through.
    QFile victim(dir.filePath("victim"));
    ASSERT_TRUE(victim.open(QIODevice::WriteOnly) && victim.write("precious") == 8);
    victim.close();
    ASSERT_TRUE(QFile::link(victim.fileName(), dir.filePath("histogram.png")));
    Result r = Zelstat(On("report", {"--out", dir.path()}));
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    ASSERT_TRUE(victim.open(QIODevice::ReadOnly));
    EXPECT_EQ(victim.readAll(), "precious");
    EXPECT_FALSE(QFileInfo(dir.filePath("histogram.png")).isSymLink());
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
        {On("summary", {"--spool-memory", "-1"}), 2},
        {On("summary", {"--spool-memory", "64M"}), 2},
        {On("summary", {"--spool-memory", "0", "--no-spool"}), 2},
        {On("fields", {"--no-spool"}), 2},
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

TEST_P(ZelstatTest, DescribeAgreesWithSummaryAndGivesExactQuartiles)
{
    const QStringList on{"--db", QString::fromStdString(db_->Name()), "--table", "T"};
    Result r = Zelstat(QStringList{"describe", "--json"} + on);
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray rows = QJsonDocument::fromJson(r.out.toUtf8()).array();
    ASSERT_EQ(rows.size(), 2); // ID and X; NAME is text
    const QJsonObject x = rows[1].toObject();
    const QJsonObject summary =
        QJsonDocument::fromJson(Zelstat(On("summary", {"--json"})).out.toUtf8()).object();
    EXPECT_EQ(x["field"].toString(), Name("X"));
    for (const char* key : {"count", "mean", "minimum", "maximum", "median", "stdDev"})
        EXPECT_EQ(x[key].toDouble(), summary[key].toDouble()) << key;
    EXPECT_EQ(x["nulls"].toInt(), 1);
    EXPECT_EQ(x["q1"].toDouble(), 4);   // 2 4 4 4 5 5 7 9: h = 1.75
    EXPECT_EQ(x["q3"].toDouble(), 5.5); // h = 5.25
    EXPECT_EQ(x["skewSign"].toString(), "(+)");

    // The same numbers, in full, in CSV; an aligned table for people.
    Result csv = Zelstat(QStringList{"describe", "--csv", "--fields", Name("X")} + on);
    ASSERT_EQ(csv.exitCode, 0) << csv.err.toStdString();
    EXPECT_EQ(csv.out.split('\n')[0],
              "field,count,nulls,mean,stdDev,minimum,q1,median,q3,maximum,skew,skewSign,kurtosis");
    EXPECT_TRUE(csv.out.split('\n')[1].startsWith(Name("X") + ",8,1,5,2.138089935299395,2,4,4.5,5.5,9,"))
        << csv.out.toStdString();
    Result text = Zelstat(QStringList{"describe"} + on);
    ASSERT_EQ(text.exitCode, 0) << text.err.toStdString();
    const QStringList lines = text.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    // Numbers right-aligned: every line ends in the same column.
    EXPECT_EQ(lines[0].size(), lines[1].size()) << text.out.toStdString();
    EXPECT_EQ(lines[0].size(), lines[2].size()) << text.out.toStdString();
}

// --percentiles gives the quantiles a full sort gives by the linear rule, in columns named by
// their percentages; a bad list is one line and status 2.
TEST_P(ZelstatTest, DescribePercentilesAgreeWithAFullSort)
{
    const QStringList on{"describe", "--db", QString::fromStdString(db_->Name()), "--table", "T",
                         "--fields", Name("X")};
    const std::vector<double> sorted{2, 4, 4, 4, 5, 5, 7, 9};
    const std::vector<std::pair<double, QString>> ps{
        {0, "0%"}, {0.05, "5%"}, {0.125, "12.5%"}, {0.5, "50%"}, {0.9, "90%"}, {1, "100%"}};
    const Result r = Zelstat(on + QStringList{"--json", "--percentiles", "0,0.05,0.125,0.5,0.9,1"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonObject x = QJsonDocument::fromJson(r.out.toUtf8()).array()[0].toObject();
    EXPECT_FALSE(x.contains("q1"));
    for (const auto& [p, name] : ps) {
        const double h = (sorted.size() - 1) * p;
        const std::size_t low = static_cast<std::size_t>(std::floor(h));
        const double expected =
            sorted[low] + (h - low) * (sorted[std::min(low + 1, sorted.size() - 1)] - sorted[low]);
        EXPECT_DOUBLE_EQ(x[name].toDouble(), expected) << name.toStdString();
    }
    const Result csv = Zelstat(on + QStringList{"--csv", "--percentiles", "0.05,0.125"});
    EXPECT_TRUE(csv.out.startsWith("field,count,nulls,mean,stdDev,minimum,5%,12.5%,maximum,"))
        << csv.out.toStdString();
    for (const char* bad : {"1.5", "0.5,", "", "abc", "0.5,0.50", "nan", "0,5", "-0.1"}) {
        const Result b = Zelstat(on + QStringList{"--percentiles", bad});
        EXPECT_EQ(b.exitCode, 2) << bad;
        EXPECT_EQ(b.err.count('\n'), 2) << b.err.toStdString();
        EXPECT_TRUE(b.out.isEmpty()) << bad;
    }
}

TEST_P(ZelstatTest, DescribeGroupsShowTheNullKeyInEveryFormat)
{
    // Two long keys alike in their first 40 characters, and one that is not.
    const std::string alike(45, 'k'), other(50, 'z');
    db_->Execute("CREATE TABLE G (K VARCHAR(60), V INTEGER)");
    db_->Execute("INSERT INTO G VALUES ('a', 1), (NULL, 2), ('a', 3), (NULL, NULL), ('', 4), "
                 "('null', 5), ('" + alike + "1', 6), ('" + alike + "2', 7), ('" + other + "', 8)");
    const QStringList on{"describe", "--db", QString::fromStdString(db_->Name()), "--table", "G",
                         "--by", Name("K")};
    Result json = Zelstat(on + QStringList{"--json"});
    ASSERT_EQ(json.exitCode, 0) << json.err.toStdString();
    const QJsonArray rows = QJsonDocument::fromJson(json.out.toUtf8()).array();
    ASSERT_EQ(rows.size(), 7); // V by each key; K itself is text
    EXPECT_EQ(rows[0].toObject()["group"].toString(), "a");
    EXPECT_TRUE(rows[1].toObject()["group"].isNull());
    EXPECT_EQ(rows[1].toObject()["nulls"].toInt(), 1);
    EXPECT_TRUE(rows[1].toObject()["stdDev"].isNull()); // one value
    EXPECT_EQ(rows[2].toObject()["group"].toString(), "");
    Result csv = Zelstat(on + QStringList{"--csv"});
    const QStringList lines = csv.out.split('\n');
    EXPECT_TRUE(lines[2].startsWith(Name("V") + ",,1,1,2,,2,2,2,2,2,,,")) << lines[2].toStdString();
    EXPECT_TRUE(lines[3].startsWith(Name("V") + ",\"\",1,0,4,")) << lines[3].toStdString();
    Result text = Zelstat(on);
    const QStringList shown = text.out.split('\n');
    // NULL is \N, which no text key prints as; 'null' is itself.
    EXPECT_TRUE(shown[2].contains(QRegularExpression("^\\S+\\s+\\\\N\\s+1\\s+1\\s+2\\s+undefined")))
        << text.out.toStdString();
    EXPECT_TRUE(shown[4].contains(QRegularExpression("^\\S+\\s+null\\s+1\\s+0\\s+5")))
        << text.out.toStdString();
    // A long key is cut only where the cut stays unique.
    EXPECT_TRUE(shown[5].contains(QString::fromStdString(alike + "1 "))) << text.out.toStdString();
    EXPECT_TRUE(shown[6].contains(QString::fromStdString(alike + "2 "))) << text.out.toStdString();
    EXPECT_TRUE(shown[7].contains(QString::fromStdString(other.substr(0, 39) + "… ")))
        << text.out.toStdString();
}

TEST_P(ZelstatTest, DescribePngIsABoxPlotAndAFailedOneLeavesNoOutput)
{
    QTemporaryDir dir;
    const QString png = dir.filePath("box.png");
    const QStringList on{"describe", "--db", QString::fromStdString(db_->Name()), "--table", "T"};
    Result r = Zelstat(on + QStringList{"--png", png}, {"QT_QPA_PLATFORM=", "DISPLAY="});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(image.height(), 100);
    Result failed = Zelstat(on + QStringList{"--png", dir.filePath("no/such/folder/box.png")});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_TRUE(failed.out.isEmpty()) << failed.out.toStdString();
    EXPECT_EQ(failed.err.count('\n'), 1) << failed.err.toStdString();
    const std::vector<std::pair<QStringList, int>> cases = {
        {on + QStringList{"--json", "--csv"}, 2},
        {on + QStringList{"--fields", "X,,ID"}, 2},
        {on + QStringList{"--fields", Name("NAME")}, 1},
        {on + QStringList{"--by", "NO_SUCH"}, 1},
    };
    for (const auto& [args, status] : cases) {
        const Result bad = Zelstat(args);
        EXPECT_EQ(bad.exitCode, status) << args.join(' ').toStdString();
        EXPECT_TRUE(bad.out.isEmpty()) << bad.out.toStdString();
    }
}

// Where the passes read their values changes no number: kept in memory, in a temporary file,
// not kept, or not keepable for want of a temporary folder.
TEST_P(ZelstatTest, SpoolOptionsChangeNoNumber)
{
    const Result plain = Zelstat(On("summary", {"--json", "--no-spool"}));
    ASSERT_EQ(plain.exitCode, 0) << plain.err.toStdString();
    const std::pair<QStringList, QStringList> runs[] = {
        {On("summary", {"--json"}), {}},
        {On("summary", {"--json", "--spool-memory", "0"}), {}},
        {On("summary", {"--json", "--spool-memory", "0"}), {"TMPDIR=/nonexistent/zelstat-tmp"}},
    };
    for (const auto& [args, environment] : runs) {
        const Result r = Zelstat(args, environment);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_EQ(r.out, plain.out) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    }
    const Result classes = Zelstat(On("classes", {"--csv", "--spool-memory", "16"}));
    EXPECT_EQ(classes.out, Zelstat(On("classes", {"--csv", "--no-spool"})).out);
}

// --param binds each value into the --sql text, number or text, forced text with :text; a
// malformed one is a usage error, as is one without --sql.
TEST_P(ZelstatTest, ParamsBindIntoTheQueryAndMalformedOnesAreUsageErrors)
{
    const QString db = QString::fromStdString(db_->Name());
    const QString x = Name("X");
    const auto summary = [&](const QString& sql, QStringList params) {
        QStringList args{"summary", "--db", db, "--sql", sql, "--field", x, "--json"};
        for (const QString& param : params)
            args << "--param" << param;
        const Result r = Zelstat(args);
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).object();
    };
    const QJsonObject filtered = summary("SELECT X FROM T WHERE ID <= :n AND NAME <> :skip",
                                         {"n=4", "skip=b"});
    EXPECT_EQ(filtered["count"].toInt(), 3);
    EXPECT_EQ(filtered["total"].toDouble(), 10);
    // As text 007 has three characters; as a number it would have one.
    EXPECT_EQ(summary("SELECT X FROM T WHERE LENGTH(:code) = 3", {"code:text=007"})["count"]
                  .toInt(),
              8);
    const QStringList on = {"summary", "--db", db, "--sql", "SELECT X FROM T", "--field", x};
    for (const QStringList& bad : {QStringList{"--param", "n"}, QStringList{"--param", "=1"},
                                   QStringList{"--param", "n:int=1"}}) {
        const Result r = Zelstat(on + bad);
        EXPECT_EQ(r.exitCode, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("zelstat: --param")) << r.err.toStdString();
    }
    const Result table = Zelstat(On("summary", {"--param", "n=1"}));
    EXPECT_EQ(table.exitCode, 2);
    EXPECT_TRUE(table.err.contains("--param needs --sql")) << table.err.toStdString();
    const Result unset = Zelstat(on.mid(0, 4) + QStringList{"SELECT X FROM T WHERE ID = :n",
                                                            "--field", x});
    EXPECT_EQ(unset.exitCode, 1);
    EXPECT_TRUE(unset.err.contains(":n, which is not set")) << unset.err.toStdString();
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
        EXPECT_TRUE(r.out.startsWith("Usage: zelstat ")) << help;
    }
    // A mistake is told in one line, with where the usage is; the version in one more way.
    const Result wrong = Zelstat({"summary", "--bogus"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_EQ(wrong.err, "zelstat: unknown option --bogus\nrun 'zelstat help' for usage\n");
    for (const char* version : {"--version", "version"}) {
        const Result r = Zelstat({version});
        EXPECT_EQ(r.exitCode, 0) << version;
        EXPECT_TRUE(QRegularExpression("^zelstat \\d+\\.\\d+\\.\\d+\n$").match(r.out).hasMatch())
            << r.out.toStdString();
    }
}

// A box plot of many groups draws the first 200 and names where the ones left out begin.
TEST(Zelstat, DescribePngCapsTheBoxes)
{
    QTemporaryDir dir;
    const QString png = dir.filePath("box.png");
    const Result r = Zelstat({"describe", "--png", png, "--by", "G", "--fields", "V", "--sql",
                              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                              "WHERE i < 205) SELECT i AS G, i * 2 AS V FROM n"},
                             {"QT_QPA_PLATFORM=", "DISPLAY="});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("first 200 of 205 boxes")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("group '201'")) << r.err.toStdString();
    const QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(r.out.count('\n'), 206); // the table still has every group
}

// zelstat alone computes; what needs windows it hands to its window part, and says so when
// that part is missing rather than failing in some other way.
TEST(Zelstat, WindowCommandsNeedTheWindowPart)
{
    QTemporaryDir dir;
    const QString alone = dir.filePath("zelstat");
    ASSERT_TRUE(QFile::copy(QStringLiteral(ZELSTAT_PROGRAM), alone));
    EXPECT_EQ(Zelstat({"summary"}, {}, {}, alone).exitCode, 0);
    for (const QStringList& args : {QStringList{"report", "--out", dir.filePath("r")},
                                    QStringList{"describe", "--png", dir.filePath("d.png")}}) {
        const Result r = Zelstat(args, {}, {}, alone);
        EXPECT_EQ(r.exitCode, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.startsWith("zelstat: the window part of zelstat was not found: "))
            << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
}

// A picture replaces a regular file or takes a new name, nothing else: not a FIFO, a folder,
// a device behind a link, nor the link of an open file such as /dev/stdout. A refused one is a
// line and exit 1, and nothing is changed, in the report's folder either.
TEST(Zelstat, PicturesGoOnlyToRegularFilesOrNewNames)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("fifo"), folder = dir.filePath("folder");
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    ASSERT_TRUE(QDir().mkdir(folder));
    ASSERT_TRUE(QFile::link("/dev/null", dir.filePath("null")));
    ASSERT_TRUE(QFile::link("/dev/stdout", dir.filePath("stdout")));
    for (const QString& target : {fifo, folder, dir.filePath("null"), dir.filePath("stdout")}) {
        const Result r = Zelstat({"describe", "--png", target});
        EXPECT_EQ(r.exitCode, 1) << target.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_TRUE(r.err.startsWith("zelstat: Cannot write the picture ")) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    EXPECT_TRUE(QFileInfo(dir.filePath("null")).isSymLink());
    EXPECT_TRUE(QFileInfo(dir.filePath("stdout")).isSymLink());
    struct stat info {};
    EXPECT_TRUE(stat(fifo.toLocal8Bit().constData(), &info) == 0 && S_ISFIFO(info.st_mode));

    ASSERT_TRUE(QFile::link(fifo, dir.filePath("histogram.png")));
    const Result report = Zelstat({"report", "--out", dir.path()});
    EXPECT_EQ(report.exitCode, 1) << report.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("summary.png"))); // refused before the first
    EXPECT_EQ(Zelstat({"report", "--out", dir.filePath("stdout")}).exitCode, 1);

    const QString png = dir.filePath("out");
    const Result out = Zelstat({"describe", "--png", "-"}, {}, png);
    EXPECT_EQ(out.exitCode, 0) << out.err.toStdString();
    EXPECT_FALSE(QImage(png, "PNG").isNull());
}

// No database name that may hold a user's password is repeated, whatever it was meant as; a
// mistaken URL is refused naming its scheme. Messages are one line each, in plain words.
TEST(Zelstat, MessagesRepeatNoPasswordAndStayOnOneLine)
{
    const std::pair<const char*, const char*> names[] = {
        {" postgresql://u:sekrit@h/d", "blanks before postgresql://"},
        {"pgsql://u:sekrit@h/d", "pgsql://"},
        {"postgresql:/u:sekrit@h/d", "postgresql://"},
        {"mysql+tcp://u:sekrit@h/d", "mysql+tcp://"},
        {"u:sekrit@h", "not shown"},
        {"", "the database name is empty"},
    };
    for (const auto& [name, mention] : names) {
        const Result r = Zelstat({"summary", "--db", name, "--table", "T", "--field", "X"});
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_FALSE(r.err.contains("sekrit")) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(mention)) << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    // The question and the median's warning, which the windows show on two lines each.
    const Result large = Zelstat({"summary", "--progress", "prompt", "--field", "SALARY", "--sql",
                                  "SELECT a.SALARY FROM EMPLOYEE a, EMPLOYEE b LIMIT 20000"});
    EXPECT_EQ(large.exitCode, 0) << large.err.toStdString();
    EXPECT_TRUE(large.err.contains("Median is calculated based on only the first"))
        << large.err.toStdString();
    EXPECT_FALSE(large.err.contains("\\n")) << large.err.toStdString();
    const Result out = Zelstat({"report", "--out", ""});
    EXPECT_EQ(out.exitCode, 2);
    EXPECT_TRUE(out.err.startsWith("zelstat: --out needs a folder name\n"))
        << out.err.toStdString();
}

// A reader that cannot write its output fails: exit 1 and a line, never death by SIGPIPE.
TEST(Zelstat, AClosedPipeIsAFailedWrite)
{
    QTemporaryDir dir;
    const Result r = ZelstatIntoClosedPipe({"summary", "--json"}, dir.filePath("err"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("zelstat: cannot write to standard output: "))
        << r.err.toStdString();
}

// Short of memory, report says so in one line, not in a hundred warnings of the toolkit's
// painting first. (The sanitizers' own shadow memory does not fit under such a limit.)
TEST(Zelstat, ReportShortOfMemorySaysSoInOneLine)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer build cannot run under a memory limit";
#endif
    QTemporaryDir dir;
    const Result r = Zelstat({"-c", "ulimit -v 100000 && exec \"$0\" report --out \"$1\"",
                              ZELSTAT_PROGRAM, dir.path()},
                             {}, {}, QStringLiteral("/bin/sh"));
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("zelstat: ") && r.err.count('\n') == 1) << r.err.toStdString();
}

// Values too far apart for class bounds: the classes stay empty, and the summary says why.
TEST(Zelstat, ValuesTooWideForClassesAreReported)
{
    const Result r = Zelstat({"classes", "--sql", "SELECT 1e308 AS v UNION ALL SELECT -1e308",
                              "--field", "v", "--json"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.err, "zelstat: warning: The values range from -1E308 to 1E308, too wide for class "
                     "bounds a double can hold: no frequency classes are made of them.\n");
}

// A comma in a field's name is written inside double quotes, a quote in it doubled.
TEST(Zelstat, FieldsTakesQuotedNames)
{
    auto db = MakeSqliteDatabase();
    db->Execute("CREATE TABLE Q (\"a,b\" INTEGER, c INTEGER, \"q\"\"x\" INTEGER)");
    db->Execute("INSERT INTO Q VALUES (1, 2, 3)");
    const QStringList on{"describe", "--json", "--db", QString::fromStdString(db->Name()),
                         "--table", "Q", "--fields"};
    const Result r = Zelstat(on + QStringList{R"("a,b",c,"q""x")"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QJsonArray rows = QJsonDocument::fromJson(r.out.toUtf8()).array();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows[0].toObject()["field"].toString(), "a,b");
    EXPECT_EQ(rows[2].toObject()["field"].toString(), "q\"x");
    for (const char* bad : {R"("a,b)", R"("a,b"c)", R"(c,"")"})
        EXPECT_EQ(Zelstat(on + QStringList{bad}).exitCode, 2) << bad;
}

// A --param value binds as an integer when it is a whole one within int64, as a double when
// all of it reads as a finite number in the C locale, as text otherwise or when forced.
TEST(Zelstat, ParamValuesBindAsTheNumberTheyReadAsOrAsText)
{
    auto db = MakeSqliteDatabase();
    db->Execute("CREATE TABLE T (X INTEGER)");
    db->Execute("INSERT INTO T VALUES (1)");
    const std::pair<const char*, const char*> cases[] = {
        {"v=5", "integer"},     {"v=-007", "integer"},  {"v=9223372036854775808", "real"},
        {"v=2.5", "real"},      {"v=1e3", "real"},      {"v:text=007", "text"},
        {"v=abc", "text"},      {"v=", "text"},         {"v=nan", "text"},
        {"v= 5", "text"},       {"v=1,5", "text"},      {"v=a=b", "text"},
    };
    for (const auto& [param, type] : cases) {
        const Result r = Zelstat({"summary", "--db", QString::fromStdString(db->Name()), "--sql",
                                  "SELECT X FROM T WHERE typeof(:v) = :t", "--field", "X",
                                  "--json", "--param", param, "--param",
                                  QString("t:text=") + type});
        ASSERT_EQ(r.exitCode, 0) << param << ": " << r.err.toStdString();
        EXPECT_EQ(QJsonDocument::fromJson(r.out.toUtf8()).object()["count"].toInt(), 1) << param;
    }
}

// Reading a WAL database leaves its folder as it was: no -wal or -shm file stays behind. A
// user who cannot write the folder, where SQLite must make them, is told why and what to do.
TEST(Zelstat, ReadingAWalDatabaseLeavesItsFolderAsFound)
{
    auto db = MakeSqliteDatabase(); // in WAL mode
    db->Execute("CREATE TABLE W (X INTEGER)");
    db->Execute("INSERT INTO W VALUES (1), (2)");
    db->Execute("PRAGMA wal_checkpoint(TRUNCATE)");
    QTemporaryDir dir;
    const QString copy = dir.filePath("w.db");
    ASSERT_TRUE(QFile::copy(QString::fromStdString(db->Name()), copy));
    const QStringList args{"summary", "--db", copy, "--table", "W", "--field", "X"};
    const Result r = Zelstat(args);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"w.db"});
    if (geteuid() != 0 || access("/usr/sbin/runuser", X_OK) != 0)
        return; // the unprivileged reader needs root to become it
    ASSERT_EQ(chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
    ASSERT_TRUE(QFile::setPermissions(copy, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther
                                                | QFile::WriteOwner));
    const Result nobody = Zelstat(QStringList{"-u", "nobody", "--", ZELSTAT_PROGRAM} + args, {},
                                  {}, "/usr/sbin/runuser");
    EXPECT_EQ(nobody.exitCode, 1);
    EXPECT_TRUE(nobody.err.contains("WAL mode")) << nobody.err.toStdString();
    EXPECT_EQ(nobody.err.count('\n'), 1) << nobody.err.toStdString();
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"w.db"});
}

// A sharded table of its own on the setup of scripts/with-pg-shards.sh whose shard tables are
// views that give their rows only after 30 seconds: every statement of a summary over it is
// still running on the shards when a test acts.
class SlowShardedTable {
public:
    SlowShardedTable()
        : coordinator_(std::getenv("ZELSTATS_TEST_PG_SHARDED")),
          shards_(QString(std::getenv("ZELSTATS_TEST_PG_SHARDS")).split(' ', Qt::SkipEmptyParts)),
          name_("zel_slow_" + std::to_string(getpid()))
    {
        for (const QString& shard : shards_)
            PgColumn(shard.toStdString(),
                     "CREATE VIEW " + name_ + " AS SELECT g::bigint AS id, g::float8 AS x, "
                     "0 AS k FROM generate_series(1, 3) AS g "
                     "WHERE (SELECT count(*) FROM pg_sleep(30)) > 0");
        std::string parent = "CREATE TABLE " + name_ + " (id bigint, x float8, k integer) "
                             "PARTITION BY HASH (id);";
        for (int n = 0; n < shards_.size(); ++n)
            parent += "CREATE FOREIGN TABLE " + name_ + "_p" + std::to_string(n) + " PARTITION OF "
                      + name_ + " FOR VALUES WITH (MODULUS " + std::to_string(shards_.size())
                      + ", REMAINDER " + std::to_string(n) + ") SERVER shard"
                      + std::to_string(n + 1) + " OPTIONS (table_name '" + name_ + "');";
        PgColumn(coordinator_, parent);
    }
    // Statements left behind by a failed test end first, or they would hold the views 30 s.
    ~SlowShardedTable()
    {
        try {
            PgColumn(coordinator_, "DROP TABLE IF EXISTS " + name_);
            for (const QString& shard : shards_) {
                PgColumn(shard.toStdString(), "SELECT pg_terminate_backend(pid) FROM "
                                              "pg_stat_activity WHERE application_name = '"
                                                  + name_ + "'");
                PgColumn(shard.toStdString(), "DROP VIEW IF EXISTS " + name_);
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    }

    // The coordinator, whose connections to the shards carry the table's name as their
    // application name: a shard shows them as FETCH statements that name no table.
    QString Coordinator() const
    {
        const char* join = coordinator_.find('?') == std::string::npos ? "?" : "&";
        return QString::fromStdString(coordinator_ + join
                                      + "options=-c%20postgres_fdw.application_name%3D" + name_);
    }
    QString Name() const { return QString::fromStdString(name_); }
    // How many statements of the coordinator's connections each shard runs now.
    QList<int> Running() const
    {
        QList<int> running;
        for (const QString& shard : shards_)
            running.append(std::stoi(PgColumn(shard.toStdString(),
                                              "SELECT count(*) FROM pg_stat_activity WHERE state "
                                              "= 'active' AND application_name = '"
                                                  + name_ + "'")[0]));
        return running;
    }

private:
    std::string coordinator_;
    QStringList shards_;
    std::string name_;
};

// Kills and reaps a zelstat that a failed assertion leaves running.
struct Reaper {
    pid_t pid = 0;
    ~Reaper()
    {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
    }
};

// Ctrl-C and SIGTERM cancel the summary's statement on the coordinator, and the coordinator's
// cancel reaches the shards: a second after the signal no statement of it runs there.
TEST(Zelstat, SignalsStopTheSummarysStatementsOnTheShards)
{
    using namespace std::chrono_literals;
    const std::string unavailable = ShardsUnavailableReason();
    if (!unavailable.empty())
        GTEST_SKIP() << unavailable;
    SlowShardedTable table;
    QTemporaryDir dir;
    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const QString errors = dir.filePath("err");
        Reaper zelstat{SpawnZelstat({"summary", "--db", table.Coordinator(), "--table",
                                     table.Name(), "--field", "x", "--on-server"},
                                    -1, errors)};
        ASSERT_NE(zelstat.pid, 0);
        // Asynchronous append starts the branches on both shards at once.
        QList<int> running;
        const QList<int> none(table.Running().size(), 0);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while ((running = table.Running()) == none && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(50ms);
        ASSERT_NE(running, none) << "the summary reached no shard: "
                                 << FileText(errors).toStdString();
        ASSERT_EQ(::kill(zelstat.pid, signal), 0);
        const auto signalled = std::chrono::steady_clock::now();
        EXPECT_EQ(WaitForZelstat(std::exchange(zelstat.pid, 0)), 128 + signal)
            << FileText(errors).toStdString();
        std::this_thread::sleep_until(signalled + 1s);
        EXPECT_EQ(table.Running(), none) << "while running " << running[0] << " and "
                                         << running.value(1);
    }
}

TEST(Zelstat, WithoutArgumentsTheSampleIsSummarised)
{
    Result r = Zelstat({"summary"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_TRUE(r.out.startsWith("Table: EMPLOYEE\nField Analyzed: SALARY\n"));
}

QByteArray Contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

// --output FILE gets what standard output would, and only from a command that succeeds; the
// window part (describe --png) writes it too.
TEST(Zelstat, OutputFileHoldsTheResultsOfASuccessAlone)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("out");
    const QStringList commands[] = {{"summary", "--json"},
                                    {"describe", "--csv", "--png", dir.filePath("p.png")},
                                    {"fields", "--table", "EMPLOYEE", "--all"}};
    for (const QStringList& command : commands) {
        const Result direct = Zelstat(command);
        const Result r = Zelstat(command + QStringList{"--output", file});
        EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty() && r.err.isEmpty()) << r.err.toStdString();
        EXPECT_EQ(QString::fromUtf8(Contents(file)), direct.out) << command.join(' ').toStdString();
    }
    EXPECT_EQ(Zelstat({"summary", "--output", "-"}).out, Zelstat({"summary"}).out);
    // A command that fails leaves the file as it was and nothing beside it.
    const QByteArray before = Contents(file);
    const Result failed = Zelstat({"summary", "--table", "NOPE", "--field", "X", "--output", file});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(Contents(file), before);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"out", "p.png"}));
}

// Where no file of results belongs, or none can be made, one line names the file and the
// reason, before anything is read; a mistake in the command line is a usage error.
TEST(Zelstat, OutputGoesOnlyWhereAFileCanBeWritten)
{
    QTemporaryDir dir;
    const QString fifo = dir.filePath("fifo"), locked = dir.filePath("locked");
    ASSERT_EQ(mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/stdout", dir.filePath("stdout")));
    ASSERT_TRUE(QDir().mkdir(locked));
    QFile::setPermissions(locked, QFile::ReadOwner | QFile::ExeOwner);
    QStringList targets{dir.path(), fifo, dir.filePath("stdout"), dir.filePath("no/file")};
    if (geteuid() != 0) // root writes any folder
        targets.append(locked + "/file");
    for (const QString& target : targets) {
        const Result r = Zelstat({"summary", "--output", target});
        EXPECT_EQ(r.exitCode, 1) << target.toStdString();
        EXPECT_TRUE(r.err.startsWith("zelstat: Cannot write the output file " + target + ": "))
            << r.err.toStdString();
        EXPECT_EQ(r.err.count('\n'), 1) << r.err.toStdString();
    }
    // Slips that would replace the database read or the picture drawn.
    QFile database(dir.filePath("data.db"));
    ASSERT_TRUE(database.open(QIODevice::WriteOnly) && database.write("data") == 4);
    database.close();
    const std::pair<QStringList, QString> slips[] = {
        {{"summary", "--db", dir.path() + "/./data.db"}, database.fileName()},
        {{"describe", "--png", dir.filePath("box.png")}, dir.filePath("box.png")}};
    for (const auto& [arguments, target] : slips) {
        const Result r = Zelstat(arguments + QStringList{"--output", target});
        EXPECT_EQ(r.exitCode, 1) << target.toStdString();
        EXPECT_TRUE(r.err.startsWith("zelstat: Cannot write the output file " + target
                                     + ": it is the file of " + arguments[1]))
            << r.err.toStdString();
    }
    EXPECT_EQ(Contents(database.fileName()), "data");
    EXPECT_TRUE(QFileInfo(dir.filePath("stdout")).isSymLink());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::System).size(), 3);
    const std::pair<QStringList, const char*> mistakes[] = {
        {{"summary", "--output"}, "--output needs a value"},
        {{"summary", "--output", ""}, "--output needs a file name, or - for standard output"},
        {{"summary", "--output", "--json"}, "--output needs a file name, not the option --json"},
        {{"describe", "--png", "-", "--output", "x"}, "--png - writes the picture to standard"},
        {{"report", "--output", "x"}, "--output does not apply to zelstat report"},
    };
    for (const auto& [arguments, message] : mistakes) {
        const Result r = Zelstat(arguments);
        EXPECT_EQ(r.exitCode, 2) << message;
        EXPECT_TRUE(r.err.startsWith(QString("zelstat: ") + message)) << r.err.toStdString();
        EXPECT_TRUE(r.err.endsWith("\nrun 'zelstat help' for usage\n")) << r.err.toStdString();
    }
}

} // namespace
