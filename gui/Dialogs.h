// Message boxes, modal windows and the screen cursor.
//
// Every modal window of the package goes through one replaceable handler, as every message
// does (data/Messages.h), so that tests and the command line can answer them without a
// person.
#pragma once

#include "zelstats/data/Messages.h"

#include <functional>

class QDialog;
class QString;
class QWidget;

namespace zel {

// Makes the package's message boxes the default answer of MessageDlg (data/Messages.h):
// a QMessageBox while a QApplication exists and the message is raised on its thread, a line
// on standard error otherwise (a thread without an event loop would wait for ever on a box).
// The component kinds call it, on any thread; the first call installs it, later ones change
// nothing.
void UseMessageBoxes();

using ModalHandler = std::function<int(QDialog&)>;
// Installs a handler that runs in place of QDialog::exec for every modal window of the
// package; returns the one it replaces. An empty handler restores exec().
ModalHandler SetModalHandler(ModalHandler handler);
// Shows the window modally through the handler and returns its result code.
int ShowModal(QDialog& dialog);

// Asks for the name of a file to save to, in a file dialog shown through ShowModal (so that a
// modal handler answers it); `suffix` is added to a name typed without one. Asks before a
// file is replaced. Returns an empty text when the user cancels.
QString AskSaveFileName(QWidget* owner, const QString& caption, const QString& filter,
                        const QString& suffix);

// The application-wide screen cursor.
enum class TCursor { crDefault, crHourGlass };
void SetScreenCursor(TCursor cursor);
TCursor ScreenCursor();

} // namespace zel
