#include "listenercounter.h"

#include "common/literals.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

#include <deque>

namespace quaverlink {

class ListenerTally final : public Reporter
{
    Q_OBJECT

public:
    ListenerTally(IcecastListeners::Settings settings, std::chrono::milliseconds interval)
        : m_icecast(std::move(settings), this)
    {
        m_clock.start();
        m_timer.setInterval(interval);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (isAnyOnAir()) {
                ask();
            } else {
                m_timer.stop();
            }
        });
        connect(&m_icecast, &IcecastListeners::answered, this, &ListenerTally::take);
    }

    void startPlay(const QString &text, const QDateTime &playedAt)
    {
        leave();
        // Plays that come faster than Icecast answers wait for one answer
        // each; past this many, the oldest is given up as unknown.
        while (m_plays.size() >= kMostWaiting) {
            m_plays.front().missed = true;
            finish(m_plays.front());
            m_plays.pop_front();
        }
        m_plays.push_back({text, playedAt, m_clock.elapsed()});
        ask();
    }

    void endPlay()
    {
        if (isAnyOnAir()) {
            leave();
            ask();
        }
    }

    void finishAll()
    {
        for (const Play &play : m_plays) {
            finish(play);
        }
        m_plays.clear();
        m_timer.stop();
    }

Q_SIGNALS:
    void counted(const QString &text, const QDateTime &playedAt, qint64 performances);

private:
    static constexpr qsizetype kMostWaiting = 1000;

    struct Play
    {
        QString text;
        QDateTime playedAt;
        qint64 startedAt = 0; // on the clock, in ms
        qint64 endedAt = -1;  // -1 while on air
        QSet<quint64> listeners {};
        bool seen = false;   // an answer came while it was on air
        bool missed = false; // a question failed, or too many listeners to tell apart
    };

    bool isAnyOnAir() const { return !m_plays.empty() && m_plays.back().endedAt < 0; }

    void leave()
    {
        if (isAnyOnAir()) {
            m_plays.back().endedAt = m_clock.elapsed();
        }
    }

    void ask()
    {
        if (m_asking) {
            m_askAgain = true;
            return;
        }
        m_asking = true;
        m_askedAt = m_clock.elapsed();
        m_timer.start();
        m_icecast.ask();
    }

    // An answer counts for each play on air when it was asked for; it is
    // the last for a play that had left by then.
    void take(const ListenerSample &sample)
    {
        m_asking = false;
        noteWorking(sample);
        for (auto play = m_plays.begin(); play != m_plays.end();) {
            if (m_askedAt < play->startedAt) {
                ++play;
                continue;
            }
            if (!sample.error.isEmpty()) {
                play->missed = true;
            } else {
                play->seen = true;
                add(*play, sample);
            }
            if (play->endedAt >= 0 && m_askedAt >= play->endedAt) {
                finish(*play);
                play = m_plays.erase(play);
            } else {
                ++play;
            }
        }
        if (std::exchange(m_askAgain, false)) {
            ask();
        }
    }

    void add(Play &play, const ListenerSample &sample)
    {
        for (auto mount = sample.mounts.cbegin(); mount != sample.mounts.cend() && !play.missed; ++mount) {
            for (const quint64 id : mount.value()) {
                play.listeners.insert(id);
            }
            if (play.listeners.size() > ListenerCounter::kMostListeners) {
                play.missed = true;
                play.listeners = {};
                report(Severity::Failure, u"listeners: "_s + play.text,
                       u"more than %1 distinct listeners: its count is unknown"_s.arg(ListenerCounter::kMostListeners));
            }
        }
    }

    void finish(const Play &play)
    {
        Q_EMIT counted(play.text, play.playedAt, play.seen && !play.missed ? play.listeners.size() : -1);
    }

    // One line when Icecast cannot be asked, one when it answers again.
    void noteWorking(const ListenerSample &sample)
    {
        if (!sample.error.isEmpty() && !m_failing) {
            report(Severity::Failure,
                   u"listeners: Icecast at %1 cannot be asked; the plays on air meanwhile have no listener count"_s.arg(
                       m_icecast.serverName()),
                   sample.error);
        } else if (sample.error.isEmpty() && m_failing) {
            report(Severity::Recovery, u"listeners: Icecast at %1 answers again"_s.arg(m_icecast.serverName()));
        }
        m_failing = !sample.error.isEmpty();
        for (const QString &mount : sample.absent) {
            if (!m_absent.contains(mount)) {
                report(Severity::Notice,
                       u"listeners: mount %1 has no source now, so nobody listens there"_s.arg(mount));
            }
        }
        m_absent = QSet<QString>(sample.absent.cbegin(), sample.absent.cend());
    }

    IcecastListeners m_icecast;
    QElapsedTimer m_clock;
    QTimer m_timer {this};
    std::deque<Play> m_plays; // in on-air order; the last may be on air
    bool m_asking = false;
    bool m_askAgain = false;
    qint64 m_askedAt = 0;
    bool m_failing = false;
    QSet<QString> m_absent;
};

ListenerCounter::ListenerCounter(IcecastListeners::Settings settings, std::chrono::milliseconds interval,
                                 QObject *parent)
    : QObject(parent)
    , m_tally(new ListenerTally(std::move(settings), interval))
{
    m_tally->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_tally, &QObject::deleteLater);
    connect(m_tally, &ListenerTally::counted, this, &ListenerCounter::counted);
    connect(m_tally, &Reporter::reported, this, &ListenerCounter::reported);
    m_thread.setObjectName(u"listener counter"_s);
    m_thread.start();
}

ListenerCounter::~ListenerCounter()
{
    stop();
}

void ListenerCounter::startPlay(const QString &text, const QDateTime &playedAt)
{
    QMetaObject::invokeMethod(m_tally, [tally = m_tally, text, playedAt] { tally->startPlay(text, playedAt); });
}

void ListenerCounter::endPlay()
{
    QMetaObject::invokeMethod(m_tally, &ListenerTally::endPlay);
}

void ListenerCounter::stop()
{
    if (!m_thread.isRunning()) {
        return;
    }
    QMetaObject::invokeMethod(m_tally, &ListenerTally::finishAll, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    // The last counts, queued to this thread, reach their receivers now.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

} // namespace quaverlink

#include "listenercounter.moc"
