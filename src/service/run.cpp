#include "run.h"

#include "common/failure.h"
#include "common/literals.h"
#include "common/stopsignals.h"
#include "receiver/receiver.h"
#include "settings/settings.h"
#include "web/webface.h"

#include <QCoreApplication>

#include <unistd.h>

namespace quaverlink {

void reportStartupFailureOnStandardError(Receiver &receiver)
{
    receiver.setStartupFailureHandler(
        [](const QString &message) { writeFailureLine(failureLine(message, QString())); });
}

namespace {

// The status page, health and metrics, when Quaverlink.ini asks for them.
std::unique_ptr<WebFace> startWebFace(Receiver &receiver)
{
    QString problem;
    std::optional<WebFace::Options> options = WebFace::fromSettings(receiver.settings(), currentFolder(), &problem);
    if (!options) {
        if (!problem.isEmpty()) {
            writeFailureLine(failureLine(u"web face"_s, problem + u"; no status page is served"_s));
        }
        return nullptr;
    }
    auto face = std::make_unique<WebFace>(receiver, std::move(*options), currentFolder());
    if (!face->listen(&problem)) {
        writeFailureLine(failureLine(u"web face"_s, problem));
        return nullptr;
    }
    return face;
}

} // namespace

int runUntilStopped(QCoreApplication &app, Receiver &receiver)
{
    const std::unique_ptr<WebFace> face = startWebFace(receiver);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &app, &QCoreApplication::quit);
    const int status = app.exec();
    if (!receiver.stopWorkers()) {
        // A database call is still waiting on its own timeout (its play is
        // safe in the spool), or an output on its peer. Leave without
        // tearing down what they use.
        flushFailureLines(kLastLinesTimeout);
        ::_exit(status);
    }
    return status;
}

} // namespace quaverlink
