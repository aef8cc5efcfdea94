// The class-frequency window: the component's class table as a grid, and a choice among the
// cached class counts.
#pragma once

#include "zelstats/windows/ResultModels.h"

#include <QDialog>

#include <memory>

namespace Ui { class TClassDisplayForm; }

namespace zel {

class TStatistics;

// The modal window of a component's FrequencyDisplay. One window serves every component of a
// kind and is opened many times; each Open overwrites what it shows. It computes no
// statistics: it reads the current class table and, when the user picks a class count, asks
// the component to switch to that cache slot.
//
// Controls, found by name: OKBtn, Panel1, StringGrid1 (a QTableWidget), Label1 and Label2
// (the heading, white above maroon), labDataID, ComboBox1. The grid's heading row is the
// table's horizontal header ("Class", "Class Min", "Class Max", "Class Freq", "Percentage",
// "Cumulative %"); class i is table row i - 1, so a table of n classes has n rows below it.
// A bound or percentage that is not a number reads "undefined".
//
// ComboBox1 offers "Default", "5", ... "50", which are cache slots 0 to 7; a typed text that
// is not among them chooses slot 0 and turns into "Default". It switches on a choice from the
// list, on a change of its current item, and on Return or leaving the box after typing.
//
// The grid's cells are selected as in a spreadsheet (Ctrl+A, Shift and Ctrl with a click);
// Ctrl+C on the grid copies the selected cells as tab-separated lines under a heading line,
// each row led by its class number; the grid's context menu (GridMenu) offers the same copy
// ("Copy", CopyItem) and "Save as CSV…" (SaveCsvItem), which writes ClassTableCsv.
class TClassDisplayForm : public QDialog {
    Q_OBJECT
public:
    explicit TClassDisplayForm(QWidget* owner = nullptr);
    ~TClassDisplayForm() override;

    // The component whose classes the window shows while it is open.
    void SetDataset(TStatistics& component);
    // Fills the grid, identification line and title, and shows the window modally unless it
    // is already visible.
    void Open(TStatistics& component);

    // The class table as last opened or switched to; refreshed by Open.
    const TClassTableModel& ClassTable() const { return table_; }
    // The selected cells as Ctrl+C puts them on the clipboard; empty with no selection.
    QString SelectedText() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetUpGridMenu();
    void CopySelection();
    void SaveCsv();
    void ComboBox1Change();
    // Open, or inside the modal loop (the handler may run in place of a real one).
    bool IsOpen() const { return isVisible() || modalOpen_; }

    std::unique_ptr<Ui::TClassDisplayForm> ui;
    TStatistics* glDataset = nullptr;
    TClassTableModel table_;
    bool modalOpen_ = false;
    // Set while a switch writes the combo box, so that the write does not switch again.
    bool switching_ = false;
};

// Declared for applications that keep a class window of their own; the package never assigns
// or reads it (each component kind keeps its own window).
inline TClassDisplayForm* ClassDisplayForm = nullptr;

} // namespace zel
