#pragma once

#include <QString>

namespace quaverlink {

// Replaces the file at path with text followed by CR LF CR LF, atomically: a
// reader polling the file sees either the old content or the new, never an
// empty or half-written file. A symlink at path keeps pointing where it did
// and its target is replaced; an existing file keeps its permission bits.
// Throws Failure when the file cannot be replaced; the old content then stays.
void replaceMetadataFile(const QString &path, const QString &text);

} // namespace quaverlink
