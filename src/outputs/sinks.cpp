#include "sinks.h"

#include "common/atomicfile.h"
#include "common/failure.h"
#include "common/literals.h"
#include "common/socketqueue.h"
#include "http/boundedreply.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QUdpSocket>

#include <optional>

namespace quaverlink {

Sink::Sink(const Outputs::Config &config)
    : m_config(config)
{
}

void Sink::failed(const QString &cause)
{
    if (std::exchange(m_failing, true) != true) {
        report(Severity::Failure, u"output "_s + m_config.name,
               u"stopped working; the newest text is retried: "_s + cause);
        Q_EMIT stateChanged(m_config.name, u"not working: "_s + cause);
    }
}

void Sink::worked()
{
    const std::optional<bool> was = std::exchange(m_failing, false);
    if (was == true) {
        report(Severity::Recovery, u"output "_s + m_config.name, u"works again"_s);
    }
    if (was != false) {
        Q_EMIT stateChanged(m_config.name, u"working"_s);
    }
}

namespace {

class FileSink : public Sink
{
public:
    explicit FileSink(const Outputs::Config &config)
        : Sink(config)
        , m_file(config.path, [this](const QString &, const QString &cause) { notice(cause); })
    {
        m_file.removeLeftovers();
    }

    void publish(const NowPlaying &playing) override
    {
        try {
            m_file.replace(content(playing));
            worked();
        } catch (const Failure &failure) {
            failed(failure.describe());
        }
    }

protected:
    // What the file holds while this text is on air.
    virtual QByteArray content(const NowPlaying &playing) { return render(playing); }

private:
    AtomicFile m_file;
};

// A push output: one text at a time, the newest when it falls behind, and
// the newest again after a pause when a push fails or the peer is lost.
class PushSink : public Sink
{
public:
    explicit PushSink(const Outputs::Config &config)
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
        request.setTransferTimeout(int(kDeadline.count()));
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
        QNetworkReply *reply = m_network.sendCustomRequest(request, method, body);
        boundReply(reply, this, kMaxAnswer, kDeadline, false, [this, anySuccess](const BoundedAnswer &answer) {
            const bool success = anySuccess ? answer.status >= 200 && answer.status < 300 : answer.status == 200;
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

class IcecastSink final : public HttpPushSink
{
public:
    using HttpPushSink::HttpPushSink;

protected:
    void push(const NowPlaying &playing) override
    {
        const QByteArray text = render(playing);
        const char *charset = m_config.renderer.charset() == Template::Charset::Latin1 ? "ISO-8859-1"
            : m_config.renderer.charset() == Template::Charset::Ascii                  ? "US-ASCII"
                                                                                       : "UTF-8";
        // The song travels as the bytes of its character set, percent-encoded.
        QUrl url = m_config.server;
        url.setPath(u"/admin/metadata"_s);
        url.setQuery(QString::fromLatin1("mode=updinfo&mount=" + QUrl::toPercentEncoding(m_config.mount)
                                         + "&charset=" + charset + "&song=" + text.toPercentEncoding()),
                     QUrl::StrictMode);
        QNetworkRequest request(url);
        request.setRawHeader("Authorization",
                             "Basic " + (m_config.user + u':' + m_config.password).toUtf8().toBase64());
        send(request, "GET", {}, false);
    }
};

// A webhook: the URL and the body are templates, each field's value escaped
// for where it stands; the header lines (a bearer token, say) go as they
// stand and are never printed.
class WebhookSink final : public HttpPushSink
{
public:
    using HttpPushSink::HttpPushSink;

protected:
    void push(const NowPlaying &playing) override
    {
        QNetworkRequest request(QUrl(m_config.url.renderText(playing), QUrl::StrictMode));
        for (const auto &[name, value] : m_config.headers) {
            request.setRawHeader(name, value);
        }
        if (!m_config.contentType.isEmpty()) {
            request.setHeader(QNetworkRequest::ContentTypeHeader, m_config.contentType);
        }
        send(request, m_config.method, m_config.body ? m_config.body->renderText(playing).toUtf8() : QByteArray(),
             true);
    }
};

// The DLS text file that ODR-PadEnc reads, with DL Plus tags for the artist
// and the title where the text holds them, so that DAB+ radios show them
// apart. Markers count characters, as ODR-PadEnc's one byte a character
// after its conversion to EBU Latin does; a length marker is the length
// less one.
class DlsSink final : public FileSink
{
public:
    using FileSink::FileSink;

protected:
    QByteArray content(const NowPlaying &playing) override
    {
        const QString text = m_config.renderer.renderText(playing);
        if (text != m_text) {
            m_toggle = !m_toggle; // a new item
            m_text = text;
        }
        QByteArray tags;
        const auto [artist, title] = Template::artistAndTitle(playing);
        // Whichever comes first in the template; the title is looked for
        // after the artist first, so that a title inside the artist's name
        // is not taken for it, then before it.
        const qsizetype artistAt = artist.isEmpty() ? -1 : text.indexOf(artist);
        qsizetype titleAt = title.isEmpty() ? -1 : text.indexOf(title, artistAt < 0 ? 0 : artistAt + artist.size());
        if (titleAt < 0 && !title.isEmpty() && artistAt >= 0) {
            titleAt = text.left(artistAt).indexOf(title);
        }
        // A part that a cut left incomplete is not found, and gets no tag.
        const bool running = !playing.isIdle && (artistAt >= 0 || titleAt >= 0);
        if (!playing.isIdle && artistAt >= 0) {
            tags += tag(kArtist, text, artistAt, artist.size());
        }
        if (!playing.isIdle && titleAt >= 0) {
            tags += tag(kTitle, text, titleAt, title.size());
        }
        return "##### parameters { #####\nDL_PLUS=1\nDL_PLUS_ITEM_TOGGLE=" + QByteArray(m_toggle ? "1" : "0")
            + "\nDL_PLUS_ITEM_RUNNING=" + (running ? "1" : "0") + "\n" + tags + "##### parameters } #####\n"
            + text.toUtf8() + "\n";
    }

private:
    static constexpr int kTitle = 1;  // ITEM.TITLE
    static constexpr int kArtist = 4; // ITEM.ARTIST

    static QByteArray tag(int type, const QString &text, qsizetype at, qsizetype length)
    {
        const auto characters
            = [&](qsizetype from, qsizetype units) { return text.sliced(from, units).toUcs4().size(); };
        return "DL_PLUS_TAG=" + QByteArray::number(type) + ' ' + QByteArray::number(characters(0, at)) + ' '
            + QByteArray::number(characters(at, length) - 1) + '\n';
    }

    QString m_text;
    bool m_toggle = true; // the first text turns it to 0
};

class LineFeedSink final : public PushSink
{
public:
    explicit LineFeedSink(const Outputs::Config &config)
        : PushSink(config)
    {
        connect(&m_socket, &QTcpSocket::connected, this, [this] {
            // A small send buffer: a device that stopped reading is noticed
            // after little data, not after the megabytes autotuning allows.
            m_socket.setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kSendQueue);
            send();
        });
        // What a device says back is not for us; left unread it would pile up.
        connect(&m_socket, &QTcpSocket::readyRead, this, [this] { m_socket.skip(m_socket.bytesAvailable()); });
        // A device that takes a connection and drops it again (many take one
        // client only) must not count as working at every connect: that would
        // reset the pauses and write two lines a second.
        m_stable.setSingleShot(true);
        m_stable.setInterval(kStableAfter);
        connect(&m_stable, &QTimer::timeout, this, [this] {
            if (m_socket.state() == QAbstractSocket::ConnectedState) {
                confirmWorking();
            }
        });
        m_drain.setInterval(50);
        connect(&m_drain, &QTimer::timeout, this, &LineFeedSink::checkDrained);
        connect(&m_socket, &QTcpSocket::errorOccurred, this, [this] {
            m_stable.stop();
            m_drain.stop();
            m_held = false;
            const QString cause = m_socket.errorString();
            m_socket.abort();
            if (std::exchange(m_waiting, false)) {
                done(cause);
            } else {
                lost(cause);
            }
        });
    }
    ~LineFeedSink() override
    {
        // The socket, a member, goes before this object stops hearing it.
        m_socket.disconnect(this);
    }

protected:
    void push(const NowPlaying &playing) override
    {
        const QByteArray text = render(playing);
        m_text = text;
        if (m_config.udp) {
            QUdpSocket udp;
            const bool sent = udp.writeDatagram(text, QHostAddress(m_config.host), m_config.port) == text.size();
            done(sent ? std::nullopt : std::optional(udp.errorString()));
            return;
        }
        m_waiting = true;
        if (m_socket.state() == QAbstractSocket::ConnectedState) {
            send();
        } else if (m_socket.state() == QAbstractSocket::UnconnectedState) {
            m_socket.connectToHost(m_config.host, m_config.port);
        }
    }

private:
    // A device gets the newest text, never a backlog: while the line before
    // has not drained to it, the newest waits here, alone, and replaces any
    // older one; a device that takes nothing for kDrainDeadline is dropped.
    void send()
    {
        if (!m_waiting) {
            return;
        }
        m_waiting = false;
        if (unsentBytes(m_socket) > 0) {
            m_held = true;
            if (!m_drain.isActive()) {
                m_drainStarted.start();
                m_drain.start();
            }
            done(std::nullopt, false);
            return;
        }
        writeHeld();
        done(std::nullopt, false);
    }

    void writeHeld()
    {
        m_held = false;
        m_drain.stop();
        m_socket.write(m_text);
        if (!m_stable.isActive()) {
            m_stable.start();
        }
    }

    void checkDrained()
    {
        if (unsentBytes(m_socket) == 0) {
            writeHeld();
        } else if (m_drainStarted.hasExpired(kDrainDeadline.count())) {
            m_drain.stop();
            m_socket.abort();
            lost(u"the device stopped reading"_s);
        }
    }

    static constexpr int kSendQueue = 16 * 1024;
    static constexpr std::chrono::seconds kStableAfter {5};
    static constexpr std::chrono::milliseconds kDrainDeadline {10000};
    QTcpSocket m_socket;
    QTimer m_stable;
    QTimer m_drain;
    QElapsedTimer m_drainStarted;
    QByteArray m_text;
    bool m_waiting = false;
    bool m_held = false; // m_text waits for the line before to drain
};

} // namespace

Sink *makeFileSink(const Outputs::Config &config)
{
    return new FileSink(config);
}

Sink *makeIcecastSink(const Outputs::Config &config)
{
    return new IcecastSink(config);
}

Sink *makeLineFeedSink(const Outputs::Config &config)
{
    return new LineFeedSink(config);
}

Sink *makeWebhookSink(const Outputs::Config &config)
{
    return new WebhookSink(config);
}

Sink *makeDlsSink(const Outputs::Config &config)
{
    return new DlsSink(config);
}

} // namespace quaverlink
