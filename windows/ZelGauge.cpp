#include "zelstats/windows/ZelGauge.h"

#include "zelstats/data/Guards.h"
#include "zelstats/tools/VectorState.h"
#include "ui_ZelGauge.h"

#include <QCoreApplication>
#include <QEvent>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWindow>

#include <utility>

namespace zel {

TZELGaugeDlg* ZELGaugeDlg = nullptr;

namespace {

TReplaceable<TZELGaugeDlg::ProgressListener>& Listener()
{
    static TReplaceable<TZELGaugeDlg::ProgressListener> listener;
    return listener;
}

// Trunc(fraction × 100.0), formed in floating point and truncated toward zero, so 0.29 shows
// 28. A fraction outside 0..1 (a data source that miscounts its records) and NaN (a count of
// 0) would make the truncation to int undefined; they show as the nearest end instead.
int TruncPercent(double fraction)
{
    const double product = fraction * 100.0;
    if (!(product > 0.0))
        return 0;
    if (product >= 100.0)
        return 100;
    return static_cast<int>(product);
}

// A pass calls with the same message object for every value, so the shared data pointer
// settles the common case without comparing characters.
bool SameText(const QString& a, const QString& b)
{
    return a.size() == b.size() && (a.constData() == b.constData() || a == b);
}

QFont WithPixelSize(QFont font, int pixels)
{
    font.setPixelSize(pixels);
    return font;
}

// The picture in the top-left corner: a small bar chart on a base line.
QPixmap ChartPicture()
{
    QPixmap picture(31, 30);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    struct Bar { int height; QColor color; };
    const Bar bars[] = {{11, QColor(0, 0, 128)},
                        {19, QColor(0, 128, 128)},
                        {14, QColor(0, 0, 128)},
                        {24, QColor(128, 0, 0)}};
    int left = 4;
    for (const Bar& bar : bars) {
        const QRect body(left, 26 - bar.height, 5, bar.height);
        painter.fillRect(body, bar.color);
        // A light left edge and a dark right edge give each bar a little depth.
        painter.fillRect(QRect(body.left(), body.top(), 1, body.height()),
                         bar.color.lighter(170));
        painter.fillRect(QRect(body.right(), body.top(), 1, body.height()),
                         bar.color.darker(150));
        left += 6;
    }
    painter.setPen(QColor(64, 64, 64));
    painter.drawLine(1, 26, 29, 26);
    painter.drawLine(2, 2, 2, 27);
    return picture;
}

} // namespace

TZELGaugeDlg::TZELGaugeDlg(QWidget* owner)
    : QDialog(owner), ui(std::make_unique<Ui::TZELGaugeDlg>())
{
    ui->setupUi(this);
    // A fixed dialog border whose only button is the system menu's close.
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                   | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                   | Qt::WindowCloseButtonHint);
    setFixedSize(224, 150);

    // Form files carry point sizes only; the layout is in pixels.
    setFont(WithPixelSize(font(), 13));
    ui->Label1->setFont(WithPixelSize(ui->Label1->font(), 15));
    ui->Label2->setFont(WithPixelSize(ui->Label2->font(), 15));
    ui->Gauge1->setFont(WithPixelSize(ui->Gauge1->font(), 12));
    ui->Gauge3->setFont(WithPixelSize(ui->Gauge3->font(), 12));
    ui->Panel1->setFont(WithPixelSize(ui->Panel1->font(), 11));

    // The gauges' back colour is the button-highlight colour of the current palette.
    const QColor highlight = palette().color(QPalette::Light);
    ui->Gauge1->SetBackColor(highlight);
    ui->Gauge3->SetBackColor(highlight);

    ui->Image1->setPixmap(ChartPicture());

    // The heading labels reach one pixel past the dialog's left edge and two past its right;
    // the text keeps inside the dialog so that a line as wide as the label is not cut.
    ui->Label1->setContentsMargins(2, 0, 3, 0);
    ui->Label2->setContentsMargins(2, 0, 3, 0);

