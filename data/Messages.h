// Messages and questions of the package, and who answers them.
//
// Every message the package shows goes through one replaceable handler, so that tests and the
// command line can answer them without a person. Without a handler of the caller's own, the
// default answers: a message box where the window services provide one (gui/Dialogs.h),
// otherwise a line on standard error, with a question answered No.
//
// Messages may be raised on any thread. The installed handler is then run on that thread (it
// must be safe to run there); the message boxes answer on the window thread only, and a
// message raised on any other thread goes to standard error.
#pragma once

#include <functional>
#include <string>

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
// Installs a handler for every message; returns the one it replaces. An empty handler restores
// the default.
MessageHandler SetMessageHandler(MessageHandler handler);
// Shows a message, modally where there are windows, and returns the button pressed.
TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons);

// Replaces the default answer, the one used while no handler is installed; returns the one it
// replaces. The window services install their message boxes here.
MessageHandler SetDefaultMessageHandler(MessageHandler handler);
// The answer without windows: the text on one line of standard error; a question is answered
// No, anything else OK.
TModalResult PrintMessage(const MessageRequest& request);

} // namespace zel
