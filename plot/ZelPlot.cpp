#include "plot/ZelPlot.h"

#include "gui/Canvas.h"
#include "gui/Dialogs.h"
#include "tools/Format.h"
#include "gui/Hints.h"
#include "gui/Image.h"
#include "gui/ImageFile.h"
#include "stats/ZelStats.h"
#include "ui_ZelPlot.h"

#include <QFontMetrics>
#include <QDateTime>
#include <QDir>
#include <QEvent>
#include <QApplication>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace zel {

namespace {

// The axis labels' face is 11 px high; a long value may shrink it down to 8 px.
constexpr int AxisFontPixels = 11;
constexpr int MinAxisFontPixels = 8;

const QColor clBlack(0, 0, 0);
const QColor clMaroon(128, 0, 0);
const QColor clGray(128, 128, 128);
const QColor clNavy(0, 0, 128);
const QColor clGreen(0, 128, 0);
const QColor clWhite(255, 255, 255);
const QColor clYellow(255, 255, 0);
const QColor clAqua(0, 255, 255);
const QColor clTeal(0, 128, 128);

const QString ResetTitle = QStringLiteral("RivuRevi Dataset Plot Form");

const QString NoValues =
    QStringLiteral("No values to plot: the data source holds fewer than two values.");
const QString NoRecordsPerSet = QStringLiteral(
    "No records to plot: the number of records per set (RecordPlotCount) is 0.");
const QString UndefinedRange =
    QStringLiteral("No values to plot: the minimum and maximum are undefined.");
const QString EqualValuesDots =
    QStringLiteral("All values are equal: the dots are drawn at mid-height.");
const QString NoClasses =
    QStringLiteral("No classes to plot: the number of classes (FreqClasses) is 0.");
const QString UndefinedBounds =
    QStringLiteral("No classes to plot: the class bounds are undefined.");
const QString NoClassWidth = QStringLiteral("All values are equal: the classes have no width.");
const QString NoCounts =
    QStringLiteral("No class counts yet: the statistics have not been computed.");

// Pixel positions are whole numbers cut toward zero. Positions are kept within a band around
// the image, so that a value far off the scale can never overflow an integer.
int Trunc(double v)
{
    constexpr double Limit = 100000.0;
    if (std::isnan(v))
        return int(Limit);
    return int(std::trunc(std::clamp(v, -Limit, Limit)));
}

QString Num(std::int64_t v) { return QString::fromStdString(IntToStr(v)); }

// The speed buttons' pictures, painted here so that the package carries no image files.
QIcon ButtonPicture(const char* kind)
{
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QString k = QString::fromLatin1(kind);
    const QPen axis(QColor(60, 60, 60), 1.2);
    if (k == "scatter" || k == "bars" || k == "polygon" || k == "stairs") {
        p.setPen(axis);
        p.drawLine(QPointF(3, 2), QPointF(3, 21));
        p.drawLine(QPointF(3, 21), QPointF(22, 21));
    }
    if (k == "scatter") {
        p.setPen(Qt::NoPen);
        p.setBrush(clMaroon);
        const QPointF dots[] = {{6, 16}, {8.5, 12}, {11, 14}, {13.5, 8}, {16, 11}, {18.5, 5}, {20.5, 9}};
        for (const QPointF& d : dots)
            p.drawEllipse(d, 1.6, 1.6);
    } else if (k == "bars") {
        p.setPen(QPen(Qt::black, 0.8));
        const int heights[] = {6, 12, 16, 10, 5};
        for (int i = 0; i < 5; ++i) {
            p.setBrush(QColor(80 + 30 * i, 140 - 20 * i, 0));
            p.drawRect(QRectF(4.5 + 3.5 * i, 21 - heights[i], 3.5, heights[i]));
        }
    } else if (k == "polygon") {
        p.setPen(QPen(Qt::black, 1.2));
        const QPointF pts[] = {{3, 21}, {7, 14}, {11, 6}, {15, 10}, {19, 16}, {22, 21}};
        p.drawPolyline(pts, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(clMaroon);
        for (int i = 1; i < 5; ++i)
            p.drawRect(QRectF(pts[i].x() - 1.5, pts[i].y() - 1.5, 3, 3));
    } else if (k == "stairs") {
        p.setPen(QPen(clNavy, 1.4));
        const QPointF pts[] = {{4, 20}, {8, 20}, {8, 15}, {12, 15}, {12, 9},
                               {16, 9}, {16, 5}, {21, 5}};
        p.drawPolyline(pts, 8);
    } else if (k == "reset") {
        p.setPen(QPen(clNavy, 2.0, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(5, 5, 14, 14), 100 * 16, 290 * 16);
        QPainterPath head;
        head.moveTo(9.5, 2.5);
        head.lineTo(14, 5.5);
        head.lineTo(9.5, 8.5);
        head.closeSubpath();
        p.fillPath(head, clNavy);
    } else if (k == "door") {
        p.setPen(QPen(Qt::black, 1.0));
        p.setBrush(QColor(150, 100, 50));
        p.drawRect(QRectF(6, 3, 11, 18));
        p.setBrush(QColor(230, 200, 0));
        p.drawEllipse(QPointF(14.5, 12.5), 1.2, 1.2);
        p.setPen(QPen(QColor(190, 0, 0), 2.0, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(17, 4), QPointF(22, 9));
        p.drawLine(QPointF(22, 4), QPointF(17, 9));
    }
    p.end();
    return QIcon(pixmap);
}

QAction* AddItem(QMenu& menu, const char* name, const QString& caption, const QString& hint)
{
    QAction* item = menu.addAction(caption);
    item->setObjectName(QString::fromLatin1(name));
    SetHint(*item, hint);
    return item;
}

QMenu* AddSubmenu(QMenu& menu, const char* name, const QString& caption, const QString& hint)
{
    QMenu* sub = menu.addMenu(caption);
    sub->setObjectName(QString::fromLatin1(name));
    sub->menuAction()->setObjectName(QString::fromLatin1(name));
    SetHint(*sub->menuAction(), hint);
    return sub;
}

} // namespace

TRivuReviPlotForm::TRivuReviPlotForm(QWidget* owner)
    : QDialog(owner), ui(std::make_unique<Ui::TRivuReviPlotForm>()), x(MaxStoredValues, 0.0)
{
    ui->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(420, 272);

    QFont formFont(QStringLiteral("MS Sans Serif"));
    formFont.setPixelSize(11);
    formFont.setBold(true);
    setFont(formFont);
    // Set explicitly, or the labels would inherit the form's bold weight.
    QFont labelFont(QStringLiteral("Arial"));
    labelFont.setPixelSize(11);
    labelFont.setBold(false);
    for (QLabel* label : {ui->yMaxLabel, ui->yMidLabel, ui->yMinLabel, ui->xMinLabel,
                          ui->xMidLabel, ui->xMaxLabel, ui->StatusBar}) {
        label->setFont(labelFont);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, clBlack);
        label->setPalette(palette);
    }
    ui->PlotImage->SetPictureSize(ui->PlotImage->size());

    // Speed buttons: pictures, the colour button's caption, and hints with tooltips.
    struct Picture { QToolButton* button; const char* kind; };
    for (const Picture& pic : {Picture{ui->sbtnInputOrder, "scatter"}, Picture{ui->sbtnHistogram, "bars"},
                               Picture{ui->sbtnFreqPolygon, "polygon"}, Picture{ui->sbtnCumHistogram, "stairs"},
                               Picture{ui->sbtnReset, "reset"}, Picture{ui->sbtnClose, "door"}}) {
        pic.button->setIcon(ButtonPicture(pic.kind));
        pic.button->setIconSize(QSize(24, 24));
    }
    QFont colorFont(QStringLiteral("SwitzerlandCondBlack"));
    colorFont.setPixelSize(11);
    ui->sbtnColor->setFont(colorFont);
    QPalette colorPalette = ui->sbtnColor->palette();
    colorPalette.setColor(QPalette::ButtonText, clMaroon);
    ui->sbtnColor->setPalette(colorPalette);
    SetHint(*ui->sbtnInputOrder, QStringLiteral("Plot datafield vs. Dataset Order|"));
    SetHint(*ui->sbtnHistogram, QStringLiteral("Plot histogram for selected datafield|"));
    SetHint(*ui->sbtnFreqPolygon, QStringLiteral("Plot Frequency Polygon for selected datafield|"));
    SetHint(*ui->sbtnCumHistogram,
            QStringLiteral("Plot cumulative % histogram for selected datafield|"));
    SetHint(*ui->sbtnReset, QStringLiteral("Clear Plot|"));
    SetHint(*ui->sbtnColor, QStringLiteral("Set Plot Colors|"));
    SetHint(*ui->sbtnClose, QStringLiteral("Close Plot Form|"));

    // The colour menu.
    ColorPopup = new QMenu(this);
    ColorPopup->setObjectName(QStringLiteral("ColorPopup"));
    QMenu* plots = AddSubmenu(*ColorPopup, "Plots1", QStringLiteral("&Plots"),
                              QStringLiteral("Set color of plot scatter dots"));
    struct ColourItem { const char* name; const char* caption; const char* hint; QColor colour; };
    const ColourItem dotItems[] = {
        {"mnuBlack", "&Black", "Set plot scatter dots to black", clBlack},
        {"mnuMaroon", "&Maroon", "Set plot scatter dots to maroon", clMaroon},
        {"mnuGray", "&Gray", "Set plot scatter dots to dark gray", clGray},
        {"mnuBlue", "Bl&ue", "Set plot scatter dots to navy blue", clNavy},
        {"mnuGreen", "G&reen", "Set plot scatter dots to green", clGreen},
    };
    for (const ColourItem& c : dotItems) {
        QAction* item = AddItem(*plots, c.name, QString::fromLatin1(c.caption), QString::fromLatin1(c.hint));
        const QColor colour = c.colour;
        connect(item, &QAction::triggered, this, [this, colour] { SetDotColor(colour); });
    }
    ColorPopup->addSeparator()->setObjectName(QStringLiteral("N1"));
    QMenu* background = AddSubmenu(*ColorPopup, "Background1", QStringLiteral("&Background"),
                                   QStringLiteral("Set plot background colors"));
    const ColourItem backgroundItems[] = {
        {"White1", "&White", "Set plot background to white", clWhite},
        {"Yellow1", "&Yellow", "Set plot background to yellow", clYellow},
        {"Aqua1", "&Aqua", "Set plot background to light blue", clAqua},
        {"Teal1", "&Teal", "Set plot background to teal green", clTeal},
    };
    for (const ColourItem& c : backgroundItems) {
        QAction* item = AddItem(*background, c.name, QString::fromLatin1(c.caption), QString::fromLatin1(c.hint));
        const QColor colour = c.colour;
        connect(item, &QAction::triggered, this, [this, colour] { SetBackground(colour); });
    }

    // The record-set menu; its hints are written each time it opens.
    ScatterPopup = new QMenu(this);
    ScatterPopup->setObjectName(QStringLiteral("ScatterPopup"));
    FirstSet1 = AddItem(*ScatterPopup, "FirstSet1", QStringLiteral("&First Set"), QString());
    PrevSet1 = AddItem(*ScatterPopup, "PrevSet1", QStringLiteral("&Prior Set"), QString());
    NextSet1 = AddItem(*ScatterPopup, "NextSet1", QStringLiteral("&Next Set"), QString());
    PrevSet1->setEnabled(false);
    NextSet1->setEnabled(false);
    connect(ScatterPopup, &QMenu::aboutToShow, this, [this] { ScatterPopupPopup(); });
    connect(FirstSet1, &QAction::triggered, this, [this] { FirstSet1Click(); });
    connect(PrevSet1, &QAction::triggered, this, [this] { PrevSet1Click(); });
    connect(NextSet1, &QAction::triggered, this, [this] { NextSet1Click(); });

    // The class-count menu. An item's tag is the class-cache slot it selects.
    HistogramPopup = new QMenu(this);
    HistogramPopup->setObjectName(QStringLiteral("HistogramPopup"));
    QMenu* classes = AddSubmenu(*HistogramPopup, "FrequencyClasses1", QStringLiteral("&Frequency Classes"),
                                QStringLiteral("Change the number of freqency classes for the histogram"));
    struct ClassItem { const char* name; int count; };
    const ClassItem classItems[] = {{"N51", 5},   {"N101", 10}, {"N151", 15}, {"N201", 20},
                                    {"N251", 25}, {"N351", 35}, {"N501", 50}, {"N1001", 100}};
    int tag = 0;
    for (const ClassItem& c : classItems) {
        ++tag;
        QAction* item = AddItem(*classes, c.name,
                                QStringLiteral("&%1   %2 Classes").arg(tag).arg(c.count),
                                QStringLiteral("Set the number of distinct frequency classes to %1")
                                    .arg(c.count));
        item->setData(tag);
        item->setCheckable(true);
        connect(item, &QAction::triggered, this, [this, item] { FreqClassSet(item); });
        classItems_.push_back(item);
    }
    // The 100-class item selects a slot the component does not prepare; it stays hidden.
    classItems_.back()->setVisible(false);
    HistogramPopup->addSeparator()->setObjectName(QStringLiteral("N2"));
    PlotHistogram1 = AddItem(*HistogramPopup, "PlotHistogram1", QStringLiteral("Plot &Histogram"),
                             QStringLiteral("Plot the histogram (polygon) with current frequency class count"));
    connect(PlotHistogram1, &QAction::triggered, this, [this] { PlotHistogram1Click(); });

    connect(ui->sbtnInputOrder, &QToolButton::clicked, this, [this] { sbtnInputOrderClick(); });
    connect(ui->sbtnHistogram, &QToolButton::clicked, this, [this] { sbtnHistogramClick(); });
    connect(ui->sbtnFreqPolygon, &QToolButton::clicked, this, [this] { sbtnFreqPolygonClick(); });
    connect(ui->sbtnCumHistogram, &QToolButton::clicked, this, [this] { sbtnCumHistogramClick(); });
    connect(ui->sbtnReset, &QToolButton::clicked, this, [this] { ResetPlotEnv(); });
    connect(ui->sbtnColor, &QToolButton::clicked, this, [this] { sbtnColorClick(); });
    connect(ui->sbtnClose, &QToolButton::clicked, this, [this] { sbtnCloseClick(); });
    connect(ui->PlotImage, &TImage::MouseMove, this,
            [this](Qt::KeyboardModifiers shift, int px, int py) { PlotImageMouseMove(shift, px, py); });
    connect(ui->PlotImage, &TImage::MouseDown, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int px, int py) {
                PlotImageMouseDown(button, shift, px, py);
            });

    FormCreate();
}

TRivuReviPlotForm::~TRivuReviPlotForm() = default;

void TRivuReviPlotForm::FormCreate()
{
    // The application's hint handler is taken over only while the window is shown (Plot), so
    // that creating a component never silences the status line of the application.
    DotColor = ui->sbtnColor->palette().color(QPalette::ButtonText);
    CanvasColor = clWhite;
    ui->PlotImage->SetHint(QStringLiteral("|"));
    glLastDrawn = TDrawHistory::None;
}

// --- Binding, activation, reset and redraw

void TRivuReviPlotForm::Bind(TStatistics& dataset)
{
    glDataset = &dataset;
    n = dataset.GetdsDataCount();
    // A component that read fewer than two values reports -1: it has no record set at all.
    const std::int64_t usable = n < 2 ? 0 : n;
    nPlot = std::uint16_t(std::min<std::int64_t>(usable, dataset.RecordPlotCount()));
    glStart = 1;
    glStop = nPlot;
    xmin = dataset.Minimum();
    xmax = dataset.Maximum();
    const std::int64_t count = std::min<std::int64_t>(nPlot, LastPlottable());
    for (std::int64_t k = 1; k <= count; ++k)
        x[std::size_t(k - 1)] = dataset.GetdsValue(k);
}

void TRivuReviPlotForm::SetScales()
{
    // With no record set (nPlot = 0) the polygon uses the full width, like the histograms.
    WidthScale = nPlot > 0 ? 1.0 - 1.0 / nPlot : 1.0;
    HeightScale = 0.95;
    PlotWidth = ui->PlotImage->PictureWidth() * WidthScale;
    PlotHeight = ui->PlotImage->PictureHeight() * HeightScale;
}

std::int64_t TRivuReviPlotForm::LastPlottable() const
{
    return n < 2 ? 0 : std::min<std::int64_t>(n, MaxStoredValues);
}

void TRivuReviPlotForm::Plot(TStatistics& dataset)
{
    Bind(dataset);
    SetScales();
    FontColor = clNavy;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    HintHandlerScope hints([this](const QString& status) { ShowHint(status); });
    deactivated_ = false;
    // The first showing activates the window.
    FormActivate();
    if (n < 2)
        SetPlotStatus(NoValues);
    ShowModal(*this);
}

void TRivuReviPlotForm::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::ActivationChange) {
        // Another window of the application takes activation from it (a popup menu of the
        // window does not); returning from another application, when no window of this one
        // was active, is no reason to reset.
        if (!isActiveWindow())
            deactivated_ = deactivated_ || QApplication::activeWindow() != nullptr;
        else if (deactivated_) {
            deactivated_ = false;
            FormActivate();
        }
    }
    QDialog::changeEvent(event);
}

