#include "zelstats/gui/Image.h"

#include "zelstats/gui/Hints.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <cmath>

namespace zel {

TImage::TImage(QWidget* parent) : QWidget(parent)
{
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    picture_ = QImage(QSize(1, 1), QImage::Format_RGB32);
    picture_.fill(Qt::white);
    canvas_ = std::make_unique<TCanvas>(picture_);
    canvas_->SetOnChange([this] { update(); });
    zel::SetHint(*this, QString(), false);
}

TImage::~TImage() = default;

void TImage::SetPictureSize(QSize size)
{
    if (size.isEmpty())
        return;
    sized_ = true;
    if (size == picture_.size())
        return;
    QImage resized(size, QImage::Format_RGB32);
    resized.fill(Qt::white);
    QPainter(&resized).drawImage(0, 0, picture_);
    resized.setDotsPerMeterX(picture_.dotsPerMeterX());
    resized.setDotsPerMeterY(picture_.dotsPerMeterY());
    // The canvas draws on the member itself, so it goes on drawing on the new picture.
    picture_ = resized;
    update();
}

void TImage::resizeEvent(QResizeEvent* event)
{
    // A drawing is never lost because the control was resized after it got its picture.
    if (!sized_)
        SetPictureSize(size());
    QWidget::resizeEvent(event);
}

void TImage::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawImage(rect(), picture_);
}

QPoint TImage::ToPicture(QPointF widgetPos) const
{
    if (width() <= 0 || height() <= 0)
        return QPoint(0, 0);
    return QPoint(int(std::floor(widgetPos.x() * picture_.width() / width())),
                  int(std::floor(widgetPos.y() * picture_.height() / height())));
}

void TImage::SetHint(const QString& hint) { zel::SetHint(*this, hint, false); }

QString TImage::Hint() const { return zel::GetHint(*this); }

void TImage::SetShowHint(bool show)
{
    showHint_ = show;
    if (!show && QToolTip::isVisible())
        QToolTip::hideText();
}

void TImage::ShowTip(QPoint globalPos)
{
    const QString tip = HintTip(Hint());
    if (showHint_ && !tip.isEmpty())
        QToolTip::showText(globalPos, tip, this);
    else
        QToolTip::hideText();
}

void TImage::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint p = ToPicture(event->position());
    emit MouseMove(event->modifiers(), p.x(), p.y());
    // The move handler may have rewritten the hint: show its new status text and tip.
    ShowApplicationHint(HintStatus(Hint()));
    if (QToolTip::isVisible())
        ShowTip(event->globalPosition().toPoint());
    QWidget::mouseMoveEvent(event);
}

void TImage::mousePressEvent(QMouseEvent* event)
{
    const QPoint p = ToPicture(event->position());
    emit MouseDown(event->button(), event->modifiers(), p.x(), p.y());
    QWidget::mousePressEvent(event);
}

bool TImage::event(QEvent* event)
{
    if (event->type() == QEvent::ToolTip) {
        ShowTip(static_cast<QHelpEvent*>(event)->globalPos());
        return true;
    }
    return QWidget::event(event);
}

} // namespace zel
