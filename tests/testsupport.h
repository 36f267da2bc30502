#pragma once

#include "service/station.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

#include <cstdlib>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace testsupport {

using namespace Qt::StringLiterals;

inline quint16 freeUdpPort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress::Any, 0, QAbstractSocket::DontShareAddress);
    return probe.localPort();
}

// A loopback TCP port held bound and never listening for as long as the test
// keeps it: a connection to it is refused, and nothing else can take it.
class RefusingPort final
{
public:
    RefusingPort() { m_socket.bind(QHostAddress::LocalHost, 0); }
    quint16 port() const { return m_socket.localPort(); }
    QByteArray text() const { return QByteArray::number(port()); }

private:
    QTcpSocket m_socket;
};

// For a server the receiver starts itself, which the test cannot hold.
inline quint16 freeTcpPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

inline const QString kVersion = QStringLiteral(QUAVERLINK_VERSION_TEXT);

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Makes a path unwritable for this process: root passes over permission
// bits, so it gets the immutable flag, which stops even root.
inline bool lock(const QByteArray &path, bool locked)
{
    if (::geteuid() != 0) {
        return ::chmod(path.constData(), locked ? 0555 : 0755) == 0;
    }
    return std::system(("chattr " + QByteArray(locked ? "+i '" : "-i '") + path + "' 2>/dev/null").constData()) == 0;
}

inline void sendTo(quint16 port, const QByteArray &payload)
{
    QUdpSocket sender;
    QCOMPARE(sender.writeDatagram(payload, QHostAddress::LocalHost, port), qint64(payload.size()));
}

// Lets loopback datagrams already sent reach the receiver: they are in the
// socket's buffer, so a few passes of the event loop apply them.
inline void settle()
{
    for (int i = 0; i < 4; ++i) {
        QCoreApplication::processEvents();
    }
}

struct Settings
{
    QByteArray listenPort = QByteArray::number(freeUdpPort());
    QByteArray senderPort = QByteArray::number(freeUdpPort()); // null: the default
    QByteArray idle = "Quaverlink FM - Music";
    QByteArray countTimeout = "30";
    QByteArray dbEnabled = "N";
    QByteArray dbServer = "127.0.0.1";
    QByteArray dbUser = "studio";
    QByteArray dbPassword = "secret";
    QByteArray allowedSenders;
    QByteArray extraSections;

    quint16 port() const { return quint16(listenPort.toUInt()); }
    QByteArray ini() const
    {
        return "[Metadata]\r\n" + (allowedSenders.isNull() ? QByteArray() : "AllowedSenders=" + allowedSenders + "\r\n")
            + "RDlistenport=" + listenPort + (senderPort.isNull() ? QByteArray() : "\r\nSenderPort=" + senderPort)
            + "\r\nIdleString=" + idle + "\r\nCountTimeout=" + countTimeout + "\r\n[Database]\r\nDBenabled=" + dbEnabled
            + "\r\nDBserver=" + dbServer + "\r\nDBuser=" + dbUser + "\r\nDBpassword=" + dbPassword
            + "\r\nDBname=Brackenwaves\r\n" + extraSections;
    }
};

// A station in a temporary working folder of its own, on free ports, with
// the start-up message box replaced by a recorder.
struct ReceiverFixture
{
    QTemporaryDir folder;
    QString previousFolder = QDir::currentPath();
    Settings settings;
    std::unique_ptr<quaverlink::Station> station = std::make_unique<quaverlink::Station>();
    quaverlink::Receiver *receiver = &station->receiver();
    QStringList messages;
    QStringList applied;

    ReceiverFixture()
    {
        QDir::setCurrent(folder.path());
        receiver->setStartupFailureHandler([this](const QString &message) { messages << message; });
        QObject::connect(receiver, &quaverlink::Receiver::itemApplied,
                         [this](const QString &item) { applied << item; });
    }
    ~ReceiverFixture()
    {
        station.reset();
        QDir::setCurrent(previousFolder);
    }

    QString file(const QString &name) const { return folder.filePath(name); }
    QString field(quaverlink::Field f) const { return receiver->fields().text(f); }
    QByteArray metadata() const { return readBytes(file(u"metadata.txt"_s)); }

    bool start()
    {
        writeBytes(file(u"Quaverlink.ini"_s), settings.ini());
        return station->start();
    }
    // Started, with the two loopback copies of the idle text applied.
    bool startAndSettle()
    {
        const bool started = start() && QTest::qWaitFor([&] { return applied.size() == 2; });
        applied.clear();
        return started;
    }
    bool waitForItems(int count, int timeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return applied.size() >= count; }, timeoutMs);
    }
};

