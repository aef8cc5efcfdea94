// An image control: shows a picture stretched to the control, offers a canvas to draw on it,
// reports pointer moves and button presses in picture pixels, and carries a hint whose tip is
// shown only while its tooltip display is on.
#pragma once

#include "zelstats/gui/Canvas.h"

#include <QImage>
#include <QWidget>

#include <memory>

namespace zel {

class TImage : public QWidget {
    Q_OBJECT
public:
    explicit TImage(QWidget* parent = nullptr);
    ~TImage() override;

    // The picture takes the control's size when the control first gets one (or the size given
    // here) and keeps it afterwards, so a drawing stays until overdrawn.
    void SetPictureSize(QSize size);
    const QImage& Picture() const { return picture_; }
    TCanvas& Canvas() { return *canvas_; }
    int PictureWidth() const { return picture_.width(); }
    int PictureHeight() const { return picture_.height(); }

    // The full hint ("tip|status"). The status part reaches the application hint handler when
    // the pointer enters the image and after every pointer move, so that a hint rewritten by
    // a move handler shows at once.
    void SetHint(const QString& hint);
    QString Hint() const;
    // Whether the tip part of the hint pops up over the image.
    void SetShowHint(bool show);
    bool ShowHint() const { return showHint_; }

signals:
    // Positions in picture pixels.
    void MouseMove(Qt::KeyboardModifiers shift, int x, int y);
    void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers shift, int x, int y);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    QPoint ToPicture(QPointF widgetPos) const;
    void ShowTip(QPoint globalPos);

    QImage picture_;
    std::unique_ptr<TCanvas> canvas_;
    bool showHint_ = false;
    bool sized_ = false;
};

} // namespace zel
