#include "app/metadatawindow.h"
#include "common/failure.h"
#include "common/stopsignals.h"
#include "receiver/receiver.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <unistd.h>

#ifdef QUAVERLINK_JOURNAL
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

bool hasDisplay()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || qEnvironmentVariableIsSet("DISPLAY")
        || qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
}

QtMessageHandler defaultMessageHandler = nullptr;

// Standard error is the station's failure log. Qt's font engine warns once
// for every script it cannot shape, which junk datagrams would turn into a
// flood of lines; those warnings say nothing about the receiver.
void filterMessages(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(u"OpenType support missing"_qs)) {
        return;
    }
    defaultMessageHandler(type, context, message);
}

} // namespace

int main(int argc, char *argv[])
{
    // A studio PC may run the receiver headless, as a service; it still
    // receives, writes metadata.txt and logs.
    const bool headless = !hasDisplay();
    if (headless) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        std::fputs("quaverlink: no display found, running on Qt's offscreen platform\n", stderr);
    }

    defaultMessageHandler = qInstallMessageHandler(filterMessages);
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Quaverlink"_qs);
    QApplication::setApplicationDisplayName(u"Quaverlink"_qs);

    quaverlink::Receiver receiver;
    quaverlink::MetaDataWindow window(receiver);
    const bool offscreen = QGuiApplication::platformName() == u"offscreen"_qs;
    receiver.setStartupFailureHandler([&](const QString &message) {
        if (offscreen) {
            // Nobody could dismiss a box here; the cause is already on
            // standard error.
            quaverlink::writeFailureLine(quaverlink::failureLine(message, QString()));
            return;
        }
        QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), message, QMessageBox::Ok);
        box.exec();
    });
#ifdef QUAVERLINK_JOURNAL
    // Benchmark build only: one line per applied item, so a load generator
    // can count what was applied and in which order.
    const int journal = ::open("applied.journal", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    QObject::connect(&receiver, &quaverlink::Receiver::itemApplied, [journal](const QString &item) {
        const QByteArray line = item.toUtf8().replace('\n', ' ') + '\n';
        [[maybe_unused]] const ssize_t written = ::write(journal, line.constData(), size_t(line.size()));
    });
#endif
    quaverlink::StopSignals stopSignals;
    QObject::connect(&stopSignals, &quaverlink::StopSignals::received, &app, &QCoreApplication::quit);

    receiver.start();
    window.show();
    const int status = app.exec();
    if (!receiver.stopPlayHistory()) {
        // A database call is still waiting on its own timeout; its play is
        // safe in the spool. Leave without tearing down what it uses.
        std::fflush(stderr);
        ::_exit(status);
    }
    return status;
}
