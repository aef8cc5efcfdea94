// A form with a statistics component: the salaries of the sample database, summarised in one
// window, with buttons for the class table and the plots, and a summary in the background with
// a progress bar and a Cancel button of the form's own; and the salaries of one department, a
// query whose department number is bound as a parameter.
//
//     salaries [DATABASE]    a database file or a postgresql:// URI with a table EMPLOYEE
#include <zelstats/data/DataSet.h>
#include <zelstats/gui/Dialogs.h>
#include <zelstats/components/ZelQuery.h>
#include <zelstats/components/ZelTable.h>

#include <QApplication>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <QWidget>

#include <exception>
#include <string>
#include <vector>

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

// A row that summarises off the window thread: the form keeps answering meanwhile, the bar
// shows each walk's progress and message, and Cancel stops the walk. Until the summary ends the
// component is left alone, so the buttons that use it are disabled.
void AddBackgroundSummary(QWidget& form, QVBoxLayout& layout, zel::TRivuReviTable& salaries,
                          const std::vector<QPushButton*>& users)
{
    auto* row = new QHBoxLayout;
    auto* start = new QPushButton("Summarize in the background", &form);
    auto* cancel = new QPushButton("Cancel", &form);
    auto* bar = new QProgressBar(&form);
    auto* result = new QLabel(&form);
    bar->setFormat("%p%");
    cancel->setEnabled(false);
    row->addWidget(start);
    row->addWidget(bar, 1);
    row->addWidget(cancel);
    layout.addLayout(row);
    layout.addWidget(result);

    auto* watcher = new QFutureWatcher<void>(&form);
    const auto busy = [=](bool running) {
        start->setEnabled(!running);
        cancel->setEnabled(running);
        for (QPushButton* button : users)
            button->setEnabled(!running);
    };
    QObject::connect(watcher, &QFutureWatcher<void>::progressRangeChanged, bar, &QProgressBar::setRange);
    QObject::connect(watcher, &QFutureWatcher<void>::progressValueChanged, bar, &QProgressBar::setValue);
    QObject::connect(watcher, &QFutureWatcher<void>::progressTextChanged, result, &QLabel::setText);
    QObject::connect(cancel, &QPushButton::clicked, watcher, &QFutureWatcher<void>::cancel);
    QObject::connect(watcher, &QFutureWatcher<void>::finished, [=, &salaries] {
        busy(false);
        if (watcher->isCanceled()) {
            result->setText("Cancelled: the results of the last summary are kept.");
            return;
        }
        try {
            watcher->waitForFinished(); // finished already: rethrows a failure
            bar->setValue(bar->maximum());
            result->setText(QString("Mean salary %1 over %2 employees")
                                .arg(salaries.GetdsMean(), 0, 'f', 2)
                                .arg(salaries.GetdsDataCount()));
        } catch (const std::exception& e) {
            result->setText(QString("Failed: %1").arg(e.what()));
        }
    });
    QObject::connect(start, &QPushButton::clicked, [=, &salaries] {
        busy(true);
        bar->setValue(0);
        watcher->setFuture(salaries.SummarizeAsync());
    });
}

// A row that summarises the salaries of the department chosen in a spin box: the number is
// bound to the query's parameter :dept, never pasted into its text.
void AddDepartmentSummary(QWidget& form, QVBoxLayout& layout, zel::TRivuReviQuery& department)
{
    auto* row = new QHBoxLayout;
    auto* number = new QSpinBox(&form);
    auto* show = new QPushButton("Summary of department", &form);
    number->setRange(0, 999);
    number->setValue(100);
    row->addWidget(show, 1);
    row->addWidget(number);
    layout.addLayout(row);
    QObject::connect(show, &QPushButton::clicked, [number, &department] {
        Run([&] {
            department.Close();
            department.SetParam("dept", number->value());
            department.Open();
            department.Output();
        });
    });
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
    AddBackgroundSummary(form, *layout, salaries, {output, classes, chart});

    zel::TRivuReviQuery department;
    department.SetName("Department");
    department.SetDatabaseName(database);
    department.SetSQL({"SELECT SALARY FROM EMPLOYEE WHERE DEPT_NO = :dept"});
    department.SetStatFieldName("SALARY");
    AddDepartmentSummary(form, *layout, department);

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
