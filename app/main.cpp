// zelstat: the package's statistics from the command line, a report of its windows as PNG
// files, and an interactive demo.
#include "app/ZelDemo.h"
#include "platform/DataSet.h"
#include "platform/Dialogs.h"
#include "plot/ZelPlot.h"
#include "components/ZelQuery.h"
#include "components/ZelTable.h"
#include "windows/ResultText.h"
#include "windows/ZelGauge.h"

#include <QApplication>
#include <QDialog>
#include <QDir>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace zel;

const char* const Usage = R"(usage:
  zelstat fields  [--db PATH] (--table NAME | --sql TEXT)
  zelstat summary [--db PATH] (--table NAME | --sql TEXT) --field NAME
                  [--scale X] [--classes K] [--progress prompt|always|never] [--json]
  zelstat classes [--db PATH] (--table NAME | --sql TEXT) --field NAME
                  [--classes K] [--slot 0..7] [--progress ...] [--json | --csv]
  zelstat report  [--db PATH] (--table NAME | --sql TEXT) --field NAME [--out DIR]
  zelstat gui     [--db PATH] [--screenshot DIR]

PATH is a SQLite file or a postgresql:// connection URI; without --db the bundled sample
database is used. `zelstat summary` and `zelstat report` without arguments work on the
sample's EMPLOYEE table and its SALARY field.
)";

// A mistake in the command line: the usage is printed and the exit code is 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct Options {
    std::string command;
    std::map<std::string, std::string> values;
    bool Has(const std::string& key) const { return values.count(key) != 0; }
    std::string Get(const std::string& key, const std::string& fallback = {}) const
    {
        auto it = values.find(key);
        return it == values.end() ? fallback : it->second;
    }
};

Options Parse(int argc, char** argv)
{
    static const std::map<std::string, bool> known = {
        {"--db", true}, {"--table", true}, {"--sql", true}, {"--field", true},
        {"--scale", true}, {"--classes", true}, {"--progress", true}, {"--slot", true},
        {"--out", true}, {"--screenshot", true}, {"--json", false}, {"--csv", false}, {"--help", false}};
    Options options;
    if (argc < 2)
        throw UsageError("no command given");
    options.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto it = known.find(arg);
        if (it == known.end())
            throw UsageError("unknown option " + arg);
        if (!it->second) {
            options.values[arg] = "";
            continue;
        }
        if (i + 1 >= argc)
            throw UsageError(arg + " needs a value");
        options.values[arg] = argv[++i];
    }
    return options;
}

