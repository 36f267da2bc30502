#include "metadatafile.h"

#include "codepage.h"
#include "failure.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quaverlink {
namespace {

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

[[noreturn]] void fail(const QString &what, int error)
{
    throw Failure(u"metadata file"_qs, what + u": "_qs + errnoText(error));
}

// The path that is really replaced: a symlink's final target, so the link
// itself survives. A dangling link is followed to where it points.
QByteArray resolveTarget(const QByteArray &path)
{
    QByteArray current = path;
    for (int hops = 0; hops < 40; ++hops) {
        char buffer[PATH_MAX];
        const ssize_t length = ::readlink(current.constData(), buffer, sizeof buffer);
        if (length < 0) {
            return current;
        }
        QByteArray target(buffer, length);
        if (!target.startsWith('/')) {
            const qsizetype slash = current.lastIndexOf('/');
            target.prepend(slash < 0 ? QByteArray() : current.left(slash + 1));
        }
        current = target;
    }
    fail(u"resolving "_qs + QString::fromLocal8Bit(path), ELOOP);
}

class TemporaryFile final
{
public:
    explicit TemporaryFile(const QByteArray &target)
        : m_path(target + ".quaverlink-" + QByteArray::number(::getpid()))
    {
        m_fd = ::open(m_path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (m_fd < 0) {
            fail(u"creating "_qs + QString::fromLocal8Bit(m_path), errno);
        }
    }
    ~TemporaryFile()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        if (!m_renamed) {
            ::unlink(m_path.constData());
        }
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;

    void write(const QByteArray &bytes)
    {
        const char *data = bytes.constData();
        qsizetype left = bytes.size();
        while (left > 0) {
            const ssize_t written = ::write(m_fd, data, size_t(left));
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                fail(u"writing "_qs + QString::fromLocal8Bit(m_path), errno);
            }
            data += written;
            left -= written;
        }
    }

    void takePermissionsOf(const QByteArray &target)
    {
        struct stat existing {};
        if (::stat(target.constData(), &existing) != 0 || !S_ISREG(existing.st_mode)) {
            return;
        }
        // A file someone made read-only keeps what it holds, as it would if
        // it were written in place.
        if ((existing.st_mode & 0222) == 0) {
            fail(QString::fromLocal8Bit(target) + u" is read-only"_qs, EACCES);
        }
        ::fchmod(m_fd, existing.st_mode & 07777);
    }

    void renameOver(const QByteArray &target)
    {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) {
            fail(u"writing "_qs + QString::fromLocal8Bit(m_path), errno);
        }
        if (::rename(m_path.constData(), target.constData()) != 0) {
            fail(u"replacing "_qs + QString::fromLocal8Bit(target), errno);
        }
        m_renamed = true;
    }

private:
    QByteArray m_path;
    int m_fd = -1;
    bool m_renamed = false;
};

} // namespace

void replaceMetadataFile(const QString &path, const QString &text)
{
    const QByteArray target = resolveTarget(QFile::encodeName(path));
    QByteArray content = encode8Bit(text);
    content.append("\r\n\r\n");

    TemporaryFile temporary(target);
    temporary.takePermissionsOf(target);
    temporary.write(content);
    temporary.renameOver(target);
}

} // namespace quaverlink
