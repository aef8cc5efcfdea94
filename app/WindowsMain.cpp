// zelstat-windows: the part of zelstat that shows or draws windows (gui, report and
// describe --png). zelstat runs it for those commands; it runs the others as zelstat does.
#include "app/Commands.h"
#include "app/ZelDemo.h"
#include "zelstats/components/ZelQuery.h"
#include "zelstats/components/ZelTable.h"
#include "zelstats/gui/Dialogs.h"
#include "zelstats/gui/ImageFile.h"
#include "zelstats/plot/BoxPlot.h"
#include "zelstats/plot/ZelPlot.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QGuiApplication>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <unistd.h>

namespace {

using namespace zel;
using namespace zel::cli;

// Qt wants a private runtime folder for a GUI application and warns on every start without.
void ProvideRuntimeFolder()
{
    if (std::getenv("XDG_RUNTIME_DIR") != nullptr)
        return;
    const std::string runtime = "/tmp/zelstat-runtime-" + std::to_string(getuid());
    std::error_code error;
    std::filesystem::create_directories(runtime, error);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, error);
    if (!error)
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

bool Set(const char* variable)
{
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

// The demo needs a display. Qt ends the process when it finds none, so it is checked first;
// a platform chosen explicitly (offscreen for screenshots, say) is trusted.
void CheckDisplay()
{
    const std::string platform = Set("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    const bool x11 = platform.empty() || platform.starts_with("xcb");
    const bool wayland = platform.starts_with("wayland");
    if ((x11 && !Set("DISPLAY") && !(platform.empty() && Set("WAYLAND_DISPLAY")))
        || (wayland && !Set("WAYLAND_DISPLAY")))
        throw std::runtime_error("gui needs a display: set DISPLAY or use xvfb-run");
}

QtMessageHandler qtMessages = nullptr; // Qt's own handler

void DropQtWarnings(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if ((type == QtCriticalMsg || type == QtFatalMsg) && qtMessages != nullptr)
        qtMessages(type, context, text);
}

int Report(const Options& options)
{
    // The component kinds, so that the statistics come with their windows.
    TStatComponent* windows = nullptr;
    const StatisticsKinds kinds{[&windows]() -> std::unique_ptr<TQueryStatistics> {
                                    auto query = std::make_unique<TRivuReviQuery>();
                                    windows = query.get();
                                    return query;
                                },
                                [&windows]() -> std::unique_ptr<TTableStatistics> {
                                    auto table = std::make_unique<TRivuReviTable>();
                                    windows = table.get();
                                    return table;
                                }};
    const std::unique_ptr<TStatistics> component = MakeStatistics(options, true, true, kinds);
    TStatistics& c = *component;
    // The report shows no progress: it renders what a person would see, without a person.
    c.SetWalkObserver(nullptr);
    const TDataSet::TSnapshot snapshot(c.DataSet());
    const QString out = QString::fromStdString(options.Get("--out", "report"));
    CheckPictureFolder(out.toStdString(), {"summary.png", "classes.png", "inputorder.png",
                                           "histogram.png", "cumhistogram.png", "polygon.png"});
    if (!QDir().mkpath(out))
        throw std::runtime_error("cannot create the folder " + out.toStdString());
    auto grabInto = [&out](const char* file) {
        return [path = out + "/" + file](QDialog& window) {
            SavePngFile(window.grab().toImage(), path);
            std::cout << path.toStdString() << "\n";
            return int(QDialog::Accepted);
        };
    };
    ModalHandler previous = SetModalHandler(grabInto("summary.png"));
    windows->Output();
    SetModalHandler(grabInto("classes.png"));
    windows->FrequencyDisplay();
    SetModalHandler(previous);
    for (const QString& path : RenderPlots(c, out))
        std::cout << path.toStdString() << "\n";
    return 0;
}

int RunWindowCommand(int argc, char** argv, const Options& options)
{
    if (options.command == "gui") {
        CheckDisplay();
        const std::string db = options.Has("--db") ? options.Get("--db") : SampleDatabase();
        ProvideRuntimeFolder();
        QApplication app(argc, argv);
        return RunDemo(db, options.Get("--screenshot"));
    }
    InstallConsoleAnswers();
    // Qt's own complaints (a painter without memory for its picture, say) would come before
    // the one line that says what failed.
    qtMessages = qInstallMessageHandler(DropQtWarnings);
    SetModalHandler([](QDialog&) { return int(QDialog::Rejected); });
    CancelStatementsOnSignals();
    // Both render offscreen whatever the environment says.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ProvideRuntimeFolder();
    if (options.command == "report") {
        QApplication app(argc, argv);
        return Report(options);
    }
    // The picture is drawn after the walk, which needs no application.
    return DescribeFields(options, [argc, argv](const std::vector<TDescribeRow>& rows,
                                                const std::string& path) mutable {
        QGuiApplication app(argc, argv);
        if (path == "-")
            WritePngToStandardOutput(BoxPlotImage(rows));
        else
            SavePngFile(BoxPlotImage(rows), QString::fromStdString(path));
    });
}

} // namespace

int main(int argc, char** argv) { return RunZelstat(argc, argv, RunWindowCommand); }
