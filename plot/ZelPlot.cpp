#include "zelstats/plot/ZelPlot.h"

#include "zelstats/gui/Canvas.h"
#include "zelstats/gui/Dialogs.h"
#include "zelstats/tools/Format.h"
#include "zelstats/gui/Hints.h"
#include "zelstats/gui/Image.h"
#include "zelstats/gui/ImageFile.h"
#include "zelstats/stats/ZelStats.h"
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
#include <exception>
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

// The speed buttons' pictures, painted here so that the package carries no image files. Each
// painter draws on a 24 x 24 pixmap; the plot pictures draw over a pair of axes.
void PaintAxes(QPainter& p)
{
    p.setPen(QPen(QColor(60, 60, 60), 1.2));
    p.drawLine(QPointF(3, 2), QPointF(3, 21));
    p.drawLine(QPointF(3, 21), QPointF(22, 21));
}

void PaintScatter(QPainter& p)
{
    p.setPen(Qt::NoPen);
    p.setBrush(clMaroon);
    const QPointF dots[] = {{6, 16}, {8.5, 12}, {11, 14}, {13.5, 8}, {16, 11}, {18.5, 5}, {20.5, 9}};
    for (const QPointF& d : dots)
        p.drawEllipse(d, 1.6, 1.6);
}

void PaintBars(QPainter& p)
{
    p.setPen(QPen(Qt::black, 0.8));
    const int heights[] = {6, 12, 16, 10, 5};
    for (int i = 0; i < 5; ++i) {
        p.setBrush(QColor(80 + 30 * i, 140 - 20 * i, 0));
        p.drawRect(QRectF(4.5 + 3.5 * i, 21 - heights[i], 3.5, heights[i]));
    }
}

void PaintPolygon(QPainter& p)
{
    p.setPen(QPen(Qt::black, 1.2));
    const QPointF pts[] = {{3, 21}, {7, 14}, {11, 6}, {15, 10}, {19, 16}, {22, 21}};
    p.drawPolyline(pts, 6);
    p.setPen(Qt::NoPen);
    p.setBrush(clMaroon);
    for (int i = 1; i < 5; ++i)
        p.drawRect(QRectF(pts[i].x() - 1.5, pts[i].y() - 1.5, 3, 3));
}

void PaintStairs(QPainter& p)
{
    p.setPen(QPen(clNavy, 1.4));
    const QPointF pts[] = {{4, 20}, {8, 20}, {8, 15}, {12, 15}, {12, 9},
                           {16, 9}, {16, 5}, {21, 5}};
    p.drawPolyline(pts, 8);
}

