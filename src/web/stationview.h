#pragma once

#include "pad/padclient.h"
#include "playlog/playhistory.h"
#include "receiver/livetext.h"

#include <QDateTime>
#include <QMap>
#include <QString>

#include <optional>

namespace quaverlink {

// How one output stands.
struct OutputState
{
    QString state;
    QDateTime since;
    bool working = false;
    qint64 failures = 0; // times it stopped working
};

// What a status page shows of the station at one moment.
struct StationStatus
{
    QString idleText;
    QString now;
    QString previous;
    QString next; // what the PAD feed says comes next
    bool listening = false;
    std::optional<int> countdown; // while it counts down
    QDateTime lastItemAt;         // of the last item other than the idle text; null before one
    qint64 applied = 0;
    qint64 idleTexts = 0;
    qint64 refused = 0;
    qint64 dropped = 0;
    std::optional<LiveText> live;
    std::optional<PlayHistory::Status> history; // nothing when play history is off
    std::optional<PadClient::Status> pad;       // nothing when no feed is followed
    QMap<QString, OutputState> outputs;
};

// What the web face sees of the station, and the one thing it may ask of it.
class StationView
{
public:
    virtual ~StationView() = default;

    virtual StationStatus status() const = 0;
    virtual void setLive(const LiveText &live) = 0;
    virtual void clearLive(const QString &who) = 0;
};

} // namespace quaverlink
