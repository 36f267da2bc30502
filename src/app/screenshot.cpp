// Renders the window as a studio would see it, for docs/: the initial view and
// the window enlarged to show the settings band.
#include "app/metadatawindow.h"
#include "receiver/receiver.h"

#include <QApplication>
#include <QDir>
#include <QThread>

#include <cstdio>

using namespace quaverlink;

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"docs"_qs;
    QDir().mkpath(folder);

    Receiver receiver;
    MetaDataWindow window(receiver);
    StatusFields &fields = receiver.fields();
    fields.setText(Field::lblNow, u"Sigur R\u00f3s - Hopp\u00edpolla"_qs);
    fields.setText(Field::lblLast, u"Quaverlink FM - Live Radio"_qs);
    fields.setText(Field::lblData, u"Sigur R\u00f3s - Hopp\u00edpolla"_qs);
    fields.setText(Field::lblDefault, u"Quaverlink FM - Live Radio"_qs);
    fields.setText(Field::lblCounter, u"287"_qs);
    fields.setText(Field::lblVersion, QStringLiteral(QUAVERLINK_VERSION_TEXT));
    fields.setText(Field::lblCopyright, u"Quaverlink \u2013 now-playing receiver for Rivendell \u2013 MIT licence"_qs);
    fields.setText(Field::lblDBenabled, u"Y"_qs);
    fields.setText(Field::lblDBserver, u"127.0.0.1"_qs);
    fields.setText(Field::lblDBuser, u"quaverlink"_qs);
    fields.setText(Field::lblDBpassword, u"change-me"_qs);
    fields.setText(Field::lblDBname, u"Brackenwaves"_qs);

    window.show();
    QCoreApplication::processEvents();
    QThread::msleep(100);
    QCoreApplication::processEvents();
    const QString initial = folder + u"/window-initial.png"_qs;
    const QString full = folder + u"/window-full.png"_qs;
    bool saved = window.grab().save(initial);
    window.resize(MetaDataWindow::kFullClientSize);
    saved = window.grab().save(full) && saved;
    std::printf("%s\n%s\n", qPrintable(initial), qPrintable(full));
    return saved ? 0 : 1;
}
