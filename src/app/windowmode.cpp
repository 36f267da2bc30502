// The window, as a module that quaverlink loads only when it shows one: a
// receiver without a window never loads Qt's widget and GUI libraries.
#include "app/metadatawindow.h"
#include "receiver/receiver.h"
#include "service/run.h"

#include "common/literals.h"

#include <QApplication>
#include <QMessageBox>

extern "C" Q_DECL_EXPORT int quaverlinkRunWithWindow(int &argc, char **argv)
{
    using namespace quaverlink;
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(u"Quaverlink"_s);
    Receiver receiver;
    MetaDataWindow window(receiver);
    if (QGuiApplication::platformName() == u"offscreen"_s) {
        reportStartupFailureOnStandardError(receiver);
    } else {
        receiver.setStartupFailureHandler([](const QString &message) {
            QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), message, QMessageBox::Ok);
            box.exec();
        });
    }
    receiver.start();
    window.show();
    return runUntilStopped(app, receiver);
}
