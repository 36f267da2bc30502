#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

struct stat;

namespace quaverlink {

// A file that readers poll (metadata.txt, an overlay's text), replaced
// atomically: a new file beside it, renamed over it, so a reader sees the old
// content or the new, never an empty or half-written file.
//
// The path is bytes, so any folder name works, and a folder removed and made
// again is written again. A symlink in the file's place is followed when it
// belongs to the user running the receiver or to the owner of its folder, as
// the kernel's protected_symlinks does; another's link is refused. A file this
// process may not write keeps what it holds. Where no new file can be made
// beside it (a folder we may not write) or the file belongs to another user,
// it is written in place instead, keeping its owner; a notice says so once.
class AtomicFile final
{
public:
    using Notice = std::function<void(const QString &what, const QString &cause)>;

    AtomicFile(QByteArray path, Notice notice);

    // Throws Failure when the file cannot be written; the old content stays.
    void replace(const QByteArray &content);
    // Removes temporary files that a killed receiver left behind.
    void removeLeftovers() const;

    // The file really written, links followed, and what it was.
    struct Target;

private:
    void write(const Target &target, const QByteArray &content);

    QByteArray m_path;
    Notice m_notice;
    QString m_inPlaceReason;
    // What the path really written implies, found again when a link changes.
    struct Place
    {
        QByteArray target;
        QByteArray temporaryPrefix;
        bool pinsReplacedFile = false;
    };
    Place m_place;
};

// The path a file really lives at: symlinks followed as the kernel's
// protected_symlinks rule would; throws Failure for a link in a folder open
// to all that belongs neither to us nor to the folder's owner. found, when
// given, gets what lstat says of the final path (all zero when it is missing).
QByteArray followTrustedLinks(QByteArray path, struct stat *found = nullptr);

} // namespace quaverlink