void TRivuReviPlotForm::FormActivate()
{
    ui->PlotImage->Canvas().Refresh();
    ResetPlotEnv();
    ui->sbtnReset->setEnabled(true);
    NextSet1->setEnabled(false);
    PrevSet1->setEnabled(false);
}

void TRivuReviPlotForm::ResetPlotEnv()
{
    setWindowTitle(ResetTitle);
    for (QLabel* label : {ui->yMinLabel, ui->yMidLabel, ui->yMaxLabel, ui->xMinLabel,
                          ui->xMidLabel, ui->xMaxLabel})
        label->clear();
    SetCanvasColor(CanvasColor);
    SetCanvas();
    ui->PlotImage->SetHint(QStringLiteral("|"));
    ui->PlotImage->SetShowHint(false);
    glLastDrawn = TDrawHistory::None;
    lastX = 0;
    // An explanation of the plot that is being cleared goes with it.
    if (!emptyReason_.isEmpty() && ui->StatusBar->text() == emptyReason_)
        ui->StatusBar->clear();
    emptyReason_.clear();
}

void TRivuReviPlotForm::SetCanvasColor(const QColor& Color)
{
    CanvasColor = Color;
    TCanvas& canvas = ui->PlotImage->Canvas();
    canvas.Brush.Color = Color;
    canvas.FillRect(0, 0, ui->PlotImage->PictureWidth(), ui->PlotImage->PictureHeight());
}

