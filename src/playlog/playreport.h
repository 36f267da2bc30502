#pragma once

#include "common/literals.h"
#include "database.h"

#include <QDateTime>
#include <QHash>
#include <QStringList>

#include <functional>
#include <optional>

namespace quaverlink {

// One play as a royalty report sees it; a field the history does not know
// is null.
struct ReportedPlay
{
    QString time; // on air, local, kPlayedAtFormat
    QString text; // as it went on air
    QString artist;
    QString title;
    QString album;
    QString label;
    QString isrc;
    QString composer;
    QString publisher;
    QString group; // Rivendell's group, from the PAD feed
    QString cart;
    QString machine;
    QString lengthMs;
    std::optional<qint64> performances {}; // listeners who heard any of it; nothing when not counted
};

// The columns of a royalty report, one line per play: the first nine as
// they always were, then what was added since.
inline const QStringList kReportColumns
    = {u"time"_s,     u"artist"_s,    u"title"_s, u"album"_s, u"label"_s,   u"isrc"_s,         u"length"_s,
       u"composer"_s, u"publisher"_s, u"group"_s, u"cart"_s,  u"machine"_s, u"performances"_s, u"on_air"_s};
// The values of plays in those columns. Each hour's offset from UTC is
// looked up once: a year's report asks 8,760 times rather than once a play.
class ReportFormatter final
{
public:
    QStringList values(const ReportedPlay &play);

private:
    QHash<QStringView, QString> m_offsets; // by "yyyy-MM-dd HH"
    QStringList m_hours;                   // the keys' storage
};

// Reads the plays that went on air from from up to before until, in on-air
// order, from Metadata and PlayDetails (Metadata alone where there is no
// PlayDetails), and hands each to row with the values of kReportColumns.
// With a station, only the plays StationPlays holds for it, with the
// details it stored. The login needs SELECT on the tables. Throws
// odbc::Error, never holding the password.
void readPlays(const DatabaseLogin &login, const QDateTime &from, const QDateTime &until, const QString &station,
               const std::function<void(const ReportedPlay &play)> &row);

// SoundExchange's census Report of Use: one line per sound recording, its
// plays' performances added up, text qualified with ^ and fields parted by
// |. A ^ or | inside a value, which the format cannot hold, becomes a blank.
class SoundExchangeReport final
{
public:
    void add(const ReportedPlay &play);
    // The whole report for a service and its transmission category.
    QByteArray text(const QString &service, const QString &category) const;
    // The plays whose listeners are unknown, as "time "text"", in on-air order.
    const QStringList &uncounted() const { return m_uncounted; }

private:
    struct Recording
    {
        QString fields; // artist, title, ISRC, album, label, parted by NUL
        std::optional<qint64> performances;
    };
    QList<Recording> m_recordings; // in the order first played
    QHash<QString, qsizetype> m_index;
    QStringList m_uncounted;
};

// One line of RFC 4180 CSV, CR LF included, added to out.
void appendCsvLine(QByteArray &out, const QStringList &values);

} // namespace quaverlink
