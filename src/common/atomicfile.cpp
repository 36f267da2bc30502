#include "atomicfile.h"

#include "common/literals.h"
#include "descriptor.h"
#include "failure.h"

#include <QDir>
#include <QRandomGenerator>

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <optional>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace quaverlink {

struct AtomicFile::Target
{
    QByteArray path;
    std::optional<struct stat> existing; // a regular file already there
};

namespace {

QString display(const QByteArray &path)
{
    return QFile::decodeName(path);
}

// What the process is, asked once: it never changes its user, its group or
// its umask, so asking again for every item would be wasted calls.
struct Identity
{
    uid_t user = ::geteuid();
    gid_t group = ::getegid();
    // The mode a new file gets from open(0666), or none when the umask
    // cannot be read without changing it.
    std::optional<mode_t> newFileMode = [] {
        QFile status(QStringLiteral("/proc/self/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("Umask:")) {
                    bool ok = false;
                    const uint mask = line.mid(6).trimmed().toUInt(&ok, 8);
                    return ok ? std::optional(mode_t(0666 & ~mask)) : std::nullopt;
                }
            }
        }
        return std::optional<mode_t>();
    }();
};

const Identity &identity()
{
    static const Identity self;
    return self;
}

[[noreturn]] void fail(const QString &what, int error)
{
    throw Failure(u"writing a file"_s, what + u": "_s + QString::fromLocal8Bit(std::strerror(error)));
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash <= 0 ? QByteArray(slash == 0 ? "/" : ".") : path.left(slash);
}

// Temporary files are hidden beside their target: ".metadata.txt.<random>".
QByteArray temporaryPrefix(const QByteArray &target)
{
    return folderOf(target) + "/." + target.mid(target.lastIndexOf('/') + 1) + '.';
}

using Target = AtomicFile::Target;

// Whether a file in this folder lives on a local disk, where holding the
// file being replaced costs nothing. On a network file system a file held
// open while it is replaced is kept under another name (NFS's .nfsXXXX).
bool isLocalFileSystem(const QByteArray &folder)
{
    constexpr decltype(statfs::f_type) kZfs = 0x2FC12FC1;
    struct statfs info = {};
    if (::statfs(folder.constData(), &info) != 0) {
        return false;
    }
    switch (info.f_type) {
    case EXT4_SUPER_MAGIC: // ext2 and ext3 too
    case XFS_SUPER_MAGIC:
    case BTRFS_SUPER_MAGIC:
    case F2FS_SUPER_MAGIC:
    case TMPFS_MAGIC:
    case kZfs:
        return true;
    default:
        return false;
    }
}

// The path really written: a symlink's final target, so the link survives; a
// dangling link is followed to where it points.
Target resolveTarget(const QByteArray &path)
{
    struct stat info = {};
    const QByteArray resolved = followTrustedLinks(path, &info);
    if (S_ISREG(info.st_mode)) {
        return {resolved, info};
    }
    return {resolved, std::nullopt};
}

// The errno of a failed write, or 0.
int writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno != EINTR) {
            return errno;
        }
        data += qMax<ssize_t>(written, 0);
        left -= qMax<ssize_t>(written, 0);
    }
    return 0;
}

