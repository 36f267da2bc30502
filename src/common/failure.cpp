#include "failure.h"

#include "common/literals.h"

#include <QDateTime>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace quaverlink {
namespace {

// Standard error is written by a thread of its own: a log reader that stalls
// or goes away must never hold up the air. What does not fit waits here, up
// to a bound; beyond it lines are counted and the count is written later.
class FailureLog final
{
public:
    static FailureLog &instance()
    {
        // Never destroyed: the writer may outlive main() in a blocked write.
        static FailureLog *log = new FailureLog;
        return *log;
    }

    void write(const QString &line)
    {
        const QByteArray bytes = line.toUtf8();
        // The time stamp differs; the rest says whether it is the same line.
        const QByteArray message = bytes.mid(kStampLength);
        std::lock_guard lock(m_mutex);
        if (message == m_lastMessage) {
            // The writer folds the burst once it has been quiet for a while.
            if (m_repeats++ == 0) {
                m_wake.notify_one();
            }
            m_lastRepeat = Clock::now();
            return;
        }
        foldRepeats();
        m_lastMessage = message;
        push(bytes + '\n');
    }

    bool flush(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        foldRepeats();
        takeUnwritten();
        m_wake.notify_one();
        return m_drained.wait_for(lock, timeout, [this] { return m_lines.empty() && !m_writing; });
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr qsizetype kStampLength = 20; // "yyyy-MM-dd hh:mm:ss "
    static constexpr size_t kMaxWaitingLines = 1000;
    static constexpr auto kBurstEnd = std::chrono::seconds(1);

    FailureLog()
    {
        std::thread([this] { run(); }).detach();
    }

    void push(const QByteArray &line)
    {
        if (m_lines.size() >= kMaxWaitingLines) {
            ++m_unwritten;
            return;
        }
        takeUnwritten();
        m_lines.push_back(line);
        m_wake.notify_one();
    }

    // The count of lines that found no room goes out as soon as there is
    // room again, whether or not another line follows.
    void takeUnwritten()
    {
        if (m_unwritten > 0 && m_lines.size() < kMaxWaitingLines) {
            m_lines.push_back(unwrittenLine(std::exchange(m_unwritten, 0)));
        }
    }

    void foldRepeats()
    {
        if (m_repeats > 0) {
            push(stamp() + "quaverlink: the line above repeated " + QByteArray::number(m_repeats) + " more times\n");
            m_repeats = 0;
            m_lastMessage.clear();
        }
    }

    static QByteArray unwrittenLine(qint64 count)
    {
        return stamp() + "quaverlink: " + QByteArray::number(count)
            + " lines could not be written: standard error was not being read\n";
    }

    static QByteArray stamp() { return QDateTime::currentDateTime().toString(u"yyyy-MM-dd hh:mm:ss "_s).toUtf8(); }

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            if (m_repeats > 0) {
                m_wake.wait_until(lock, m_lastRepeat + kBurstEnd, [this] { return !m_lines.empty(); });
            } else {
                m_wake.wait(lock, [this] { return !m_lines.empty() || m_repeats > 0; });
            }
            if (m_repeats > 0 && Clock::now() - m_lastRepeat >= kBurstEnd) {
                foldRepeats();
            }
            while (!m_lines.empty()) {
                const QByteArray line = std::move(m_lines.front());
                m_lines.pop_front();
                m_writing = true;
                lock.unlock();
                writeAll(line);
                lock.lock();
                m_writing = false;
                takeUnwritten();
            }
            m_drained.notify_all();
        }
    }

    static void writeAll(const QByteArray &line)
    {
        const char *data = line.constData();
        qsizetype left = line.size();
        while (left > 0) {
            const ssize_t written = ::write(STDERR_FILENO, data, size_t(left));
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return; // closed or broken: nobody is reading
            }
            data += written;
            left -= written;
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_drained;
    std::deque<QByteArray> m_lines;
    QByteArray m_lastMessage;
    qint64 m_repeats = 0;
    qint64 m_unwritten = 0;
    Clock::time_point m_lastRepeat;
    bool m_writing = false;
};

// Control characters from received text must not reach a terminal as they
// are; each is written as an escape.
QString escapeControls(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n') {
            escaped += u"\\n"_s;
        } else if (u == u'\r') {
            escaped += u"\\r"_s;
        } else if (u == u'\t') {
            escaped += u"\\t"_s;
        } else if (u < 0x20 || u == 0x7F) {
            escaped += u"\\x%1"_s.arg(int(u), 2, 16, QChar(u'0'));
        } else if (u >= 0x80 && u <= 0x9F) {
            escaped += u"\\u%1"_s.arg(int(u), 4, 16, QChar(u'0'));
        } else {
            escaped += c;
        }
    }
    return escaped;
}

} // namespace

Failure::Failure(QString step, QString cause)
    : std::runtime_error((step + u": "_s + cause).toStdString())
    , m_step(std::move(step))
    , m_cause(std::move(cause))
{
}

QString Failure::describe() const
{
    return m_step + u": "_s + m_cause;
}

QString failureLine(const QString &what, const QString &cause)
{
    QString message = cause.isEmpty() ? what : what + u": "_s + cause;
    // A line quotes received text, which can be 64 KiB; a log line stays readable.
    if (message.size() > kMaxLineLength) {
        const qsizetype left = message.size() - kMaxLineLength;
        message.truncate(kMaxLineLength);
        message += u"... (%1 more characters)"_s.arg(left);
    }
    return QDateTime::currentDateTime().toString(u"yyyy-MM-dd hh:mm:ss"_s) + u" quaverlink: "_s
        + escapeControls(message);
}

void writeFailureLine(const QString &line)
{
    FailureLog::instance().write(line);
}

bool flushFailureLines(std::chrono::milliseconds timeout)
{
    return FailureLog::instance().flush(timeout);
}

} // namespace quaverlink
