#include "zelstats/gui/Hints.h"

#include "zelstats/data/Guards.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QVariant>
#include <QWidget>

namespace zel {

namespace {

// The full hint text lives in a dynamic property, so any control or item can carry one.
constexpr const char* HintProperty = "zelHint";
// Set on a window one of whose controls has a hint: entering any control of such a window
// shows the hint of that control, or an empty status text where none applies.
constexpr const char* HintWindowProperty = "zelHintWindow";
constexpr const char* HoverConnectedProperty = "zelHintHover";

TReplaceable<HintHandler>& Handler()
{
    static TReplaceable<HintHandler> handler;
    return handler;
}

QString& CurrentHint()
{
    static QString hint;
    return hint;
}

// The hint that applies to a control: its own, or the nearest ancestor's within its window.
// Returns false when neither the control's chain nor its window uses hints at all.
bool HintFor(const QWidget* control, QString& hint)
{
    for (const QWidget* w = control; w != nullptr; w = w->isWindow() ? nullptr : w->parentWidget()) {
        QVariant value = w->property(HintProperty);
        if (value.isValid()) {
            hint = value.toString();
            return true;
        }
    }
    if (control != nullptr && control->window()->property(HintWindowProperty).toBool()) {
        hint.clear();
        return true;
    }
    return false;
}

// Watches the pointer entering and leaving controls, application-wide, and reports the status
// part of the hint that applies.
class HintWatcher : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::Enter && event->type() != QEvent::Leave)
            return false;
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget == nullptr)
            return false;
        // Leaving a control returns the pointer to its parent, which gets no enter event of
        // its own.
        const QWidget* target = widget;
        if (event->type() == QEvent::Leave)
            target = widget->isWindow() ? nullptr : widget->parentWidget();
        QString hint;
        if (target != nullptr && HintFor(target, hint))
            ShowApplicationHint(HintStatus(hint));
        return false;
    }
};

void EnsureWatcher()
{
    static HintWatcher* watcher = nullptr;
    if (watcher != nullptr || QCoreApplication::instance() == nullptr)
        return;
    watcher = new HintWatcher(QCoreApplication::instance());
    QCoreApplication::instance()->installEventFilter(watcher);
}

} // namespace

QString HintTip(const QString& hint)
{
    qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.left(bar);
}

QString HintStatus(const QString& hint)
{
    qsizetype bar = hint.indexOf(QLatin1Char('|'));
    return bar < 0 ? hint : hint.mid(bar + 1);
}

void SetHint(QWidget& control, const QString& hint, bool showTip)
{
    EnsureWatcher();
    control.setProperty(HintProperty, hint);
    control.setToolTip(showTip ? HintTip(hint) : QString());
    control.window()->setProperty(HintWindowProperty, true);
}

QString GetHint(const QWidget& control) { return control.property(HintProperty).toString(); }

void SetHint(QAction& item, const QString& hint)
{
    item.setProperty(HintProperty, hint);
    item.setStatusTip(HintStatus(hint));
    if (!item.property(HoverConnectedProperty).toBool()) {
        item.setProperty(HoverConnectedProperty, true);
        QAction* action = &item;
        QObject::connect(action, &QAction::hovered, action,
                         [action] { ShowApplicationHint(HintStatus(GetHint(*action))); });
    }
}

QString GetHint(const QAction& item) { return item.property(HintProperty).toString(); }

HintHandler SetHintHandler(HintHandler handler)
{
    return Handler().Replace(std::move(handler));
}

void ShowApplicationHint(const QString& status)
{
    CurrentHint() = status;
    // A copy, so that a handler that replaces itself while it runs stays alive until it returns.
    HintHandler handler = Handler().Current();
    if (handler)
        handler(status);
}

QString ApplicationHint() { return CurrentHint(); }

} // namespace zel
