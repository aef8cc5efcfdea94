#include "zelstats/windows/Zeloutpt.h"

#include "zelstats/gui/Dialogs.h"
#include "zelstats/tools/Format.h"
#include "zelstats/stats/ZelStats.h"
#include "zelstats/stats/ResultText.h"

#include "ui_Zeloutpt.h"

#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStyle>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <typeinfo>

namespace zel {

void SetFontPixels(QWidget& widget, int pixels)
{
    QFont font = widget.font();
    font.setPixelSize(pixels);
    widget.setFont(font);
}

void SetUpHeading(QLabel& white, QLabel& maroon, int pixels)
{
    for (QLabel* label : {&white, &maroon}) {
        SetFontPixels(*label, pixels);
        const int width = std::max(label->width(), label->sizeHint().width());
        label->resize(width, label->height());
    }
}

void FitLabel(QLabel& label, int right)
{
    QFont font = label.font();
    font.setStretch(QFont::Unstretched);
    label.setFont(font);
    label.adjustSize();
    const int room = right - label.x();
    for (int stretch = 96; label.width() > room && stretch >= 75; stretch -= 4) {
        font.setStretch(stretch);
        label.setFont(font);
        label.adjustSize();
    }
}

void CentreOnScreen(QWidget& window)
{
    if (QScreen* screen = window.screen()) {
        const QRect area = screen->availableGeometry();
        window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
    }
}

void SetUpResultWindow(QDialog& window, QPushButton& ok, const QIcon& icon, int pixels)
{
    window.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint
                          | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint);
    window.setFixedSize(window.size());
    window.setWindowIcon(icon);
    SetFontPixels(window, pixels);
    ok.setIcon(window.style()->standardIcon(QStyle::SP_DialogOkButton));
    QObject::connect(&ok, &QPushButton::clicked, &window, &QDialog::accept);
    CentreOnScreen(window);
}

namespace {

// The summary window's icon: a sheet of paper with a column of figures and a total rule.
QIcon SummaryIcon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setPen(QColor(0, 0, 0));
    p.setBrush(QColor(255, 255, 255));
    p.drawRect(6, 2, 20, 27);
    p.setPen(QColor(0, 0, 128));
    for (int y = 7; y <= 19; y += 4)
        p.drawLine(10, y, 22, y);
    p.setPen(QPen(QColor(128, 0, 0), 2));
    p.drawLine(10, 23, 22, 23);
    p.end();
    return QIcon(pixmap);
}

} // namespace

TOutputForm::TOutputForm(QWidget* owner) : QDialog(owner), ui(std::make_unique<Ui::TOutputForm>())
{
    ui->setupUi(this);
    SetUpResultWindow(*this, *ui->BitBtn1, SummaryIcon(), 11);
    SetUpHeading(*ui->Label1, *ui->Label2, 21);
}

TOutputForm::~TOutputForm() = default;

void TOutputForm::ShowOutput(TStatistics& component)
{
    component.Summarize();

    // Labels are sized to their text and kept inside the panel's bevel.
    const int right = ui->Panel1->width() - ui->Panel1->frameWidth();
    for (const SummaryLine& line : SummaryLines(component)) {
        auto* label = ui->Panel1->findChild<QLabel*>(line.control);
        if (!label)
            throw std::logic_error(std::string("the summary window has no label ") + line.control);
        label->setText(QString::fromStdString(line.text));
        FitLabel(*label, right);
    }

    // Polished and laid out before the modal handler gets the window, so that a handler that
    // grabs it instead of showing it sees the filled window.
    ensurePolished();
    CentreOnScreen(*this);
    repaint();
    ShowModal(*this);
}

} // namespace zel
