// The commands of zelstat that compute and print: fields, summary, classes and describe. They
// need no window and no display, and link the statistics core alone, so that the program
// starts without loading Qt's GUI. What shows or draws windows (gui, report, describe --png)
// is the window part's: the program hands it those commands.
#pragma once

#include "app/CommandLine.h"
#include "zelstats/stats/Describe.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zel {
class TStatistics;
class TQueryStatistics;
class TTableStatistics;
} // namespace zel

namespace zel::cli {

extern const char* const Usage;

// The bundled sample database: installed beside the program, or the build tree's.
std::string SampleDatabase();

// The kinds of statistics a command makes for --sql and for --table: plain ones here; the
// window part makes the component kinds, which add the windows.
struct StatisticsKinds {
    std::function<std::unique_ptr<TQueryStatistics>()> query;
    std::function<std::unique_ptr<TTableStatistics>()> table;
};

// The statistics the options describe, their dataset open: a query for --sql, a table for
// --table. Commands that allow it fall back to the sample's EMPLOYEE.SALARY when neither is
// given. The analysed field must be a numeric field of the data source, also when it holds no
// record.
std::unique_ptr<TStatistics> MakeStatistics(const Options& options, bool needField,
                                            bool sampleDefault, const StatisticsKinds& kinds);

// Writes the describe rows as a picture into the file at `path`, or to standard output for "-".
using DescribePicture =
    std::function<void(const std::vector<TDescribeRow>& rows, const std::string& path)>;

// A box plot draws at most this many boxes (rows); standard error names those left out.
inline constexpr std::size_t MaxBoxPlots = 200;

// Describes the fields; with --png, draws them through `picture` before anything is printed.
// `--png -` sends the picture to standard output (never a terminal) and prints nothing else.
int DescribeFields(const Options& options, const DescribePicture& picture);

// Messages go to standard error, one line each, and a question is answered No; an error
// message makes the command fail once it is done.
void InstallConsoleAnswers();

// Ctrl-C and SIGTERM first ask the database servers to stop the statements they run for the
// program (CancelAllStatements, from a thread of its own), then end it as they would.
void CancelStatementsOnSignals();

// The commands that need windows: gui, report and describe with --png. `argc` and `argv` are
// the program's own, for a Qt application.
using WindowCommands = std::function<int(int argc, char** argv, const Options& options)>;

// The whole program: parses the command line, runs the command (handing window commands to
// `windows`), checks standard output and returns the exit status (2 for a usage mistake, 1
// for a failure).
int RunZelstat(int argc, char** argv, const WindowCommands& windows);

} // namespace zel::cli
