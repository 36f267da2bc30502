#include "failure.h"

#include <QDateTime>

#include <cstdio>

namespace quaverlink {

Failure::Failure(QString step, QString cause)
    : std::runtime_error((step + u": "_qs + cause).toStdString())
    , m_step(std::move(step))
    , m_cause(std::move(cause))
{
}

QString Failure::describe() const
{
    return m_step + u": "_qs + m_cause;
}

QString failureLine(const QString &what, const QString &cause)
{
    QString line = QDateTime::currentDateTime().toString(u"yyyy-MM-dd hh:mm:ss"_qs) + u" quaverlink: "_qs + what;
    if (!cause.isEmpty()) {
        line += u": "_qs + cause;
    }
    // One report, one line, whatever the cause's text holds.
    line.replace(u'\r', u' ').replace(u'\n', u' ');
    return line;
}

void writeFailureLine(const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

} // namespace quaverlink
