// A drawing surface over an image: pen, brush and font, lines, rectangles, ellipses, a border
// flood fill and text, with the host toolkit's pixel conventions.
//
// Conventions, kept exactly because the plots compute pixel positions with them:
// - A rectangle or ellipse from (x1, y1) to (x2, y2) covers the columns x1..x2-1 and the rows
//   y1..y2-1: its right and bottom edges are excluded. The outline is one pen pixel wide and
//   the inside is filled with the brush.
// - A line from the pen position to (x, y) includes its first pixel and excludes its last; the
//   pen position becomes (x, y).
// - Everything outside the image is clipped away; nothing is ever drawn at or read from a
//   position outside it.
#pragma once

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QString>

#include <functional>

namespace zel {

struct TCanvasPen {
    QColor Color = Qt::black;
};

struct TCanvasBrush {
    QColor Color = Qt::white;
};

struct TCanvasFont {
    QColor Color = Qt::black;
    QString Name = QStringLiteral("Arial");
    // In points at 96 dots per inch.
    double Size = 8;
    bool Bold = false;
};

class TCanvas {
public:
    // Draws on `image`, which must outlive the canvas. The image is kept in a 32-bit RGB format
    // at 96 dots per inch, so that font sizes in points mean what they mean on screen.
    explicit TCanvas(QImage& image);

    TCanvasPen Pen;
    TCanvasBrush Brush;
    TCanvasFont Font;

    int Width() const { return image_->width(); }
    int Height() const { return image_->height(); }
    QPoint PenPos() const { return penPos_; }
    // The colour of one pixel; an invalid colour outside the image.
    QColor Pixel(int x, int y) const;

    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    void Rectangle(int x1, int y1, int x2, int y2);
    void Ellipse(int x1, int y1, int x2, int y2);
    // Fills the rectangle (right and bottom edges excluded) with the brush; no outline.
    void FillRect(int x1, int y1, int x2, int y2);
    // Border fill: every pixel 4-connected to (x, y) that is not of `border` colour takes the
    // brush colour. A start point outside the image or of the border colour fills nothing.
    void FloodFill(int x, int y, const QColor& border);
    // Writes text in the font with its top-left corner at (x, y), on a background of the
    // brush colour.
    void TextOut(int x, int y, const QString& text);
    // The width and height in pixels that TextOut would cover.
    QSize TextExtent(const QString& text) const;

    // Tells whoever shows the image that it changed.
    void Refresh();
    // Called after every drawing operation and Refresh; an image widget repaints from it.
    void SetOnChange(std::function<void()> onChange) { onChange_ = std::move(onChange); }

private:
    void Plot(int x, int y, QRgb colour);
    void Changed();
    QFont MakeFont() const;

    QImage* image_;
    QPoint penPos_{0, 0};
    std::function<void()> onChange_;
};

} // namespace zel
