// The plot window: the analysed field against record order, as a histogram, as a cumulative
// percentage histogram or as a frequency polygon, with a read-out of the class under the
// pointer.
//
// Every plot draws on the image control `PlotImage` and names itself in the window title; the
// axis labels `xMinLabel`, `xMidLabel`, `xMaxLabel`, `yMinLabel`, `yMidLabel` and `yMaxLabel`
// give the scales. When a plot cannot be drawn (no values, all values equal, no class counts
// yet, ...) the window draws what it can and says why in its status line `StatusBar`.
#pragma once

#include <QColor>
#include <QDialog>
#include <QRandomGenerator>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QAction;
class QMenu;
class QToolButton;

namespace Ui { class TRivuReviPlotForm; }

namespace zel {

class TStatistics;

// What the plot image shows.
enum class TDrawHistory { None = 0, InputOrder = 1, Histogram = 2, Polygon = 3, CumulHistogram = 4 };

class TRivuReviPlotForm : public QDialog {
    Q_OBJECT
public:
    explicit TRivuReviPlotForm(QWidget* owner = nullptr);
    ~TRivuReviPlotForm() override;

    // Binds the window to the component and shows it modally; returns when it closes. While
    // it is shown the window's status line receives the application's hints; the hint handler
    // it found is handed back when it closes.
    void Plot(TStatistics& dataset);

    friend QStringList RenderPlots(TStatistics& component, const QString& directory);

protected:
    void changeEvent(QEvent* event) override;

private:
    // The constructor's parts, one per panel or menu.
    void SetUpFonts();
    void SetUpSpeedButtons();
    void MakeColorMenu();
    void MakeScatterMenu();
    void MakeHistogramMenu();
    void MakeImageMenu();
    void ConnectControls();

    // Binding and the window's own operations.
    void Bind(TStatistics& dataset);
    void SetScales();
    void SetAxes(std::uint16_t XDigits, std::uint16_t YDigits, double XFrom, double XTo,
                 double YFrom, double YTo);
    void SetCanvas();
    void SetCanvasColor(const QColor& Color);
    void ResetPlotEnv();
    void Redraw();
    void ShowHint(const QString& status);
    void FormCreate();
    void FormActivate();
    void PopupUnder(QMenu& menu, const QToolButton& button);
    void SetPlotStatus(const QString& reason);
    QImage Snapshot();
    // Asks for a file name and writes the window's picture (Snapshot) there as PNG.
    void SavePictureClick();

    // Speed buttons and colour items.
    void sbtnCloseClick();
    void sbtnColorClick();
    void sbtnInputOrderClick();
    void sbtnHistogramClick();
    void sbtnFreqPolygonClick();
    void sbtnCumHistogramClick();
    void SetDotColor(const QColor& color);
    void SetBackground(const QColor& color);

    // The input-order plot and its record sets.
    bool NextPlotSet(std::vector<double>& Buffer, std::int64_t StartStep, std::int64_t StopStep);
    void PlotNextSet();
    void DrawDots(int X, int Y, std::uint16_t DotSize, const QColor& Color);
    void FirstSet1Click();
    void NextSet1Click();
    void PrevSet1Click();
    void ScatterPopupPopup();
    // The last record number a record set may reach: the loaded values that the component
    // stores, at most 10000.
    std::int64_t LastPlottable() const;

    // The class plots.
    void PlotHistogram();
    void PlotCumHistogram();
    void PlotFreqPolygon();
    void FreqClassSet(QAction* Sender);
    void CheckItem(QAction* Item);
    void PlotHistogram1Click();
    // Why the current class table cannot be plotted, or an empty text when it can.
    QString ClassPlotProblem(bool needsModalFrequency) const;
    int ClassColumn(double value, double first, double last) const;

    // The pointer read-out.
    void PlotImageMouseMove(Qt::KeyboardModifiers Shift, int X, int Y);
    void PlotImageMouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);

    // The data source name of the titles.
    QString SourceName() const;
    QString FieldName() const;

    std::unique_ptr<Ui::TRivuReviPlotForm> ui_;
    QMenu* colorPopup_ = nullptr;
    QMenu* scatterPopup_ = nullptr;
    QMenu* histogramPopup_ = nullptr;
    QAction* firstSetItem_ = nullptr;
    QAction* prevSetItem_ = nullptr;
    QAction* nextSetItem_ = nullptr;
    QAction* plotClassesItem_ = nullptr;
    QMenu* imageMenu_ = nullptr;
    std::vector<QAction*> classItems_;

    // Window state.
    TStatistics* dataset_ = nullptr;
    TDrawHistory lastDrawn_ = TDrawHistory::None;
    TDrawHistory currentPlot_ = TDrawHistory::None;
    // The component's count of values (-1 below two), the records per set, the record
    // numbers of the set shown, and that set's values.
    std::int64_t n_ = 0;
    std::uint16_t nPlot_ = 0;
    std::int64_t start_ = 1;
    std::int64_t stop_ = 0;
    std::vector<double> x_;
    double xMin_ = 0, xMax_ = 0;
    double widthScale_ = 1, heightScale_ = 0.95;
    double plotWidth_ = 0, plotHeight_ = 0;
    int lastX_ = 0;
    QColor dotColor_;
    QColor canvasColor_;
    QColor fontColor_;

    // Why the plot on the image is empty or incomplete; shown in the status line and as the
    // status part of the image's hint.
    QString emptyReason_;
    QRandomGenerator random_;
    // The window lost activation to another window of the application since it was last
    // reset; it is reset again when it gets activation back.
    bool deactivated_ = false;
};

// Draws the component's four plots in a window of their own, as a user would see it, and
// writes them as inputorder.png (the first record set), histogram.png, cumhistogram.png and
// polygon.png (the current class table) into `directory`. Needs no display and shows nothing.
// Returns the paths written, in that order. Throws std::runtime_error when a picture cannot
// be written; each picture is written whole or not at all.
QStringList RenderPlots(TStatistics& component, const QString& directory);

} // namespace zel
