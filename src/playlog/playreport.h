#pragma once

#include "common/literals.h"
#include "database.h"

#include <QDateTime>
#include <QStringList>

#include <functional>

namespace quaverlink {

// The columns of a royalty report, one line per play.
inline const QStringList kReportColumns = {u"time"_s, u"artist"_s, u"title"_s,    u"album"_s,    u"label"_s,
                                           u"isrc"_s, u"length"_s, u"composer"_s, u"publisher"_s};

// Reads the plays that went on air from from up to before until, in on-air
// order, from Metadata and PlayDetails (Metadata alone where there is no
// PlayDetails), and hands each to row with the values of kReportColumns.
// With a station, only the plays StationPlays holds for it, with the
// details it stored. The login needs SELECT on the tables. Throws
// odbc::Error, never holding the password.
void readPlays(const DatabaseLogin &login, const QDateTime &from, const QDateTime &until, const QString &station,
               const std::function<void(const QStringList &values)> &row);

// One line of RFC 4180 CSV, CR LF included.
QByteArray csvLine(const QStringList &values);

} // namespace quaverlink
