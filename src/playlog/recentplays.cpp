#include "recentplays.h"

#include "common/literals.h"
#include "historyfile.h"

#include <QTimer>

namespace quaverlink {
namespace {

// Hands the list to the history file, on the recent plays' own thread.
class RecentWriter final : public Reporter
{
    Q_OBJECT

public:
    explicit RecentWriter(std::shared_ptr<HistoryFile> file)
        : m_file(std::move(file))
    {
    }

    // Tells of the plays the last run left, newest first; of none when the
    // file cannot be used, which is said once.
    void open()
    {
        QList<RecentPlay> earlier;
        try {
            if (spool()) {
                earlier = m_spool->recentPlays(RecentPlays::kKept);
            }
        } catch (const Failure &failure) {
            giveUp(failure.describe());
        }
        Q_EMIT opened(earlier);
    }

Q_SIGNALS:
    void opened(const QList<quaverlink::RecentPlay> &earlier);

public:
    // The whole list in one transaction: fifty short rows. A spell of a
    // full disk costs only the lists written during it.
    void write(const QList<RecentPlay> &plays)
    {
        if (!spool()) {
            return;
        }
        try {
            m_spool->keepRecentPlays(plays);
        } catch (const Failure &failure) {
            giveUp(failure.describe());
            return;
        }
        if (m_failing) {
            m_failing = false;
            report(Severity::Recovery, u"recent plays"_s, u"they are written again"_s);
        }
    }

private:
    // Nothing when this run cannot keep them: another receiver in the
    // folder holds the file, or it cannot be used.
    PlaySpool *spool()
    {
        if (!m_spool && !m_refused) {
            try {
                m_spool = m_file->open();
            } catch (const Failure &failure) {
                m_refused = true;
                report(Severity::Failure, u"recent plays"_s,
                       u"the list is kept in memory only: "_s + failure.describe());
            }
        }
        return m_spool.get();
    }

    // Said once a spell.
    void giveUp(const QString &cause)
    {
        if (!m_failing) {
            m_failing = true;
            report(Severity::Failure, u"recent plays"_s,
                   u"they cannot be written (%1); the list is kept in memory and written again once it can be"_s.arg(
                       cause));
        }
    }

    std::shared_ptr<HistoryFile> m_file;
    std::shared_ptr<PlaySpool> m_spool;
    bool m_refused = false;
    bool m_failing = false;
};

} // namespace

RecentPlays::RecentPlays(std::shared_ptr<HistoryFile> file, QObject *parent)
    : Reporter(parent)
{
    auto *writer = new RecentWriter(std::move(file));
    m_writer = writer;
    writer->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, writer, &QObject::deleteLater);
    connect(writer, &Reporter::reported, this, &Reporter::reported);
    m_thread.setObjectName(u"recent plays"_s);
    m_thread.start();
    connect(writer, &RecentWriter::opened, this, [this](const QList<RecentPlay> &earlier) {
        // Plays of this run come first; the earlier ones fill the rest.
        m_plays += earlier.first(qMin(earlier.size(), kKept - qMin(m_plays.size(), kKept)));
        Q_EMIT changed();
    });
    QMetaObject::invokeMethod(writer, &RecentWriter::open, Qt::QueuedConnection);
}

RecentPlays::~RecentPlays()
{
    // The last of a burst is written before the thread ends.
    auto *writer = static_cast<RecentWriter *>(m_writer);
    QMetaObject::invokeMethod(writer, [writer, thread = &m_thread, plays = m_plays, pending = m_writePending] {
        if (pending) {
            writer->write(plays);
        }
        thread->quit();
    });
    m_thread.wait();
}

void RecentPlays::add(const RecentPlay &play)
{
    m_plays.prepend(play);
    if (m_plays.size() > kKept) {
        m_plays.removeLast();
    }
    keep();
}

void RecentPlays::addDetails(const QJsonObject &details)
{
    if (!m_plays.isEmpty()) {
        m_plays.first().details = details;
        keep();
    }
}

void RecentPlays::keep()
{
    // A burst is written once, at its end.
    if (!m_writePending) {
        m_writePending = true;
        QTimer::singleShot(kWriteDelay, this, [this] {
            m_writePending = false;
            auto *writer = static_cast<RecentWriter *>(m_writer);
            QMetaObject::invokeMethod(writer, [writer, plays = m_plays] { writer->write(plays); });
        });
    }
    Q_EMIT changed();
}

} // namespace quaverlink

#include "recentplays.moc"