void PaintReset(QPainter& p)
{
    p.setPen(QPen(clNavy, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(5, 5, 14, 14), 100 * 16, 290 * 16);
    QPainterPath head;
    head.moveTo(9.5, 2.5);
    head.lineTo(14, 5.5);
    head.lineTo(9.5, 8.5);
    head.closeSubpath();
    p.fillPath(head, clNavy);
}

void PaintDoor(QPainter& p)
{
    p.setPen(QPen(Qt::black, 1.0));
    p.setBrush(QColor(150, 100, 50));
    p.drawRect(QRectF(6, 3, 11, 18));
    p.setBrush(QColor(230, 200, 0));
    p.drawEllipse(QPointF(14.5, 12.5), 1.2, 1.2);
    p.setPen(QPen(QColor(190, 0, 0), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(17, 4), QPointF(22, 9));
    p.drawLine(QPointF(22, 4), QPointF(17, 9));
}

QIcon ButtonPicture(void (*paint)(QPainter&), bool axes)
{
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    if (axes)
        PaintAxes(p);
    paint(p);
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

// An item of the colour menu, named, captioned and hinted.
struct ColourItem {
    const char* name;
    const char* caption;
    const char* hint;
    QColor colour;
};

QAction* AddColourItem(QMenu& menu, const ColourItem& item)
{
    return AddItem(menu, item.name, QString::fromLatin1(item.caption), QString::fromLatin1(item.hint));
}

} // namespace

TRivuReviPlotForm::TRivuReviPlotForm(QWidget* owner)
    : QDialog(owner), ui_(std::make_unique<Ui::TRivuReviPlotForm>()), x_(MaxStoredValues, 0.0)
{
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                   | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(420, 272);
    SetUpFonts();
    ui_->PlotImage->SetPictureSize(ui_->PlotImage->size());
    SetUpSpeedButtons();
    MakeColorMenu();
    MakeScatterMenu();
    MakeHistogramMenu();
    MakeImageMenu();
    ConnectControls();
    FormCreate();
}

TRivuReviPlotForm::~TRivuReviPlotForm() = default;

// --- The window's panels and menus

void TRivuReviPlotForm::SetUpFonts()
{
    QFont formFont(QStringLiteral("MS Sans Serif"));
    formFont.setPixelSize(11);
    formFont.setBold(true);
    setFont(formFont);
    // Set explicitly, or the labels would inherit the form's bold weight.
    QFont labelFont(QStringLiteral("Arial"));
    labelFont.setPixelSize(11);
    labelFont.setBold(false);
    for (QLabel* label : {ui_->yMaxLabel, ui_->yMidLabel, ui_->yMinLabel, ui_->xMinLabel,
                          ui_->xMidLabel, ui_->xMaxLabel, ui_->StatusBar}) {
        label->setFont(labelFont);
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, clBlack);
        label->setPalette(palette);
    }
}

// Speed buttons: pictures, the colour button's caption, and hints with tooltips.
void TRivuReviPlotForm::SetUpSpeedButtons()
{
    struct Picture { QToolButton* button; void (*paint)(QPainter&); bool axes; };
    for (const Picture& pic : {Picture{ui_->sbtnInputOrder, PaintScatter, true},
                               Picture{ui_->sbtnHistogram, PaintBars, true},
                               Picture{ui_->sbtnFreqPolygon, PaintPolygon, true},
                               Picture{ui_->sbtnCumHistogram, PaintStairs, true},
                               Picture{ui_->sbtnReset, PaintReset, false},
                               Picture{ui_->sbtnClose, PaintDoor, false}}) {
        pic.button->setIcon(ButtonPicture(pic.paint, pic.axes));
        pic.button->setIconSize(QSize(24, 24));
    }
    QFont colorFont(QStringLiteral("SwitzerlandCondBlack"));
    colorFont.setPixelSize(11);
    ui_->sbtnColor->setFont(colorFont);
    QPalette colorPalette = ui_->sbtnColor->palette();
    colorPalette.setColor(QPalette::ButtonText, clMaroon);
    ui_->sbtnColor->setPalette(colorPalette);
    SetHint(*ui_->sbtnInputOrder, QStringLiteral("Plot datafield vs. Dataset Order|"));
    SetHint(*ui_->sbtnHistogram, QStringLiteral("Plot histogram for selected datafield|"));
    SetHint(*ui_->sbtnFreqPolygon, QStringLiteral("Plot Frequency Polygon for selected datafield|"));
    SetHint(*ui_->sbtnCumHistogram,
            QStringLiteral("Plot cumulative % histogram for selected datafield|"));
    SetHint(*ui_->sbtnReset, QStringLiteral("Clear Plot|"));
    SetHint(*ui_->sbtnColor, QStringLiteral("Set Plot Colors|"));
    SetHint(*ui_->sbtnClose, QStringLiteral("Close Plot Form|"));
}

void TRivuReviPlotForm::MakeColorMenu()
{
    colorPopup_ = new QMenu(this);
    colorPopup_->setObjectName(QStringLiteral("ColorPopup"));
    QMenu* plots = AddSubmenu(*colorPopup_, "Plots1", QStringLiteral("&Plots"),
                              QStringLiteral("Set color of plot scatter dots"));
    const ColourItem dotItems[] = {
        {"mnuBlack", "&Black", "Set plot scatter dots to black", clBlack},
        {"mnuMaroon", "&Maroon", "Set plot scatter dots to maroon", clMaroon},
        {"mnuGray", "&Gray", "Set plot scatter dots to dark gray", clGray},
        {"mnuBlue", "Bl&ue", "Set plot scatter dots to navy blue", clNavy},
        {"mnuGreen", "G&reen", "Set plot scatter dots to green", clGreen},
    };
    for (const ColourItem& c : dotItems) {
        const QColor colour = c.colour;
        connect(AddColourItem(*plots, c), &QAction::triggered, this,
                [this, colour] { SetDotColor(colour); });
    }
    colorPopup_->addSeparator()->setObjectName(QStringLiteral("N1"));
    QMenu* background = AddSubmenu(*colorPopup_, "Background1", QStringLiteral("&Background"),
                                   QStringLiteral("Set plot background colors"));
    const ColourItem backgroundItems[] = {
        {"White1", "&White", "Set plot background to white", clWhite},
        {"Yellow1", "&Yellow", "Set plot background to yellow", clYellow},
        {"Aqua1", "&Aqua", "Set plot background to light blue", clAqua},
        {"Teal1", "&Teal", "Set plot background to teal green", clTeal},
    };
    for (const ColourItem& c : backgroundItems) {
        const QColor colour = c.colour;
        connect(AddColourItem(*background, c), &QAction::triggered, this,
                [this, colour] { SetBackground(colour); });
    }
}

// The record-set menu; its hints are written each time it opens.
void TRivuReviPlotForm::MakeScatterMenu()
{
    scatterPopup_ = new QMenu(this);
    scatterPopup_->setObjectName(QStringLiteral("ScatterPopup"));
    firstSetItem_ = AddItem(*scatterPopup_, "FirstSet1", QStringLiteral("&First Set"), QString());
    prevSetItem_ = AddItem(*scatterPopup_, "PrevSet1", QStringLiteral("&Prior Set"), QString());
    nextSetItem_ = AddItem(*scatterPopup_, "NextSet1", QStringLiteral("&Next Set"), QString());
    prevSetItem_->setEnabled(false);
    nextSetItem_->setEnabled(false);
    connect(scatterPopup_, &QMenu::aboutToShow, this, [this] { ScatterPopupPopup(); });
    connect(firstSetItem_, &QAction::triggered, this, [this] { FirstSet1Click(); });
    connect(prevSetItem_, &QAction::triggered, this, [this] { PrevSet1Click(); });
    connect(nextSetItem_, &QAction::triggered, this, [this] { NextSet1Click(); });
}

// The class-count menu. An item's tag is the class-cache slot it selects.
void TRivuReviPlotForm::MakeHistogramMenu()
{
    histogramPopup_ = new QMenu(this);
    histogramPopup_->setObjectName(QStringLiteral("HistogramPopup"));
    QMenu* classes = AddSubmenu(*histogramPopup_, "FrequencyClasses1", QStringLiteral("&Frequency Classes"),
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
    histogramPopup_->addSeparator()->setObjectName(QStringLiteral("N2"));
    plotClassesItem_ = AddItem(*histogramPopup_, "PlotHistogram1", QStringLiteral("Plot &Histogram"),
                             QStringLiteral("Plot the histogram (polygon) with current frequency class count"));
    connect(plotClassesItem_, &QAction::triggered, this, [this] { PlotHistogram1Click(); });
}

// The plot image's context menu.
void TRivuReviPlotForm::MakeImageMenu()
{
    imageMenu_ = new QMenu(this);
    imageMenu_->setObjectName(QStringLiteral("ImageMenu"));
    QAction* save = AddItem(*imageMenu_, "SavePicture1", QStringLiteral("&Save picture…"),
                            QStringLiteral("Save the plot as a PNG picture"));
    connect(save, &QAction::triggered, this, [this] { SavePictureClick(); });
    TImage* image = ui_->PlotImage;
    image->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(image, &QWidget::customContextMenuRequested, this,
            [this, image](const QPoint& at) { imageMenu_->popup(image->mapToGlobal(at)); });
}

void TRivuReviPlotForm::ConnectControls()
{
    connect(ui_->sbtnInputOrder, &QToolButton::clicked, this, [this] { sbtnInputOrderClick(); });
    connect(ui_->sbtnHistogram, &QToolButton::clicked, this, [this] { sbtnHistogramClick(); });
    connect(ui_->sbtnFreqPolygon, &QToolButton::clicked, this, [this] { sbtnFreqPolygonClick(); });
    connect(ui_->sbtnCumHistogram, &QToolButton::clicked, this, [this] { sbtnCumHistogramClick(); });
    connect(ui_->sbtnReset, &QToolButton::clicked, this, [this] { ResetPlotEnv(); });
    connect(ui_->sbtnColor, &QToolButton::clicked, this, [this] { sbtnColorClick(); });
    connect(ui_->sbtnClose, &QToolButton::clicked, this, [this] { sbtnCloseClick(); });
    connect(ui_->PlotImage, &TImage::MouseMove, this,
            [this](Qt::KeyboardModifiers shift, int px, int py) { PlotImageMouseMove(shift, px, py); });
    connect(ui_->PlotImage, &TImage::MouseDown, this,
            [this](Qt::MouseButton button, Qt::KeyboardModifiers shift, int px, int py) {
                PlotImageMouseDown(button, shift, px, py);
            });
}

void TRivuReviPlotForm::FormCreate()
{
    // The application's hint handler is taken over only while the window is shown (Plot), so
    // that creating a component never silences the status line of the application.
    dotColor_ = ui_->sbtnColor->palette().color(QPalette::ButtonText);
    canvasColor_ = clWhite;
    ui_->PlotImage->SetHint(QStringLiteral("|"));
    lastDrawn_ = TDrawHistory::None;
}

// --- Binding, activation, reset and redraw

void TRivuReviPlotForm::Bind(TStatistics& dataset)
{
    dataset_ = &dataset;
    n_ = dataset.GetdsDataCount();
    // A component that read fewer than two values reports -1: it has no record set at all.
    const std::int64_t usable = n_ < 2 ? 0 : n_;
    nPlot_ = std::uint16_t(std::min<std::int64_t>(usable, dataset.RecordPlotCount()));
    start_ = 1;
    stop_ = nPlot_;
    xMin_ = dataset.Minimum();
    xMax_ = dataset.Maximum();
    const std::int64_t count = std::min<std::int64_t>(nPlot_, LastPlottable());
    for (std::int64_t k = 1; k <= count; ++k)
        x_[std::size_t(k - 1)] = dataset.GetdsValue(k);
}

void TRivuReviPlotForm::SetScales()
{
    // With no record set (nPlot_ = 0) the polygon uses the full width, like the histograms.
    widthScale_ = nPlot_ > 0 ? 1.0 - 1.0 / nPlot_ : 1.0;
    heightScale_ = 0.95;
    plotWidth_ = ui_->PlotImage->PictureWidth() * widthScale_;
    plotHeight_ = ui_->PlotImage->PictureHeight() * heightScale_;
}

std::int64_t TRivuReviPlotForm::LastPlottable() const
{
    return n_ < 2 ? 0 : std::min<std::int64_t>(n_, MaxStoredValues);
}

void TRivuReviPlotForm::Plot(TStatistics& dataset)
{
    Bind(dataset);
    SetScales();
    fontColor_ = clNavy;
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());

    HintHandlerScope hints([this](const QString& status) { ShowHint(status); });
    deactivated_ = false;
    // The first showing activates the window.
    FormActivate();
    if (n_ < 2)
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
    ui_->PlotImage->Canvas().Refresh();
    ResetPlotEnv();
    ui_->sbtnReset->setEnabled(true);
    nextSetItem_->setEnabled(false);
    prevSetItem_->setEnabled(false);
}

void TRivuReviPlotForm::ResetPlotEnv()
{
    setWindowTitle(ResetTitle);
    for (QLabel* label : {ui_->yMinLabel, ui_->yMidLabel, ui_->yMaxLabel, ui_->xMinLabel,
                          ui_->xMidLabel, ui_->xMaxLabel})
        label->clear();
    SetCanvasColor(canvasColor_);
    SetCanvas();
    ui_->PlotImage->SetHint(QStringLiteral("|"));
    ui_->PlotImage->SetShowHint(false);
    lastDrawn_ = TDrawHistory::None;
    lastX_ = 0;
    // An explanation of the plot that is being cleared goes with it.
    if (!emptyReason_.isEmpty() && ui_->StatusBar->text() == emptyReason_)
        ui_->StatusBar->clear();
    emptyReason_.clear();
}

void TRivuReviPlotForm::SetCanvasColor(const QColor& Color)
{
    canvasColor_ = Color;
    TCanvas& canvas = ui_->PlotImage->Canvas();
    canvas.Brush.Color = Color;
    canvas.FillRect(0, 0, ui_->PlotImage->PictureWidth(), ui_->PlotImage->PictureHeight());
}

void TRivuReviPlotForm::SetCanvas()
{
    ui_->PlotImage->setVisible(true);
    TCanvas& canvas = ui_->PlotImage->Canvas();
    canvas.Refresh();
    canvas.Brush.Color = dotColor_;
    canvas.Font.Color = fontColor_;
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
    fit(ui_->xMaxLabel, text(XTo, XDigits));
    ui_->xMinLabel->setText(text(XFrom, XDigits));
    ui_->xMinLabel->resize(ui_->xMinLabel->sizeHint().width(), ui_->xMinLabel->height());
    fit(ui_->yMaxLabel, text(YTo, YDigits));
    fit(ui_->yMinLabel, text(YFrom, YDigits));
    fit(ui_->xMidLabel, text((XFrom + XTo) * 0.5, XDigits));
    fit(ui_->yMidLabel, text((YFrom + YTo) * 0.5, YDigits));
}

void TRivuReviPlotForm::SetPlotStatus(const QString& reason)
{
    emptyReason_ = reason;
    ui_->StatusBar->setText(reason);
    if (!reason.isEmpty())
        ui_->PlotImage->SetHint(QStringLiteral("|") + reason);
}

void TRivuReviPlotForm::Redraw()
{
    switch (lastDrawn_) {
    case TDrawHistory::InputOrder: PlotNextSet(); break;
    case TDrawHistory::Histogram: PlotHistogram(); break;
    case TDrawHistory::Polygon: PlotFreqPolygon(); break;
    case TDrawHistory::CumulHistogram: PlotCumHistogram(); break;
    case TDrawHistory::None: break;
    }
    QPalette palette = ui_->sbtnColor->palette();
    palette.setColor(QPalette::ButtonText, dotColor_);
    ui_->sbtnColor->setPalette(palette);
}

void TRivuReviPlotForm::ShowHint(const QString& status) { ui_->StatusBar->setText(status); }

void TRivuReviPlotForm::SetDotColor(const QColor& color)
{
    dotColor_ = color;
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
    const QPoint at(ui_->Panel1->x() + pos().x() + button.x() + button.width() / 2,
                    ui_->Panel1->y() + pos().y() + button.y() + button.height());
    menu.popup(at);
}

void TRivuReviPlotForm::sbtnColorClick() { PopupUnder(*colorPopup_, *ui_->sbtnColor); }

void TRivuReviPlotForm::sbtnInputOrderClick() { PopupUnder(*scatterPopup_, *ui_->sbtnInputOrder); }

void TRivuReviPlotForm::sbtnHistogramClick()
{
    currentPlot_ = TDrawHistory::Histogram;
    plotClassesItem_->setText(QStringLiteral("Plot &Histogram"));
    PopupUnder(*histogramPopup_, *ui_->sbtnHistogram);
}

void TRivuReviPlotForm::sbtnFreqPolygonClick()
{
    currentPlot_ = TDrawHistory::Polygon;
    plotClassesItem_->setText(QStringLiteral("Plot &Polygon"));
    PopupUnder(*histogramPopup_, *ui_->sbtnFreqPolygon);
}

void TRivuReviPlotForm::sbtnCumHistogramClick()
{
    currentPlot_ = TDrawHistory::CumulHistogram;
    plotClassesItem_->setText(QStringLiteral("Plot &Histogram"));
    PopupUnder(*histogramPopup_, *ui_->sbtnCumHistogram);
}

QString TRivuReviPlotForm::FieldName() const
{
    return dataset_ ? QString::fromStdString(dataset_->StatFieldName()) : QString();
}

QString TRivuReviPlotForm::SourceName() const
{
    return dataset_ ? QString::fromStdString(dataset_->DataSourceName()) : QString();
}

// --- The input-order plot and its record sets

bool TRivuReviPlotForm::NextPlotSet(std::vector<double>& Buffer, std::int64_t StartStep,
                                    std::int64_t StopStep)
{
    if (start_ + StartStep <= 0)
        return false;
    const std::int64_t start = std::max<std::int64_t>(1, start_ + StartStep);
    // A set ends at the last value the component stores, never beyond.
    const std::int64_t stop = std::min(LastPlottable(), stop_ + StopStep);
    // A set with no record in it is refused; the current set stays.
    if (start > stop)
        return false;
    start_ = start;
    stop_ = stop;
    const std::int64_t count = std::min<std::int64_t>(stop_ - start_ + 1, std::int64_t(Buffer.size()));
    for (std::int64_t j = 0; j < count; ++j)
        Buffer[std::size_t(j)] = dataset_->GetdsValue(start_ + j);
    return true;
}

void TRivuReviPlotForm::PlotNextSet()
{
    ResetPlotEnv();
    SetAxes(0, 2, double(start_), double(stop_), xMin_, xMax_);
    setWindowTitle(QStringLiteral("Plot of ") + FieldName() + QStringLiteral(" from ") + SourceName()
                   + QStringLiteral(" by Dataset Order"));
    QString reason;
    const int H = ui_->PlotImage->PictureHeight();
    if (dataset_ == nullptr || n_ < 2)
        reason = NoValues;
    else if (nPlot_ == 0)
        reason = NoRecordsPerSet;
    else if (!std::isfinite(xMin_) || !std::isfinite(xMax_))
        reason = UndefinedRange;
    else if (stop_ <= start_)
        reason = QStringLiteral("This set holds only record %1: a set needs two records to be drawn.")
                     .arg(start_);
    else {
        // The vertical scale divides by the range of the values; when they are all equal it
        // has none, and the dots are drawn on one line at mid-height.
        const bool flat = !(xMax_ > xMin_) || !std::isfinite(plotHeight_ / (xMax_ - xMin_));
        if (flat)
            reason = EqualValuesDots;
        const std::int64_t count = std::min<std::int64_t>(stop_ - start_ + 1, std::int64_t(x_.size()));
        for (std::int64_t j = 0; j < count; ++j) {
            const int px = Trunc(double(j) / double(stop_ - start_) * plotWidth_);
            const int py = flat ? H - Trunc(plotHeight_ * 0.5)
                                : H - Trunc((x_[std::size_t(j)] - xMin_) * plotHeight_ / (xMax_ - xMin_));
            DrawDots(px, py, 4, canvasColor_);
        }
    }
    ui_->PlotImage->SetShowHint(false);
    lastDrawn_ = TDrawHistory::InputOrder;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::DrawDots(int X, int Y, std::uint16_t DotSize, const QColor& Color)
{
    TCanvas& canvas = ui_->PlotImage->Canvas();
    canvas.Ellipse(X, Y, X + DotSize, Y + DotSize);
    canvas.FloodFill(X + DotSize / 2, Y + DotSize / 2, Color);
    canvas.Refresh();
}

void TRivuReviPlotForm::FirstSet1Click()
{
    start_ = 1;
    stop_ = nPlot_;
    nextSetItem_->setEnabled(NextPlotSet(x_, 0, 0));
    prevSetItem_->setEnabled(false);
    PlotNextSet();
}

void TRivuReviPlotForm::NextSet1Click()
{
    const std::int64_t stopStep = std::min<std::int64_t>(nPlot_, LastPlottable() - stop_);
    nextSetItem_->setEnabled(NextPlotSet(x_, nPlot_, stopStep));
    prevSetItem_->setEnabled(true);
    PlotNextSet();
}

void TRivuReviPlotForm::PrevSet1Click()
{
    nextSetItem_->setEnabled(true);
    const std::int64_t stopStep = -std::min<std::int64_t>(nPlot_, stop_ - start_);
    prevSetItem_->setEnabled(NextPlotSet(x_, -std::int64_t(nPlot_), stopStep));
    PlotNextSet();
}

void TRivuReviPlotForm::ScatterPopupPopup()
{
    SetHint(*firstSetItem_, QStringLiteral("Plot first ") + Num(nPlot_) + QStringLiteral(" records."));
    const std::int64_t last = LastPlottable();
    // Without a record set there is nothing to page through.
    prevSetItem_->setEnabled(prevSetItem_->isEnabled() && nPlot_ > 0 && start_ > 1);
    nextSetItem_->setEnabled(nextSetItem_->isEnabled() && nPlot_ > 0 && last > stop_);
    if (prevSetItem_->isEnabled())
        SetHint(*prevSetItem_, QStringLiteral("Plot records ") + Num(start_ - nPlot_) + QStringLiteral(" to ")
                               + Num(stop_ - std::min<std::int64_t>(stop_ - start_, nPlot_))
                               + QStringLiteral("."));
    else
        SetHint(*prevSetItem_, QStringLiteral("No prior record set."));
    if (nextSetItem_->isEnabled())
        SetHint(*nextSetItem_, QStringLiteral("Plot records ") + Num(start_ + nPlot_) + QStringLiteral(" to ")
                               + Num(std::min<std::int64_t>(last, stop_ + nPlot_)) + QStringLiteral("."));
    else if (n_ < 2)
        SetHint(*nextSetItem_, NoValues);
    else if (nPlot_ == 0)
        SetHint(*nextSetItem_, NoRecordsPerSet);
    else if (stop_ >= MaxStoredValues && n_ > stop_)
        // The component stores the first 10000 values only.
        SetHint(*nextSetItem_, QStringLiteral("Cannot plot records above ") + Num(stop_) + QStringLiteral("."));
    else if (stop_ == n_)
        SetHint(*nextSetItem_, start_ == 1 ? QStringLiteral("Only one set of records.")
                                        : QStringLiteral("All records have been plotted."));
}

// --- The class plots

QString TRivuReviPlotForm::ClassPlotProblem(bool needsModalFrequency) const
{
    if (dataset_ == nullptr || n_ < 2)
        return NoValues;
    const int k = dataset_->FreqClasses();
    if (k == 0)
        return NoClasses;
    const double first = dataset_->GetdsClassStart(1);
    const double last = dataset_->GetdsClassEnd(k);
    if (!std::isfinite(first) || !std::isfinite(last))
        return UndefinedBounds;
    if (!(last > first) || !std::isfinite(last - first))
        return NoClassWidth;
    if (needsModalFrequency) {
        if (dataset_->GetdsModeClass() <= 0)
            return NoCounts;
    } else {
        bool any = false;
        for (int i = 1; i <= k; ++i)
            any = any || dataset_->GetdsClassCount(i) > 0;
        if (!any)
            return NoCounts;
    }
    return QString();
}

int TRivuReviPlotForm::ClassColumn(double value, double first, double last) const
{
    return Trunc((value - first) / (last - first) * ui_->PlotImage->PictureWidth());
}

void TRivuReviPlotForm::PlotHistogram()
{
    ResetPlotEnv();
    random_.seed(quint32(QDateTime::currentMSecsSinceEpoch()));
    const QString reason = ClassPlotProblem(true);
    const int k = dataset_ && n_ >= 2 ? dataset_->FreqClasses() : 0;
    const double modal = dataset_ ? double(dataset_->GetdsModeClass()) : 0.0;
    double first = 0, last = 0;
    if (k > 0) {
        first = dataset_->GetdsClassStart(1);
        last = dataset_->GetdsClassEnd(k);
        SetAxes(2, 0, first, last, 0, modal);
    }
    setWindowTitle(QStringLiteral("Histogram for ") + FieldName() + QStringLiteral(" from ") + SourceName());
    if (reason.isEmpty()) {
        TCanvas& canvas = ui_->PlotImage->Canvas();
        const int H = ui_->PlotImage->PictureHeight();
        for (int i = 1; i <= k; ++i) {
            const double start = dataset_->GetdsClassStart(i), end = dataset_->GetdsClassEnd(i);
            if (!std::isfinite(start) || !std::isfinite(end))
                continue;
            const std::int64_t count = dataset_->GetdsClassCount(i);
            const int left = ClassColumn(start, first, last);
            const int right = ClassColumn(end, first, last);
            const int bottom = H;
            const int top = H - Trunc(double(count) / modal * plotHeight_);
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
    ui_->PlotImage->SetShowHint(true);
    lastDrawn_ = TDrawHistory::Histogram;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::PlotCumHistogram()
{
    ResetPlotEnv();
    random_.seed(quint32(QDateTime::currentMSecsSinceEpoch()));
    const QString reason = ClassPlotProblem(false);
    const int k = dataset_ && n_ >= 2 ? dataset_->FreqClasses() : 0;
    double first = 0, last = 0;
    if (k > 0) {
        first = dataset_->GetdsClassStart(1);
        last = dataset_->GetdsClassEnd(k);
        SetAxes(2, 0, first, last, 0, 100);
    }
    setWindowTitle(QStringLiteral("Cumulative % Histogram for ") + FieldName() + QStringLiteral(" from ")
                   + SourceName());
    if (reason.isEmpty()) {
        TCanvas& canvas = ui_->PlotImage->Canvas();
        const int H = ui_->PlotImage->PictureHeight();
        for (int i = 1; i <= k; ++i) {
            const double start = dataset_->GetdsClassStart(i), end = dataset_->GetdsClassEnd(i);
            const double cumulative = dataset_->GetdsClassCumPercent(i);
            if (!std::isfinite(start) || !std::isfinite(end) || !std::isfinite(cumulative))
                continue;
            const int left = ClassColumn(start, first, last);
            const int right = ClassColumn(end, first, last);
            const int bottom = H;
            const int top = H - Trunc(cumulative * 0.01 * plotHeight_);
            canvas.Pen.Color = clBlack;
            canvas.Font.Color = clBlack;
            canvas.Font.Size = 7;
            const quint32 r = random_.bounded(65535u);
            canvas.Brush.Color = QColor(int(r % 256), int(r / 256), 0);
            canvas.Rectangle(left, top, right, bottom);
            canvas.Brush.Color = clWhite;
        }
    }
    ui_->PlotImage->SetShowHint(true);
    lastDrawn_ = TDrawHistory::CumulHistogram;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::PlotFreqPolygon()
{
    ResetPlotEnv();
    const QString reason = ClassPlotProblem(true);
    const int k = dataset_ && n_ >= 2 ? dataset_->FreqClasses() : 0;
    const double modal = dataset_ ? double(dataset_->GetdsModeClass()) : 0.0;
    double first = 0, last = 0;
    if (k > 0) {
        first = dataset_->GetdsClassStart(1);
        last = dataset_->GetdsClassEnd(k);
        SetAxes(2, 0, first, last, 0, modal);
    }
    // This title shows a table's name exactly as set, directory included.
    const QString source =
        dataset_ != nullptr ? QString::fromStdString(dataset_->SourceTitle()) : QString();
    setWindowTitle(QStringLiteral("Frequency Polygon for ") + FieldName() + QStringLiteral(" from ") + source);
    if (reason.isEmpty()) {
        TCanvas& canvas = ui_->PlotImage->Canvas();
        const int W = ui_->PlotImage->PictureWidth();
        const int H = ui_->PlotImage->PictureHeight();
        canvas.MoveTo(0, H);
        for (int i = 1; i <= k; ++i) {
            const double start = dataset_->GetdsClassStart(i), end = dataset_->GetdsClassEnd(i);
            if (!std::isfinite(start) || !std::isfinite(end))
                continue;
            const double mid = (start + end) * 0.5;
            // The polygon is scaled to plotWidth_, not to the full width of the histograms.
            const int px = Trunc((mid - first) * plotWidth_ / (last - first));
            const int py = H - Trunc(double(dataset_->GetdsClassCount(i)) / modal * plotHeight_);
            canvas.Brush.Color = dotColor_;
            canvas.Pen.Color = clBlack;
            canvas.LineTo(px, py);
            DrawDots(px, py, 4, canvasColor_);
        }
        canvas.LineTo(W, H);
    }
    ui_->PlotImage->SetShowHint(true);
    lastDrawn_ = TDrawHistory::Polygon;
    SetPlotStatus(reason);
}

void TRivuReviPlotForm::FreqClassSet(QAction* Sender)
{
    if (dataset_ == nullptr)
        return;
    dataset_->SetClassDataFromCache(Sender->data().toInt());
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
    switch (currentPlot_) {
    case TDrawHistory::Histogram: PlotHistogram(); break;
    case TDrawHistory::Polygon: PlotFreqPolygon(); break;
    case TDrawHistory::CumulHistogram: PlotCumHistogram(); break;
    default: break;
    }
}

// --- The pointer read-out

void TRivuReviPlotForm::PlotImageMouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int X, int)
{
    lastX_ = X;
}

void TRivuReviPlotForm::PlotImageMouseMove(Qt::KeyboardModifiers, int X, int)
{
    // A class table that cannot be scaled has no columns to read out; the image keeps its
    // hint, which then says why the plot is empty.
    if (dataset_ == nullptr || dataset_->FreqClasses() == 0)
        return;
    const int k = dataset_->FreqClasses();
    const double first = dataset_->GetdsClassStart(1);
    const double last = dataset_->GetdsClassEnd(k);
    if (!std::isfinite(first) || !std::isfinite(last) || !(last > first) || !std::isfinite(last - first))
        return;
    const int W = ui_->PlotImage->PictureWidth();
    const double classWidth =
        (dataset_->GetdsClassEnd(1) - dataset_->GetdsClassStart(1)) * W / (last - first);
    for (int i = 1; i <= k; ++i) {
        const double start = dataset_->GetdsClassStart(i), end = dataset_->GetdsClassEnd(i);
        if (!std::isfinite(start) || !std::isfinite(end))
            continue;
        if (ClassColumn(start, first, last) > X || X > ClassColumn(end, first, last))
            continue;
        const double mid = (start + end) * 0.5;
        // No read-out over an empty image, the input-order plot, the cumulative histogram or a
        // class plot that could not be drawn.
        if (lastDrawn_ == TDrawHistory::None || lastDrawn_ == TDrawHistory::InputOrder
            || lastDrawn_ == TDrawHistory::CumulHistogram || !emptyReason_.isEmpty()) {
            ui_->PlotImage->SetHint(QStringLiteral("|") + emptyReason_);
            continue;
        }
        const QString midText = QString::fromStdString(FloatToStrF(mid, 8, 2));
        QString hint = QStringLiteral("Class ") + Num(i) + QStringLiteral(" midpoint is ") + midText
                       + QStringLiteral("|This is class ") + Num(i) + QStringLiteral(". Class frequency is ")
                       + Num(dataset_->GetdsClassCount(i)) + QStringLiteral(".");
        if (std::abs(X - lastX_) > classWidth)
            hint += QStringLiteral(" Click mouse to update class data.");
        else
            hint += QStringLiteral(" Class ") + Num(i) + QStringLiteral(" midpoint is ") + midText;
        ui_->PlotImage->SetHint(hint);
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

void TRivuReviPlotForm::SavePictureClick()
{
    const QString path = AskSaveFileName(this, QStringLiteral("Save picture"),
                                         QStringLiteral("PNG pictures (*.png)"), QStringLiteral("png"));
    if (path.isEmpty())
        return;
    // Runs from the menu on the window thread; a failed write leaves no file and is told.
    try {
        SavePngFile(Snapshot(), path);
    } catch (const std::exception& e) {
        MessageDlg(e.what(), TMsgDlgType::mtError, mbOK);
    }
}

QStringList RenderPlots(TStatistics& component, const QString& directory)
{
    TRivuReviPlotForm form;
    form.setAttribute(Qt::WA_DontShowOnScreen);
    form.Bind(component);
    form.SetScales();
    form.fontColor_ = clNavy;
    form.FormActivate();
    if (form.n_ < 2)
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
    form.currentPlot_ = TDrawHistory::Histogram;
    form.PlotHistogram1Click();
    save("histogram.png");
    form.currentPlot_ = TDrawHistory::CumulHistogram;
    form.PlotHistogram1Click();
    save("cumhistogram.png");
    form.currentPlot_ = TDrawHistory::Polygon;
    form.PlotHistogram1Click();
    save("polygon.png");
    return written;
}

} // namespace zel
