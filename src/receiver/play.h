#pragma once

#include "playlog/playrecord.h"

#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <optional>

namespace quaverlink {

// One play as it leaves the air: what the play history stores, the listener
// counter counts and the web face lists.
struct Play
{
    QString text;        // as it went on air
    QDateTime onAir;     // for a play from the PAD feed, when Rivendell says
    bool isIdle = false; // the idle text: the play before it has left the air
    // The play on air gained what the PAD feed told of it: no new play.
    bool addsDetails = false;
    // What the PAD feed or the live input told of it, as the history stores
    // it and as the web face shows it (by the feed's field names).
    std::optional<PlayDetails> details;
    QJsonObject fields;
};

} // namespace quaverlink
