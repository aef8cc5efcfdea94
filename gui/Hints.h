// Hints: a control's or menu item's help text, split at its first "|" into a pop-up tip (before
// it) and a status-line text (after it), and the one application-wide handler that receives
// the status text of whatever the pointer is over or whichever menu item is highlighted.
//
// A window that has a status line takes the handler over while it is shown and hands back the
// one it found when it closes, so that several windows (and the application's own) share it.
#pragma once

#include <QString>

#include <functional>

class QAction;
class QWidget;

namespace zel {

// The pop-up tip of a hint: the part before the first "|", or the whole hint without one.
QString HintTip(const QString& hint);
// The status text of a hint: the part after the first "|", or the whole hint without one.
QString HintStatus(const QString& hint);

// Gives a control its hint. The tip part becomes the control's tooltip (shown only while
// `showTip` is true); the status part reaches the application hint handler whenever the
// pointer enters the control. A control without a hint of its own passes on its parent's.
void SetHint(QWidget& control, const QString& hint, bool showTip = true);
QString GetHint(const QWidget& control);

// Gives a menu item its hint; its status part reaches the application hint handler whenever
// the item is highlighted. The hint may be changed at any time, also while the menu is open.
void SetHint(QAction& item, const QString& hint);
QString GetHint(const QAction& item);

// Receives the status text of every hint the application shows.
using HintHandler = std::function<void(const QString& status)>;
// Installs the application hint handler and returns the one it replaces. An empty handler
// means that hints reach no status line.
HintHandler SetHintHandler(HintHandler handler);

// Makes `status` the application's current hint and hands it to the handler. Controls call it
// when the pointer enters them, menus when an item is highlighted.
void ShowApplicationHint(const QString& status);
// The status text most recently shown.
QString ApplicationHint();

// Hands a hint handler to the application for a scope and puts back the one it found when
// the scope ends, also when a failure leaves it.
class HintHandlerScope {
public:
    explicit HintHandlerScope(HintHandler handler) : previous_(SetHintHandler(std::move(handler))) {}
    ~HintHandlerScope() { SetHintHandler(std::move(previous_)); }
    HintHandlerScope(const HintHandlerScope&) = delete;
    HintHandlerScope& operator=(const HintHandlerScope&) = delete;

private:
    HintHandler previous_;
};

} // namespace zel
