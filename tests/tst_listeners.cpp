#include "padserver.h"
#include "testsupport.h"

#include <QtTest>

#include <csignal>

using namespace testsupport;

namespace {

// An Icecast of this test's own, with /live and /utf8 fed by ffmpeg, so that
// it may stop answering without harm to other tests.
class Icecast final
{
public:
    Icecast()
        : m_dir(m_folder.filePath(u"icecast"_s))
    {
    }
    ~Icecast() { control(u"stop"_s); }

    bool start() { return control(u"start"_s); }
    quint16 port() const { return quint16(readBytes(m_dir + u"/port"_s).trimmed().toUInt()); }
    QByteArray server() const { return "http://127.0.0.1:" + QByteArray::number(port()); }
    // A server that hangs: connections are taken, nothing is answered.
    void freeze(bool frozen) const
    {
        ::kill(pid_t(readBytes(m_dir + u"/icecast.pid"_s).trimmed().toLongLong()), frozen ? SIGSTOP : SIGCONT);
    }

private:
    bool control(const QString &action) const
    {
        return QProcess::execute(u"bash"_s, {QFINDTESTDATA("icecast-server.sh"), action, m_dir}) == 0;
    }

    QTemporaryDir m_folder;
    QString m_dir;
};

// Someone listening on a mount with curl, until told to leave.
class Listener final
{
public:
    Listener(const Icecast &icecast, const QString &mount)
    {
        m_curl.start(u"curl"_s,
                     {u"-s"_s, u"-o"_s, u"/dev/null"_s, u"--max-time"_s, u"300"_s,
                      QString::fromUtf8(icecast.server()) + mount});
        m_curl.waitForStarted();
    }
    ~Listener() { leave(); }
    void leave()
    {
        m_curl.kill();
        m_curl.waitForFinished();
    }

private:
    QProcess m_curl;
};

} // namespace

// The real executable counting a station's listeners from a real Icecast,
// plays from a feed, and the census report a collecting society takes.
class ListenersTest final : public QObject
{
    Q_OBJECT