// The value of the whole text read by `parse` (std::stol or std::stod), or nothing when the
// text is not all one number.
template <class T, class Parse>
std::optional<T> ParseWhole(const std::string& text, Parse parse)
{
    try {
        std::size_t used = 0;
        const T value = parse(text, &used);
        if (!text.empty() && used == text.size())
            return value;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

long ParseInteger(const std::string& text, const std::string& option, long low, long high)
{
    const auto value = ParseWhole<long>(
        text, [](const std::string& t, std::size_t* used) { return std::stol(t, used); });
    if (!value || *value < low || *value > high)
        throw UsageError(option + " takes a whole number from " + std::to_string(low) + " to "
                         + std::to_string(high) + ", not '" + text + "'");
    return *value;
}

double ParseNumber(const std::string& text, const std::string& option)
{
    const auto value = ParseWhole<double>(
        text, [](const std::string& t, std::size_t* used) { return std::stod(t, used); });
    if (!value || !std::isfinite(*value))
        throw UsageError(option + " takes a number, not '" + text + "'");
    return *value;
}

std::string SampleDatabase()
{
    // Installed beside the program first, then the build tree's.
    const std::filesystem::path exe = QCoreApplication::applicationDirPath().toStdString();
    std::vector<std::filesystem::path> candidates{exe / "../share/zelstats/sample.db",
                                                  exe / "../examples/sample.db"};
#ifdef ZELSTATS_SAMPLE_DB
    candidates.emplace_back(ZELSTATS_SAMPLE_DB);
#endif
    for (const auto& path : candidates) {
        if (std::filesystem::exists(path))
            return std::filesystem::weakly_canonical(path).string();
    }
    throw std::runtime_error("the bundled sample database was not found; give --db PATH");
}

// The component the options describe: a query for --sql, a table for --table. Commands that
// allow it fall back to the sample's EMPLOYEE.SALARY when neither is given.
std::unique_ptr<TStatComponent> MakeComponent(const Options& options, bool needField,
                                           bool sampleDefault)
{
    const bool useSample = sampleDefault && !options.Has("--table") && !options.Has("--sql")
                           && !options.Has("--field");
    const std::string db = options.Has("--db") ? options.Get("--db") : SampleDatabase();
    if (options.Has("--table") == options.Has("--sql") && !useSample)
        throw UsageError("give exactly one of --table NAME and --sql TEXT");
    if (needField && !options.Has("--field") && !useSample)
        throw UsageError("--field NAME is required");

    std::unique_ptr<TStatComponent> component;
    if (options.Has("--sql")) {
        auto query = std::make_unique<TRivuReviQuery>();
        query->SetName("zelstatQuery");
        query->SetDatabaseName(db);
        std::vector<std::string> lines;
        std::istringstream text(options.Get("--sql"));
        for (std::string line; std::getline(text, line);)
            lines.push_back(line);
        query->SetSQL(lines);
        component = std::move(query);
    } else {
        auto table = std::make_unique<TRivuReviTable>();
        table->SetName("zelstatTable");
        table->SetDatabaseName(db);
        table->SetTableName(useSample ? "EMPLOYEE" : options.Get("--table"));
        component = std::move(table);
    }
    component->SetStatFieldName(useSample ? "SALARY" : options.Get("--field"));
    if (options.Has("--scale"))
        component->SetdsScaleFactor(ParseNumber(options.Get("--scale"), "--scale"));
    if (options.Has("--classes"))
        component->SetdsFreqClasses(
            static_cast<std::uint16_t>(ParseInteger(options.Get("--classes"), "--classes", 0, 65535)));
    const std::string progress = options.Get("--progress", "never");
    if (progress == "prompt")
        component->SetShowCalcProgress(TBoolPlus::Prompt);
    else if (progress == "always")
        component->SetShowCalcProgress(TBoolPlus::Always);
    else if (progress == "never")
        component->SetShowCalcProgress(TBoolPlus::Never);
    else
        throw UsageError("--progress takes prompt, always or never, not '" + progress + "'");
    component->DataSet().Open();
    if (!component->DataSet().Active())
        throw std::runtime_error("nothing to open: the table name or SQL text is empty");
    return component;
}

// Messages the component shows go to standard error; a question is answered No.
void InstallConsoleAnswers()
{
    SetMessageHandler([](const MessageRequest& request) {
        static const char* const kinds[] = {"warning", "error", "information", "question"};
        std::string text = request.text;
        std::erase(text, '\r');
        std::cerr << "zelstat: " << kinds[static_cast<int>(request.type)] << ": " << text
                  << (request.buttons & mbYes ? " [answered No]" : "") << "\n";
        return (request.buttons & mbYes) ? TModalResult::mrNo : TModalResult::mrOk;
    });
    SetModalHandler([](QDialog&) { return int(QDialog::Rejected); });
}

// A text progress bar on standard error, when it is a terminal.
void InstallTextProgress()
{
    if (!isatty(STDERR_FILENO))
        return;
    TZELGaugeDlg::SetProgressListener(
        [](const QString&, const QString& message, int percent) {
            const int width = 30;
            const int filled = std::clamp(percent, 0, 100) * width / 100;
            std::fprintf(stderr, "\r%-40s [%s%s] %3d%%", message.toLocal8Bit().constData(),
                         std::string(filled, '#').c_str(), std::string(width - filled, ' ').c_str(),
                         percent);
            if (percent >= 100)
                std::fputc('\n', stderr);
            std::fflush(stderr);
        });
}

std::string JsonNumber(double value)
{
    if (!std::isfinite(value))
        return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string JsonString(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string ClassesJson(TStatistics& c)
{
    std::string out = "[";
    for (int i = 1; i <= c.FreqClasses(); ++i) {
        out += std::string(i > 1 ? ",\n    " : "\n    ") + "{\"start\": "
               + JsonNumber(c.GetdsClassStart(i)) + ", \"end\": " + JsonNumber(c.GetdsClassEnd(i))
               + ", \"count\": " + std::to_string(c.GetdsClassCount(i))
               + ", \"percent\": " + JsonNumber(c.GetdsClassPercent(i))
               + ", \"cumPercent\": " + JsonNumber(c.GetdsClassCumPercent(i)) + "}";
    }
    return out + (c.FreqClasses() > 0 ? "\n  ]" : "]");
}

int Fields(const Options& options)
{
    auto component = MakeComponent(options, false, false);
    for (const auto& name : component->GetNumericFields())
        std::cout << name << "\n";
    return 0;
}

int Summary(const Options& options)
{
    auto component = MakeComponent(options, true, true);
    TStatistics& c = *component;
    c.Summarize();
    if (!options.Has("--json")) {
        for (const auto& line : SummaryLines(c))
            std::cout << line.text << "\n";
        return 0;
    }
    const std::string sign = c.GetdsSkewSign();
    // With fewer than two values the component never loads, and its total and mean are not
    // computed (it answers 0 for them): they are null here.
    const bool loaded = c.GetdsDataCount() >= 0;
    std::cout << "{\n"
              << "  \"source\": " << JsonString(c.SourceText()) << ",\n"
              << "  \"field\": " << JsonString(c.StatFieldName()) << ",\n"
              << "  \"count\": " << c.GetdsDataCount() << ",\n"
              << "  \"total\": " << (loaded ? JsonNumber(c.GetdsTotal()) : "null") << ",\n"
              << "  \"mean\": " << (loaded ? JsonNumber(c.GetdsMean()) : "null") << ",\n"
              << "  \"minimum\": " << JsonNumber(c.Minimum()) << ",\n"
              << "  \"maximum\": " << JsonNumber(c.Maximum()) << ",\n"
              << "  \"range\": " << JsonNumber(c.GetdsRange()) << ",\n"
              << "  \"median\": " << JsonNumber(c.GetdsMedian()) << ",\n"
              << "  \"mode\": " << JsonNumber(c.GetdsMode()) << ",\n"
              << "  \"modeClassCount\": " << c.GetdsModeClass() << ",\n"
              << "  \"variance\": " << JsonNumber(c.GetdsVariance()) << ",\n"
              << "  \"stdDev\": " << JsonNumber(c.GetdsStdDev()) << ",\n"
              << "  \"coeffVariation\": " << JsonNumber(c.GetdsCoeffVariation()) << ",\n"
              << "  \"mu3\": " << JsonNumber(c.GetdsMu3()) << ",\n"
              << "  \"mu4\": " << JsonNumber(c.GetdsMu4()) << ",\n"
              << "  \"skew\": " << JsonNumber(c.GetdsSkew()) << ",\n"
              << "  \"skewSign\": " << (sign.empty() ? "null" : JsonString(sign)) << ",\n"
              << "  \"kurtosis\": " << JsonNumber(c.GetdsKurtosis()) << ",\n"
              << "  \"freqClasses\": " << c.FreqClasses() << ",\n"
              << "  \"classes\": " << ClassesJson(c) << "\n"
              << "}\n";
    return 0;
}

int Classes(const Options& options)
{
    if (options.Has("--json") && options.Has("--csv"))
        throw UsageError("give at most one of --json and --csv");
    auto component = MakeComponent(options, true, false);
    TStatistics& c = *component;
    c.Summarize();
    if (options.Has("--slot"))
        c.SetClassDataFromCache(static_cast<int>(ParseInteger(options.Get("--slot"), "--slot", 0, 7)));
    if (options.Has("--json")) {
        std::cout << "{\n  \"freqClasses\": " << c.FreqClasses() << ",\n  \"classes\": "
                  << ClassesJson(c) << "\n}\n";
        return 0;
    }
    const auto headings = ClassGridHeadings();
    const bool csv = options.Has("--csv");
    auto print = [csv](const std::array<std::string, 6>& cells) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (csv)
                std::cout << (i ? "," : "") << cells[i];
            else
                std::printf(i == 0 ? "%-6s" : "%14s", cells[i].c_str());
        }
        std::cout << "\n" << std::flush;
    };
    print(headings);
    for (int i = 1; i <= c.FreqClasses(); ++i)
        print(ClassGridRow(c, i));
    return 0;
}

int Report(const Options& options)
{
    auto component = MakeComponent(options, true, true);
    TStatComponent& c = *component;
    const QString out = QString::fromStdString(options.Get("--out", "report"));
    if (!QDir().mkpath(out))
        throw std::runtime_error("cannot create the folder " + out.toStdString());
    auto grabInto = [&out](const char* file) {
        return [path = out + "/" + file](QDialog& window) {
            if (!window.grab().save(path))
                throw std::runtime_error("cannot write " + path.toStdString());
            std::cout << path.toStdString() << "\n";
            return int(QDialog::Accepted);
        };
    };
    ModalHandler previous = SetModalHandler(grabInto("summary.png"));
    c.Output();
    SetModalHandler(grabInto("classes.png"));
    c.FrequencyDisplay();
    SetModalHandler(previous);
    for (const QString& path : RenderPlots(c, out))
        std::cout << path.toStdString() << "\n";
    return 0;
}

int Run(const Options& options)
{
    if (options.command == "fields")
        return Fields(options);
    if (options.command == "summary")
        return Summary(options);
    if (options.command == "classes")
        return Classes(options);
    if (options.command == "report")
        return Report(options);
    if (options.command == "gui")
        return RunDemo(options.Has("--db") ? options.Get("--db") : SampleDatabase(),
                       options.Get("--screenshot"));
    throw UsageError("unknown command '" + options.command + "'");
}

} // namespace

int main(int argc, char** argv)
{
    const bool gui = argc > 1 && std::string(argv[1]) == "gui";
    // Everything but the demo renders without a display.
    if (!gui && std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // Qt wants a private runtime folder and warns on every start without one.
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        const std::string runtime = "/tmp/zelstat-runtime-" + std::to_string(getuid());
        std::error_code error;
        std::filesystem::create_directories(runtime, error);
        std::filesystem::permissions(runtime, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace, error);
        if (!error)
            setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    }
    QApplication app(argc, argv);
    try {
        const Options options = Parse(argc, argv);
        if (options.Has("--help")) {
            std::cout << Usage;
            return 0;
        }
        if (!gui) {
            InstallConsoleAnswers();
            if (options.Get("--progress") == "always")
                InstallTextProgress();
        }
        return Run(options);
    } catch (const UsageError& e) {
        std::cerr << "zelstat: " << e.what() << "\n\n" << Usage;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "zelstat: " << e.what() << "\n";
        return 1;
    }
}
