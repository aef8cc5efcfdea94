// Message boxes, modal windows and the screen cursor.
//
// Every message box and every modal window of the package goes through one replaceable
// handler, so that tests and the command line can answer them without a person.
#pragma once

#include <functional>
#include <string>

class QDialog;

namespace zel {

enum class TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };

enum TMsgDlgBtn : unsigned { mbYes = 1u, mbNo = 2u, mbOK = 4u };
using TMsgDlgButtons = unsigned;

enum class TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

struct MessageRequest {
    std::string text;
    TMsgDlgType type;
    TMsgDlgButtons buttons;
};

using MessageHandler = std::function<TModalResult(const MessageRequest&)>;
// Installs a handler for every message box; returns the one it replaces. An empty handler
// restores the interactive default (a QMessageBox).
MessageHandler SetMessageHandler(MessageHandler handler);
// Shows a modal message box and returns the button pressed.
TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons);

using ModalHandler = std::function<int(QDialog&)>;
// Installs a handler that runs in place of QDialog::exec for every modal window of the
// package; returns the one it replaces. An empty handler restores exec().
ModalHandler SetModalHandler(ModalHandler handler);
// Shows the window modally through the handler and returns its result code.
int ShowModal(QDialog& dialog);

// The application-wide screen cursor.
enum class TCursor { crDefault, crHourGlass };
void SetScreenCursor(TCursor cursor);
TCursor ScreenCursor();

} // namespace zel