    TestDatabase m_db;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(m_db.open(), "the test MariaDB server is not running: run through ctest");
        // The station's own table: its names, not ours.
        m_db.query(u"RENAME TABLE Metadata TO Metadata_ours; CREATE TABLE Metadata (n INT AUTO_INCREMENT INVISIBLE"
                   " PRIMARY KEY, tag CHAR(1), line MEDIUMTEXT, stamp DATETIME, who TEXT, what TEXT)"_s);
        m_db.query(u"TRUNCATE TABLE PlayDetails; TRUNCATE TABLE PlayListeners"_s);
    }
    void cleanupTestCase() { m_db.query(u"DROP TABLE Metadata; RENAME TABLE Metadata_ours TO Metadata"_s); }

    void everyListenerOfAPlayIsCountedAndReported()
    {
        Icecast icecast;
        QVERIFY(icecast.start());
        PadServer pad;
        QTemporaryDir folder;
        Settings settings = m_db.logging();
        settings.countTimeout = "600";
        // Leaves the settings with this password.
        const auto check = [&](const QByteArray &password) {
            settings.extraSections = padSection(pad) + "[Listeners]\nServer=" + icecast.server()
                + "\nPassword=" + password + "\n[Report]\nService=KQVL-FM\nCategory=B\nGroups=MUSIC\n";
            writeBytes(folder.filePath(u"Quaverlink.ini"_s), settings.ini());
            QProcess process;
            process.setWorkingDirectory(folder.path());
            process.start(QStringLiteral(QUAVERLINK_EXECUTABLE), {u"--check"_s});
            return process.waitForFinished(30000) ? process.readAllStandardOutput() : QByteArray();
        };
        const QByteArray refused = check("Wr0ng-p4ss");
        QVERIFY2(refused.contains("cannot be asked: listmounts: HTTP 401") && refused.contains("Password is wrong")
                     && !refused.contains("Wr0ng-p4ss"),
                 refused.constData());
        QVERIFY2(check("Adm-p4ss").contains("listeners now on every mount: /live 0, /utf8 0"),
                 "--check does not name the mounts and their listeners");

        Listener stayer(icecast, u"/live"_s);
        RunningReceiver receiver(settings, folder.path(), {u"--headless"_s});
        QVERIFY(receiver.waitForOnAir("Studio Live"));
        const auto play = [&](int cart, const QString &group, const QString &artist, const QString &title) {
            pad.play(pad.document(item(cart, group, artist, title, {{u"isrc"_s, u"GBAYE%1"_s.arg(cart)}})));
            QVERIFY(receiver.waitForOnAir((artist + u" - "_s + title).toUtf8()));
        };

        // A song heard through by one listener, and for 10 s by another on
        // the other mount; then a jingle, heard by the first alone.
        play(100, u"MUSIC"_s, u"Alpha"_s, u"Song"_s);
        QTest::qWait(2000);
        Listener visitor(icecast, u"/utf8"_s);
        QTest::qWait(10000);
        visitor.leave();
        QTest::qWait(3000);
        play(900, u"JINGLES"_s, u"Station"_s, u"Jingle"_s);
        QTest::qWait(3000);
        // The song again, and a listener of 9 s.
        play(100, u"MUSIC"_s, u"Alpha"_s, u"Song"_s);
        QTest::qWait(1000);
        Listener another(icecast, u"/live"_s);
        QTest::qWait(9000);
        another.leave();
        QTest::qWait(2000);
        // A song during which Icecast stops answering for a while.
        play(101, u"MUSIC"_s, u"Delta"_s, u"Down"_s);
        QTest::qWait(1000);
        icecast.freeze(true);
        QTRY_COMPARE_WITH_TIMEOUT(receiver.errorLines(u"listeners: Icecast at "_s + QString::fromUtf8(icecast.server())
                                                      + u" cannot be asked"_s),
                                  1, 15000);
        icecast.freeze(false);
        QTRY_COMPARE_WITH_TIMEOUT(receiver.errorLines(u"answers again"_s), 1, 15000);
        QCOMPARE(receiver.errorLines(u"Adm-p4ss"_s), 0);
        sendTo(settings.port(), "Studio Live");
        QVERIFY(receiver.waitForOnAir("Studio Live"));

        QTRY_COMPARE_WITH_TIMEOUT(
            m_db.query(u"SELECT full_text, IFNULL(performances, 'unknown') FROM PlayListeners ORDER BY id"_s),
            QByteArray("Alpha - Song\t2\nStation - Jingle\t1\nAlpha - Song\t2\nDelta - Down\tunknown\n"), 20000);

        QByteArray errors;
        const auto report = [&](const QStringList &more) {
            QProcess process;
            process.setWorkingDirectory(folder.path());
            const QString today = QDate::currentDate().toString(Qt::ISODate);
            process.start(QStringLiteral(QUAVERLINK_EXECUTABLE),
                          QStringList {u"report"_s, u"--from"_s, today, u"--to"_s, today} + more);
            const bool finished = process.waitForFinished(30000);
            errors = process.readAllStandardError();
            return finished ? process.readAllStandardOutput() : QByteArray();
        };
        // The recording played twice is one line with both plays' listeners;
        // the jingle and the idle text are no music.
        QCOMPARE(report({u"--format"_s, u"soundexchange"_s}),
                 QByteArray("^NAME_OF_SERVICE^|^TRANSMISSION_CATEGORY^|^FEATURED_ARTIST^|^SOUND_RECORDING_TITLE^|"
                            "^ISRC^|^ALBUM_TITLE^|^MARKETING_LABEL^|^ACTUAL_TOTAL_PERFORMANCES^\r\n"
                            "^KQVL-FM^|^B^|^Alpha^|^Song^|^GBAYE100^|^^|^^|4\r\n"
                            "^KQVL-FM^|^B^|^Delta^|^Down^|^GBAYE101^|^^|^^|\r\n"));
        QCOMPARE(errors.count("listeners unknown: "), 1);
        QVERIFY2(errors.contains("\"Delta - Down\""), errors.constData());
        const QList<QByteArray> lines = report({}).split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines.at(1).contains(",MUSIC,100,1,2,") && lines.at(3).contains(",MUSIC,101,1,,"),
                 lines.join('\n').constData());
    }
};

QTEST_GUILESS_MAIN(ListenersTest)
#include "tst_listeners.moc"
