#include "zelstats/data/Messages.h"

#include "zelstats/data/Guards.h"

#include <algorithm>
#include <cstdio>

namespace zel {

namespace {

TReplaceable<MessageHandler>& messageHandler()
{
    static TReplaceable<MessageHandler> handler;
    return handler;
}

TReplaceable<MessageHandler>& defaultHandler()
{
    static TReplaceable<MessageHandler> handler;
    return handler;
}

} // namespace

MessageHandler SetMessageHandler(MessageHandler handler)
{
    return messageHandler().Replace(std::move(handler));
}

MessageHandler SetDefaultMessageHandler(MessageHandler handler)
{
    return defaultHandler().Replace(std::move(handler));
}

TModalResult MessageDlg(const std::string& text, TMsgDlgType type, TMsgDlgButtons buttons)
{
    const MessageRequest request{text, type, buttons};
    if (MessageHandler handler = messageHandler().Current())
        return handler(request);
    if (MessageHandler fallback = defaultHandler().Current())
        return fallback(request);
    return PrintMessage(request);
}

TModalResult PrintMessage(const MessageRequest& request)
{
    // The package's texts break lines with a line feed and a carriage return; one line here.
    std::string text = request.text;
    std::erase(text, '\r');
    std::replace(text.begin(), text.end(), '\n', ' ');
    std::fprintf(stderr, "%s\n", text.c_str());
    return (request.buttons & mbYes) ? TModalResult::mrNo : TModalResult::mrOk;
}

} // namespace zel
