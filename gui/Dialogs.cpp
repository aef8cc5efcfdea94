#include "zelstats/gui/Dialogs.h"

#include "zelstats/data/Guards.h"

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QGuiApplication>
#include <QMessageBox>
#include <QThread>

namespace zel {

namespace {

TReplaceable<ModalHandler>& modalHandler()
{
    static TReplaceable<ModalHandler> handler;
    return handler;
}

TCursor currentCursor = TCursor::crDefault;

TModalResult ShowMessageBox(const MessageRequest& request)
{
    // Without a QApplication no box can be shown, and off its thread none may be: the message
    // goes to standard error and a question is answered No, so that a program without windows,
    // or a summary on a worker thread, neither aborts nor waits for ever.
    const QCoreApplication* app = QCoreApplication::instance();
    if (qobject_cast<const QApplication*>(app) == nullptr || QThread::currentThread() != app->thread())
        return PrintMessage(request);
    QMessageBox box;
    switch (request.type) {
    case TMsgDlgType::mtWarning:
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(QObject::tr("Warning"));
        break;
    case TMsgDlgType::mtError:
        box.setIcon(QMessageBox::Critical);
        box.setWindowTitle(QObject::tr("Error"));
        break;
    case TMsgDlgType::mtInformation:
        box.setIcon(QMessageBox::Information);
        box.setWindowTitle(QObject::tr("Information"));
        break;
    case TMsgDlgType::mtConfirmation:
        box.setIcon(QMessageBox::Question);
        box.setWindowTitle(QObject::tr("Confirm"));
        break;
    }
    // The package's texts break lines with a line feed followed by a carriage return; a
    // carriage return of its own would show as an empty line.
    box.setText(QString::fromStdString(request.text).remove(QLatin1Char('\r')));
    QMessageBox::StandardButtons buttons;
    if (request.buttons & mbYes)
        buttons |= QMessageBox::Yes;
    if (request.buttons & mbNo)
        buttons |= QMessageBox::No;
    if ((request.buttons & mbOK) || buttons == QMessageBox::NoButton)
        buttons |= QMessageBox::Ok;
    box.setStandardButtons(buttons);
    switch (box.exec()) {
    case QMessageBox::Yes: return TModalResult::mrYes;
    case QMessageBox::No: return TModalResult::mrNo;
    case QMessageBox::Ok: return TModalResult::mrOk;
    default: return TModalResult::mrCancel;
    }
}

} // namespace

void UseMessageBoxes()
{
    // Once per process: every component calls it as it is made, on whatever thread.
    static const bool installed = (SetDefaultMessageHandler(ShowMessageBox), true);
    (void)installed;
}

ModalHandler SetModalHandler(ModalHandler handler)
{
    return modalHandler().Replace(std::move(handler));
}

int ShowModal(QDialog& dialog)
{
    ModalHandler handler = modalHandler().Current();
    if (handler)
        return handler(dialog);
    return dialog.exec();
}

QString AskSaveFileName(QWidget* owner, const QString& caption, const QString& filter,
                        const QString& suffix)
{
    QFileDialog dialog(owner, caption, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(suffix);
    if (ShowModal(dialog) != QDialog::Accepted)
        return {};
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}

void SetScreenCursor(TCursor cursor)
{
    if (cursor == currentCursor)
        return;
    // Without a GUI application there is no cursor to change (the command line).
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr) {
        if (cursor == TCursor::crHourGlass)
            QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QGuiApplication::restoreOverrideCursor();
    }
    currentCursor = cursor;
}

TCursor ScreenCursor() { return currentCursor; }

} // namespace zel
