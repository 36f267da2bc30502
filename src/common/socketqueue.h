#pragma once

#include <QAbstractSocket>

namespace quaverlink {

// Bytes written to a TCP socket that its peer has not taken yet: what Qt
// still buffers and what waits in the kernel's send queue. The kernel's share
// can be megabytes, so a bound on Qt's share alone bounds nothing.
qint64 unsentBytes(const QAbstractSocket &socket);

} // namespace quaverlink
