#include "zelstats/gui/Canvas.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

namespace zel {

namespace {

constexpr int DotsPerMeterAt96Dpi = 3780;

QRgb Rgb(const QColor& c) { return qRgb(c.red(), c.green(), c.blue()); }

bool SameColour(QRgb a, QRgb b) { return (a & 0xffffffu) == (b & 0xffffffu); }

} // namespace

TCanvas::TCanvas(QImage& image) : image_(&image)
{
    if (image_->format() != QImage::Format_RGB32)
        *image_ = image_->convertToFormat(QImage::Format_RGB32);
    image_->setDotsPerMeterX(DotsPerMeterAt96Dpi);
    image_->setDotsPerMeterY(DotsPerMeterAt96Dpi);
}

QColor TCanvas::Pixel(int x, int y) const
{
    if (!image_->rect().contains(x, y))
        return QColor();
    return QColor(image_->pixel(x, y));
}

void TCanvas::Plot(int x, int y, QRgb colour)
{
    if (x >= 0 && y >= 0 && x < image_->width() && y < image_->height())
        reinterpret_cast<QRgb*>(image_->scanLine(y))[x] = colour;
}

void TCanvas::Changed()
{
    if (onChange_)
        onChange_();
}

void TCanvas::Refresh() { Changed(); }

void TCanvas::MoveTo(int x, int y) { penPos_ = QPoint(x, y); }

void TCanvas::LineTo(int x, int y)
{
    // Bresenham from the pen position, the end point itself left out.
    const QRgb colour = Rgb(Pen.Color);
    long long x0 = penPos_.x(), y0 = penPos_.y();
    const long long dx = std::llabs(x - x0), dy = -std::llabs(y - y0);
    const int sx = x0 < x ? 1 : -1, sy = y0 < y ? 1 : -1;
    long long err = dx + dy;
    // A line far outside the image is walked only as far as it can touch the image.
    const long long limit = dx - dy + 1;
    for (long long step = 0; step < limit && (x0 != x || y0 != y); ++step) {
        if (x0 >= 0 && y0 >= 0 && x0 < image_->width() && y0 < image_->height())
            Plot(int(x0), int(y0), colour);
        const long long e2 = 2 * err;
        if (e2 >= dy) { err += dy; x0 += sx; }
        if (e2 <= dx) { err += dx; y0 += sy; }
    }
    penPos_ = QPoint(x, y);
    Changed();
}

void TCanvas::Rectangle(int x1, int y1, int x2, int y2)
{
    if (x1 > x2) std::swap(x1, x2);
    if (y1 > y2) std::swap(y1, y2);
    if (x2 - x1 < 1 || y2 - y1 < 1)
        return;
    const QRgb pen = Rgb(Pen.Color);
    const QRgb brush = Rgb(Brush.Color);
    const int left = std::max(x1, 0), right = std::min(x2 - 1, image_->width() - 1);
    const int top = std::max(y1, 0), bottom = std::min(y2 - 1, image_->height() - 1);
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x) {
            const bool edge = x == x1 || x == x2 - 1 || y == y1 || y == y2 - 1;
            Plot(x, y, edge ? pen : brush);
        }
    Changed();
}

void TCanvas::Ellipse(int x1, int y1, int x2, int y2)
{
    if (x1 > x2) std::swap(x1, x2);
    if (y1 > y2) std::swap(y1, y2);
    if (x2 - x1 < 1 || y2 - y1 < 1)
        return;
    // A pixel belongs to the ellipse inscribed in the box when its centre lies inside; the
    // outline is every such pixel with a 4-neighbour outside.
    const double cx = (x1 + x2) * 0.5, cy = (y1 + y2) * 0.5;
    const double rx = (x2 - x1) * 0.5, ry = (y2 - y1) * 0.5;
    auto inside = [&](int x, int y) {
        if (x < x1 || x >= x2 || y < y1 || y >= y2)
            return false;
        const double u = (x + 0.5 - cx) / rx, v = (y + 0.5 - cy) / ry;
        return u * u + v * v <= 1.0;
    };
    const QRgb pen = Rgb(Pen.Color);
    const QRgb brush = Rgb(Brush.Color);
    const int left = std::max(x1, 0), right = std::min(x2 - 1, image_->width() - 1);
    const int top = std::max(y1, 0), bottom = std::min(y2 - 1, image_->height() - 1);
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x) {
            if (!inside(x, y))
                continue;
            const bool edge = !inside(x - 1, y) || !inside(x + 1, y) || !inside(x, y - 1)
                              || !inside(x, y + 1);
            Plot(x, y, edge ? pen : brush);
        }
    Changed();
}

