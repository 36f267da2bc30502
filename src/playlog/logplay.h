#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

namespace quaverlink {

struct DatabaseLogin
{
    QString user;
    QString password;
    QString server;
};

// The ODBC connection string for a login, the three texts inserted exactly
// as they stand.
QString ConnectionString(const QString &user, const QString &password, const QString &server);

using LocalClock = std::function<QDateTime()>;

// Logs one item on a connection of its own: connects, takes the time, and
// stores a row when the text holds a dash. Throws Failure with the ODBC
// diagnostics; the password never appears in it.
void LogPlay(const DatabaseLogin &login, const QString &text,
             const LocalClock &clock = &QDateTime::currentDateTime);

} // namespace quaverlink
