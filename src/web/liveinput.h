#pragma once

#include "common/literals.h"
#include "http/httpserver.h"

#include <QDeadlineTimer>
#include <QHash>

#include <chrono>
#include <functional>
#include <optional>

namespace quaverlink {

class IniFile;
class StationView;

// POST /api/now and DELETE /api/now: a live text put on air, or cleared, by
// whoever holds the station's token. The token is compared in constant time;
// an address that fails too often is refused for a while before its token is
// even looked at.
class LiveInput final
{
public:
    static constexpr qsizetype kMaxBody = 8192;
    static constexpr int kMaxFailures = 5; // per address, within kFailureWindow
    static constexpr std::chrono::seconds kFailureWindow {60};
    static constexpr qsizetype kMaxText = 1024;

    // An empty token turns the input off. notice tells of a wrong token.
    LiveInput(StationView &station, QByteArray token, std::chrono::seconds defaultExpiry,
              std::function<void(const QString &cause)> notice);

    HttpServer::Reply answer(const HttpRequest &request);
    qint64 refusedTotal() const { return m_refusedTotal; }

private:
    bool isLimited(const QHostAddress &peer);
    HttpServer::Reply refuse(const QHostAddress &peer);
    HttpServer::Reply set(const HttpRequest &request);

    StationView &m_station;
    const QByteArray m_token;
    const std::chrono::seconds m_defaultExpiry;
    QHash<QHostAddress, QList<QDeadlineTimer>> m_failures; // each failure's end of the window
    qint64 m_refusedTotal = 0;
    const std::function<void(const QString &cause)> m_notice;
};

// The token of [Web] Token, or of the file [Web] TokenFile names (relative
// to the folder), its blanks and line end trimmed; empty when neither is
// set. Nothing, with the reason in problem, for a file that cannot be read.
std::optional<QByteArray> readToken(const IniFile &settings, const QByteArray &folder, QString *problem);

} // namespace quaverlink