void TRivuReviPlotForm::SetCanvas()
{
    ui->PlotImage->setVisible(true);
    TCanvas& canvas = ui->PlotImage->Canvas();
    canvas.Refresh();
    canvas.Brush.Color = DotColor;
    canvas.Font.Color = FontColor;
    canvas.Font.Name = QStringLiteral("Arial");
    canvas.Font.Size = 5;
}

void TRivuReviPlotForm::SetAxes(std::uint16_t XDigits, std::uint16_t YDigits, double XFrom,
                                double XTo, double YFrom, double YTo)
{
    auto text = [](double v, int digits) {
        return std::isnan(v) ? QStringLiteral("undefined")
                             : QString::fromStdString(FloatToStrF(v, 7, digits));
    };
    // The labels of fixed size keep their place; a value too wide for one is written in a
    // smaller face rather than cut off.
    auto fit = [](QLabel* label, const QString& value) {
        QFont font = label->font();
        font.setPixelSize(AxisFontPixels);
        while (font.pixelSize() > MinAxisFontPixels
               && QFontMetrics(font).horizontalAdvance(value) > label->width())
            font.setPixelSize(font.pixelSize() - 1);
        label->setFont(font);
        label->setText(value);
    };
    fit(ui->xMaxLabel, text(XTo, XDigits));
    ui->xMinLabel->setText(text(XFrom, XDigits));
    ui->xMinLabel->resize(ui->xMinLabel->sizeHint().width(), ui->xMinLabel->height());
    fit(ui->yMaxLabel, text(YTo, YDigits));
    fit(ui->yMinLabel, text(YFrom, YDigits));
    fit(ui->xMidLabel, text((XFrom + XTo) * 0.5, XDigits));
    fit(ui->yMidLabel, text((YFrom + YTo) * 0.5, YDigits));
}

