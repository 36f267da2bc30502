#pragma once

#include "common/reporter.h"
#include "playrecord.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QThread>

#include <memory>

namespace quaverlink {

class HistoryFile;

// The last plays, newest first, for a status page: kept in memory, and in
// the station's history file by a thread of their own, so that they outlive
// a restart whether or not the database is on and the air never waits for
// the disk.
class RecentPlays final : public Reporter
{
    Q_OBJECT

public:
    static constexpr qsizetype kKept = 50;
    static constexpr std::chrono::milliseconds kWriteDelay {200};

    explicit RecentPlays(std::shared_ptr<HistoryFile> file, QObject *parent = nullptr);
    ~RecentPlays() override;

    const QList<RecentPlay> &plays() const { return m_plays; }
    void add(const RecentPlay &play);
    // The newest play gained what the PAD feed told of it.
    void addDetails(const QJsonObject &details);

Q_SIGNALS:
    // The list changed, by a play or by what the last run left.
    void changed();

private:
    void keep();

    QList<RecentPlay> m_plays;
    QThread m_thread;
    QObject *m_writer = nullptr; // lives on m_thread
    bool m_writePending = false;
};

} // namespace quaverlink
