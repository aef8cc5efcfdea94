// A component's life against the application's, each scenario in a process of its own, as the
// order of statics and of the application's end is the point: a component made before the
// QApplication, one that outlives it, and one that never has one. Exits 0 when all went well;
// a crash, an abort or a sanitizer report fails the test.
#include "zelstats/components/ZelTable.h"
#include "zelstats/gui/Dialogs.h"

#include <QApplication>
#include <QDialog>

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

using namespace zel;

std::unique_ptr<TRivuReviTable> Sample()
{
    auto table = std::make_unique<TRivuReviTable>();
    table->SetDatabaseName(ZELSTATS_SAMPLE_DB);
    table->SetTableName("EMPLOYEE");
    table->SetStatFieldName("SALARY");
    table->SetShowCalcProgress(TBoolPlus::Always);
    table->Open();
    return table;
}

// Every window of the component, each closed as soon as it opens.
void OpenWindows(TRivuReviTable& table)
{
    SetModalHandler([](QDialog&) { return int(QDialog::Accepted); });
    table.Output();
    table.FrequencyDisplay();
    table.SummaryChart();
    SetModalHandler({});
}

// Outlives the application: destroyed with the statics, after main returns.
std::unique_ptr<TRivuReviTable> survivor;

} // namespace

int main(int argc, char** argv)
{
    const char* scenario = argc > 1 ? argv[1] : "";
    if (std::strcmp(scenario, "outlives-application") == 0) {
        QApplication app(argc, argv);
        survivor = Sample();
        OpenWindows(*survivor);
        return 0;
    }
    if (std::strcmp(scenario, "made-before-application") == 0) {
        auto table = Sample();
        {
            QApplication app(argc, argv);
            OpenWindows(*table);
        }
        // A second application gets windows of its own.
        QApplication again(argc, argv);
        OpenWindows(*table);
        return 0;
    }
    if (std::strcmp(scenario, "without-application") == 0) {
        auto table = Sample();
        table->Summarize();
        if (table->GetdsDataCount() <= 0)
            return 1;
        try {
            table->Output();
            return 1;
        } catch (const std::logic_error&) {
            return 0; // no window without an application, and no abort either
        }
    }
    std::fprintf(stderr, "unknown scenario '%s'\n", scenario);
    return 2;
}
