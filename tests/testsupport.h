#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSignalSpy>
#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

namespace testsupport {

// Runs the test inside a fresh temporary folder, as the receiver runs inside
// its working directory, and goes back afterwards.
class WorkingFolder final
{
public:
    WorkingFolder()
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(m_dir.path());
    }
    ~WorkingFolder() { QDir::setCurrent(m_previous); }
    WorkingFolder(const WorkingFolder &) = delete;
    WorkingFolder &operator=(const WorkingFolder &) = delete;

    QString path() const { return QDir::currentPath(); }
    QString file(const QString &name) const { return QDir::current().filePath(name); }

private:
    QString m_previous;
    QTemporaryDir m_dir;
};

inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QByteArray("<missing>");
    }
    return file.readAll();
}

struct Settings
{
    QByteArray listenPort;
    QByteArray idle = "Quaverlink FM - Music";
    QByteArray countTimeout = "30";
    QByteArray dbEnabled = "N";
    QByteArray dbServer = "127.0.0.1";
    QByteArray dbUser = "studio";
    QByteArray dbPassword = "secret";
    QByteArray dbName = "Brackenwaves";

    QByteArray ini() const
    {
        return "[Metadata]\r\nRDlistenport=" + listenPort + "\r\nIdleString=" + idle
            + "\r\nCountTimeout=" + countTimeout + "\r\n[Database]\r\nDBenabled=" + dbEnabled
            + "\r\nDBserver=" + dbServer + "\r\nDBuser=" + dbUser + "\r\nDBpassword=" + dbPassword
            + "\r\nDBname=" + dbName + "\r\n";
    }
};

inline void sendTo(quint16 port, const QByteArray &payload)
{
    QUdpSocket sender;
    QCOMPARE(sender.writeDatagram(payload, QHostAddress::LocalHost, port), qint64(payload.size()));
}

} // namespace testsupport
