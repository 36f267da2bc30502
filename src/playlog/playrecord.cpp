#include "playrecord.h"

#include "common/literals.h"

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
    return QJsonDocument(QJsonObject {{u"machine"_s, machine},
                                      {u"service"_s, service},
                                      {u"cart"_s, cart},
                                      {u"cut"_s, cut},
                                      {u"group"_s, group},
                                      {u"artist"_s, artist},
                                      {u"title"_s, title},
                                      {u"album"_s, album},
                                      {u"label"_s, label},
                                      {u"composer"_s, composer},
                                      {u"publisher"_s, publisher},
                                      {u"year"_s, year},
                                      {u"isrc"_s, isrc},
                                      {u"isci"_s, isci},
                                      {u"lengthMs"_s, lengthMs},
                                      {u"host"_s, host},
                                      {u"start"_s, start},
                                      {u"detailsOnly"_s, detailsOnly}})
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
