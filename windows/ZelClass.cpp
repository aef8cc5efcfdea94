#include "zelstats/windows/ZelClass.h"

#include "zelstats/gui/Dialogs.h"
#include "zelstats/data/DataSet.h"
#include "zelstats/tools/Format.h"
#include "zelstats/data/Guards.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/tools/ZelTools.h"
#include "zelstats/stats/ResultText.h"
#include "zelstats/windows/Zeloutpt.h"

#include "ui_ZelClass.h"

#include <QAction>
#include <QClipboard>
#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QSaveFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QResizeEvent>
#include <QSignalBlocker>

#include <array>
#include <cmath>
#include <exception>
#include <set>
#include <stdexcept>

namespace zel {

namespace {

constexpr std::array<int, 6> ColumnWidths{35, 71, 71, 57, 70, 85};
constexpr int RowHeight = 20;

// The class window's icon: three histogram bars on a base line.
QIcon ClassIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QColor(0, 0, 0));
    p.setBrush(QColor(0, 128, 128));
    p.drawRect(4, 16, 7, 13);
    p.setBrush(QColor(128, 0, 0));
    p.drawRect(12, 5, 7, 24);
    p.setBrush(QColor(0, 0, 128));
    p.drawRect(20, 11, 7, 18);
    p.drawLine(1, 29, 30, 29);
    p.end();
    return QIcon(pixmap);
}

// Writes a cell, making its item on first use. The first column is the grid's fixed column:
// it looks like the heading row and is not selectable.
void SetCell(QTableWidget& grid, int row, int column, const std::string& text)
{
    QTableWidgetItem* item = grid.item(row, column);
    if (!item) {
        item = new QTableWidgetItem;
        if (column == 0) {
            item->setFlags(Qt::ItemIsEnabled);
            item->setBackground(grid.palette().button());
        } else {
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        }
        grid.setItem(row, column, item);
    }
    item->setText(QString::fromStdString(text));
}

// Writes the text to `path` whole or not at all; throws std::runtime_error naming the path.
// Only a regular file (or a new name) is replaced: a device or a folder never is.
void WriteTextFile(const QString& path, const std::string& text)
{
    const auto fail = [&path](const QString& why) {
        throw std::runtime_error("Cannot write " + path.toStdString() + ": " + why.toStdString());
    };
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        fail(QStringLiteral("it is not a regular file"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        fail(file.errorString());
    if (file.write(text.data(), qint64(text.size())) != qint64(text.size()))
        fail(file.errorString());
    if (!file.commit())
        fail(file.errorString());
}

} // namespace

TClassDisplayForm::TClassDisplayForm(QWidget* owner)
    : QDialog(owner), ui(std::make_unique<Ui::TClassDisplayForm>())
{
    ui->setupUi(this);
    SetUpResultWindow(*this, *ui->OKBtn, ClassIcon(), 11);
    SetUpHeading(*ui->Label1, *ui->Label2, 21);

    QTableWidget& grid = *ui->StringGrid1;
    for (int c = 0; c < int(ColumnWidths.size()); ++c)
        grid.horizontalHeader()->resizeSection(c, ColumnWidths[c]);
    grid.horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid.horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    grid.horizontalHeader()->setFixedHeight(RowHeight);
    grid.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    grid.verticalHeader()->setDefaultSectionSize(RowHeight);

    // The design-time text until the first choice; the items are the cache slots 0 to 7.
    ui->ComboBox1->setEditText("Classes");
    connect(ui->ComboBox1, &QComboBox::activated, this, &TClassDisplayForm::ComboBox1Change);
    connect(ui->ComboBox1, &QComboBox::currentIndexChanged, this,
            &TClassDisplayForm::ComboBox1Change);
    // Leaving the box or pressing Return after typing; a focus change alone is no choice.
    QLineEdit* edit = ui->ComboBox1->lineEdit();
    connect(edit, &QLineEdit::editingFinished, this, [this, edit] {
        if (edit->isModified())
            ComboBox1Change();
    });
    SetUpGridMenu();
    ui->OKBtn->setFocus();
}

TClassDisplayForm::~TClassDisplayForm() = default;

void TClassDisplayForm::SetUpGridMenu()
{
    QTableWidget& grid = *ui->StringGrid1;
    grid.installEventFilter(this);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("GridMenu"));
    QAction* copy = menu->addAction(QStringLiteral("Copy"));
    copy->setObjectName(QStringLiteral("CopyItem"));
    copy->setShortcut(QKeySequence::Copy);
    connect(copy, &QAction::triggered, this, &TClassDisplayForm::CopySelection);
    QAction* save = menu->addAction(QStringLiteral("Save as CSV…"));
    save->setObjectName(QStringLiteral("SaveCsvItem"));
    connect(save, &QAction::triggered, this, &TClassDisplayForm::SaveCsv);
    grid.setContextMenuPolicy(Qt::CustomContextMenu);
    connect(&grid, &QWidget::customContextMenuRequested, this, [menu, &grid](const QPoint& at) {
        menu->popup(grid.viewport()->mapToGlobal(at));
    });
}

