#pragma once

#include "common/reporter.h"
#include "padupdate.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>
#include <optional>

namespace quaverlink {

class IniFile;

// A client of Rivendell's PAD feed: one TCP connection kept open to the
// host, made again with growing pauses when it fails. It lives on the air
// thread and never blocks it: every read is what the socket already holds.
class PadClient final : public Reporter
{
    Q_OBJECT

public:
    static constexpr quint16 kDefaultPort = 34289;
    // A connection that stays up this long, a document read, counts as working.
    static constexpr std::chrono::seconds kStableAfter {10};

    struct Options
    {
        QString host;
        quint16 port = kDefaultPort;
        QList<qint64> machines {1};
        QStringList groups; // empty: every group
        // Only documents whose onairFlag is true put a play on air.
        bool onAirOnly = false;
        std::chrono::milliseconds firstRetry {1000};
        std::chrono::milliseconds longestRetry {60000};
    };

    // The [PAD] section of Quaverlink.ini: nothing when it names no Host,
    // or, with the reason in problem, when a key cannot be used.
    static std::optional<Options> fromSettings(const IniFile &settings, QString *problem);

    // How the feed stands, as a status page shows it.
    struct Status
    {
        bool working = false; // connected, and a document was read
        QDateTime since;      // when it began or stopped working; null before the first attempt ended
        QString reason;       // why it is not working
        qint64 documents = 0;
        QDateTime lastDocument;
    };

    explicit PadClient(Options options, QObject *parent = nullptr);

    void start();
    const Status &status() const { return m_status; }

Q_SIGNALS:
    // A play of a followed machine, in a group that counts, went on air.
    void played(const quaverlink::PadUpdate &update);
    // The play on air is the same, but what comes after it changed.
    void nextChanged(const quaverlink::PadUpdate &update);
    void statusChanged();

private:
    QString name() const;
    void connectToFeed();
    void readFeed();
    void watchLiveness();
    void apply(const PadUpdate &update);
    // Drops the connection and makes a new one after a pause.
    void reconnect(const QString &cause, bool documentRefused = false);

    Options m_options;
    QTcpSocket m_socket;
    QTimer m_retry;
    QTimer m_stable;
    Backoff m_backoff;
    PadFramer m_framer;
    QHash<qint64, PadUpdate> m_lastPlay; // by machine
    std::optional<bool> m_failing;
    bool m_documentRead = false; // on this connection
    Status m_status;
};

} // namespace quaverlink
