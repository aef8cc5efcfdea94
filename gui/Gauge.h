// The gauge control: a percentage shown as a horizontal bar or as a pie, with the percentage
// written inside it.
#pragma once

#include <QColor>
#include <QWidget>

class QPainter;

namespace zel {

class TGauge : public QWidget {
    Q_OBJECT
    // Property names as the forms set them (the .ui files use stdset="0" for them).
    Q_PROPERTY(TGaugeKind Kind READ Kind WRITE SetKind)
    Q_PROPERTY(int Progress READ Progress WRITE SetProgress)
    Q_PROPERTY(QColor ForeColor READ ForeColor WRITE SetForeColor)
    Q_PROPERTY(QColor BackColor READ BackColor WRITE SetBackColor)
    Q_PROPERTY(bool Border READ Border WRITE SetBorder)
    Q_PROPERTY(bool ShowText READ ShowText WRITE SetShowText)

public:
    enum TGaugeKind { HorizontalBar = 0, Pie = 1 };
    Q_ENUM(TGaugeKind)

    static constexpr int MinValue = 0;
    static constexpr int MaxValue = 100;

    explicit TGauge(QWidget* parent = nullptr);

    TGaugeKind Kind() const { return kind_; }
    void SetKind(TGaugeKind kind);

    // The percentage shown, 0 to 100. A value outside that range is clamped to it, so the
    // gauge never draws more than full or less than empty.
    int Progress() const { return progress_; }
    // Sets the percentage and schedules a repaint when the shown value changes; returns
    // whether it changed, so that a caller that must show the change at once can repaint.
    bool SetProgress(int value);

    // The colour of the filled part (and of the text over the empty part).
    QColor ForeColor() const { return foreColor_; }
    void SetForeColor(const QColor& color);
    // The colour of the empty part (and of the text over the filled part).
    QColor BackColor() const { return backColor_; }
    void SetBackColor(const QColor& color);
    // A single dark line around the control.
    bool Border() const { return border_; }
    void SetBorder(bool border);
    // Whether the percentage ("50%") is written inside the gauge, in the widget's font.
    bool ShowText() const { return showText_; }
    void SetShowText(bool show);

    // The text written inside the gauge for its current progress.
    QString PercentText() const;

    // Draws the gauge into `rect` of any paint device; paintEvent draws the widget with it,
    // and tests draw into a QImage.
    void Paint(QPainter& painter, const QRect& rect) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void PaintBar(QPainter& painter, const QRect& inner) const;
    void PaintPie(QPainter& painter, const QRect& inner) const;

    TGaugeKind kind_ = HorizontalBar;
    int progress_ = 0;
    QColor foreColor_ = Qt::black;
    QColor backColor_ = Qt::white;
    bool border_ = true;
    bool showText_ = true;
};

} // namespace zel
