#include "run.h"

#include "common/failure.h"
#include "common/literals.h"
#include "common/stopsignals.h"
#include "listeners/listenercounter.h"
#include "playlog/playhistory.h"
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

// The listeners of each play, counted when Quaverlink.ini asks and stored
// with the play history.
std::unique_ptr<ListenerCounter> startListenerCounter(Receiver &receiver)
{
    QString problem;
    std::optional<IcecastListeners::Settings> settings = IcecastListeners::fromSettings(receiver.settings(), &problem);
    if (!problem.isEmpty()) {
        writeFailureLine(failureLine(u"listeners"_s, problem));
    }
    if (!settings) {
        return nullptr;
    }
    PlayHistory *history = receiver.playHistory();
    if (!history) {
        writeFailureLine(failureLine(u"listeners"_s,
                                     u"they are stored with the play history, which is off, so"
                                     " they are not counted"_s));
        return nullptr;
    }
    auto counter = std::make_unique<ListenerCounter>(std::move(*settings));
    QObject::connect(&receiver, &Receiver::played, counter.get(),
                     [&receiver, counter = counter.get()](const RecentPlay &play, bool addsDetails) {
                         // The idle text is no play: the play before it has left the air.
                         if (play.text == receiver.idleText()) {
                             counter->endPlay();
                         } else if (!addsDetails) {
                             counter->startPlay(play.text, play.onAir);
                         }
                     });
    QObject::connect(counter.get(), &ListenerCounter::counted, history, &PlayHistory::recordListeners);
    return counter;
}

} // namespace

int runUntilStopped(QCoreApplication &app, Receiver &receiver)
{
    const std::unique_ptr<WebFace> face = startWebFace(receiver);
    const std::unique_ptr<ListenerCounter> listeners = startListenerCounter(receiver);
    StopSignals stopSignals;
    QObject::connect(&stopSignals, &StopSignals::received, &app, &QCoreApplication::quit);
    const int status = app.exec();
    // The plays on air get their counts before the history keeps its last.
    if (listeners) {
        listeners->stop();
    }
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
