#include "testdatabase.h"
#include "testsupport.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QtTest>

#include <thread>

using namespace testsupport;

namespace {

// The real quaverlink executable, offscreen, in a folder of its own.
class RunningReceiver final
{
public:
    explicit RunningReceiver(const Settings &settings)
    {
        writeBytes(m_folder.filePath(QStringLiteral("Quaverlink.ini")), settings.ini());
        m_process.setWorkingDirectory(m_folder.path());
        m_process.start(QStringLiteral(QUAVERLINK_EXECUTABLE), {});
    }
    ~RunningReceiver()
    {
        m_process.kill();
        m_process.waitForFinished();
    }

    bool running() const { return m_process.state() == QProcess::Running; }
    QString folder() const { return m_folder.path(); }
    QString path(const QString &name) const { return m_folder.filePath(name); }
    QByteArray metadata() const { return readBytes(path(QStringLiteral("metadata.txt"))); }

    bool waitForOnAir(const QByteArray &text, int timeoutMs = 10000) const
    {
        return QTest::qWaitFor([&] { return metadata() == text + "\r\n\r\n"; }, timeoutMs);
    }

    QStringList errorLines()
    {
        m_errors += m_process.readAllStandardError();
        return QString::fromUtf8(m_errors).split(u'\n', Qt::SkipEmptyParts);
    }

private:
    QTemporaryDir m_folder;
    QProcess m_process;
    QByteArray m_errors;
};

Settings settingsOnFreePort()
{
    Settings settings;
    settings.listenPort = QByteArray::number(freeUdpPort());
    return settings;
}

qsizetype countContaining(const QStringList &lines, const QString &text)
{
    return std::count_if(lines.cbegin(), lines.cend(), [&](const QString &line) { return line.contains(text); });
}

} // namespace

class FaultsTest final : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void databaseStoppedAndRestarted();
    void unwritableFolderRecovers();
    void floodOfRandomDatagrams();
    void lowestCountTimeoutKeepsRunning();
    void listenPortTakenBeforeStart();
};

void FaultsTest::databaseStoppedAndRestarted()
{
    TestDatabase db;
    QVERIFY2(db.open(), "the test MariaDB server is not running: run through ctest, which starts it");
    db.query(QStringLiteral("TRUNCATE TABLE Metadata"));
    const QString script = QFINDTESTDATA("mariadb-server.sh");

    Settings settings = settingsOnFreePort();
    settings.dbEnabled = "Y";
    settings.idle = "Idle";
    settings.dbServer = db.server().toUtf8();
    settings.dbUser = QString::fromUtf16(TestDatabase::kUser).toUtf8();
    settings.dbPassword = QString::fromUtf16(TestDatabase::kPassword).toUtf8();
    RunningReceiver receiver(settings);
    QVERIFY(receiver.waitForOnAir("Idle"));

    auto play = [&](const QByteArray &item) {
        sendTo(quint16(settings.listenPort.toUInt()), item);
        QVERIFY(receiver.waitForOnAir(item));
    };
    play("Before - One");
    QVERIFY(db.control(QStringLiteral("halt"), script));
    play("During - One");
    play("During - Two");
    QVERIFY(db.control(QStringLiteral("resume"), script));
    play("After - One");
    QTRY_COMPARE(db.storedTexts(), QStringList({QStringLiteral("Before - One"), QStringLiteral("After - One")}));

    // The receiver's standard error reaches us through the event loop.
    QTRY_COMPARE(countContaining(receiver.errorLines(), QStringLiteral("not logged")), 2);
    const QStringList errors = receiver.errorLines();
    QCOMPARE(countContaining(errors, QStringLiteral("\"During - One\"")), 1);
    QCOMPARE(countContaining(errors, QStringLiteral("\"During - Two\"")), 1);
    QCOMPARE(countContaining(errors, QString::fromUtf16(TestDatabase::kPassword)), 0);
}