// The MariaDB server the test command started, read back with the server's
// own client so that what was stored is checked independently.
class TestDatabase final
{
public:
    static constexpr char16_t kUser[] = u"quaverlink";
    static constexpr char16_t kPassword[] = u"Pl4y-h1st0ry";

    bool open()
    {
        m_dir = qEnvironmentVariable("QUAVERLINK_TEST_DB_DIR");
        m_port = quint16(readBytes(m_dir + u"/port"_s).trimmed().toUInt());
        return !m_dir.isEmpty() && m_port != 0;
    }
    quint16 port() const { return m_port; }
    QString server(quint16 port = 0) const { return u"127.0.0.1;port="_s + QString::number(port ? port : m_port); }

    QByteArray query(const QString &statement) const
    {
        QProcess client;
        client.start(u"mariadb"_s,
                     {u"--no-defaults"_s, u"--socket="_s + m_dir + u"/server.sock"_s, u"-uroot"_s, u"-N"_s, u"-B"_s,
                      u"-e"_s, statement, u"Brackenwaves"_s});
        if (!client.waitForFinished(30000) || client.exitCode() != 0) {
            qWarning("mariadb client: %s", client.readAllStandardError().constData());
        }
        return client.readAllStandardOutput();
    }
    // Each row's columns, hex-encoded in the query, decoded here.
    // By column: each a list of the rows' values.
    QList<QStringList> rows(const QString &hexColumns = u"HEX(full_text), HEX(played_at)"_s) const
    {
        QList<QStringList> columns;
        const QByteArray out = query(u"SELECT "_s + hexColumns + u" FROM Metadata ORDER BY play_id"_s);
        for (const QByteArray &line : out.split('\n')) {
            const QList<QByteArray> cells = line.split('\t');
            columns.resize(qMax(columns.size(), line.isEmpty() ? 0 : cells.size()));
            for (qsizetype i = 0; !line.isEmpty() && i < cells.size(); ++i) {
                columns[i] << QString::fromUtf8(QByteArray::fromHex(cells[i]));
            }
        }
        return columns;
    }
    QStringList storedTexts() const { return rows(u"HEX(full_text)"_s).value(0); }
    // A station logging its plays here, with an idle text that has no dash
    // and so never becomes a row.
    Settings logging() const
    {
        Settings settings;
        settings.idle = "Studio Live";
        settings.dbEnabled = "Y";
        settings.dbServer = server().toUtf8();
        settings.dbUser = QString::fromUtf16(kUser).toUtf8();
        settings.dbPassword = QString::fromUtf16(kPassword).toUtf8();
        return settings;
    }
    // Stops, restarts, suspends or continues the same server.
    bool control(const QString &action) const
    {
        return QProcess::execute(u"bash"_s, {QFINDTESTDATA("mariadb-server.sh"), action, m_dir}) == 0;
    }

private:
    QString m_dir;
    quint16 m_port = 0;
};

#ifdef QUAVERLINK_EXECUTABLE
// The real quaverlink executable in a folder that may outlive it: with the
// test's environment (an offscreen window) unless told otherwise.
class RunningReceiver final
{
public:
    RunningReceiver(const Settings &settings, const QString &folder, const QStringList &arguments = {},
                    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                    int standardError = -1)
        : m_folder(folder)
    {
        writeBytes(path(u"Quaverlink.ini"_s), settings.ini());
        m_process.setWorkingDirectory(folder);
        m_process.setProcessEnvironment(environment);
        if (standardError >= 0) {
            m_process.setChildProcessModifier([standardError] { ::dup2(standardError, 2); });
        }
        m_process.start(QStringLiteral(QUAVERLINK_EXECUTABLE), arguments);
    }
    ~RunningReceiver()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    QProcess &process() { return m_process; }
    QString path(const QString &name) const { return m_folder + u'/' + name; }
    bool finish() { return m_process.waitForFinished(10000) && m_process.exitStatus() == QProcess::NormalExit; }
    QByteArray metadata() const { return readBytes(path(u"metadata.txt"_s)); }
    bool waitForOnAir(const QByteArray &text, int timeoutMs = 10000) const
    {
        return QTest::qWaitFor([&] { return metadata() == text + "\r\n\r\n"; }, timeoutMs);
    }
    qsizetype errorLines(const QString &containing)
    {
        m_errors += m_process.readAllStandardError();
        const QStringList lines = QString::fromUtf8(m_errors).split(u'\n');
        return std::count_if(lines.cbegin(), lines.cend(),
                             [&](const QString &line) { return line.contains(containing); });
    }

private:
    QString m_folder;
    QProcess m_process;
    QByteArray m_errors;
};

#endif

} // namespace testsupport
