#include "reporter.h"

#include "failure.h"

namespace quaverlink {

void Reporter::report(Severity severity, const QString &what, const QString &cause)
{
    const QString line = failureLine(what, cause);
    writeFailureLine(line);
    Q_EMIT reported(line, severity);
}

} // namespace quaverlink