// A new file beside the target under a name nobody can guess, made with
// O_EXCL so that nothing planted there is ever used; removed unless renamed.
class TemporaryFile final
{
public:
    explicit TemporaryFile(const QByteArray &prefix)
    {
        for (int attempt = 0; attempt < 16 && m_fd < 0; ++attempt) {
            m_path = prefix + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
            m_fd = ::open(m_path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
            m_error = m_fd < 0 ? errno : 0;
            m_made = m_fd >= 0;
            if (m_fd < 0 && errno != EEXIST) {
                return;
            }
        }
    }
    ~TemporaryFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (m_made && !m_renamed) {
            ::unlink(m_path.constData());
        }
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int error() const { return m_error; }

    // Writes the content and gives the new file what readers of the old
    // one rely on: its mode and its group. Returns why the file must be
    // written in place instead when this file cannot be made like the old
    // one, or the disk has no room for a second copy; throws otherwise.
    QString fill(const QByteArray &content, const Target &target)
    {
        if (const int error = writeAll(m_fd, content); error != 0) {
            if (target.existing && (error == ENOSPC || error == EDQUOT)) {
                return u"there is no room for a new file beside it: "_s + QString::fromLocal8Bit(std::strerror(error));
            }
            fail(u"writing "_s + display(m_path), error);
        }
        if (target.existing) {
            if (target.existing->st_gid != identity().group
                && ::fchown(m_fd, uid_t(-1), target.existing->st_gid) != 0) {
                return u"it belongs to group %1, which a new file of this user cannot have"_s.arg(
                    target.existing->st_gid);
            }
            if (identity().newFileMode != (target.existing->st_mode & 07777)) {
                ::fchmod(m_fd, target.existing->st_mode & 07777);
            }
        }
        return QString();
    }

    // Closes the new file and puts it in place. With pinReplaced, the file
    // it replaces is held (O_PATH, so it is neither read nor written) across
    // the rename and let go right after: the kernel then frees it, and on a
    // disk mounted with discard waits for the device, with the new text
    // already in place rather than inside the rename.
    void commit(const Target &target, bool pinReplaced)
    {
        if (::close(std::exchange(m_fd, -1)) != 0) {
            fail(u"writing "_s + display(m_path), errno);
        }
        const Descriptor replaced(
            target.existing && pinReplaced ? ::open(target.path.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC) : -1);
        if (::rename(m_path.constData(), target.path.constData()) != 0) {
            fail(u"replacing "_s + display(target.path), errno);
        }
        m_renamed = true;
    }

private:
    QByteArray m_path;
    int m_fd = -1;
    int m_error = 0;
    bool m_made = false;
    bool m_renamed = false;
};

// The new text's room is reserved before a byte of the old one is touched,
// so that a full disk leaves the old text whole rather than a part of the
// new one; only then is it written over the old and the file cut to size.
void writeInPlace(const QByteArray &path, const QByteArray &content)
{
    const Descriptor fd(::open(path.constData(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
    if (fd.get() < 0) {
        fail(u"writing "_s + display(path), errno);
    }
    if (!content.isEmpty() && ::fallocate(fd.get(), FALLOC_FL_KEEP_SIZE, 0, off_t(content.size())) != 0
        && errno != EOPNOTSUPP) {
        fail(u"writing "_s + display(path) + u" (its old text is kept)"_s, errno);
    }
    if (const int error = writeAll(fd.get(), content); error != 0) {
        fail(u"writing "_s + display(path), error);
    }
    if (::ftruncate(fd.get(), off_t(content.size())) != 0) {
        fail(u"writing "_s + display(path), errno);
    }
}

// Why a file must keep its inode: replacing it would take it from its
// owner, or part it from its other names.
QString reasonToKeepTheFile(const Target &target)
{
    if (!target.existing) {
        return QString();
    }
    if (target.existing->st_uid != identity().user) {
        return u"it belongs to user %1, and a new file would take it from them"_s.arg(target.existing->st_uid);
    }
    if (target.existing->st_nlink > 1) {
        return u"it has %1 hard links, and a new file would part it from the others"_s.arg(target.existing->st_nlink);
    }
    return QString();
}

} // namespace

QByteArray followTrustedLinks(QByteArray path, struct stat *found)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info = {};
        if (::lstat(path.constData(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            if (found) {
                *found = info;
            }
            return path;
        }
        // The kernel's protected_symlinks rule: in a sticky folder anyone
        // may write (/tmp), a link is followed only when it is ours or the
        // folder owner's; anywhere else only those trusted with the folder
        // could have made it.
        struct stat folder = {};
        ::stat(folderOf(path).constData(), &folder);
        const bool openToAll = (folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH);
        if (openToAll && info.st_uid != identity().user && info.st_uid != folder.st_uid) {
            throw Failure(u"writing a file"_s,
                          display(path)
                              + u" is a link of user %1 in a folder open to all, and that user neither runs the "
                                "receiver nor owns the folder; it is not followed"_s.arg(info.st_uid));
        }
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(path.constData(), buffer, sizeof buffer);
        if (length < 0) {
            fail(u"reading the link "_s + display(path), errno);
        }
        QByteArray next(buffer, length);
        path = next.startsWith('/') ? next : folderOf(path) + '/' + next;
    }
    fail(u"resolving "_s + display(path), ELOOP);
}

AtomicFile::AtomicFile(QByteArray path, Notice notice)
    : m_path(std::move(path))
    , m_notice(std::move(notice))
{
}

void AtomicFile::replace(const QByteArray &content)
{
    const Target target = resolveTarget(m_path);
    // Read-only is what the system says for this process, not the mode bits.
    const auto refuseIfReadOnly = [&] {
        if (target.existing && ::faccessat(AT_FDCWD, target.path.constData(), W_OK, AT_EACCESS) != 0) {
            fail(display(target.path) + u" may not be written"_s, errno);
        }
    };
    // A file of ours, alone, that its owner may write, is asked nothing
    // more; if writing it fails after all, the failure says why as always.
    const bool plainlyOurs = target.existing && target.existing->st_uid == identity().user
        && target.existing->st_nlink == 1 && (target.existing->st_mode & S_IWUSR);
    if (!plainlyOurs) {
        refuseIfReadOnly();
    }
    try {
        write(target, content);
    } catch (const Failure &) {
        m_place = {}; // the folder may be another one now
        if (plainlyOurs) {
            refuseIfReadOnly();
        }
        throw;
    }
}

void AtomicFile::write(const Target &target, const QByteArray &content)
{
    QString inPlaceReason = reasonToKeepTheFile(target);
    if (inPlaceReason.isEmpty()) {
        // The same for every item unless a link was changed.
        if (m_place.target != target.path) {
            m_place = {target.path, temporaryPrefix(target.path), isLocalFileSystem(folderOf(target.path))};
        }
        TemporaryFile temporary(m_place.temporaryPrefix);
        if (!temporary.isOpen() && !target.existing) {
            fail(u"creating a file in "_s + display(folderOf(target.path)), temporary.error());
        }
        inPlaceReason = temporary.isOpen()
            ? temporary.fill(content, target)
            : u"no new file can be made in its folder: "_s + QString::fromLocal8Bit(std::strerror(temporary.error()));
        if (inPlaceReason.isEmpty()) {
            temporary.commit(target, m_place.pinsReplacedFile);
            if (!m_inPlaceReason.isEmpty()) {
                m_inPlaceReason.clear();
                m_notice(u"writing a file"_s, u"updates of %1 are atomic again"_s.arg(display(target.path)));
            }
            return;
        }
    }
    writeInPlace(target.path, content);
    if (inPlaceReason != m_inPlaceReason) {
        m_inPlaceReason = inPlaceReason;
        m_notice(u"writing a file"_s,
                 u"%1 is written in place, so readers may see it half written: %2"_s.arg(display(target.path),
                                                                                         inPlaceReason));
    }
}

void AtomicFile::removeLeftovers() const
{
    const QByteArray folderPath = folderOf(m_path);
    const QByteArray prefix = temporaryPrefix(m_path);
    DIR *folder = ::opendir(folderPath.constData());
    if (!folder) {
        return;
    }
    while (const dirent *entry = ::readdir(folder)) {
        const QByteArray name(entry->d_name);
        struct stat info = {};
        const QByteArray path = folderPath + '/' + name;
        if (path.startsWith(prefix) && ::lstat(path.constData(), &info) == 0 && S_ISREG(info.st_mode)
            && info.st_uid == identity().user) {
            ::unlink(path.constData());
        }
    }
    ::closedir(folder);
}

} // namespace quaverlink
