// The summary window: every statistic of one component on one page.
#pragma once

#include <QDialog>
#include <QIcon>

#include <memory>
#include <string>

class QLabel;
class QPushButton;

namespace Ui { class TOutputForm; }

namespace zel {

class TStatistics;

// What the result windows (the summary and the class-frequency window) share: a fixed size, a
// single border with only the system menu, the window icon, centred on the screen, and a
// standard OK button with a check-mark that closes the window with an accept. The form's own
// font becomes `pixels` high; child fonts keep their family and weight and inherit the size.
void SetUpResultWindow(QDialog& window, QPushButton& ok, const QIcon& icon, int pixels);
// Gives a widget's font a height in pixels, keeping its family and weight: the forms are laid
// out in pixels, so their fonts are too.
void SetFontPixels(QWidget& widget, int pixels);
// Sets the heading label pair to `pixels` high and widens both to the text where this
// platform's font runs wider than the form's design, keeping their places, so that the heading
// is never cut.
void SetUpHeading(QLabel& white, QLabel& maroon, int pixels);
// Sizes a label to its text. The forms were drawn for a narrower face than this platform's
// sans serif, so a text that would run past `right` (in the parent's coordinates) is narrowed
// (down to three quarters of its width) rather than cut.
void FitLabel(QLabel& label, int right);
// Moves a window to the centre of its screen's available area.
void CentreOnScreen(QWidget& window);

// The modal window of a component's Output. It computes nothing itself: it asks the component
// to summarise and reads each statistic through the component's public operations. A
// statistic with no defined value reads "undefined" after its label ("Mean: undefined").
//
// Controls, found by name: BitBtn1 (OK), Label1 and Label2 (the heading, white above maroon),
// Panel1, labTableName, labFieldName, labCount, Bevel1, labTotal, labMean, labMin, labVariance,
// labMax, labStdDev, labRange, labCoeff, labMode, labSkew, labMedian, labKurtosis.
class TOutputForm : public QDialog {
    Q_OBJECT
public:
    explicit TOutputForm(QWidget* owner = nullptr);
    ~TOutputForm() override;

    // Summarises the component, fills every label and shows the window modally through
    // ShowModal; returns when the user closes it. The component's kind gives the first line.
    // Failures of the summary reach the caller, and the window is then not shown.
    void ShowOutput(TStatistics& component);

private:
    std::unique_ptr<Ui::TOutputForm> ui;
};

// Declared for applications that keep a summary window of their own; the package never assigns
// or reads it (Output makes a window per call).
inline TOutputForm* OutputForm = nullptr;

} // namespace zel
