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
    qint64 cart = 0;       // 0 when unknown
    qint64 cut = 0;        // 0 when unknown
    qint64 lengthMs = -1;  // -1 when unknown
    qint64 year = 0;       // 0 when unknown
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
    // When it went on air, by Rivendell's clock: arrival when the start is
    // missing, in the future or longer ago than the play lasts (plus a
    // minute), which would put it where it never was.
    QDateTime onAirTime(const QDateTime &arrival) const;

    bool operator==(const PadItem &other) const = default;
};

// One document of the feed.
struct PadUpdate
{
    QDateTime dateTime;
    qint64 machine = 0;
    bool onAir = false;
    QString hostName;
    // The service's name; Rivendell 4 may send only its description.
    QString serviceName;
    QString logName;
    std::optional<PadItem> now;
    std::optional<PadItem> next;
};

// Nothing, with the reason in error, for a document that is not a JSON
// object holding a padUpdate object.
std::optional<PadUpdate> parsePadUpdate(const QByteArray &document, QString *error);

// Cuts the feed's bytes into documents, each one JSON object, however the
// bytes were split into segments. Rivendell 3.x ends each document with an
// empty line (CR LF lines), 4.0 to 4.2.1 likewise with bare LF lines, and
// 4.2.2 and later put nothing at all between them: so a document ends where
// its outermost brace closes (braces inside strings, escapes included, do not
// count), and whatever lies between documents is skipped when it is blank.
// Anything else between them is handed on, a line at a time, as a document
// of its own that no JSON reader takes.
class PadFramer final
{
public:
    static constexpr qsizetype kMaxDocument = 1024 * 1024;

    void append(const QByteArray &bytes) { m_buffer += bytes; }
    // The next whole document, if one has arrived.
    std::optional<QByteArray> takeDocument();
    // A document has grown past kMaxDocument without ending.
    bool isOverflowing() const { return m_buffer.size() > kMaxDocument; }
    void clear() { *this = PadFramer(); }

private:
    std::optional<QByteArray> takeStrayLine();
    QByteArray take(qsizetype size);

    QByteArray m_buffer; // begins with the document being read, if any
    qsizetype m_scanned = 0;
    int m_depth = 0; // of braces, outside strings
    bool m_inString = false;
    bool m_escaped = false;
};

} // namespace quaverlink
