#include "run.h"

#include "common/failure.h"
#include "common/stopsignals.h"
#include "station.h"

#include <QCoreApplication>

#include <unistd.h>

namespace quaverlink {

void reportStartupFailureOnStandardError(Station &station)
{
    station.receiver().setStartupFailureHandler(
        [](const QString &message) { writeFailureLine(failureLine(message, QString())); });
}

int runUntilStopped(QCoreApplication &app, Station &station)
{
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &app, &QCoreApplication::quit);
    const int status = app.exec();
    if (!station.stop()) {
        // A database call is still waiting on its own timeout (its play is
        // safe in the spool), or an output on its peer. Leave without
        // tearing down what they use.
        flushFailureLines(kLastLinesTimeout);
        ::_exit(status);
    }
    return status;
}

} // namespace quaverlink
