// The progress dialog of a pass over the records: a bar or a pie gauge under a heading that
// names the data source and field, and a status line with the pass's message.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace Ui { class TZELGaugeDlg; }

namespace zel {

enum class GaugeKind : std::uint8_t { Horizontal = 0, Round = 1 };

class TZELGaugeDlg : public QDialog {
    Q_OBJECT
public:
    // A modeless dialog, centred on the screen, showing the bar at 0 % (the pie hidden until
    // a Round progress call asks for it).
    explicit TZELGaugeDlg(QWidget* owner = nullptr);
    ~TZELGaugeDlg() override;

    // Writes the heading into both copies of the heading label.
    void SetLabels(const QString& text);
    // Writes the dialog's own title.
    void SetCaption(const QString& text);
    // Shows the bar (Horizontal) or the pie (Round) at Trunc(fraction × 100) percent, with the
    // message in the status line. Called once per value of a pass: it repaints only when what
    // it shows changes. The bar follows every call, also while the pie shows; a hidden pie
    // keeps its value. A fraction outside 0..1 shows as 0 or 100 (NaN as 0).
    void SetGaugeProgress(GaugeKind kind, const QString& message, double fraction);

    // Told of every change of percentage, message or heading, for a text progress display.
    // Every dialog tells it, shown or hidden. Returns the listener it replaces; an empty
    // listener turns the telling off.
    using ProgressListener =
        std::function<void(const QString& heading, const QString& message, int percent)>;
    static ProgressListener SetProgressListener(ProgressListener listener);

protected:
    bool event(QEvent* e) override;

private:
    void FormActivate();
    void AwaitExposure();

    std::unique_ptr<Ui::TZELGaugeDlg> ui;
    // What the last progress call showed, so that a repeated value costs a few comparisons.
    GaugeKind kind_ = GaugeKind::Horizontal;
    int percent_ = 0;
    QString message_;
};

// A dialog variable for applications; the package itself never assigns or reads it (each pass
// creates and frees a dialog of its own).
extern TZELGaugeDlg* ZELGaugeDlg;

} // namespace zel
