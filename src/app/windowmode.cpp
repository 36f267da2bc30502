// The window, as a module that quaverlink loads only when it shows one: a
// receiver without a window never loads Qt's widget and GUI libraries.
#include "app/metadatawindow.h"
#include "service/run.h"
#include "service/station.h"

#include "common/literals.h"

#include <QApplication>
#include <QMessageBox>

extern "C" Q_DECL_EXPORT int quaverlinkRunWithWindow(int &argc, char **argv)
{
    using namespace quaverlink;
    QApplication app(argc, argv);
    QApplication::setApplicationDisplayName(u"Quaverlink"_s);
    Station station;
    MetaDataWindow window(station);
    if (QGuiApplication::platformName() == u"offscreen"_s) {
        reportStartupFailureOnStandardError(station);
    } else {
        station.receiver().setStartupFailureHandler([](const QString &message) {
            QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), message, QMessageBox::Ok);
            box.exec();
        });
    }
    station.start();
    window.show();
    return runUntilStopped(app, station);
}
