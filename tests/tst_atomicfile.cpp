#include "common/atomicfile.h"
#include "common/failure.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quaverlink;
using namespace testsupport;

namespace {

constexpr uid_t kNobody = 65534;

struct stat statOf(const QByteArray &path)
{
    struct stat info = {};
    ::lstat(path.constData(), &info);
    return info;
}

} // namespace

class AtomicFileTest final : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_dir;
    QByteArray m_folder;
    QStringList m_notices;
    std::unique_ptr<AtomicFile> m_file;

    QByteArray path(const char *name) const { return m_folder + '/' + name; }
    QByteArray content(const char *name = "metadata.txt") const { return readBytes(QFile::decodeName(path(name))); }
    QStringList entries() const
    {
        return QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

private Q_SLOTS:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_folder = QFile::encodeName(m_dir->path());
        m_notices.clear();
        m_file = std::make_unique<AtomicFile>(path("metadata.txt"),
                                              [this](const QString &, const QString &cause) { m_notices << cause; });
    }

    void readersNeverSeeAPartialFile()
    {
        const QByteArray a = QByteArray(3000, 'a') + "\r\n\r\n";
        const QByteArray b = "bbbbb\r\n\r\n";
        const auto openFiles = [] { return QDir(u"/proc/self/fd"_s).count(); };
        const uint openBefore = openFiles();
        m_file->replace("bbbbb\r\n\r\n");
        std::atomic<bool> done = false;
        std::atomic<int> reads = 0, torn = 0;
        std::thread poller([&] {
            for (; !done; ++reads) {
                const QByteArray seen = content();
                torn += seen != a && seen != b;
            }
        });
        for (int i = 0; i < 2000; ++i) {
            m_file->replace(i % 2 ? a : b);
        }
        done = true;
        poller.join();
        QVERIFY(reads > 100);
        QCOMPARE(torn.load(), 0);
        // Nothing stays open between items: not the file in place, not one it replaced.
        QCOMPARE(openFiles(), openBefore);
    }

    void linksAndModesAreKeptAndReadOnlyFilesRefused()
    {
        QVERIFY(QDir(m_dir->path()).mkdir(u"encoder"_s));
        QVERIFY(::symlink("encoder/nowplaying.txt", path("metadata.txt").constData()) == 0);
        m_file->replace("Linked - Item\r\n\r\n");
        QVERIFY(::chmod(path("encoder/nowplaying.txt").constData(), 0640) == 0);
        m_file->replace("Second - Item\r\n\r\n");
        QVERIFY(S_ISLNK(statOf(path("metadata.txt")).st_mode));
        QCOMPARE(statOf(path("encoder/nowplaying.txt")).st_mode & 07777, mode_t(0640));
        QCOMPARE(content("encoder/nowplaying.txt"), QByteArray("Second - Item\r\n\r\n"));

        QVERIFY(lock(path("encoder/nowplaying.txt"), true));
        QVERIFY_THROWS_EXCEPTION(Failure, m_file->replace("Kept - Out\r\n\r\n"));
        QVERIFY(lock(path("encoder/nowplaying.txt"), false));
        QCOMPARE(content("encoder/nowplaying.txt"), QByteArray("Second - Item\r\n\r\n"));
        QVERIFY(m_notices.isEmpty());
    }

    void hardLinksKeepTheirFile()
    {
        m_file->replace("First - Item\r\n\r\n");
        QVERIFY(::link(path("metadata.txt").constData(), path("encoder.txt").constData()) == 0);
        m_file->replace("Second - Item\r\n\r\n");
        QCOMPARE(content("encoder.txt"), QByteArray("Second - Item\r\n\r\n"));
        QCOMPARE(statOf(path("metadata.txt")).st_nlink, nlink_t(2));
        QCOMPARE(m_notices.size(), 1);
    }

    void whatOtherUsersRelyOnIsKept()
    {
        if (::geteuid() != 0) {
            QSKIP("making files of another user needs root");
        }
        // A file in the group its readers are in keeps that group and its mode.
        constexpr gid_t kAudio = 29;
        writeBytes(QFile::decodeName(path("metadata.txt")), "Ours\r\n\r\n");
        QVERIFY(::chown(path("metadata.txt").constData(), 0, kAudio) == 0);
        QVERIFY(::chmod(path("metadata.txt").constData(), 0640) == 0);
        m_file->replace("Group - Kept\r\n\r\n");
        QCOMPARE(statOf(path("metadata.txt")).st_gid, kAudio);
        QCOMPARE(statOf(path("metadata.txt")).st_mode & 07777, mode_t(0640));
        QVERIFY(m_notices.isEmpty());

        // Another user's link is followed where only the folder's owner could
        // have made it, and refused in a folder open to all, as the kernel does.
        QTemporaryDir elsewhere;
        const QByteArray script = QFile::encodeName(elsewhere.filePath(u"run.sh"_s));
        writeBytes(QFile::decodeName(script), "#!/bin/sh\n");
        QVERIFY(::unlink(path("metadata.txt").constData()) == 0);
        QVERIFY(::symlink(script.constData(), path("metadata.txt").constData()) == 0);
        QVERIFY(::lchown(path("metadata.txt").constData(), kNobody, kNobody) == 0);
        m_file->replace("Followed - Link\r\n\r\n");
        QCOMPARE(readBytes(QFile::decodeName(script)), QByteArray("Followed - Link\r\n\r\n"));
        QVERIFY(::chmod(m_folder.constData(), 01777) == 0);
        QVERIFY_THROWS_EXCEPTION(Failure, m_file->replace("Planted - Link\r\n\r\n"));
        QCOMPARE(readBytes(QFile::decodeName(script)), QByteArray("Followed - Link\r\n\r\n"));

        // Another user's file is written in place: it keeps its owner.
        QVERIFY(::unlink(path("metadata.txt").constData()) == 0);
        writeBytes(QFile::decodeName(path("metadata.txt")), "Theirs\r\n\r\n");
        QVERIFY(::chown(path("metadata.txt").constData(), kNobody, kNobody) == 0);
        m_file->replace("In - Place\r\n\r\n");
        m_file->replace("Again - In Place\r\n\r\n");
        QCOMPARE(content(), QByteArray("Again - In Place\r\n\r\n"));
        QCOMPARE(statOf(path("metadata.txt")).st_uid, kNobody);
        QCOMPARE(m_notices.size(), 1);
    }

    void folderThatTakesNoNewFileOrGoesAwayIsWrittenAgainLater()
    {
        m_file->replace("Before - Lock\r\n\r\n");
        QVERIFY(lock(m_folder, true));
        m_file->replace("Locked - One\r\n\r\n");
        m_file->replace("Locked - Two\r\n\r\n");
        const QByteArray duringLock = content();
        QVERIFY(lock(m_folder, false));
        QCOMPARE(duringLock, QByteArray("Locked - Two\r\n\r\n"));
        m_file->replace("Atomic - Again\r\n\r\n");
        QCOMPARE(content(), QByteArray("Atomic - Again\r\n\r\n"));
        QCOMPARE(m_notices.size(), 2);
        QVERIFY(m_notices.at(1).contains(u"atomic again"_s));
        QCOMPARE(entries(), QStringList {u"metadata.txt"_s});

        // Removed and made again, the folder is written again.
        QVERIFY(QDir(m_dir->path()).removeRecursively());
        QVERIFY_THROWS_EXCEPTION(Failure, m_file->replace("No - Folder\r\n\r\n"));
        QVERIFY(QDir().mkpath(m_dir->path()));
        m_file->replace("Second - Folder\r\n\r\n");
        QCOMPARE(content(), QByteArray("Second - Folder\r\n\r\n"));
    }

    void leftoversOfAKilledReceiverAreRemoved()
    {
        writeBytes(QFile::decodeName(path(".metadata.txt.k1lled")), "half");
        writeBytes(QFile::decodeName(path(".metadata.txt.theirs")), "theirs");
        const bool root = ::geteuid() == 0;
        if (root) {
            QVERIFY(::chown(path(".metadata.txt.theirs").constData(), kNobody, kNobody) == 0);
        }
        m_file->removeLeftovers();
        QCOMPARE(entries(), root ? QStringList {u".metadata.txt.theirs"_s} : QStringList());
    }
};

QTEST_GUILESS_MAIN(AtomicFileTest)
#include "tst_atomicfile.moc"
