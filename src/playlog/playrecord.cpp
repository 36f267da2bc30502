#include "playrecord.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace quaverlink {

PlayRecord PlayRecord::fromText(const QString &text, const QString &playedAt)
{
    PlayRecord record;
    // Stored exactly as received: the values travel as parameters, so
    // apostrophes need no doubling.
    record.text = text;
    record.playedAt = playedAt;

    const qsizetype dash = text.indexOf(u'-');
    record.hasDash = dash >= 0;
    record.artist = record.hasDash ? text.first(dash) : text;
    if (record.hasDash) {
        // Further dashes vanish, joining what stood on either side of them.
        record.title = text.sliced(dash + 1);
        record.title.remove(u'-');
    }

    // One blank at the seam goes on each side; a part of a single character
    // is left alone.
    if (record.artist.size() > 1 && record.artist.back() == u' ') {
        record.artist.chop(1);
    }
    if (record.title.size() > 1 && record.title.front() == u' ') {
        record.title.remove(0, 1);
    }
    return record;
}

std::array<QString, 5> PlayRecord::values() const
{
    return {QString(), text, playedAt, artist, title};
}

QByteArray PlayDetails::toJson() const
{
    return QJsonDocument(QJsonObject {{u"machine"_qs, machine},
                                      {u"service"_qs, service},
                                      {u"cart"_qs, cart},
                                      {u"cut"_qs, cut},
                                      {u"group"_qs, group},
                                      {u"artist"_qs, artist},
                                      {u"title"_qs, title},
                                      {u"album"_qs, album},
                                      {u"label"_qs, label},
                                      {u"composer"_qs, composer},
                                      {u"publisher"_qs, publisher},
                                      {u"year"_qs, year},
                                      {u"isrc"_qs, isrc},
                                      {u"isci"_qs, isci},
                                      {u"lengthMs"_qs, lengthMs},
                                      {u"host"_qs, host},
                                      {u"start"_qs, start},
                                      {u"detailsOnly"_qs, detailsOnly}})
        .toJson(QJsonDocument::Compact);
}

std::optional<PlayDetails> PlayDetails::fromJson(const QByteArray &json)
{
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    if (o.isEmpty()) {
        return std::nullopt;
    }
    const auto text = [&](const char16_t *key) { return o.value(QStringView(key)).toString(); };
    const auto number
        = [&](const char16_t *key, qint64 fallback) { return o.value(QStringView(key)).toInteger(fallback); };
    return PlayDetails {number(u"machine", 0), text(u"service"),   number(u"cart", 0),
                        number(u"cut", 0),     text(u"group"),     text(u"artist"),
                        text(u"title"),        text(u"album"),     text(u"label"),
                        text(u"composer"),     text(u"publisher"), number(u"year", 0),
                        text(u"isrc"),         text(u"isci"),      number(u"lengthMs", -1),
                        text(u"host"),         text(u"start"),     o.value(u"detailsOnly").toBool()};
}

} // namespace quaverlink
