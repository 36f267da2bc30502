#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <array>
#include <optional>

namespace quaverlink {

// One play as it becomes a row of the table Metadata: the text as received,
// the local time it went on air (kPlayedAtFormat), and the parts before and
// after the first dash.
struct PlayRecord
{
    QString text;
    QString playedAt;
    QString artist;
    QString title;
    bool hasDash = false;

    static PlayRecord fromText(const QString &text, const QString &playedAt);

    // The five values of a row, by position: an empty first value, the
    // text, the time, the artist and the title.
    std::array<QString, 5> values() const;
};

// What the PAD feed told of a play, as it becomes a row of the table
// PlayDetails beside its row in Metadata.
struct PlayDetails
{
    qint64 machine = 0;
    QString service;
    qint64 cart = 0; // 0 when unknown
    qint64 cut = 0;  // 0 when unknown
    QString group;
    QString artist;
    QString title;
    QString album;
    QString label;
    QString composer;
    QString publisher;
    qint64 year = 0; // 0 when unknown
    QString isrc;
    QString isci;
    qint64 lengthMs = -1; // -1 when unknown
    QString host;         // the Rivendell host that told of it
    QString start;        // Rivendell's startDateTime, as sent
    // Its Metadata row was stored with an earlier play (the same play, as
    // the UDP endpoint had it first): only this row is still to store.
    bool detailsOnly = false;

    QByteArray toJson() const;
    // Nothing for bytes that are not such an object.
    static std::optional<PlayDetails> fromJson(const QByteArray &json);
};

// One of the last plays a status page lists.
struct RecentPlay
{
    QDateTime onAir;
    QString text;
    QJsonObject details; // what the PAD feed told of it, by field name
};

// The form of played_at, local time.
inline constexpr QStringView kPlayedAtFormat = u"yyyy-MM-dd HH:mm:ss";

} // namespace quaverlink
