#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace quaverlink {

// Text at the program's boundaries (settings file, datagrams) arrives as bytes
// from systems that may speak UTF-8 or the old Windows-1252 code page, often
// mixed. Every valid UTF-8 sequence is taken as UTF-8; every other byte is
// taken on its own as Windows-1252, so no byte is ever lost or replaced.
QString decode8Bit(QByteArrayView bytes);

// Everything the program writes is UTF-8.
QByteArray encode8Bit(const QString &text);

} // namespace quaverlink