bool TClassDisplayForm::eventFilter(QObject* watched, QEvent* event)
{
    // The grid on its own copies one cell at most; the whole selection is copied instead.
    if (watched == ui->StringGrid1 && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(event)->matches(QKeySequence::Copy)) {
        CopySelection();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}

QString TClassDisplayForm::SelectedText() const
{
    // The rows and columns that hold a selected cell; a cell of them that is not selected is
    // copied empty. The class number leads every row, since it names the row.
    const QTableWidget& grid = *ui->StringGrid1;
    std::set<int> rows, columns{0};
    for (const QModelIndex& index : grid.selectionModel()->selectedIndexes()) {
        rows.insert(index.row());
        columns.insert(index.column());
    }
    if (rows.empty())
        return {};
    QStringList lines, heading;
    for (int c : columns)
        heading << grid.horizontalHeaderItem(c)->text();
    lines << heading.join(QLatin1Char('\t'));
    for (int r : rows) {
        QStringList cells;
        for (int c : columns) {
            const QTableWidgetItem* item = grid.item(r, c);
            cells << (item && (c == 0 || item->isSelected()) ? item->text() : QString());
        }
        lines << cells.join(QLatin1Char('\t'));
    }
    return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

void TClassDisplayForm::CopySelection()
{
    const QString text = SelectedText();
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
}

void TClassDisplayForm::SaveCsv()
{
    const QString path = AskSaveFileName(this, QStringLiteral("Save as CSV"),
                                         QStringLiteral("CSV files (*.csv)"), QStringLiteral("csv"));
    if (path.isEmpty())
        return;
    // Runs from the menu on the window thread; a failed write is told and nothing is left.
    try {
        WriteTextFile(path, ClassTableCsv(table_));
    } catch (const std::exception& e) {
        MessageDlg(e.what(), TMsgDlgType::mtError, mbOK);
    }
}

void TClassDisplayForm::SetDataset(TStatistics& component) { glDataset = &component; }

void TClassDisplayForm::Open(TStatistics& component)
{
    QTableWidget& grid = *ui->StringGrid1;
    const auto headings = ClassGridHeadings();
    for (int c = 0; c < int(headings.size()); ++c) {
        if (!grid.horizontalHeaderItem(c))
            grid.setHorizontalHeaderItem(c, new QTableWidgetItem);
        grid.horizontalHeaderItem(c)->setText(QString::fromStdString(headings[c]));
    }

    // Fills one row per class of the current table; rows of an earlier, larger table go with
    // the row count.
    const auto fillGrid = [&grid, &component] {
        const int n = component.FreqClasses();
        grid.setRowCount(n);
        for (int i = 1; i <= n; ++i) {
            const auto cells = ClassGridRow(component, i);
            for (int c = 0; c < int(cells.size()); ++c)
                SetCell(grid, i - 1, c, cells[c]);
        }
    };

    fillGrid();
    table_.Refresh(component);
    // The data source as the kind names it: a table without its directory, a query's first
    // line without its leading "SELECT * FROM".
    std::string id = component.DataSourceName() + ": " + component.StatFieldName();
    // A scale within 0.0001 of 1 is no scaling worth a note.
    const double scaleOffset = component.ScaleBy() - 1.0;
    if (std::fabs(scaleOffset) >= 0.0001)
        id += " (Scaled by " + FloatToStr(scaleOffset + 1.0) + ")";
    ui->labDataID->setText(QString::fromStdString(id));
    // Sized to its text, and kept clear of the class-count box beside it.
    FitLabel(*ui->labDataID, ui->ComboBox1->x() - 2);
    setWindowTitle(QString::fromStdString(component.DataSet().Name() + " Class Frequency Data"));

    // Laid out at once rather than at the next turn of the event loop, so that a modal handler
    // that grabs the window instead of showing it sees the filled grid, scroll bar included.
    ensurePolished();
    grid.doItemsLayout();
    // The scroll area shows or hides its scroll bar on a queued call after a range change;
    // a resize lays it out now.
    QResizeEvent resize(grid.size(), grid.size());
    QCoreApplication::sendEvent(&grid, &resize);
    if (IsOpen())
        return;
    CentreOnScreen(*this);
    ui->OKBtn->setFocus();
    modalOpen_ = true;
    const TAtScopeExit modalEnds([this] { modalOpen_ = false; });
    ShowModal(*this);
}

void TClassDisplayForm::ComboBox1Change()
{
    // The component is only known while the window is open, which is the only time a person
    // can change the box.
    if (switching_ || !glDataset || !IsOpen())
        return;
    switching_ = true;
    const TAtScopeExit switchEnds([this] { switching_ = false; });

    QComboBox& box = *ui->ComboBox1;
    // Items match as the host's string lists do, without regard to case; any other text is
    // slot 0.
    const int k = imax(box.findText(box.currentText(), Qt::MatchFixedString), 0);
    // This runs from the event loop, which must not be left by an exception: a failure is
    // reported like any other and the window stays as it was.
    try {
        glDataset->SetClassDataFromCache(k);
        {
            const QSignalBlocker blocker(box);
            box.setCurrentIndex(k);
            box.setEditText(box.itemText(k));
        }
        Open(*glDataset);
    } catch (const std::exception& e) {
        MessageDlg(e.what(), TMsgDlgType::mtError, mbOK);
    }
}

} // namespace zel