void TRivuReviPlotForm::SetPlotStatus(const QString& reason)
{
    emptyReason_ = reason;
    ui->StatusBar->setText(reason);
    if (!reason.isEmpty())
        ui->PlotImage->SetHint(QStringLiteral("|") + reason);
}

void TRivuReviPlotForm::Redraw()
{
    switch (glLastDrawn) {
    case TDrawHistory::InputOrder: PlotNextSet(); break;
    case TDrawHistory::Histogram: PlotHistogram(); break;
    case TDrawHistory::Polygon: PlotFreqPolygon(); break;
    case TDrawHistory::CumulHistogram: PlotCumHistogram(); break;
    case TDrawHistory::None: break;
    }
    QPalette palette = ui->sbtnColor->palette();
    palette.setColor(QPalette::ButtonText, DotColor);
    ui->sbtnColor->setPalette(palette);
}

void TRivuReviPlotForm::ShowHint(const QString& status) { ui->StatusBar->setText(status); }

void TRivuReviPlotForm::SetDotColor(const QColor& color)
{
    DotColor = color;
    Redraw();
}

void TRivuReviPlotForm::SetBackground(const QColor& color)
{
    SetCanvasColor(color);
    Redraw();
}

void TRivuReviPlotForm::sbtnCloseClick() { close(); }

