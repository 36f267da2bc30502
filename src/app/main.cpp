#include "common/failure.h"
#include "service/display.h"
#include "service/livecommand.h"
#include "service/reportcommand.h"
#include "service/run.h"
#include "service/settingscheck.h"
#include "service/station.h"
#include "settings/settings.h"

#include "common/literals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#ifdef QUAVERLINK_JOURNAL
#include <fcntl.h>
#endif

namespace {

using namespace quaverlink;

const QString kVersion = QStringLiteral(QUAVERLINK_VERSION_TEXT);

enum class Mode { Window, Headless, Check };

// Standard error is the station's failure log, written by a thread of its
// own that a stalled reader never holds up: Qt's own warnings go the same
// way, never straight to the descriptor from whatever thread they arise on.
// Qt's font engine warns once for every script it cannot shape, which junk
// datagrams would turn into a flood of lines; those say nothing about the
// receiver.
void routeMessages(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (!message.contains(u"OpenType support missing"_s)) {
        writeFailureLine(failureLine(u"Qt"_s, message));
    }
}

void print(FILE *stream, const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}

// Reads the options before any application object exists: which one to
// create depends on them. Ends the program for --help, --version and errors.
Mode parseCommandLine(int argc, char *argv[])
{
    QCommandLineParser parser;
    parser.setApplicationDescription(u"Receives now-playing text from Rivendell over UDP, rewrites metadata.txt "
                                     "in the working folder and, when enabled, logs each play to MariaDB."_s);
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help and exit."_s);
    const QCommandLineOption version({u"v"_s, u"version"_s}, u"Show the version and exit."_s);
    const QCommandLineOption check(u"check"_s, u"Check Quaverlink.ini in the working folder and exit."_s);
    const QCommandLineOption headless(u"headless"_s, u"Run without a window."_s);
    parser.addOptions({help, version, check, headless});
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
        const QString error = parser.errorText().isEmpty() ? u"unexpected argument"_s : parser.errorText();
        print(stderr, u"quaverlink: "_s + error + u" (see quaverlink --help)\n"_s);
        std::exit(2);
    }
    if (parser.isSet(help)) {
        // helpText() names the program after the running application object.
        print(stdout,
              u"Usage: quaverlink [--headless | --check]\n       quaverlink report --from DATE --to DATE [--station "
              u"NAME] [--format csv|soundexchange]\n"
              "       quaverlink live TEXT [--minutes N] | --clear\n\n"_s
                  + parser.applicationDescription() + u"\n\n"_s + parser.helpText().section(u"\n\n"_s, -1));
        std::exit(0);
    }
    if (parser.isSet(version)) {
        print(stdout, u"Quaverlink "_s + kVersion + u'\n');
        std::exit(0);
    }
    return parser.isSet(check) ? Mode::Check : parser.isSet(headless) ? Mode::Headless : Mode::Window;
}

#ifdef QUAVERLINK_JOURNAL
// Benchmark build only: one line per applied item, so a load generator can
// count what was applied and in which order.
void keepJournal(Receiver &receiver)
{
    const int journal = ::open("applied.journal", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    QObject::connect(&receiver, &Receiver::itemApplied, [journal](const QString &item) {
        const QByteArray line = item.toUtf8().replace('\n', ' ') + '\n';
        [[maybe_unused]] const ssize_t written = ::write(journal, line.constData(), size_t(line.size()));
    });
}
#else
void keepJournal(Receiver &)
{
}
#endif

int runHeadless(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Station station;
    reportStartupFailureOnStandardError(station);
    keepJournal(station.receiver());
    // A service manager restarts a receiver that has nothing to do. One
    // that listens carries on, as the window does, even if a later step
    // (the idle text's sender) failed.
    if (!station.start() && !station.receiver().isListening()) {
        return 1;
    }
    return runUntilStopped(app, station);
}

// The window lives in a module of its own, beside the executable in a build
// tree and in the library folder once installed.
int runWithWindow(int argc, char *argv[])
{
    const QString executableFolder = QFileInfo(u"/proc/self/exe"_s).canonicalPath();
    QString error;
    for (const QString &folder : {executableFolder, executableFolder + u"/"_s QUAVERLINK_MODULE_FOLDER}) {
        QLibrary module(folder + u"/quaverlink-window"_s);
        using Run = int (*)(int &, char **);
        if (const auto run = reinterpret_cast<Run>(module.resolve("quaverlinkRunWithWindow"))) {
            return run(argc, argv);
        }
        error = module.errorString();
    }
    print(stderr, u"quaverlink: the window cannot be loaded (%1); running without a window\n"_s.arg(error));
    return runHeadless(argc, argv);
}

} // namespace

int main(int argc, char *argv[])
{
    // Every item's time on air is local time, which glibc finds by looking at
    // /etc/localtime again, one system call an item, unless TZ names the
    // zone: named here, it is read once. A change of the machine's time zone
    // then takes a restart; daylight saving time does not.
    if (!qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", ":/etc/localtime");
    }
    // Qt's own event loop wakes for a datagram in fewer steps than GLib's,
    // and nothing the receiver or its window uses needs GLib's.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        qputenv("QT_NO_GLIB", "1");
    }
    if (argc > 1 && std::strcmp(argv[1], "report") == 0) {
        QCoreApplication app(argc, argv);
        return runReport(QCoreApplication::arguments().mid(1), currentFolder());
    }
    if (argc > 1 && std::strcmp(argv[1], "live") == 0) {
        QCoreApplication app(argc, argv);
        return runLive(QCoreApplication::arguments().mid(1), currentFolder());
    }
    Mode mode = parseCommandLine(argc, argv);
    if (mode == Mode::Check) {
        QCoreApplication app(argc, argv);
        QTextStream out(stdout);
        return checkSettings(currentFolder(), out) ? 0 : 1;
    }
    if (mode == Mode::Window) {
        QString display;
        const DisplayState state = probeDisplay(&display);
        if (state == DisplayState::Unreachable) {
            print(stderr, u"quaverlink: display %1 cannot be reached; running without a window\n"_s.arg(display));
        }
        mode = state == DisplayState::Reachable ? Mode::Window : Mode::Headless;
    }
    QCoreApplication::setApplicationName(u"Quaverlink"_s);
    QCoreApplication::setApplicationVersion(kVersion);
    qInstallMessageHandler(routeMessages);
    // A log reader that went away must not end the receiver, nor a tool that
    // asks every process to reopen its logs: it has none.
    for (const int signal : {SIGPIPE, SIGUSR1, SIGUSR2}) {
        std::signal(signal, SIG_IGN);
    }
    const int status = mode == Mode::Headless ? runHeadless(argc, argv) : runWithWindow(argc, argv);
    flushFailureLines(kLastLinesTimeout);
    return status;
}
