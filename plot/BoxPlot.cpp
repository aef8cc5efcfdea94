#include "plot/BoxPlot.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace zel {

namespace {

constexpr int Width = 820;
constexpr int Margin = 12;
constexpr int LabelWidth = 150;
constexpr int TitleHeight = 26;
constexpr int BandHeight = 30;
constexpr int AxisHeight = 22;
constexpr int LegendHeight = 28;

// The rows of each field: [first, last) ranges of consecutive rows.
std::vector<std::pair<std::size_t, std::size_t>> Panels(const std::vector<TDescribeRow>& rows)
{
    std::vector<std::pair<std::size_t, std::size_t>> panels;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (panels.empty() || rows[i].field != rows[panels.back().first].field)
            panels.emplace_back(i, i);
        panels.back().second = i + 1;
    }
    return panels;
}

QString Number(double value) { return QString::number(value, 'g', 6); } // never localised

// Where x lies between lo and hi, from 0 to 1. Halved first, so that the span of two doubles of
// opposite signs near the largest one does not overflow.
double Position(double x, double lo, double hi)
{
    const double span = hi * 0.5 - lo * 0.5;
    return span > 0 ? (x * 0.5 - lo * 0.5) / span : 0.5;
}

void DrawPanel(QPainter& p, const std::vector<TDescribeRow>& rows, std::size_t first,
               std::size_t last, int top)
{
    const QFontMetrics metrics(p.font());
    double lo = INFINITY, hi = -INFINITY;
    for (std::size_t i = first; i < last; ++i) {
        if (rows[i].count > 0) {
            lo = std::min(lo, rows[i].minimum);
            hi = std::max(hi, rows[i].maximum);
        }
    }
    const bool any = lo <= hi;
    const int left = Margin + LabelWidth, right = Width - Margin - 10;
    auto xOf = [&](double x) { return left + Position(x, lo, hi) * (right - left); };

    const QFont normal = p.font();
    QFont bold = normal;
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::black);
    p.drawText(QRect(Margin, top, Width - 2 * Margin, TitleHeight), Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetrics(bold).elidedText(QString::fromStdString(rows[first].field),
                                             Qt::ElideRight, Width - 2 * Margin));
    p.setFont(normal);
    int y = top + TitleHeight;
    for (std::size_t i = first; i < last; ++i, y += BandHeight) {
        const TDescribeRow& r = rows[i];
        const QString label = !r.group ? (last - first > 1 ? QStringLiteral("null") : QString())
                                       : QString::fromStdString(*r.group);
        p.setPen(Qt::black);
        p.drawText(QRect(Margin, y, LabelWidth - 8, BandHeight), Qt::AlignRight | Qt::AlignVCenter,
                   metrics.elidedText(label, Qt::ElideRight, LabelWidth - 8));
        if (r.count == 0) {
            p.setPen(Qt::darkGray);
            p.drawText(QRect(left, y, right - left, BandHeight), Qt::AlignLeft | Qt::AlignVCenter,
                       QStringLiteral("no values"));
            continue;
        }
        const double mid = y + BandHeight / 2.0, half = BandHeight * 0.3;
        p.setPen(QPen(Qt::black, 1));
        p.drawLine(QPointF(xOf(r.minimum), mid), QPointF(xOf(r.q1), mid));
        p.drawLine(QPointF(xOf(r.q3), mid), QPointF(xOf(r.maximum), mid));
        p.drawLine(QPointF(xOf(r.minimum), mid - half / 2), QPointF(xOf(r.minimum), mid + half / 2));
        p.drawLine(QPointF(xOf(r.maximum), mid - half / 2), QPointF(xOf(r.maximum), mid + half / 2));
        const QRectF box(QPointF(xOf(r.q1), mid - half), QPointF(xOf(r.q3), mid + half));
        p.fillRect(box, QColor(173, 216, 230));
        p.drawRect(box);
        p.setPen(QPen(Qt::black, 3));
        p.drawLine(QPointF(xOf(r.median), mid - half), QPointF(xOf(r.median), mid + half));
        if (std::isfinite(r.mean)) {
            const double m = xOf(r.mean), d = 5;
            QPainterPath diamond;
            diamond.moveTo(m, mid - d);
            diamond.lineTo(m + d, mid);
            diamond.lineTo(m, mid + d);
            diamond.lineTo(m - d, mid);
            diamond.closeSubpath();
            p.setPen(QPen(Qt::darkRed, 1));
            p.fillPath(diamond, Qt::red);
            p.drawPath(diamond);
        }
    }
    // The axis: its ends and its middle, labelled.
    p.setPen(Qt::black);
    p.drawLine(left, y + 2, right, y + 2);
    if (!any)
        return;
    const double ticks[] = {lo, lo * 0.5 + hi * 0.5, hi};
    for (int t = 0; t < (lo < hi ? 3 : 1); ++t) {
        const double x = xOf(ticks[t]);
        p.drawLine(QPointF(x, y + 2), QPointF(x, y + 6));
        const QString text = Number(ticks[t]);
        const int w = metrics.horizontalAdvance(text);
        const double at = std::clamp(x - w / 2.0, double(Margin + LabelWidth / 2), double(Width - Margin - w));
        p.drawText(QPointF(at, y + 6 + metrics.ascent()), text);
    }
}

} // namespace

QSize BoxPlotSize(const std::vector<TDescribeRow>& rows)
{
    int height = 2 * Margin + LegendHeight;
    for (const auto& [first, last] : Panels(rows))
        height += TitleHeight + static_cast<int>(last - first) * BandHeight + AxisHeight;
    if (rows.empty())
        height += BandHeight;
    return {Width, height};
}

void DrawBoxPlots(QPainter& p, const std::vector<TDescribeRow>& rows)
{
    p.setRenderHint(QPainter::Antialiasing);
    int top = Margin;
    if (rows.empty()) {
        p.setPen(Qt::black);
        p.drawText(QRect(Margin, top, Width - 2 * Margin, BandHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("no numeric field to describe"));
        top += BandHeight;
    }
    for (const auto& [first, last] : Panels(rows)) {
        DrawPanel(p, rows, first, last, top);
        top += TitleHeight + static_cast<int>(last - first) * BandHeight + AxisHeight;
    }
    p.setPen(Qt::darkGray);
    p.drawText(QRect(Margin, top, Width - 2 * Margin, LegendHeight), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("whiskers: minimum and maximum; box: q1 to q3; bar: median; "
                              "diamond: mean"));
}

QImage BoxPlotImage(const std::vector<TDescribeRow>& rows)
{
    QImage image(BoxPlotSize(rows), QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    DrawBoxPlots(painter, rows);
    return image;
}

} // namespace zel
