#include "app/ZelDemo.h"

#include "zelstats/design/Designer.h"
#include "zelstats/design/Zel32reg.h"
#include "zelstats/data/DataSet.h"
#include "zelstats/gui/Dialogs.h"
#include "zelstats/tools/Format.h"
#include "zelstats/components/ZelComponent.h"
#include "zelstats/stats/ZelStats.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QEventLoop>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <cstdio>
#include <exception>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace zel {

namespace {

// Runs one action of the demo. A failure of the data layer (or any other) is shown in a
// message box: nothing may leave a Qt slot by exception, and the demo goes on after it.
template <class Action>
void Guarded(Action&& action) noexcept
{
    try {
        action();
    } catch (const std::exception& e) {
        try {
            MessageDlg(e.what(), TMsgDlgType::mtError, mbOK);
        } catch (...) {
            std::fprintf(stderr, "zelstat: %s\n", e.what());
        }
    } catch (...) {
        std::fprintf(stderr, "zelstat: unknown failure\n");
    }
}

// Lets Qt deliver pending events (showing, painting, window activation) for a while.
void Settle(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

std::vector<std::string> SplitLines(const QString& text)
{
    std::vector<std::string> lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        lines.push_back(line.toStdString());
    while (!lines.empty() && lines.back().find_first_not_of(" \t\r") == std::string::npos)
        lines.pop_back();
    return lines;
}

// The StatFieldName box of the inspector: fills its drop-down from the property editor each
// time it opens, as a designer asks its editor whenever it shows the list.
class FieldNameBox : public QComboBox {
public:
    using QComboBox::QComboBox;
    std::function<void()> beforePopup;

    void showPopup() override
    {
        if (beforePopup)
            beforePopup();
        QComboBox::showPopup();
    }
};

// The demo's main window: the palette, the inspector of the component on the form, and the
// running form with the component's three windows.
class DemoWindow : public QMainWindow {
public:
    explicit DemoWindow(const std::string& sampleDb);

    FieldNameBox& FieldBox() { return *fieldBox_; }
    QPushButton& OutputButton() { return *outputButton_; }
    QPushButton& FrequencyButton() { return *frequencyButton_; }
    QPushButton& ChartButton() { return *chartButton_; }
    // Drops the component of the palette's entry at `index`, as a click on it does.
    void PickFromPalette(int index)
    {
        const auto actions = paletteGroup_->actions();
        if (index >= 0 && index < actions.size())
            actions[index]->trigger();
    }

private:
    QWidget* BuildPalette();
    QWidget* BuildInspector(const std::string& sampleDb);
    // The inspector's rows of the data source, of the statistics, and what their edits do.
    void AddSourceRows(const std::string& sampleDb);
    void AddStatisticsRows();
    void ConnectInspector();
    QWidget* BuildForm();

    // Replaces the component on the form by a new one of the class, as dropping it from the
    // palette does. StatFieldName carries over; the other properties start at their defaults.
    void DropComponent(const TComponentClass& cls);
    TStatistics& Stats() { return *dynamic_cast<TStatistics*>(component_.get()); }
    TStatComponent& Windows() { return *dynamic_cast<TStatComponent*>(component_.get()); }
    TDataSet& Source() { return *dynamic_cast<TDataSet*>(component_.get()); }

    // Writes the inspector's data settings into the component when they differ from its own.
    // The dataset closes first, as its settings cannot change while it is open.
    void SyncSource();
    void FillFieldList();
    void CommitFieldName();
    void CommitScaleBy();
    void SetActive(bool active);
    // Opens the dataset when needed and runs one of the component's window operations.
    void RunWindow(void (TStatComponent::*operation)(), bool needsSummary);
    // Shows the component's properties and state as they are now.
    void RefreshInspector();

    std::unique_ptr<TComponent> component_;
    std::vector<int> dropCounts_;
    // The cached statistics belong to other settings than the ones shown: the class window and
    // the plot window, which compute nothing themselves, need a summary first.
    bool stale_ = true;

    QActionGroup* paletteGroup_ = nullptr;
    QFormLayout* inspector_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLineEdit* databaseEdit_ = nullptr;
    QLineEdit* tableEdit_ = nullptr;
    QPlainTextEdit* sqlEdit_ = nullptr;
    QCheckBox* activeBox_ = nullptr;
    FieldNameBox* fieldBox_ = nullptr;
    QLineEdit* scaleEdit_ = nullptr;
    QSpinBox* classesSpin_ = nullptr;
    QSpinBox* plotCountSpin_ = nullptr;
    QComboBox* progressBox_ = nullptr;
    QLabel* formInfo_ = nullptr;
    QPushButton* outputButton_ = nullptr;
    QPushButton* frequencyButton_ = nullptr;
    QPushButton* chartButton_ = nullptr;
};

DemoWindow::DemoWindow(const std::string& sampleDb)
{
    setWindowTitle(QStringLiteral("ZelStats \u2014 statistics components"));
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(BuildPalette());
    auto* body = new QHBoxLayout;
    body->addWidget(BuildInspector(sampleDb), 3);
    body->addWidget(BuildForm(), 2);
    layout->addLayout(body, 1);
    setCentralWidget(central);
    statusBar()->showMessage(
        QStringLiteral("Pick StatFieldName from its drop-down, then open a window of the form."));

    const auto classes = PaletteClasses(StatisticsPalettePage);
    dropCounts_.assign(classes.size(), 0);
    if (!classes.empty()) {
        fieldBox_->setEditText(QStringLiteral("SALARY"));
        paletteGroup_->actions().front()->setChecked(true);
        DropComponent(classes.front());
    }
    resize(760, 460);
}

QWidget* DemoWindow::BuildPalette()
{
    auto* tabs = new QTabWidget;
    tabs->setDocumentMode(true);
    auto* bar = new QToolBar;
    bar->setObjectName(QStringLiteral("PaletteBar"));
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    paletteGroup_ = new QActionGroup(bar);
    const auto classes = PaletteClasses(StatisticsPalettePage);
    for (std::size_t i = 0; i < classes.size(); ++i) {
        const TComponentClass cls = classes[i];
        const bool isTable = cls == RivuReviTableClass();
        QAction* action = bar->addAction(
            style()->standardIcon(isTable ? QStyle::SP_FileDialogDetailedView
                                          : QStyle::SP_FileDialogContentsView),
            QString::fromStdString(cls.Name()));
        action->setCheckable(true);
        action->setToolTip(isTable ? QStringLiteral("A statistics component over one table")
                                   : QStringLiteral("A statistics component over a query"));
        paletteGroup_->addAction(action);
        connect(action, &QAction::triggered, this, [this, cls] { DropComponent(cls); });
    }
    tabs->addTab(bar, QString::fromUtf8(StatisticsPalettePage));
    tabs->setMaximumHeight(tabs->sizeHint().height());
    return tabs;
}

QWidget* DemoWindow::BuildInspector(const std::string& sampleDb)
{
    auto* box = new QGroupBox(QStringLiteral("Object Inspector"));
    auto* column = new QVBoxLayout(box);
    inspector_ = new QFormLayout;
    column->addLayout(inspector_);
    column->addStretch(1);
    inspector_->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    AddSourceRows(sampleDb);
    AddStatisticsRows();
    ConnectInspector();
    return box;
}

void DemoWindow::AddSourceRows(const std::string& sampleDb)
{
    nameLabel_ = new QLabel;
    inspector_->addRow(QStringLiteral("Name"), nameLabel_);

    databaseEdit_ = new QLineEdit(QString::fromStdString(sampleDb));
    databaseEdit_->setObjectName(QStringLiteral("DatabaseName"));
    databaseEdit_->setPlaceholderText(QStringLiteral("database file or postgresql:// URI"));
    databaseEdit_->setToolTip(QStringLiteral("A database file or a postgresql:// URI"));
    inspector_->addRow(QStringLiteral("DatabaseName"), databaseEdit_);

    tableEdit_ = new QLineEdit(QStringLiteral("EMPLOYEE"));
    tableEdit_->setObjectName(QStringLiteral("TableName"));
    inspector_->addRow(QStringLiteral("TableName"), tableEdit_);

    sqlEdit_ = new QPlainTextEdit(QStringLiteral("SELECT * FROM EMPLOYEE"));
    sqlEdit_->setObjectName(QStringLiteral("SQL"));
    sqlEdit_->setFixedHeight(sqlEdit_->fontMetrics().lineSpacing() * 4);
    inspector_->addRow(QStringLiteral("SQL"), sqlEdit_);

    activeBox_ = new QCheckBox;
    activeBox_->setObjectName(QStringLiteral("Active"));
    inspector_->addRow(QStringLiteral("Active"), activeBox_);
}

void DemoWindow::AddStatisticsRows()
{
    fieldBox_ = new FieldNameBox;
    fieldBox_->setObjectName(QStringLiteral("StatFieldName"));
    fieldBox_->setEditable(true);
    fieldBox_->setInsertPolicy(QComboBox::NoInsert);
    fieldBox_->setToolTip(QStringLiteral("The numeric fields of the component's data"));
    inspector_->addRow(QStringLiteral("StatFieldName"), fieldBox_);

    scaleEdit_ = new QLineEdit;
    scaleEdit_->setObjectName(QStringLiteral("ScaleBy"));
    inspector_->addRow(QStringLiteral("ScaleBy"), scaleEdit_);

    classesSpin_ = new QSpinBox;
    classesSpin_->setObjectName(QStringLiteral("FreqClasses"));
    classesSpin_->setRange(0, 65535);
    classesSpin_->setKeyboardTracking(false);
    inspector_->addRow(QStringLiteral("FreqClasses"), classesSpin_);

    plotCountSpin_ = new QSpinBox;
    plotCountSpin_->setObjectName(QStringLiteral("RecordPlotCount"));
    plotCountSpin_->setRange(0, 65535);
    plotCountSpin_->setKeyboardTracking(false);
    inspector_->addRow(QStringLiteral("RecordPlotCount"), plotCountSpin_);

    progressBox_ = new QComboBox;
    progressBox_->setObjectName(QStringLiteral("ShowCalcProgress"));
    progressBox_->addItems({QStringLiteral("Prompt"), QStringLiteral("Always"),
                            QStringLiteral("Never")});
    inspector_->addRow(QStringLiteral("ShowCalcProgress"), progressBox_);
}

void DemoWindow::ConnectInspector()
{
    auto sync = [this] {
        Guarded([this] { SyncSource(); });
        RefreshInspector();
    };
    connect(databaseEdit_, &QLineEdit::editingFinished, this, sync);
    connect(tableEdit_, &QLineEdit::editingFinished, this, sync);
    connect(activeBox_, &QCheckBox::clicked, this, [this](bool on) { SetActive(on); });
    fieldBox_->beforePopup = [this] { FillFieldList(); };
    connect(fieldBox_, &QComboBox::activated, this, [this] { CommitFieldName(); });
    connect(fieldBox_->lineEdit(), &QLineEdit::editingFinished, this,
            [this] { CommitFieldName(); });
    connect(scaleEdit_, &QLineEdit::editingFinished, this, [this] { CommitScaleBy(); });
    connect(classesSpin_, &QSpinBox::valueChanged, this, [this](int value) {
        Guarded([&] { Stats().SetdsFreqClasses(static_cast<std::uint16_t>(value)); });
        stale_ = true;
        RefreshInspector();
    });
    connect(plotCountSpin_, &QSpinBox::valueChanged, this, [this](int value) {
        Guarded([&] { Stats().SetdsMaxPlotCount(static_cast<std::uint16_t>(value)); });
        RefreshInspector();
    });
    connect(progressBox_, &QComboBox::activated, this, [this](int index) {
        Stats().SetShowCalcProgress(static_cast<TBoolPlus>(index));
        RefreshInspector();
    });
}

QWidget* DemoWindow::BuildForm()
{
    auto* box = new QGroupBox(QStringLiteral("Form1 (running)"));
    auto* layout = new QVBoxLayout(box);
    formInfo_ = new QLabel;
    formInfo_->setObjectName(QStringLiteral("FormInfo"));
    formInfo_->setWordWrap(true);
    formInfo_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    formInfo_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(formInfo_, 1);

    auto makeButton = [&](const char* caption, const char* tip) {
        auto* button = new QPushButton(QString::fromUtf8(caption));
        button->setObjectName(QString::fromUtf8(caption));
        button->setToolTip(QString::fromUtf8(tip));
        button->setMinimumHeight(32);
        layout->addWidget(button);
        return button;
    };
    outputButton_ = makeButton("Output", "Summary of every statistic of the field");
    frequencyButton_ = makeButton("FrequencyDisplay", "Table of the frequency classes");
    chartButton_ = makeButton("SummaryChart", "Plots of the field and its classes");
    connect(outputButton_, &QPushButton::clicked, this,
            [this] { RunWindow(&TStatComponent::Output, false); });
    connect(frequencyButton_, &QPushButton::clicked, this,
            [this] { RunWindow(&TStatComponent::FrequencyDisplay, true); });
    connect(chartButton_, &QPushButton::clicked, this,
            [this] { RunWindow(&TStatComponent::SummaryChart, true); });
    return box;
}

void DemoWindow::DropComponent(const TComponentClass& cls)
{
    const std::string field = fieldBox_->currentText().trimmed().toStdString();
    const auto classes = PaletteClasses(StatisticsPalettePage);
    std::size_t index = 0;
    while (index < classes.size() && !(classes[index] == cls))
        ++index;
    const int number = index < dropCounts_.size() ? ++dropCounts_[index] : 1;

    Guarded([&] {
        component_.reset();
        component_ = cls.Create();
        // The designer's default name: the class name without its T, numbered.
        std::string name = cls.Name();
        if (!name.empty() && name.front() == 'T')
            name.erase(0, 1);
        component_->SetName(name + std::to_string(number));
        Stats().SetStatFieldName(field);
        SyncSource();
    });
    stale_ = true;
    RefreshInspector();
}

void DemoWindow::SyncSource()
{
    const std::string database = databaseEdit_->text().trimmed().toStdString();
    if (auto* table = dynamic_cast<TTable*>(component_.get())) {
        const std::string name = tableEdit_->text().trimmed().toStdString();
        if (table->DatabaseName() != database || table->TableName() != name) {
            table->Close();
            table->SetDatabaseName(database);
            table->SetTableName(name);
            stale_ = true;
        }
    } else if (auto* query = dynamic_cast<TQuery*>(component_.get())) {
        const std::vector<std::string> sql = SplitLines(sqlEdit_->toPlainText());
        if (query->DatabaseName() != database || query->SQL() != sql) {
            query->Close();
            query->SetDatabaseName(database);
            query->SetSQL(sql);
            stale_ = true;
        }
    }
}

void DemoWindow::FillFieldList()
{
    const QString current = fieldBox_->currentText();
    fieldBox_->clear();
    Guarded([this] {
        SyncSource();
        // The designer creates the property's editor whenever it shows the property.
        auto editor = CreatePropertyEditor({component_.get()}, StatFieldNameProperty());
        if (editor == nullptr)
            return;
        for (const std::string& name : ValueList(*editor))
            fieldBox_->addItem(QString::fromStdString(name));
    });
    const int found = fieldBox_->findText(current, Qt::MatchFixedString);
    if (found >= 0)
        fieldBox_->setCurrentIndex(found);
    else
        fieldBox_->setEditText(current);
    RefreshInspector();
}

void DemoWindow::CommitFieldName()
{
    const std::string value = fieldBox_->currentText().trimmed().toStdString();
    Guarded([&] {
        auto editor = CreatePropertyEditor({component_.get()}, StatFieldNameProperty());
        if (editor != nullptr && editor->GetValue() != value) {
            editor->SetValue(value);
            stale_ = true;
        }
    });
    RefreshInspector();
}

void DemoWindow::CommitScaleBy()
{
    const QString text = scaleEdit_->text().trimmed();
    Guarded([&] {
        bool ok = false;
        const double value = text.toDouble(&ok);
        if (!ok) {
            MessageDlg("'" + text.toStdString() + "' is not a number; ScaleBy keeps "
                           + FloatToStr(Stats().ScaleBy()) + ".",
                       TMsgDlgType::mtError, mbOK);
            return;
        }
        if (value != Stats().ScaleBy()) {
            Stats().SetdsScaleFactor(value);
            stale_ = true;
        }
    });
    RefreshInspector();
}

void DemoWindow::SetActive(bool active)
{
    Guarded([&] {
        SyncSource();
        if (active) {
            Source().Open();
            if (!Source().Active())
                MessageDlg("There is nothing to open: give the component a "
                               + std::string(dynamic_cast<TTable*>(component_.get())
                                                 ? "TableName."
                                                 : "SQL text."),
                           TMsgDlgType::mtWarning, mbOK);
        } else {
            Source().Close();
        }
    });
    RefreshInspector();
}

void DemoWindow::RunWindow(void (TStatComponent::*operation)(), bool needsSummary)
{
    CommitFieldName();
    Guarded([&] {
        SyncSource();
        // The statistics walk an open dataset; a running form opens it first.
        if (!Source().Active())
            Source().Open();
        if (!Source().Active()) {
            MessageDlg("There is nothing to open: give the component a "
                           + std::string(dynamic_cast<TTable*>(component_.get()) ? "TableName."
                                                                                 : "SQL text."),
                       TMsgDlgType::mtWarning, mbOK);
            return;
        }
        if (needsSummary && stale_)
            Stats().Summarize();
        stale_ = false;
        (Windows().*operation)();
    });
    RefreshInspector();
}

void DemoWindow::RefreshInspector()
{
    if (component_ == nullptr)
        return;
    TStatistics& stats = Stats();
    TDataSet& source = Source();
    const bool isTable = dynamic_cast<TTable*>(component_.get()) != nullptr;

    nameLabel_->setText(QString::fromStdString(component_->Name()));
    inspector_->setRowVisible(tableEdit_, isTable);
    inspector_->setRowVisible(sqlEdit_, !isTable);
    activeBox_->setChecked(source.Active());
    if (!fieldBox_->lineEdit()->hasFocus())
        fieldBox_->setEditText(QString::fromStdString(stats.StatFieldName()));
    scaleEdit_->setText(QString::fromStdString(FloatToStr(stats.ScaleBy())));
    const QSignalBlocker blockClasses(classesSpin_);
    classesSpin_->setValue(stats.FreqClasses());
    const QSignalBlocker blockPlotCount(plotCountSpin_);
    plotCountSpin_->setValue(stats.RecordPlotCount());
    progressBox_->setCurrentIndex(static_cast<int>(stats.ShowCalcProgress()));

    QString info = QStringLiteral("<b>%1</b> (%2)<br>%3<br>")
                       .arg(QString::fromStdString(component_->Name()).toHtmlEscaped(),
                            isTable ? QStringLiteral("TRivuReviTable")
                                    : QStringLiteral("TRivuReviQuery"),
                            QString::fromStdString(source.SourceDescription()).toHtmlEscaped());
    if (source.Active()) {
        QString records = QStringLiteral("?");
        Guarded([&] { records = QString::number(source.RecordCount()); });
        info += QStringLiteral("Open, %1 records").arg(records);
    } else {
        info += QStringLiteral("Closed; the buttons open it");
    }
    info += QStringLiteral("<br>Field: %1")
                .arg(stats.StatFieldName().empty()
                         ? QStringLiteral("<i>none chosen</i>")
                         : QString::fromStdString(stats.StatFieldName()).toHtmlEscaped());
    formInfo_->setText(info);
}

// Restores the message and modal handlers it replaced when the unattended run ends.
class HandlerScope {
public:
    HandlerScope(MessageHandler messages, ModalHandler modals)
        : messages_(SetMessageHandler(std::move(messages))),
          modals_(SetModalHandler(std::move(modals)))
    {
    }
    ~HandlerScope()
    {
        SetMessageHandler(std::move(messages_));
        SetModalHandler(std::move(modals_));
    }
    HandlerScope(const HandlerScope&) = delete;
    HandlerScope& operator=(const HandlerScope&) = delete;

private:
    MessageHandler messages_;
    ModalHandler modals_;
};

// The file a window of the package is saved to in the unattended run.
QString PictureName(const QDialog& dialog)
{
    const QString cls = QString::fromUtf8(dialog.metaObject()->className());
    if (cls.endsWith(QStringLiteral("TOutputForm")))
        return QStringLiteral("output.png");
    if (cls.endsWith(QStringLiteral("TClassDisplayForm")))
        return QStringLiteral("frequency.png");
    if (cls.endsWith(QStringLiteral("TRivuReviPlotForm")))
        return QStringLiteral("chart.png");
    QString name = cls.section(QStringLiteral("::"), -1).toLower();
    return name + QStringLiteral(".png");
}

// The folder the screenshot mode writes its pictures to, and which it could not write.
class PictureFolder {
public:
    explicit PictureFolder(const QString& dir) : dir_(dir) { QDir().mkpath(dir); }

    void Save(const QPixmap& picture, const QString& name)
    {
        if (!picture.isNull() && picture.save(dir_.filePath(name)))
            saved_ << name;
        else
            missing_ << name;
    }

    // Names on standard error every picture that is missing, the expected ones included;
    // true when none is.
    bool Complete(std::initializer_list<const char*> expected)
    {
        for (const char* name : expected)
            if (!saved_.contains(QString::fromUtf8(name)))
                missing_ << QString::fromUtf8(name);
        for (const QString& name : missing_)
            std::fprintf(stderr, "zelstat: no picture %s\n", qPrintable(name));
        return missing_.isEmpty();
    }

private:
    QDir dir_;
    QStringList saved_, missing_;
};

// The screenshot mode's answer to a message: a line on standard error, a question answered No.
TModalResult PrintDemoMessage(const MessageRequest& request)
{
    std::string text = request.text;
    std::erase(text, '\r');
    std::fprintf(stderr, "zelstat: message: %s\n", text.c_str());
    return (request.buttons & mbYes) ? TModalResult::mrNo : TModalResult::mrOk;
}

// A window of the component as it opens, pictured and closed; the plot window once more with
// its histogram.
int PictureDialog(QDialog& dialog, PictureFolder& pictures)
{
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    Settle(400);
    const QString name = PictureName(dialog);
    pictures.Save(dialog.grab(), name);
    if (name == QStringLiteral("chart.png")) {
        // The plot window opens empty; its histogram shows what it draws: the
        // histogram button chooses the plot and opens its menu, whose plot item draws.
        if (auto* button = dialog.findChild<QAbstractButton*>(QStringLiteral("sbtnHistogram")))
            button->click();
        Settle(200);
        if (auto* plot = dialog.findChild<QAction*>(QStringLiteral("PlotHistogram1")))
            plot->trigger();
        while (QWidget* popup = QApplication::activePopupWidget())
            popup->close();
        Settle(300);
        pictures.Save(dialog.grab(), QStringLiteral("chart-histogram.png"));
    }
    dialog.hide();
    return int(QDialog::Accepted);
}

// The StatFieldName drop-down, drawn over the window where it opens.
void PictureWithFieldList(DemoWindow& window, PictureFolder& pictures, const QString& name)
{
    window.FieldBox().showPopup();
    Settle(300);
    QPixmap withList = window.grab();
    if (QWidget* popup = window.FieldBox().view()->window(); popup->isVisible()) {
        QPainter painter(&withList);
        painter.drawPixmap(popup->mapToGlobal(QPoint(0, 0)) - window.mapToGlobal(QPoint(0, 0)),
                           popup->grab());
    }
    window.FieldBox().hidePopup();
    pictures.Save(withList, name);
}

int TakeScreenshots(DemoWindow& window, const QString& dir)
{
    PictureFolder pictures(dir);
    HandlerScope scope(PrintDemoMessage,
                       [&](QDialog& dialog) { return PictureDialog(dialog, pictures); });

    Settle(500);
    pictures.Save(window.grab(), QStringLiteral("demo.png"));
    PictureWithFieldList(window, pictures, QStringLiteral("statfieldname.png"));

    window.OutputButton().click();
    window.FrequencyButton().click();
    window.ChartButton().click();

    // The query kind from the palette, with the fields of its result.
    window.PickFromPalette(1);
    PictureWithFieldList(window, pictures, QStringLiteral("query.png"));
    return pictures.Complete({"output.png", "frequency.png", "chart.png"}) ? 0 : 1;
}

} // namespace

int RunDemo(const std::string& sampleDb, const std::string& screenshotDir)
{
    std::unique_ptr<QApplication> ownApplication;
    if (QApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "zelstat";
        static char* argv[] = {name, nullptr};
        ownApplication = std::make_unique<QApplication>(argc, argv);
    }
    Register();

    DemoWindow window(sampleDb);
    window.show();
    if (screenshotDir.empty())
        return QApplication::exec();
    return TakeScreenshots(window, QString::fromStdString(screenshotDir));
}

} // namespace zel