void TRivuReviPlotForm::PopupUnder(QMenu& menu, const QToolButton& button)
{
    // Under the middle of the button's bottom edge, measured from the window's outer
    // top-left corner.
    const QPoint at(ui->Panel1->x() + pos().x() + button.x() + button.width() / 2,
                    ui->Panel1->y() + pos().y() + button.y() + button.height());
    menu.popup(at);
}

void TRivuReviPlotForm::sbtnColorClick() { PopupUnder(*ColorPopup, *ui->sbtnColor); }

void TRivuReviPlotForm::sbtnInputOrderClick() { PopupUnder(*ScatterPopup, *ui->sbtnInputOrder); }

void TRivuReviPlotForm::sbtnHistogramClick()
{
    glCurrentPlot = TDrawHistory::Histogram;
    PlotHistogram1->setText(QStringLiteral("Plot &Histogram"));
    PopupUnder(*HistogramPopup, *ui->sbtnHistogram);
}

void TRivuReviPlotForm::sbtnFreqPolygonClick()
{
    glCurrentPlot = TDrawHistory::Polygon;
    PlotHistogram1->setText(QStringLiteral("Plot &Polygon"));
    PopupUnder(*HistogramPopup, *ui->sbtnFreqPolygon);
}

void TRivuReviPlotForm::sbtnCumHistogramClick()
{
    glCurrentPlot = TDrawHistory::CumulHistogram;
    PlotHistogram1->setText(QStringLiteral("Plot &Histogram"));
    PopupUnder(*HistogramPopup, *ui->sbtnCumHistogram);
}

QString TRivuReviPlotForm::FieldName() const
{
    return glDataset ? QString::fromStdString(glDataset->StatFieldName()) : QString();
}

QString TRivuReviPlotForm::SourceName() const
{
    return glDataset ? QString::fromStdString(glDataset->DataSourceName()) : QString();
}

// --- The input-order plot and its record sets

bool TRivuReviPlotForm::NextPlotSet(std::vector<double>& Buffer, std::int64_t StartStep,
                                    std::int64_t StopStep)
{
    if (glStart + StartStep <= 0)
        return false;
    const std::int64_t start = std::max<std::int64_t>(1, glStart + StartStep);
    // A set ends at the last value the component stores, never beyond.
    const std::int64_t stop = std::min(LastPlottable(), glStop + StopStep);
    // A set with no record in it is refused; the current set stays.
    if (start > stop)
        return false;
    glStart = start;
    glStop = stop;
    const std::int64_t count = std::min<std::int64_t>(glStop - glStart + 1, std::int64_t(Buffer.size()));
    for (std::int64_t j = 0; j < count; ++j)
        Buffer[std::size_t(j)] = glDataset->GetdsValue(glStart + j);
    return true;
}

