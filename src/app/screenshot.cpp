// Renders the window as a studio would see it, for docs/: the initial view and
// the window enlarged to show the settings band.
#include "app/metadatawindow.h"
#include "service/station.h"

#include "common/literals.h"

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
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : u"docs"_s;
    QDir().mkpath(folder);

    Station station;
    MetaDataWindow window(station);
    StatusFields &fields = station.receiver().fields();
    fields.setText(Field::lblNow, u"Sigur R\u00f3s - Hopp\u00edpolla"_s);
    fields.setText(Field::lblLast, u"Quaverlink FM - Live Radio"_s);
    fields.setText(Field::lblData, u"Sigur R\u00f3s - Hopp\u00edpolla"_s);
    fields.setText(Field::lblDefault, u"Quaverlink FM - Live Radio"_s);
    fields.setText(Field::lblCounter, u"287"_s);
    fields.setText(Field::lblVersion, QStringLiteral(QUAVERLINK_VERSION_TEXT));
    fields.setText(Field::lblCopyright, u"Quaverlink \u2013 now-playing receiver for Rivendell \u2013 MIT licence"_s);
    fields.setText(Field::lblDBenabled, u"Y"_s);
    fields.setText(Field::lblDBserver, u"127.0.0.1"_s);
    fields.setText(Field::lblDBuser, u"quaverlink"_s);
    fields.setText(Field::lblDBpassword, u"change-me"_s);
    fields.setText(Field::lblDBname, u"Brackenwaves"_s);

    window.show();
    // Each picture after the window has redrawn what changed.
    const auto save = [&](const QString &name) {
        for (int i = 0; i < 3; ++i) {
            QCoreApplication::processEvents();
            QThread::msleep(50);
        }
        const QString path = folder + u"/"_s + name;
        std::printf("%s\n", qPrintable(path));
        return window.grab().save(path);
    };
    bool saved = save(u"window-initial.png"_s);
    window.resize(MetaDataWindow::kFullClientSize);
    saved = save(u"window-full.png"_s) && saved;
    window.resize(MetaDataWindow::kInitialClientSize);
    fields.setText(Field::lblLast, u"Sigur R\u00f3s - Hopp\u00edpolla"_s);
    fields.setText(Field::lblNow, u"\u0641\u064a\u0631\u0648\u0632 - \u0643\u064a\u0641\u0643 \u0625\u0646\u062a"_s);
    saved = save(u"window-right-to-left.png"_s) && saved;
    fields.setText(Field::lblNow,
                   u"\u5742\u672c\u9f8d\u4e00 - \u6226\u5834\u306e\u30e1\u30ea\u30fc\u30af\u30ea\u30b9\u30de\u30b9"_s);
    saved = save(u"window-japanese.png"_s) && saved;
    return saved ? 0 : 1;
}
