// A form with a statistics component: the salaries of the sample database, summarised in one
// window, with buttons for the class table and the plots.
//
//     salaries [DATABASE]    a database file or a postgresql:// URI with a table EMPLOYEE
#include <zelstats/data/DataSet.h>
#include <zelstats/gui/Dialogs.h>
#include <zelstats/components/ZelTable.h>

#include <QApplication>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include <exception>
#include <string>

namespace {

// Shows a failure of the data layer instead of letting it leave a Qt slot.
template <class Action>
void Run(Action action)
{
    try {
        action();
    } catch (const std::exception& e) {
        zel::MessageDlg(e.what(), zel::TMsgDlgType::mtError, zel::mbOK);
    }
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const std::string database = argc > 1 ? argv[1] : ZELSTATS_SAMPLE_DB;

    // The form, and the statistics component on it.
    QWidget form;
    form.setWindowTitle("Salaries");
    zel::TRivuReviTable salaries;
    salaries.SetName("Salaries");
    salaries.SetDatabaseName(database);
    salaries.SetTableName("EMPLOYEE");
    salaries.SetStatFieldName("SALARY");

    auto* layout = new QVBoxLayout(&form);
    auto* output = new QPushButton("Summary", &form);
    auto* classes = new QPushButton("Frequency classes", &form);
    auto* chart = new QPushButton("Plot", &form);
    layout->addWidget(output);
    layout->addWidget(classes);
    layout->addWidget(chart);

    // The statistics walk an open dataset; Output summarises before it shows the window, the
    // other two show what the last summary left.
    QObject::connect(output, &QPushButton::clicked, [&] {
        Run([&] {
            salaries.Open();
            salaries.Output();
        });
    });
    QObject::connect(classes, &QPushButton::clicked, [&] {
        Run([&] {
            salaries.Open();
            salaries.Summarize();
            salaries.FrequencyDisplay();
        });
    });
    QObject::connect(chart, &QPushButton::clicked, [&] {
        Run([&] {
            salaries.Open();
            salaries.Summarize();
            salaries.SummaryChart();
        });
    });

    form.show();
    Run([&] {
        salaries.Open();
        salaries.Output();
    });
    return app.exec();
}