void TRivuReviPlotForm::PlotNextSet()
{
    ResetPlotEnv();
    SetAxes(0, 2, double(glStart), double(glStop), xmin, xmax);
    setWindowTitle(QStringLiteral("Plot of ") + FieldName() + QStringLiteral(" from ") + SourceName()
                   + QStringLiteral(" by Dataset Order"));
    QString reason;
    const int H = ui->PlotImage->PictureHeight();
    if (glDataset == nullptr || n < 2)
        reason = NoValues;
    else if (nPlot == 0)
        reason = NoRecordsPerSet;
    else if (!std::isfinite(xmin) || !std::isfinite(xmax))
        reason = UndefinedRange;
    else if (glStop <= glStart)
        reason = QStringLiteral("This set holds only record %1: a set needs two records to be drawn.")
                     .arg(glStart);
    else {
        // The vertical scale divides by the range of the values; when they are all equal it
        // has none, and the dots are drawn on one line at mid-height.
        const bool flat = !(xmax > xmin) || !std::isfinite(PlotHeight / (xmax - xmin));
        if (flat)
            reason = EqualValuesDots;
        const std::int64_t count = std::min<std::int64_t>(glStop - glStart + 1, std::int64_t(x.size()));
        for (std::int64_t j = 0; j < count; ++j) {
            const int px = Trunc(double(j) / double(glStop - glStart) * PlotWidth);
            const int py = flat ? H - Trunc(PlotHeight * 0.5)
                                : H - Trunc((x[std::size_t(j)] - xmin) * PlotHeight / (xmax - xmin));
            DrawDots(px, py, 4, CanvasColor);
        }
    }
    ui->PlotImage->SetShowHint(false);
    glLastDrawn = TDrawHistory::InputOrder;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::DrawDots(int X, int Y, std::uint16_t DotSize, const QColor& Color)
{
    TCanvas& canvas = ui->PlotImage->Canvas();
    canvas.Ellipse(X, Y, X + DotSize, Y + DotSize);
    canvas.FloodFill(X + DotSize / 2, Y + DotSize / 2, Color);
    canvas.Refresh();
}

void TRivuReviPlotForm::FirstSet1Click()
{
    glStart = 1;
    glStop = nPlot;
    NextSet1->setEnabled(NextPlotSet(x, 0, 0));
    PrevSet1->setEnabled(false);
    PlotNextSet();
}

void TRivuReviPlotForm::NextSet1Click()
{
    const std::int64_t stopStep = std::min<std::int64_t>(nPlot, LastPlottable() - glStop);
    NextSet1->setEnabled(NextPlotSet(x, nPlot, stopStep));
    PrevSet1->setEnabled(true);
    PlotNextSet();
}

void TRivuReviPlotForm::PrevSet1Click()
{
    NextSet1->setEnabled(true);
    const std::int64_t stopStep = -std::min<std::int64_t>(nPlot, glStop - glStart);
    PrevSet1->setEnabled(NextPlotSet(x, -std::int64_t(nPlot), stopStep));
    PlotNextSet();
}

void TRivuReviPlotForm::ScatterPopupPopup()
{
    SetHint(*FirstSet1, QStringLiteral("Plot first ") + Num(nPlot) + QStringLiteral(" records."));
    const std::int64_t last = LastPlottable();
    // Without a record set there is nothing to page through.
    PrevSet1->setEnabled(PrevSet1->isEnabled() && nPlot > 0 && glStart > 1);
    NextSet1->setEnabled(NextSet1->isEnabled() && nPlot > 0 && last > glStop);
    if (PrevSet1->isEnabled())
        SetHint(*PrevSet1, QStringLiteral("Plot records ") + Num(glStart - nPlot) + QStringLiteral(" to ")
                               + Num(glStop - std::min<std::int64_t>(glStop - glStart, nPlot))
                               + QStringLiteral("."));
    else
        SetHint(*PrevSet1, QStringLiteral("No prior record set."));
    if (NextSet1->isEnabled())
        SetHint(*NextSet1, QStringLiteral("Plot records ") + Num(glStart + nPlot) + QStringLiteral(" to ")
                               + Num(std::min<std::int64_t>(last, glStop + nPlot)) + QStringLiteral("."));
    else if (n < 2)
        SetHint(*NextSet1, NoValues);
    else if (nPlot == 0)
        SetHint(*NextSet1, NoRecordsPerSet);
    else if (glStop >= MaxStoredValues && n > glStop)
        // The component stores the first 10000 values only.
        SetHint(*NextSet1, QStringLiteral("Cannot plot records above ") + Num(glStop) + QStringLiteral("."));
    else if (glStop == n)
        SetHint(*NextSet1, glStart == 1 ? QStringLiteral("Only one set of records.")
                                        : QStringLiteral("All records have been plotted."));
}

// --- The class plots

QString TRivuReviPlotForm::ClassPlotProblem(bool needsModalFrequency) const
{
    if (glDataset == nullptr || n < 2)
        return NoValues;
    const int k = glDataset->FreqClasses();
    if (k == 0)
        return NoClasses;
    const double first = glDataset->GetdsClassStart(1);
    const double last = glDataset->GetdsClassEnd(k);
    if (!std::isfinite(first) || !std::isfinite(last))
        return UndefinedBounds;
    if (!(last > first) || !std::isfinite(last - first))
        return NoClassWidth;
    if (needsModalFrequency) {
        if (glDataset->GetdsModeClass() <= 0)
            return NoCounts;
    } else {
        bool any = false;
        for (int i = 1; i <= k; ++i)
            any = any || glDataset->GetdsClassCount(i) > 0;
        if (!any)
            return NoCounts;
    }
    return QString();
}

int TRivuReviPlotForm::ClassColumn(double value, double first, double last) const
{
    return Trunc((value - first) / (last - first) * ui->PlotImage->PictureWidth());
}

void TRivuReviPlotForm::PlotHistogram()
{
    ResetPlotEnv();
    random_.seed(quint32(QDateTime::currentMSecsSinceEpoch()));
    const QString reason = ClassPlotProblem(true);
    const int k = glDataset && n >= 2 ? glDataset->FreqClasses() : 0;
    const double modal = glDataset ? double(glDataset->GetdsModeClass()) : 0.0;
    double first = 0, last = 0;
    if (k > 0) {
        first = glDataset->GetdsClassStart(1);
        last = glDataset->GetdsClassEnd(k);
        SetAxes(2, 0, first, last, 0, modal);
    }
    setWindowTitle(QStringLiteral("Histogram for ") + FieldName() + QStringLiteral(" from ") + SourceName());
    if (reason.isEmpty()) {
        TCanvas& canvas = ui->PlotImage->Canvas();
        const int H = ui->PlotImage->PictureHeight();
        for (int i = 1; i <= k; ++i) {
            const double start = glDataset->GetdsClassStart(i), end = glDataset->GetdsClassEnd(i);
            if (!std::isfinite(start) || !std::isfinite(end))
                continue;
            const std::int64_t count = glDataset->GetdsClassCount(i);
            const int left = ClassColumn(start, first, last);
            const int right = ClassColumn(end, first, last);
            const int bottom = H;
            const int top = H - Trunc(double(count) / modal * PlotHeight);
            canvas.Pen.Color = clBlack;
            canvas.Font.Color = clBlack;
            canvas.Font.Size = 7;
            // Random bar colours with no blue: red and green from one number below 65535.
            const quint32 r = random_.bounded(65535u);
            canvas.Brush.Color = QColor(int(r % 256), int(r / 256), 0);
            canvas.Rectangle(left, top, right, bottom);
            canvas.Brush.Color = clWhite;
            if (modal < 1000)
                canvas.TextOut(Trunc((left + right) * 0.5), Trunc((bottom + top) * 0.5), Num(count));
        }
    }
    ui->PlotImage->SetShowHint(true);
    glLastDrawn = TDrawHistory::Histogram;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::PlotCumHistogram()
{
    ResetPlotEnv();
    random_.seed(quint32(QDateTime::currentMSecsSinceEpoch()));
    const QString reason = ClassPlotProblem(false);
    const int k = glDataset && n >= 2 ? glDataset->FreqClasses() : 0;
    double first = 0, last = 0;
    if (k > 0) {
        first = glDataset->GetdsClassStart(1);
        last = glDataset->GetdsClassEnd(k);
        SetAxes(2, 0, first, last, 0, 100);
    }
    setWindowTitle(QStringLiteral("Cumulative % Histogram for ") + FieldName() + QStringLiteral(" from ")
                   + SourceName());
    if (reason.isEmpty()) {
        TCanvas& canvas = ui->PlotImage->Canvas();
        const int H = ui->PlotImage->PictureHeight();
        for (int i = 1; i <= k; ++i) {
            const double start = glDataset->GetdsClassStart(i), end = glDataset->GetdsClassEnd(i);
            const double cumulative = glDataset->GetdsClassCumPercent(i);
            if (!std::isfinite(start) || !std::isfinite(end) || !std::isfinite(cumulative))
                continue;
            const int left = ClassColumn(start, first, last);
            const int right = ClassColumn(end, first, last);
            const int bottom = H;
            const int top = H - Trunc(cumulative * 0.01 * PlotHeight);
            canvas.Pen.Color = clBlack;
            canvas.Font.Color = clBlack;
            canvas.Font.Size = 7;
            const quint32 r = random_.bounded(65535u);
            canvas.Brush.Color = QColor(int(r % 256), int(r / 256), 0);
            canvas.Rectangle(left, top, right, bottom);
            canvas.Brush.Color = clWhite;
        }
    }
    ui->PlotImage->SetShowHint(true);
    glLastDrawn = TDrawHistory::CumulHistogram;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::PlotFreqPolygon()
{
    ResetPlotEnv();
    const QString reason = ClassPlotProblem(true);
    const int k = glDataset && n >= 2 ? glDataset->FreqClasses() : 0;
    const double modal = glDataset ? double(glDataset->GetdsModeClass()) : 0.0;
    double first = 0, last = 0;
    if (k > 0) {
        first = glDataset->GetdsClassStart(1);
        last = glDataset->GetdsClassEnd(k);
        SetAxes(2, 0, first, last, 0, modal);
    }
    // This title shows a table's name exactly as set, directory included.
    const QString source =
        glDataset != nullptr ? QString::fromStdString(glDataset->SourceTitle()) : QString();
    setWindowTitle(QStringLiteral("Frequency Polygon for ") + FieldName() + QStringLiteral(" from ") + source);
    if (reason.isEmpty()) {
        TCanvas& canvas = ui->PlotImage->Canvas();
        const int W = ui->PlotImage->PictureWidth();
        const int H = ui->PlotImage->PictureHeight();
        canvas.MoveTo(0, H);
        for (int i = 1; i <= k; ++i) {
            const double start = glDataset->GetdsClassStart(i), end = glDataset->GetdsClassEnd(i);
            if (!std::isfinite(start) || !std::isfinite(end))
                continue;
            const double mid = (start + end) * 0.5;
            // The polygon is scaled to PlotWidth, not to the full width of the histograms.
            const int px = Trunc((mid - first) * PlotWidth / (last - first));
            const int py = H - Trunc(double(glDataset->GetdsClassCount(i)) / modal * PlotHeight);
            canvas.Brush.Color = DotColor;
            canvas.Pen.Color = clBlack;
            canvas.LineTo(px, py);
            DrawDots(px, py, 4, CanvasColor);
        }
        canvas.LineTo(W, H);
    }
    ui->PlotImage->SetShowHint(true);
    glLastDrawn = TDrawHistory::Polygon;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::FreqClassSet(QAction* Sender)
{
    if (glDataset == nullptr)
        return;
    glDataset->SetClassDataFromCache(Sender->data().toInt());
    CheckItem(Sender);
    PlotHistogram1Click();
}

void TRivuReviPlotForm::CheckItem(QAction* Item)
{
    for (QAction* item : classItems_)
        item->setChecked(item == Item);
}

void TRivuReviPlotForm::PlotHistogram1Click()
{
    switch (glCurrentPlot) {
    case TDrawHistory::Histogram: PlotHistogram(); break;
    case TDrawHistory::Polygon: PlotFreqPolygon(); break;
    case TDrawHistory::CumulHistogram: PlotCumHistogram(); break;
    default: break;
    }
}

// --- The pointer read-out

void TRivuReviPlotForm::PlotImageMouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int X, int)
{
    lastX = X;
}

void TRivuReviPlotForm::PlotImageMouseMove(Qt::KeyboardModifiers, int X, int)
{
    // A class table that cannot be scaled has no columns to read out; the image keeps its
    // hint, which then says why the plot is empty.
    if (glDataset == nullptr || glDataset->FreqClasses() == 0)
        return;
    const int k = glDataset->FreqClasses();
    const double first = glDataset->GetdsClassStart(1);
    const double last = glDataset->GetdsClassEnd(k);
    if (!std::isfinite(first) || !std::isfinite(last) || !(last > first) || !std::isfinite(last - first))
        return;
    const int W = ui->PlotImage->PictureWidth();
    const double classWidth =
        (glDataset->GetdsClassEnd(1) - glDataset->GetdsClassStart(1)) * W / (last - first);
    for (int i = 1; i <= k; ++i) {
        const double start = glDataset->GetdsClassStart(i), end = glDataset->GetdsClassEnd(i);
        if (!std::isfinite(start) || !std::isfinite(end))
            continue;
        if (ClassColumn(start, first, last) > X || X > ClassColumn(end, first, last))
            continue;
        const double mid = (start + end) * 0.5;
        // No read-out over an empty image, the input-order plot, the cumulative histogram or a
        // class plot that could not be drawn.
        if (glLastDrawn == TDrawHistory::None || glLastDrawn == TDrawHistory::InputOrder
            || glLastDrawn == TDrawHistory::CumulHistogram || !emptyReason_.isEmpty()) {
            ui->PlotImage->SetHint(QStringLiteral("|") + emptyReason_);
            continue;
        }
        const QString midText = QString::fromStdString(FloatToStrF(mid, 8, 2));
        QString hint = QStringLiteral("Class ") + Num(i) + QStringLiteral(" midpoint is ") + midText
                       + QStringLiteral("|This is class ") + Num(i) + QStringLiteral(". Class frequency is ")
                       + Num(glDataset->GetdsClassCount(i)) + QStringLiteral(".");
        if (std::abs(X - lastX) > classWidth)
            hint += QStringLiteral(" Click mouse to update class data.");
        else
            hint += QStringLiteral(" Class ") + Num(i) + QStringLiteral(" midpoint is ") + midText;
        ui->PlotImage->SetHint(hint);
    }
}

// --- Pictures without a display

QImage TRivuReviPlotForm::Snapshot()
{
    // The client area as the window shows it, under a caption bar that carries the title,
    // since the title names the plot.
    const QImage client = grab().toImage();
    const int bar = 22;
    QImage picture(client.width(), client.height() + bar, QImage::Format_RGB32);
    picture.fill(QColor(240, 240, 240));
    QPainter painter(&picture);
    painter.fillRect(QRect(0, 0, client.width(), bar), clNavy);
    QFont titleFont(QStringLiteral("MS Sans Serif"));
    titleFont.setPixelSize(12);
    titleFont.setBold(true);
    painter.setFont(titleFont);
    painter.setPen(clWhite);
    painter.drawText(QRect(6, 0, client.width() - 28, bar), Qt::AlignLeft | Qt::AlignVCenter,
                     windowTitle());
    painter.drawText(QRect(client.width() - 20, 0, 16, bar), Qt::AlignCenter, QStringLiteral("x"));
    painter.drawImage(0, bar, client);
    painter.end();
    return picture;
}

QStringList RenderPlots(TStatistics& component, const QString& directory)
{
    TRivuReviPlotForm form;
    form.setAttribute(Qt::WA_DontShowOnScreen);
    form.Bind(component);
    form.SetScales();
    form.FontColor = clNavy;
    form.FormActivate();
    if (form.n < 2)
        form.SetPlotStatus(NoValues);

    const QDir dir(directory);
    QStringList written;
    auto save = [&](const char* name) {
        const QString path = dir.filePath(QString::fromLatin1(name));
        SavePngFile(form.Snapshot(), path);
        written << path;
    };
    form.FirstSet1Click();
    save("inputorder.png");
    form.glCurrentPlot = TDrawHistory::Histogram;
    form.PlotHistogram1Click();
    save("histogram.png");
    form.glCurrentPlot = TDrawHistory::CumulHistogram;
    form.PlotHistogram1Click();
    save("cumhistogram.png");
    form.glCurrentPlot = TDrawHistory::Polygon;
    form.PlotHistogram1Click();
    save("polygon.png");
    return written;
}

} // namespace zel
