#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTest>

namespace testsupport {

// The MariaDB server the test command started, reached with the server's own
// client so that what the receiver stored is read back independently.
class TestDatabase final
{
public:
    static constexpr const char16_t *kUser = u"quaverlink";
    static constexpr const char16_t *kPassword = u"Pl4y-h1st0ry";

    bool open()
    {
        m_dir = qEnvironmentVariable("QUAVERLINK_TEST_DB_DIR");
        QFile portFile(m_dir + QStringLiteral("/port"));
        if (m_dir.isEmpty() || !portFile.open(QIODevice::ReadOnly)) {
            return false;
        }
        m_port = QString::fromLatin1(portFile.readAll().trimmed());
        return true;
    }

    QString server() const { return QStringLiteral("127.0.0.1;port=") + m_port; }
    const QString &dir() const { return m_dir; }

    QByteArray query(const QString &statement) const
    {
        QProcess client;
        client.start(QStringLiteral("mariadb"),
                     {QStringLiteral("--no-defaults"), QStringLiteral("--protocol=socket"),
                      QStringLiteral("--socket=") + m_dir + QStringLiteral("/server.sock"), QStringLiteral("-uroot"),
                      QStringLiteral("-N"), QStringLiteral("-B"), QStringLiteral("-e"), statement,
                      QStringLiteral("Brackenwaves")});
        if (!client.waitForFinished(30000) || client.exitCode() != 0) {
            qWarning("mariadb client: %s", client.readAllStandardError().constData());
            return QByteArray();
        }
        return client.readAllStandardOutput();
    }

    QStringList storedTexts() const
    {
        QStringList texts;
        const QByteArray out = query(QStringLiteral("SELECT HEX(full_text) FROM Metadata ORDER BY play_id"));
        for (const QByteArray &line : out.split('\n')) {
            if (!line.isEmpty()) {
                texts << QString::fromUtf8(QByteArray::fromHex(line));
            }
        }
        return texts;
    }

    // Stops or restarts the same server, through the script that started it.
    bool control(const QString &action, const QString &script) const
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(QStringLiteral("bash"), {script, action, m_dir});
        return process.waitForFinished(60000) && process.exitCode() == 0;
    }

private:
    QString m_dir;
    QString m_port;
};

} // namespace testsupport
