#pragma once

#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include "common/literals.h"

#include <chrono>
#include <functional>
#include <optional>

namespace quaverlink {

class IniFile;

// Who listened at one moment, as Icecast's admin interface tells it.
struct ListenerSample
{
    QString error;                        // why Icecast could not be asked; empty when it answered
    QMap<QString, QList<quint64>> mounts; // each mount asked, with its listeners' IDs
    QStringList absent;                   // mounts asked for that have no source now
};

// Asks one Icecast server who listens on its mounts: /admin/listmounts for
// the mounts when none are named, then /admin/listclients for each, every
// answer bounded in size and time, no redirect followed, the password sent
// only in the Authorization header and never printed.
class IcecastListeners final : public QObject
{
    Q_OBJECT

public:
    // [Listeners]: Server (the base URL), User, Password, Mounts.
    struct Settings
    {
        QUrl server;
        QString user = u"admin"_s;
        QString password;
        QStringList mounts; // every mount of the server when empty
    };
    // Nothing when the section names no Server; a problem says why a
    // section that does cannot be used.
    static std::optional<Settings> fromSettings(const IniFile &settings, QString *problem);

    // An answer larger than this, or one that takes longer, is a failure.
    static constexpr qint64 kMaxAnswer = 8 * 1024 * 1024;
    static constexpr std::chrono::milliseconds kDeadline {3000};

    explicit IcecastListeners(Settings settings, QObject *parent = nullptr);

    // The server as it may be printed: without user or password.
    QString serverName() const;
    // Asks once; answered() follows, once. One question at a time: the
    // next waits for the answer to this one.
    void ask();

Q_SIGNALS:
    void answered(const quaverlink::ListenerSample &sample);

private:
    void askMounts(const QStringList &mounts);
    // An answer's body, or why none came: done(body, error).
    void get(const QString &command, const QString &mount,
             std::function<void(const QByteArray &body, const QString &error)> done);

    Settings m_settings;
    QNetworkAccessManager m_network {this};
};

// The listeners' IDs in a listclients answer; nothing when it is no such answer.
std::optional<QList<quint64>> listenerIds(const QByteArray &xml);
// The mounts in a listmounts answer; nothing when it is no such answer.
std::optional<QStringList> mountNames(const QByteArray &xml);

} // namespace quaverlink
