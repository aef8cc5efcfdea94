// The drawing surface's pixel conventions: excluded right and bottom edges, lines without their
// end point, the border flood fill, and clipping at the image's edges.
#include "zelstats/gui/Canvas.h"
#include "zelstats/gui/Hints.h"

#include <QImage>
#include <gtest/gtest.h>

using namespace zel;

namespace {

const QRgb White = qRgb(255, 255, 255);
const QRgb Black = qRgb(0, 0, 0);
const QRgb Red = qRgb(255, 0, 0);
const QRgb Blue = qRgb(0, 0, 255);

class CanvasTest : public testing::Test {
protected:
    CanvasTest() : image_(20, 20, QImage::Format_RGB32), canvas_(image_)
    {
        image_.fill(Qt::white);
    }
    QRgb At(int x, int y) const { return image_.pixel(x, y) | 0xff000000u; }
    int Count(QRgb colour) const
    {
        int count = 0;
        for (int y = 0; y < image_.height(); ++y)
            for (int x = 0; x < image_.width(); ++x)
                count += At(x, y) == colour;
        return count;
    }

    QImage image_;
    TCanvas canvas_;
};

TEST_F(CanvasTest, RectangleExcludesItsRightAndBottomEdges)
{
    canvas_.Brush.Color = Qt::red;
    canvas_.Rectangle(2, 3, 7, 9);
    EXPECT_EQ(At(2, 3), Black);
    EXPECT_EQ(At(6, 8), Black);
    EXPECT_EQ(At(7, 8), White);
    EXPECT_EQ(At(6, 9), White);
    EXPECT_EQ(At(3, 4), Red);
    EXPECT_EQ(Count(Black), 2 * 5 + 2 * 4);
    EXPECT_EQ(Count(Red), 3 * 4);
}

TEST_F(CanvasTest, LineLeavesOutItsEndPointAndMovesThePen)
{
    canvas_.MoveTo(1, 1);
    canvas_.LineTo(5, 1);
    EXPECT_EQ(Count(Black), 4);
    EXPECT_EQ(At(5, 1), White);
    EXPECT_EQ(canvas_.PenPos(), QPoint(5, 1));
    canvas_.LineTo(5, 5);
    EXPECT_EQ(At(5, 1), Black);
    EXPECT_EQ(At(5, 5), White);
}

TEST_F(CanvasTest, FloodFillRecoloursEverythingConnectedUpToTheBorderColour)
{
    // A black ring with a red line inside it touching the ring, on white.
    canvas_.Brush.Color = Qt::white;
    canvas_.Rectangle(2, 2, 12, 12);
    canvas_.Pen.Color = Qt::red;
    canvas_.MoveTo(3, 6);
    canvas_.LineTo(8, 6);
    canvas_.Brush.Color = Qt::blue;
    canvas_.FloodFill(2, 2, Qt::white);
    // Ring (36 pixels) and line (5 pixels) take the brush; the white inside and outside stay.
    EXPECT_EQ(Count(Blue), 36 + 5);
    EXPECT_EQ(Count(Black), 0);
    EXPECT_EQ(Count(Red), 0);
    EXPECT_EQ(At(5, 5), White);
    // A start on the border colour fills nothing; a fill of the brush's own colour ends.
    canvas_.Brush.Color = Qt::black;
    canvas_.FloodFill(0, 0, Qt::white);
    EXPECT_EQ(Count(Black), 0);
    canvas_.Brush.Color = Qt::blue;
    canvas_.FloodFill(2, 2, Qt::white);
    EXPECT_EQ(Count(Blue), 41);
}

TEST_F(CanvasTest, FloodFillOfAWholeLargeImageNeedsNoRecursion)
{
    QImage big(2000, 2000, QImage::Format_RGB32);
    big.fill(Qt::white);
    TCanvas canvas(big);
    canvas.Brush.Color = Qt::red;
    canvas.FloodFill(1000, 1000, Qt::black);
    EXPECT_EQ(big.pixel(0, 0) | 0xff000000u, Red);
    EXPECT_EQ(big.pixel(1999, 1999) | 0xff000000u, Red);
}

TEST_F(CanvasTest, DrawingOutsideTheImageIsClipped)
{
    canvas_.Brush.Color = Qt::red;
    canvas_.Rectangle(-5, -5, 3, 3);
    canvas_.Ellipse(18, 18, 22, 22);
    canvas_.MoveTo(-100000, 10);
    canvas_.LineTo(100000, 10);
    canvas_.FloodFill(25, 25, Qt::white);
    EXPECT_EQ(At(2, 2), Black);
    EXPECT_EQ(At(1, 1), Red);
    EXPECT_EQ(At(19, 10), Black);
    EXPECT_FALSE(canvas_.Pixel(20, 0).isValid());
}

TEST_F(CanvasTest, SmallEllipseIsARoundDotInsideItsBox)
{
    canvas_.Brush.Color = Qt::red;
    canvas_.Ellipse(4, 4, 8, 8);
    EXPECT_EQ(At(4, 4), White);  // corners stay free
    EXPECT_EQ(At(7, 7), White);
    EXPECT_EQ(At(4, 5), Black);
    EXPECT_EQ(At(5, 5), Red);
    EXPECT_EQ(At(8, 5), White);
}

TEST_F(CanvasTest, TextSitsOnTheBrushColour)
{
    canvas_.Brush.Color = Qt::blue;
    canvas_.Font.Size = 7;
    const QSize extent = canvas_.TextExtent("40");
    canvas_.TextOut(2, 2, "40");
    EXPECT_GT(extent.width(), 0);
    EXPECT_EQ(At(2, 2), Blue);
    EXPECT_EQ(At(2 + extent.width(), 2), White);
}

TEST(HintsTest, HintSplitsAtTheFirstBar)
{
    EXPECT_EQ(HintTip("tip|status|more"), "tip");
    EXPECT_EQ(HintStatus("tip|status|more"), "status|more");
    EXPECT_EQ(HintTip("Close Plot Form|"), "Close Plot Form");
    EXPECT_EQ(HintStatus("Close Plot Form|"), "");
    EXPECT_EQ(HintStatus("Set plot background to yellow"), "Set plot background to yellow");
}

TEST(HintsTest, HandlerScopeHandsBackThePreviousHandler)
{
    QStringList outer, inner;
    HintHandlerScope first([&](const QString& s) { outer << s; });
    {
        HintHandlerScope second([&](const QString& s) { inner << s; });
        ShowApplicationHint("a");
    }
    ShowApplicationHint("b");
    EXPECT_EQ(inner, QStringList({"a"}));
    EXPECT_EQ(outer, QStringList({"b"}));
    EXPECT_EQ(ApplicationHint(), "b");
}

} // namespace