    // The pie and the bar's frame overlap; until a progress call chooses, the bar shows,
    // as the loading pass that comes first wants it.
    ui->Gauge3->hide();

    if (const QScreen* screen = this->screen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
}

TZELGaugeDlg::~TZELGaugeDlg() = default;

void TZELGaugeDlg::AwaitExposure()
{
    // A window shown by a pass is mapped and exposed by the window system only through the
    // event loop, which the pass never reaches; until then a repaint paints nothing. So while
    // the shown dialog is not exposed yet, each change lets the window system's own events
    // through. Input and timers stay queued, so neither the user nor the application can act
    // in the middle of the pass.
    if (isVisible() && windowHandle() != nullptr && !windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents
                                        | QEventLoop::X11ExcludeTimers);
}

void TZELGaugeDlg::SetLabels(const QString& text)
{
    if (ui->Label1->text() == text && ui->Label2->text() == text)
        return;
    AwaitExposure();
    ui->Label1->setText(text);
    ui->Label2->setText(text);
    // The labels are transparent over the dialog, so the dialog repaints beneath them.
    repaint();
    ClearUpperVectorState();
    if (const ProgressListener listener = Listener().Current())
        listener(text, message_, percent_);
}

void TZELGaugeDlg::SetCaption(const QString& text)
{
    // The title belongs to the window frame; setting it reaches the window system at once
    // and leaves nothing of the client area to repaint.
    setWindowTitle(text);
}

void TZELGaugeDlg::SetGaugeProgress(GaugeKind kind, const QString& message, double fraction)
{
    const int percent = TruncPercent(fraction);
    // The bar follows every call, so its value equals the last percent unless an activation
    // reset it since.
    if (kind == kind_ && percent == percent_ && percent == ui->Gauge1->Progress()
        && SameText(message, message_))
        return;

    // Before anything is set, so that an activation arriving now cannot undo this call.
    AwaitExposure();
    const bool kindChanged = kind != kind_;
    const bool horizontal = kind == GaugeKind::Horizontal;
    if (kindChanged)
        ui->Panel2->setVisible(horizontal);
    // The bar's own visibility never changes (only its frame's), so it takes every value.
    const bool barChanged = !ui->Gauge1->isHidden() && ui->Gauge1->SetProgress(percent);
    if (kindChanged)
        ui->Gauge3->setVisible(!horizontal);
    const bool pieChanged = !ui->Gauge3->isHidden() && ui->Gauge3->SetProgress(percent);
    const bool messageChanged = !SameText(message, message_);
    if (messageChanged) {
        message_ = message;
        ui->Panel1->setText(message);
    }
    const bool percentChanged = percent != percent_;
    kind_ = kind;
    percent_ = percent;

    // The pass never returns to the event loop, so what changed is painted now. A hidden
    // dialog paints nothing.
    if (isVisible()) {
        if (kindChanged) {
            // The pie and the bar's frame swap places in the middle of the dialog.
            repaint();
        } else {
            if (barChanged)
                ui->Gauge1->repaint();
            if (pieChanged)
                ui->Gauge3->repaint();
            if (messageChanged)
                ui->Panel1->repaint();
        }
    }
    // Painting here happens in the middle of a pass, whose arithmetic follows at once.
    ClearUpperVectorState();
    if (percentChanged || messageChanged) {
        if (const ProgressListener listener = Listener().Current())
            listener(ui->Label1->text(), message_, percent_);
    }
}

TZELGaugeDlg::ProgressListener TZELGaugeDlg::SetProgressListener(ProgressListener listener)
{
    return Listener().Replace(std::move(listener));
}

bool TZELGaugeDlg::event(QEvent* e)
{
    if (e->type() == QEvent::WindowActivate)
        FormActivate();
    return QDialog::event(e);
}

void TZELGaugeDlg::FormActivate()
{
    // Each activation starts the bar over; the pie keeps its value.
    if (ui->Gauge1->SetProgress(0) && isVisible())
        ui->Gauge1->repaint();
}

} // namespace zel
