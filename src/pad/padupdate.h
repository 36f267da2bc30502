#pragma once

#include "common/duration.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace quaverlink {

// One item of Rivendell's on-air log, as its PAD feed describes it. Texts
// the feed leaves out, sends as null or with the wrong type are empty.
struct PadItem
{
    QString startDateTime; // as sent, for telling one play of a cart from the next
    qint64 cart = 0;
    qint64 cut = 0;
    qint64 lengthMs = -1; // -1 when unknown
    qint64 year = 0;      // 0 when unknown
    QString group;
    QString title;
    QString artist;
    QString album;
    QString label;
    QString composer;
    QString publisher;
    QString conductor;
    QString client;
    QString agency;
    QString userDefined;
    QString songId;
    QString outcue;
    QString description;
    QString isrc;
    QString isci;

    static PadItem fromJson(const QJsonObject &object);
    // "artist - title", or the title alone when there is no artist.
    QString text() const;
    // The names a template may use, {album} or {next.album}.
    static const QStringList &fieldNames();
    // The value of one of fieldNames(); the length as m:ss.
    QString field(qsizetype index) const;
    // Every field by its name, for web pages.
    QJsonObject toJson() const;
    // The same play: a cart played again later is another play.
    bool isSamePlay(const PadItem &other) const
    {
        return cart == other.cart && cut == other.cut && startDateTime == other.startDateTime;
    }
};

// One document of the feed.
struct PadUpdate
{
    QDateTime dateTime;
    qint64 machine = 0;
    bool onAir = false;
    QString serviceName;
    QString logName;
    std::optional<PadItem> now;
    std::optional<PadItem> next;
};

// Nothing, with the reason in error, for a document that is not a JSON
// object holding a padUpdate object.
std::optional<PadUpdate> parsePadUpdate(const QByteArray &document, QString *error);

// Cuts the feed's bytes into documents: each ends at an empty line, with
// lines ending in CR LF or a bare LF, however the bytes were split into
// segments.
class PadFramer final
{
public:
    static constexpr qsizetype kMaxDocument = 1024 * 1024;

    void append(const QByteArray &bytes) { m_buffer += bytes; }
    // The next whole document, if one has arrived.
    std::optional<QByteArray> takeDocument();
    // A document has grown past kMaxDocument without ending.
    bool isOverflowing() const { return m_buffer.size() > kMaxDocument; }
    void clear()
    {
        m_buffer.clear();
        m_scanned = 0;
    }

private:
    QByteArray m_buffer;
    qsizetype m_scanned = 0; // where the first line not yet looked at begins
};

} // namespace quaverlink
