#include "zelstats/gui/Gauge.h"

#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace zel {

namespace {

// The line around a bordered gauge.
const QColor BorderColor(0, 0, 0);

} // namespace

TGauge::TGauge(QWidget* parent) : QWidget(parent) {}

void TGauge::SetKind(TGaugeKind kind)
{
    if (kind_ == kind)
        return;
    kind_ = kind;
    update();
}

bool TGauge::SetProgress(int value)
{
    value = std::clamp(value, MinValue, MaxValue);
    if (progress_ == value)
        return false;
    progress_ = value;
    update();
    return true;
}

void TGauge::SetForeColor(const QColor& color)
{
    if (foreColor_ == color)
        return;
    foreColor_ = color;
    update();
}

void TGauge::SetBackColor(const QColor& color)
{
    if (backColor_ == color)
        return;
    backColor_ = color;
    update();
}

void TGauge::SetBorder(bool border)
{
    if (border_ == border)
        return;
    border_ = border;
    update();
}

void TGauge::SetShowText(bool show)
{
    if (showText_ == show)
        return;
    showText_ = show;
    update();
}

QString TGauge::PercentText() const
{
    return QString::number(progress_) + QLatin1Char('%');
}

QSize TGauge::sizeHint() const
{
    return kind_ == Pie ? QSize(55, 55) : QSize(175, 21);
}

void TGauge::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    Paint(painter, rect());
}

void TGauge::Paint(QPainter& painter, const QRect& rect) const
{
    if (rect.isEmpty())
        return;
    painter.save();
    painter.setFont(font());
    QRect inner = rect;
    if (border_) {
        painter.setPen(BorderColor);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(rect.adjusted(0, 0, -1, -1));
        inner = rect.adjusted(1, 1, -1, -1);
    }
    if (!inner.isEmpty()) {
        if (kind_ == Pie)
            PaintPie(painter, inner);
        else
            PaintBar(painter, inner);
    }
    painter.restore();
}

void TGauge::PaintBar(QPainter& painter, const QRect& inner) const
{
    const int filledWidth = inner.width() * progress_ / MaxValue;
    const QRect filled(inner.left(), inner.top(), filledWidth, inner.height());
    const QRect empty(inner.left() + filledWidth, inner.top(), inner.width() - filledWidth,
                      inner.height());
    painter.fillRect(empty, backColor_);
    painter.fillRect(filled, foreColor_);
    if (!showText_)
        return;

    // The text is written twice, each copy clipped to one part, so that it reads in the
    // opposite colour wherever the bar covers it.
    const QString text = PercentText();
    painter.setClipRect(empty);
    painter.setPen(foreColor_);
    painter.drawText(inner, Qt::AlignCenter, text);
    if (!filled.isEmpty()) {
        painter.setClipRect(filled);
        painter.setPen(backColor_);
        painter.drawText(inner, Qt::AlignCenter, text);
    }
    painter.setClipping(false);
}

void TGauge::PaintPie(QPainter& painter, const QRect& inner) const
{
    // The largest circle that fits, centred; the half-pixel inset keeps the antialiased
    // outline inside the control.
    const int side = std::min(inner.width(), inner.height());
    const QRectF circle(inner.left() + (inner.width() - side) / 2.0 + 0.5,
                        inner.top() + (inner.height() - side) / 2.0 + 0.5, side - 1.0,
                        side - 1.0);
    painter.setRenderHint(QPainter::Antialiasing, true);

    // The slice starts at twelve o'clock and grows clockwise.
    QPainterPath slice;
    if (progress_ >= MaxValue) {
        slice.addEllipse(circle);
    } else if (progress_ > MinValue) {
        slice.moveTo(circle.center());
        slice.arcTo(circle, 90.0, -360.0 * progress_ / MaxValue);
        slice.closeSubpath();
    }

    painter.setPen(QPen(foreColor_, 1.0));
    painter.setBrush(backColor_);
    painter.drawEllipse(circle);
    if (!slice.isEmpty()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(foreColor_);
        painter.drawPath(slice);
    }
    if (!showText_)
        return;

    // The text would sit across the slice's edge as often as not, and no single colour
    // reads over both parts at this size: it is written in the fore colour on a hub of the
    // back colour in the middle of the pie.
    const QString text = PercentText();
    const QFontMetricsF metrics(painter.font());
    const double hubDiameter =
        std::min(side - 8.0, std::max(metrics.horizontalAdvance(QStringLiteral("100%")),
                                      metrics.height()) + 6.0);
    QRectF hub(0, 0, hubDiameter, hubDiameter);
    hub.moveCenter(circle.center());
    painter.setPen(QPen(foreColor_, 1.0));
    painter.setBrush(backColor_);
    painter.drawEllipse(hub);
    painter.setPen(foreColor_);
    painter.drawText(circle, Qt::AlignCenter, text);
}

} // namespace zel
