// What a benchmark of the components needs before it measures: an application on the offscreen
// platform (unless another is named), line-buffered output, and no person to answer.
#pragma once

#include "zelstats/gui/Dialogs.h"

#include <QApplication>
#include <QDialog>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zel::bench {

// The application; any message box gets its default answer, any modal window closes at once.
inline std::unique_ptr<QApplication> HeadlessApplication(int& argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto app = std::make_unique<QApplication>(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    SetMessageHandler([](const MessageRequest& request) {
        return (request.buttons & mbYes) ? TModalResult::mrNo : TModalResult::mrOk;
    });
    SetModalHandler([](QDialog&) { return int(QDialog::Rejected); });
    return app;
}

} // namespace zel::bench
