#pragma once

#include "common/reporter.h"
#include "template.h"

#include <QByteArray>
#include <QObject>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

namespace quaverlink {

class IniFile;
class OutputMailbox;
class OutputWorker;

// The outputs beside metadata.txt that Quaverlink.ini asks for, one section
// each, [Output NAME]: files, Icecast mounts, line feeds to RDS encoders, an
// HTTP feed for web pages and overlays, webhooks and DAB+ DLS files. Every
// text that goes on air reaches every output, in order, on a thread of their
// own, so an output never holds up the air; a push output that falls behind
// sends the newest text, and outputs that fall behind the air as a whole
// skip to the newest.
class Outputs final : public QObject
{
    Q_OBJECT

public:
    enum class Type { File, Icecast, LineFeed, Http, Webhook, Dls };

    struct Config
    {
        QString name;
        Type type = Type::File;
        Template renderer;
        QByteArray path;    // File
        QUrl server;        // Icecast
        QString mount;      // Icecast
        QString user;       // Icecast
        QString password;   // Icecast
        QString host;       // line feed: where to; HTTP: the address listened on
        quint16 port = 0;   // line feed, HTTP
        bool udp = false;   // line feed
        QStringList groups; // only plays of these groups, and the idle text; empty: every text
        // Texts whose text (or artist, or title) this matches never reach the output.
        QRegularExpression skip;
        enum class SkipOn { Text, Artist, Title } skipOn = SkipOn::Text;
        int minLength = 0; // of the title; not for the idle text
        std::chrono::milliseconds delay {0};
        bool delaySkipReplaced = false;
        std::chrono::milliseconds minInterval {0};
        // How long a push output holds a datagram's play for the PAD feed's
        // details; 0 without the feed.
        std::chrono::milliseconds padWait {0};
        Template url;                                     // Webhook
        std::optional<Template> body;                     // Webhook
        QByteArray method;                                // Webhook
        QByteArray contentType;                           // Webhook
        QList<std::pair<QByteArray, QByteArray>> headers; // Webhook: never printed

        // Whether a text on air reaches this output.
        bool takes(const NowPlaying &playing) const;
        // Whether it sends each text to a peer (a stream, a device, a hook),
        // where a text sent twice is seen twice.
        bool isPush() const { return type == Type::Icecast || type == Type::LineFeed || type == Type::Webhook; }

        QString describe() const;
    };

    // The usable sections, and a line for each one that cannot be used
    // (which is then skipped) and for each key an output does not use. A
    // relative File is in folder.
    static QList<Config> configure(const IniFile &settings, const QByteArray &folder, QStringList *problems);

    explicit Outputs(QList<Config> configs, QObject *parent = nullptr);
    ~Outputs() override;

    const QStringList &names() const { return m_names; }
    void publish(const NowPlaying &playing);
    // Hands on what was published and ends the outputs' thread; false when
    // an output was still busy after timeout and the thread was left behind.
    bool stop(std::chrono::milliseconds timeout = std::chrono::seconds(2));

Q_SIGNALS:
    // An output began or stopped working; state says how it stands.
    void stateChanged(const QString &name, const QString &state);
    // A line an output wrote to standard error.
    void reported(const QString &line, quaverlink::Severity severity);

private:
    QStringList m_names;
    std::shared_ptr<OutputMailbox> m_mailbox;
    std::unique_ptr<QThread> m_thread = std::make_unique<QThread>();
    OutputWorker *m_worker = nullptr;
};

} // namespace quaverlink
