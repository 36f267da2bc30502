#pragma once

#include <QObject>
#include <QSocketNotifier>

namespace quaverlink {

// SIGTERM, SIGINT, SIGHUP and SIGQUIT end the program the way closing the window
// does: the event loop returns and everything shuts down in order. The
// handler only writes to a pipe; the notifier reads it on the main thread.
class StopSignals final : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace quaverlink
