#include "zelstats/plot/BoxPlot.h"

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

// A panel's horizontal scale: from the smallest minimum to the largest maximum of its rows,
// drawn between `left` and `right`.
struct PanelScale {
    double lo = INFINITY, hi = -INFINITY;
    int left = Margin + LabelWidth, right = Width - Margin - 10;

    bool Any() const { return lo <= hi; }
    double X(double x) const { return left + Position(x, lo, hi) * (right - left); }
};

PanelScale ScaleOf(const std::vector<TDescribeRow>& rows, std::size_t first, std::size_t last)
{
    PanelScale scale;
    for (std::size_t i = first; i < last; ++i) {
        if (rows[i].count > 0) {
            scale.lo = std::min(scale.lo, rows[i].minimum);
            scale.hi = std::max(scale.hi, rows[i].maximum);
        }
    }
    return scale;
}

// The field's name over the panel, in bold.
void DrawPanelTitle(QPainter& p, const std::string& field, int top)
{
    const QFont normal = p.font();
    QFont bold = normal;
    bold.setBold(true);
    p.setFont(bold);
    p.setPen(Qt::black);
    p.drawText(QRect(Margin, top, Width - 2 * Margin, TitleHeight), Qt::AlignLeft | Qt::AlignVCenter,
               QFontMetrics(bold).elidedText(QString::fromStdString(field), Qt::ElideRight,
                                             Width - 2 * Margin));
    p.setFont(normal);
}

// The mean as a diamond on the band's middle line.
void DrawMean(QPainter& p, double m, double mid)
{
    const double d = 5;
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

// One row's band at `y`: its label, then its whiskers, box, median and mean.
void DrawBand(QPainter& p, const TDescribeRow& r, const QString& label, const PanelScale& s, int y)
{
    const QFontMetrics metrics(p.font());
    p.setPen(Qt::black);
    p.drawText(QRect(Margin, y, LabelWidth - 8, BandHeight), Qt::AlignRight | Qt::AlignVCenter,
               metrics.elidedText(label, Qt::ElideRight, LabelWidth - 8));
    if (r.count == 0) {
        p.setPen(Qt::darkGray);
        p.drawText(QRect(s.left, y, s.right - s.left, BandHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   QStringLiteral("no values"));
        return;
    }
    const double mid = y + BandHeight / 2.0, half = BandHeight * 0.3;
    p.setPen(QPen(Qt::black, 1));
    p.drawLine(QPointF(s.X(r.minimum), mid), QPointF(s.X(r.q1), mid));
    p.drawLine(QPointF(s.X(r.q3), mid), QPointF(s.X(r.maximum), mid));
    p.drawLine(QPointF(s.X(r.minimum), mid - half / 2), QPointF(s.X(r.minimum), mid + half / 2));
    p.drawLine(QPointF(s.X(r.maximum), mid - half / 2), QPointF(s.X(r.maximum), mid + half / 2));
    const QRectF box(QPointF(s.X(r.q1), mid - half), QPointF(s.X(r.q3), mid + half));
    p.fillRect(box, QColor(173, 216, 230));
    p.drawRect(box);
    p.setPen(QPen(Qt::black, 3));
    p.drawLine(QPointF(s.X(r.median), mid - half), QPointF(s.X(r.median), mid + half));
    if (std::isfinite(r.mean))
        DrawMean(p, s.X(r.mean), mid);
}

// The axis under the bands at `y`: its ends and its middle, labelled.
void DrawAxis(QPainter& p, const PanelScale& s, int y)
{
    const QFontMetrics metrics(p.font());
    p.setPen(Qt::black);
    p.drawLine(s.left, y + 2, s.right, y + 2);
    if (!s.Any())
        return;
    const double ticks[] = {s.lo, s.lo * 0.5 + s.hi * 0.5, s.hi};
    for (int t = 0; t < (s.lo < s.hi ? 3 : 1); ++t) {
        const double x = s.X(ticks[t]);
        p.drawLine(QPointF(x, y + 2), QPointF(x, y + 6));
        const QString text = Number(ticks[t]);
        const int w = metrics.horizontalAdvance(text);
        const double at = std::clamp(x - w / 2.0, double(Margin + LabelWidth / 2), double(Width - Margin - w));
        p.drawText(QPointF(at, y + 6 + metrics.ascent()), text);
    }
}

void DrawPanel(QPainter& p, const std::vector<TDescribeRow>& rows, std::size_t first,
               std::size_t last, int top)
{
    const PanelScale scale = ScaleOf(rows, first, last);
    DrawPanelTitle(p, rows[first].field, top);
    int y = top + TitleHeight;
    for (std::size_t i = first; i < last; ++i, y += BandHeight) {
        const TDescribeRow& r = rows[i];
        const QString label = !r.group ? (last - first > 1 ? QStringLiteral("null") : QString())
                                       : QString::fromStdString(*r.group);
        DrawBand(p, r, label, scale, y);
    }
    DrawAxis(p, scale, y);
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
