#include "sink.h"

#include "common/literals.h"
#include "http/httpserver.h"
#include "pad/padupdate.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <deque>

namespace quaverlink {
namespace {

// A page for a browser source (OBS): the output's rendered text on a
// transparent background, following the events. A station styles it with
// the source's own custom CSS (#now).
constexpr char kOverlayPage[] = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Now playing</title>
<style>html, body { background: transparent; margin: 0; }
#now { font: 600 48px/1.2 sans-serif; color: #fff; text-shadow: 0 2px 6px #000; padding: 16px; }</style>
</head><body><div id="now"></div><script src="overlay.js"></script></body></html>
)";
constexpr char kOverlayScript[] = R"(const now = document.getElementById("now");
new EventSource("events").onmessage = (event) => { now.textContent = JSON.parse(event.data).display || ""; };
)";

// The text on air for web pages and browser sources: GET /now gives it as
// JSON, GET /events streams every change as Server-Sent Events, GET /plays
// the last plays, GET /overlay a page for a browser source.
class HttpFeed final : public Sink
{
public:
    HttpFeed(const OutputConfig &config, HttpFeedTarget target)
        : Sink(config)
        , m_target(std::move(target))
        , m_server([this](const HttpRequest &request) { return route(request); })
    {
    }

    void start() override
    {
        if (!m_server.listen(QHostAddress(m_target.address), m_target.port)) {
            failed(
                u"listening on %1 port %2: %3"_s.arg(m_target.address).arg(m_target.port).arg(m_server.errorString()));
        } else {
            worked();
        }
    }

    void publish(const NowPlaying &playing) override
    {
        const auto [artist, title] = Template::artistAndTitle(playing);
        QJsonObject now {{u"text"_s, playing.text},
                         {u"display"_s, m_config.renderer.renderText(playing)},
                         {u"artist"_s, artist},
                         {u"title"_s, title},
                         {u"onAir"_s,
                          playing.onAir.toOffsetFromUtc(playing.onAir.offsetFromUtc()).toString(Qt::ISODate)},
                         {u"idle"_s, playing.isIdle},
                         {u"live"_s, playing.isLive},
                         {u"previous"_s, m_previous},
                         {u"pad"_s, QJsonValue::Null}};
        // The PAD feed's fields of the play, and of the next one when it told it.
        if (playing.pad && playing.pad->now) {
            QJsonObject pad = playing.pad->now->toJson();
            pad.insert(u"next"_s, playing.pad->next ? QJsonValue(playing.pad->next->toJson()) : QJsonValue::Null);
            now.insert(u"pad"_s, pad);
        }
        m_now = QJsonDocument(now).toJson(QJsonDocument::Compact);
        m_previous = playing.text;
        m_server.sendToStreams(nowEvent());
        if (!playing.isIdle) {
            remember(playing);
        }
    }

private:
    // The newest plays first, at most kPlays of them and kPlaysBytes in all.
    // The feed's details of the play just sent replace it, not follow it.
    static constexpr qsizetype kPlays = 50;
    static constexpr qsizetype kPlaysBytes = 512 * 1024;

    void remember(const NowPlaying &playing)
    {
        if (!m_plays.empty() && m_lastPlay.first == playing.text && m_lastPlay.second == playing.onAir) {
            m_playsBytes -= m_plays.front().size();
            m_plays.pop_front();
        }
        m_lastPlay = {playing.text, playing.onAir};
        m_plays.push_front(m_now);
        m_playsBytes += m_now.size();
        while (m_plays.size() > 1 && (qsizetype(m_plays.size()) > kPlays || m_playsBytes > kPlaysBytes)) {
            m_playsBytes -= m_plays.back().size();
            m_plays.pop_back();
        }
    }

    QByteArray playsJson() const
    {
        QByteArray json = "[";
        for (const QByteArray &play : m_plays) {
            json += (json.size() > 1 ? "," : "") + play;
        }
        return json + "]\n";
    }

    QByteArray nowEvent() const { return "data: " + m_now + "\n\n"; }

    HttpServer::Reply route(const HttpRequest &request) const
    {
        if (request.path == "/now") {
            return {"200 OK", "application/json; charset=utf-8", m_now + '\n'};
        }
        if (request.path == "/events") {
            return {"200 OK", "text/event-stream; charset=utf-8", nowEvent(), true};
        }
        if (request.path == "/plays") {
            return {"200 OK", "application/json; charset=utf-8", playsJson()};
        }
        if (request.path == "/overlay") {
            return {"200 OK", "text/html; charset=utf-8", kOverlayPage, false,
                    "Content-Security-Policy: default-src 'self'; style-src 'unsafe-inline'\r\n"};
        }
        if (request.path == "/overlay.js") {
            return {"200 OK", "text/javascript; charset=utf-8", kOverlayScript};
        }
        return {"404 Not Found", "text/plain", "not found: /now, /events, /plays and /overlay are served\n"};
    }

    QByteArray m_now = "{}";
    const HttpFeedTarget m_target;
    QString m_previous;
    std::deque<QByteArray> m_plays;
    qsizetype m_playsBytes = 0;
    std::pair<QString, QDateTime> m_lastPlay;
    HttpServer m_server; // last: it goes first, while what its routes read is still there
};

} // namespace

Sink *makeSink(const OutputConfig &config, const HttpFeedTarget &target)
{
    return new HttpFeed(config, target);
}

} // namespace quaverlink
