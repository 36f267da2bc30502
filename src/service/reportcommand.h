#pragma once

#include <QByteArray>
#include <QStringList>

namespace quaverlink {

// quaverlink report --from DATE --to DATE [--format csv]: the plays between
// the two dates, in on-air order, on standard output, read with the login of
// Quaverlink.ini in folder. Returns the exit status.
int runReport(const QStringList &arguments, const QByteArray &folder);

} // namespace quaverlink