void TCanvas::FillRect(int x1, int y1, int x2, int y2)
{
    if (x1 > x2) std::swap(x1, x2);
    if (y1 > y2) std::swap(y1, y2);
    const QRgb brush = Rgb(Brush.Color);
    const int left = std::max(x1, 0), right = std::min(x2, image_->width());
    const int top = std::max(y1, 0), bottom = std::min(y2, image_->height());
    for (int y = top; y < bottom; ++y)
        for (int x = left; x < right; ++x)
            Plot(x, y, brush);
    Changed();
}

void TCanvas::FloodFill(int x, int y, const QColor& border)
{
    const int w = image_->width(), h = image_->height();
    const QRgb stop = Rgb(border);
    const QRgb fill = Rgb(Brush.Color);
    if (x < 0 || y < 0 || x >= w || y >= h)
        return;
    auto pixel = [&](int px, int py) {
        return reinterpret_cast<const QRgb*>(image_->constScanLine(py))[px];
    };
    if (SameColour(pixel(x, y), stop))
        return;
    // Scanline fill with an explicit stack of seeds. A pixel already of the fill colour is not
    // a border, so a separate record of visited pixels keeps the fill from revisiting it.
    std::vector<bool> done(std::size_t(w) * std::size_t(h), false);
    auto open = [&](int px, int py) {
        return !done[std::size_t(py) * w + px] && !SameColour(pixel(px, py), stop);
    };
    std::vector<QPoint> seeds{QPoint(x, y)};
    while (!seeds.empty()) {
        const QPoint seed = seeds.back();
        seeds.pop_back();
        const int sy = seed.y();
        if (!open(seed.x(), sy))
            continue;
        int left = seed.x(), right = seed.x();
        while (left > 0 && open(left - 1, sy))
            --left;
        while (right < w - 1 && open(right + 1, sy))
            ++right;
        for (int px = left; px <= right; ++px) {
            done[std::size_t(sy) * w + px] = true;
            Plot(px, sy, fill);
        }
        // One seed per run of open pixels in the rows above and below.
        for (int ny : {sy - 1, sy + 1}) {
            if (ny < 0 || ny >= h)
                continue;
            bool inRun = false;
            for (int px = left; px <= right; ++px) {
                const bool o = open(px, ny);
                if (o && !inRun)
                    seeds.emplace_back(px, ny);
                inRun = o;
            }
        }
    }
    Changed();
}

QFont TCanvas::MakeFont() const
{
    QFont font(Font.Name);
    font.setPointSizeF(Font.Size > 0 ? Font.Size : 1.0);
    font.setBold(Font.Bold);
    return font;
}

QSize TCanvas::TextExtent(const QString& text) const
{
    QFontMetrics metrics(MakeFont(), image_);
    return QSize(metrics.horizontalAdvance(text), metrics.height());
}

void TCanvas::TextOut(int x, int y, const QString& text)
{
    const QFont font = MakeFont();
    QPainter painter(image_);
    painter.setFont(font);
    const QFontMetrics metrics = painter.fontMetrics();
    const QRect box(x, y, metrics.horizontalAdvance(text), metrics.height());
    painter.fillRect(box, Brush.Color);
    painter.setPen(Font.Color);
    painter.drawText(QPoint(x, y + metrics.ascent()), text);
    painter.end();
    penPos_ = QPoint(x + box.width(), y);
    Changed();
}

} // namespace zel
