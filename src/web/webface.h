#pragma once

#include "common/literals.h"
#include "common/reporter.h"
#include "http/httpserver.h"
#include "liveinput.h"
#include "playlog/recentplays.h"
#include "receiver/play.h"
#include "stationview.h"

#include <QDateTime>
#include <QTimer>

#include <optional>

namespace quaverlink {

class HistoryFile;
class IniFile;

// The receiver's face in a browser, for stations whose receiver has no
// screen: a live status page (GET /), its events (GET /events), the recent
// plays (GET /api/plays), a health check (GET /health), Prometheus metrics
// (GET /metrics), and the live input (POST and DELETE /api/now), the one
// thing that changes anything, for the holder of the token. Nothing served
// holds a password or the token. It runs on the air thread, which it never
// makes wait: requests are answered from the station's status as it stands.
class WebFace final : public Reporter
{
    Q_OBJECT

public:
    struct Options
    {
        QString address = u"127.0.0.1"_s;
        quint16 port = 0;
        std::chrono::minutes healthHistory {5};
        std::chrono::minutes healthOutput {5};
        std::chrono::minutes healthPad {5};
        QString title; // of the page; empty: the idle text
        std::optional<std::chrono::minutes> silence;
        QByteArray token;                       // for POST /api/now; empty: the live input is off
        std::chrono::seconds liveExpiry {3600}; // [Live] Expires; 0: until cleared
    };

    // The [Web] section (and [Live] Expires): nothing when there is none,
    // or, with the reason in problem, when a key cannot be used. A token
    // file is read from folder.
    static std::optional<Options> fromSettings(const IniFile &settings, const QByteArray &folder, QString *problem);

    // The recent plays are kept in the station's history file.
    WebFace(StationView &station, Options options, std::shared_ptr<HistoryFile> historyFile, QObject *parent = nullptr);

    bool listen(QString *error);
    // A play went on air, or the play on air gained its details.
    void addPlay(const Play &play);
    // Something a page shows changed; a burst of changes is one event.
    void statusChanged();

private:
    HttpServer::Reply route(const HttpRequest &request);
    // What makes /health fail; in degraded, what fails but is not yet a
    // problem, each with the minutes until it is.
    QStringList healthProblems(const StationStatus &status, QStringList *degraded) const;
    QByteArray statusEvent() const;
    QByteArray playsEvent() const;
    QByteArray playsJson(qsizetype limit) const;
    static QJsonValue liveJson(const StationStatus &status);
    QByteArray metrics() const;
    void publish(QByteArray (WebFace::*event)() const);

    StationView &m_station;
    const Options m_options;
    const QDateTime m_started = QDateTime::currentDateTime();
    RecentPlays m_recent;
    LiveInput m_live;
    QTimer m_tick;
    QTimer m_coalesce;
    HttpServer m_server; // last: it goes first, while what its routes read is still there
};

} // namespace quaverlink