void FaultsTest::unwritableFolderRecovers()
{
    const Settings settings = settingsOnFreePort();
    RunningReceiver receiver(settings);
    QVERIFY(receiver.waitForOnAir("Quaverlink FM - Music"));
    const QByteArray folder = QFile::encodeName(receiver.folder());

    // Root ignores permission bits; the immutable flag stops even root.
    const bool root = ::geteuid() == 0;
    const QByteArray lock = root ? "chattr +i '" + folder + "'" : "chmod a-w '" + folder + "'";
    const QByteArray unlock = root ? "chattr -i '" + folder + "'" : "chmod u+w '" + folder + "'";
    if (std::system(lock.constData()) != 0) {
        QSKIP("this filesystem cannot make a folder unwritable");
    }
    sendTo(quint16(settings.listenPort.toUInt()), "Locked - Out");
    const bool reported = QTest::qWaitFor([&] { return countContaining(receiver.errorLines(), QStringLiteral("metadata")) == 1; }, 5000);
    const QByteArray duringLock = receiver.metadata();
    QCOMPARE(std::system(unlock.constData()), 0);
    QVERIFY(reported);
    QCOMPARE(duringLock, QByteArray("Quaverlink FM - Music\r\n\r\n"));

    sendTo(quint16(settings.listenPort.toUInt()), "Open - Again");
    QVERIFY(receiver.waitForOnAir("Open - Again"));
    QCOMPARE(QDir(receiver.folder()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void FaultsTest::floodOfRandomDatagrams()
{
    const Settings settings = settingsOnFreePort();
    RunningReceiver receiver(settings);
    QVERIFY(receiver.waitForOnAir("Quaverlink FM - Music"));

    const quint16 port = quint16(settings.listenPort.toUInt());
    std::thread flood([port] {
        QUdpSocket socket;
        QRandomGenerator random(20261206);
        QByteArray payload(65507, Qt::Uninitialized);
        for (int i = 0; i < 100000; ++i) {
            const qsizetype size = random.bounded(65508);
            random.fillRange(reinterpret_cast<quint32 *>(payload.data()), (size + 3) / 4);
            socket.writeDatagram(payload.constData(), size, QHostAddress::LocalHost, port);
        }
    });
    flood.join();
    // Still responsive: an item sent a moment after the flood goes on air.
    // (Sent at the very instant the flood ends, it may meet a kernel buffer
    // still full of flood, which no receiver can prevent.)
    QTest::qWait(250);
    sendTo(port, "After - The Flood");
    QVERIFY(receiver.waitForOnAir("After - The Flood", 60000));
    QVERIFY(receiver.running());
    // Beyond what memory allows, the oldest waiting items gave way, and said so.
    QTRY_VERIFY(countContaining(receiver.errorLines(), QStringLiteral("waiting items were dropped")) >= 1);
}

void FaultsTest::lowestCountTimeoutKeepsRunning()
{
    Settings settings = settingsOnFreePort();
    settings.countTimeout = "-32768";
    RunningReceiver receiver(settings);
    QVERIFY(receiver.waitForOnAir("Quaverlink FM - Music"));
    QTRY_VERIFY_WITH_TIMEOUT(countContaining(receiver.errorLines(), QStringLiteral("-32768")) >= 2, 5000);
    sendTo(quint16(settings.listenPort.toUInt()), "Still - Here");
    QVERIFY(receiver.waitForOnAir("Still - Here"));
}

void FaultsTest::listenPortTakenBeforeStart()
{
    const Settings settings = settingsOnFreePort();
    QUdpSocket squatter;
    QVERIFY(squatter.bind(QHostAddress::AnyIPv4, quint16(settings.listenPort.toUInt()), QAbstractSocket::DontShareAddress));
    RunningReceiver receiver(settings);
    QTRY_VERIFY_WITH_TIMEOUT(countContaining(receiver.errorLines(), QStringLiteral("Error - Please restart the application!")) == 1, 5000);
    QCOMPARE(countContaining(receiver.errorLines(), QStringLiteral("already in use")), 1);
    QVERIFY(receiver.running());
    QTest::qWait(300);
    QCOMPARE(receiver.metadata(), QByteArray("<missing>"));
}

QTEST_GUILESS_MAIN(FaultsTest)
#include "tst_faults.moc"
