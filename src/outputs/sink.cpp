#include "sink.h"

#include "common/literals.h"

namespace quaverlink {

Sink::Sink(const OutputConfig &config)
    : m_config(config)
{
}

void Sink::failed(const QString &cause)
{
    if (std::exchange(m_failing, true) != true) {
        report(Severity::Failure, u"output "_s + m_config.name,
               u"stopped working; the newest text is retried: "_s + cause);
        Q_EMIT stateChanged(m_config.name, u"not working: "_s + cause);
    }
}

void Sink::worked()
{
    const std::optional<bool> was = std::exchange(m_failing, false);
    if (was == true) {
        report(Severity::Recovery, u"output "_s + m_config.name, u"works again"_s);
    }
    if (was != false) {
        Q_EMIT stateChanged(m_config.name, u"working"_s);
    }
}

} // namespace quaverlink
