#include "sinks.h"

#include "http/httpserver.h"
#include "pad/padupdate.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace quaverlink {
namespace {

// The text on air for web pages and browser sources: GET /now gives it as
// JSON, GET /events streams every change as Server-Sent Events.
class HttpFeed final : public Sink
{
public:
    explicit HttpFeed(const Outputs::Config &config)
        : Sink(config)
        , m_server([this](const HttpRequest &request) { return route(request); })
    {
    }

    void start() override
    {
        if (!m_server.listen(QHostAddress(m_config.host), m_config.port)) {
            failed(u"listening on %1 port %2: %3"_qs.arg(m_config.host).arg(m_config.port).arg(m_server.errorString()));
        } else {
            worked();
        }
    }

    void publish(const NowPlaying &playing) override
    {
        const auto [artist, title] = Template::artistAndTitle(playing);
        QJsonObject now {{u"text"_qs, playing.text},
                         {u"display"_qs, m_config.renderer.renderText(playing)},
                         {u"artist"_qs, artist},
                         {u"title"_qs, title},
                         {u"onAir"_qs,
                          playing.onAir.toOffsetFromUtc(playing.onAir.offsetFromUtc()).toString(Qt::ISODate)},
                         {u"idle"_qs, playing.isIdle},
                         {u"previous"_qs, m_previous},
                         {u"pad"_qs, QJsonValue::Null}};
        // The PAD feed's fields of the play, and of the next one when it told it.
        if (playing.pad && playing.pad->now) {
            QJsonObject pad = playing.pad->now->toJson();
            pad.insert(u"next"_qs, playing.pad->next ? QJsonValue(playing.pad->next->toJson()) : QJsonValue::Null);
            now.insert(u"pad"_qs, pad);
        }
        m_now = QJsonDocument(now).toJson(QJsonDocument::Compact);
        m_previous = playing.text;
        m_server.sendToStreams(nowEvent());
    }

private:
    QByteArray nowEvent() const { return "data: " + m_now + "\n\n"; }

    HttpServer::Reply route(const HttpRequest &request) const
    {
        if (request.path == "/now") {
            return {"200 OK", "application/json; charset=utf-8", m_now + '\n'};
        }
        if (request.path == "/events") {
            return {"200 OK", "text/event-stream; charset=utf-8", nowEvent(), true};
        }
        return {"404 Not Found", "text/plain", "not found: /now and /events are served\n"};
    }

    QByteArray m_now = "{}";
    QString m_previous;
    HttpServer m_server; // last: it goes first, while what its routes read is still there
};

} // namespace

Sink *makeHttpFeed(const Outputs::Config &config)
{
    return new HttpFeed(config);
}

} // namespace quaverlink
