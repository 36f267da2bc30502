#pragma once

#include "common/reporter.h"
#include "http/boundedreply.h"
#include "sink.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <optional>

namespace quaverlink {

// A push output: one text at a time, the newest when it falls behind, and
// the newest again after a pause when a push fails or the peer is lost.
class PushSink : public Sink
{
public:
    explicit PushSink(const OutputConfig &config)
        : Sink(config)
    {
        m_retry.setSingleShot(true);
        connect(&m_retry, &QTimer::timeout, this, [this] { pushNewest(); });
    }

    void publish(const NowPlaying &playing) override
    {
        m_newest = playing;
        if (!m_busy && !m_retry.isActive()) {
            pushNewest();
        }
    }

protected:
    // Starts sending; done() follows, now or later.
    virtual void push(const NowPlaying &playing) = 0;

    // A push ended. One that went out counts as working at once unless
    // proven is false: then only confirmWorking() says so.
    void done(const std::optional<QString> &failure, bool proven = true)
    {
        m_busy = false;
        if (failure) {
            lost(*failure);
            return;
        }
        if (proven) {
            confirmWorking();
        }
        pushNewest();
    }

    void confirmWorking()
    {
        worked();
        m_backoff.reset();
    }

    // The text last sent is sent again after a pause, unless a newer one
    // comes first.
    void lost(const QString &cause)
    {
        if (!m_newest) {
            m_newest = m_last;
        }
        failed(cause);
        if (!m_busy) {
            m_retry.start(m_backoff.next());
        }
    }

private:
    void pushNewest()
    {
        if (m_newest) {
            m_busy = true;
            m_last = *std::exchange(m_newest, std::nullopt);
            push(m_last);
        }
    }

    std::optional<NowPlaying> m_newest;
    NowPlaying m_last;
    bool m_busy = false;
    QTimer m_retry;
    Backoff m_backoff;
};

// A push over HTTP: a redirect is never followed, so a password or a token
// never goes to another host, and an answer is read to kMaxAnswer at most.
class HttpPushSink : public PushSink
{
public:
    using PushSink::PushSink;
    ~HttpPushSink() override
    {
        // A reply aborted as the manager goes says it finished: not to us.
        for (QNetworkReply *reply : m_network.findChildren<QNetworkReply *>()) {
            reply->disconnect(this);
        }
    }

protected:
    // Success is 200 for Icecast, any 2xx with anySuccess.
    void send(QNetworkRequest request, const QByteArray &method, const QByteArray &body, bool anySuccess)
    {
        sendBounded(m_network, std::move(request), method, body, this, kMaxAnswer, kDeadline, false,
                    [this, anySuccess](const BoundedAnswer &answer) {
                        const bool success
                            = anySuccess ? answer.status >= 200 && answer.status < 300 : answer.status == 200;
                        if (!answer.error.isEmpty()) {
                            done(answer.error);
                        } else if (success) {
                            done(std::nullopt);
                        } else {
                            // Said without the URL, whose query may hold a token.
                            done(answer.statusLine());
                        }
                    });
    }

private:
    static constexpr qint64 kMaxAnswer = 16 * 1024;
    // For the whole exchange, from connecting to the answer's last byte.
    static constexpr std::chrono::milliseconds kDeadline {10000};
    QNetworkAccessManager m_network;
};

} // namespace quaverlink
