#pragma once

#include <QAbstractSocket>

namespace quaverlink {

// Bytes written to a TCP socket that its peer has not taken yet: what Qt
// still buffers and what waits in the kernel's send queue. The kernel's share
// can be megabytes, so a bound on Qt's share alone bounds nothing.
qint64 unsentBytes(const QAbstractSocket &socket);

// Keeps the kernel's send queue small, so that a peer that stopped reading is
// noticed after little data rather than after the megabytes that autotuning
// allows.
void limitSendQueue(QAbstractSocket &socket, int bytes);

} // namespace quaverlink
