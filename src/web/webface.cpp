#include "webface.h"

#include "common/literals.h"
#include "settings/settings.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <sys/resource.h>
#include <unistd.h>

namespace quaverlink {
namespace {

const QByteArray kVersion = QUAVERLINK_VERSION_TEXT;
constexpr std::chrono::milliseconds kCoalesce {100};

// The page and what it loads, and nothing else: no inline script or style,
// no other origin, no frame.
const QByteArray kPageHeaders = "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self';"
                                " connect-src 'self'; img-src 'self'; base-uri 'none'; form-action 'none';"
                                " frame-ancestors 'none'\r\nX-Content-Type-Options: nosniff\r\n"
                                "Referrer-Policy: no-referrer\r\n";

QString isoTime(const QDateTime &time)
{
    return time.isNull() ? QString() : time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

QByteArray resource(const QString &name)
{
    QFile file(u":/web/"_s + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::optional<std::chrono::minutes> minutesOf(const IniFile &settings, const QString &key, QString *problem)
{
    const std::optional<QString> text = settings.newValue(u"Web"_s, key);
    if (!text) {
        return std::nullopt;
    }
    const std::optional<std::int64_t> minutes = convertToInteger(*text, 0, 1'000'000);
    if (!minutes) {
        *problem = u"[Web] %1 \"%2\" is not a number of minutes"_s.arg(key, *text);
        return std::nullopt;
    }
    return std::chrono::minutes(*minutes);
}

// When this process started, by the kernel's count.
QDateTime processStart()
{
    static const QDateTime start = [] {
        QFile stat(u"/proc/self/stat"_s);
        QFile uptime(u"/proc/uptime"_s);
        if (!stat.open(QIODevice::ReadOnly) || !uptime.open(QIODevice::ReadOnly)) {
            return QDateTime::currentDateTime();
        }
        // Field 22, after the command name in parentheses, in clock ticks since boot.
        const QByteArray fields = stat.readAll();
        const double ticks = fields.mid(fields.lastIndexOf(')') + 2).split(' ').value(19).toDouble();
        const double upSeconds = uptime.readAll().split(' ').value(0).toDouble();
        const double sinceStart = upSeconds - ticks / double(::sysconf(_SC_CLK_TCK));
        return QDateTime::currentDateTime().addMSecs(-qint64(sinceStart * 1000));
    }();
    return start;
}

// A Prometheus label value.
QByteArray labelValue(const QString &text)
{
    return text.toUtf8().replace('\\', "\\\\").replace('"', "\\\"").replace('\n', "\\n");
}

class MetricsText
{
public:
    void add(const char *name, const char *type, const char *help, double value,
             const QList<std::pair<QByteArray, double>> &labelled = {}, const QByteArray &label = {})
    {
        m_text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
        if (label.isEmpty()) {
            m_text += QByteArray(name) + ' ' + QByteArray::number(value, 'g', 15) + '\n';
        }
        for (const auto &[labelText, labelledValue] : labelled) {
            m_text += QByteArray(name) + '{' + label + "=\"" + labelText + "\"} "
                + QByteArray::number(labelledValue, 'g', 15) + '\n';
        }
    }
    const QByteArray &text() const { return m_text; }

private:
    QByteArray m_text;
};

// The process's own figures, named as Prometheus's client libraries name them.
void addProcessMetrics(MetricsText &metrics)
{
    rusage usage = {};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; };
    metrics.add("process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.",
                seconds(usage.ru_utime) + seconds(usage.ru_stime));
    QFile statm(u"/proc/self/statm"_s);
    const QList<QByteArray> pages = statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ') : QList<QByteArray>();
    const double pageSize = double(::sysconf(_SC_PAGESIZE));
    metrics.add("process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.",
                pages.value(0).toDouble() * pageSize);
    metrics.add("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.",
                pages.value(1).toDouble() * pageSize);
    metrics.add("process_open_fds", "gauge", "Number of open file descriptors.",
                double(QDir(u"/proc/self/fd"_s).count()) - 3); // ".", ".." and the one reading it
    rlimit files = {};
    ::getrlimit(RLIMIT_NOFILE, &files);
    metrics.add("process_max_fds", "gauge", "Maximum number of open file descriptors.", double(files.rlim_cur));
    metrics.add("process_start_time_seconds", "gauge", "Start time of the process since unix epoch in seconds.",
                double(processStart().toMSecsSinceEpoch()) / 1000);
}

} // namespace

std::optional<WebFace::Options> WebFace::fromSettings(const IniFile &settings, const QByteArray &folder,
                                                      QString *problem)
{
    if (!settings.sections().contains(u"Web"_s, Qt::CaseInsensitive)) {
        return std::nullopt;
    }
    Options options;
    options.address = settings.newValue(u"Web"_s, u"Address"_s).value_or(options.address).trimmed();
    const QString port = settings.newValue(u"Web"_s, u"Port"_s).value_or(QString()).trimmed();
    const std::optional<quint16> number = portNumber(port);
    if (!number) {
        *problem = u"[Web] Port \"%1\" is not a port number"_s.arg(port);
        return std::nullopt;
    }
    options.port = *number;
    if (QHostAddress(options.address).isNull()) {
        *problem = u"[Web] Address \"%1\" is not an address"_s.arg(options.address);
        return std::nullopt;
    }
    const auto history = minutesOf(settings, u"HealthHistoryMinutes"_s, problem);
    const auto output = minutesOf(settings, u"HealthOutputMinutes"_s, problem);
    const auto pad = minutesOf(settings, u"HealthPadMinutes"_s, problem);
    options.silence = minutesOf(settings, u"SilenceMinutes"_s, problem);
    if (!problem->isEmpty()) {
        return std::nullopt;
    }
    options.healthHistory = history.value_or(options.healthHistory);
    options.healthOutput = output.value_or(options.healthOutput);
    options.healthPad = pad.value_or(options.healthPad);
    options.title = settings.newValue(u"Web"_s, u"Title"_s).value_or(QString()).trimmed();
    const std::optional<QByteArray> token = readToken(settings, folder, problem);
    if (!token) {
        return std::nullopt;
    }
    options.token = *token;
    const QString expires = settings.newValue(u"Live"_s, u"Expires"_s).value_or(QString()).trimmed();
    if (!expires.isEmpty()) {
        const std::optional<std::int64_t> seconds = convertToInteger(expires, 0, 7 * 86400);
        if (!seconds) {
            *problem = u"[Live] Expires \"%1\" is not seconds from 0 to 604800"_s.arg(expires);
            return std::nullopt;
        }
        options.liveExpiry = std::chrono::seconds(*seconds);
    }
    return options;
}

WebFace::WebFace(StationView &station, Options options, std::shared_ptr<HistoryFile> historyFile, QObject *parent)
    : Reporter(parent)
    , m_station(station)
    , m_options(std::move(options))
    , m_recent(std::move(historyFile))
    , m_live(station, m_options.token, m_options.liveExpiry,
             [this](const QString &cause) { report(Severity::Notice, u"live"_s, cause); })
    , m_server([this](const HttpRequest &request) { return route(request); }, false)
{
    m_server.acceptMethods({"POST", "DELETE"}, LiveInput::kMaxBody);
    connect(&m_recent, &RecentPlays::reported, this, &WebFace::reported);
    connect(&m_recent, &RecentPlays::changed, this, [this] { publish(&WebFace::playsEvent); });
    // The countdown moves every second; everything else as it happens.
    m_tick.setInterval(std::chrono::seconds(1));
    connect(&m_tick, &QTimer::timeout, this, [this] { publish(&WebFace::statusEvent); });
    m_tick.start();
    m_coalesce.setSingleShot(true);
    m_coalesce.setInterval(kCoalesce);
    connect(&m_coalesce, &QTimer::timeout, this, [this] { publish(&WebFace::statusEvent); });
}

void WebFace::addPlay(const Play &play)
{
    // The idle text is what goes on air between plays, not one of them.
    if (play.isIdle) {
        return;
    }
    if (play.addsDetails) {
        m_recent.addDetails(play.fields);
    } else {
        m_recent.add({play.onAir, play.text, play.fields});
    }
}

bool WebFace::listen(QString *error)
{
    if (m_server.listen(QHostAddress(m_options.address), m_options.port)) {
        return true;
    }
    *error = u"listening on %1 port %2: %3"_s.arg(m_options.address).arg(m_options.port).arg(m_server.errorString());
    return false;
}

void WebFace::publish(QByteArray (WebFace::*event)() const)
{
    // An event is built only when a page is there to read it.
    if (m_server.hasStreams()) {
        m_server.sendToStreams((this->*event)());
    }
}

void WebFace::statusChanged()
{
    if (!m_coalesce.isActive()) {
        m_coalesce.start();
    }
}

HttpServer::Reply WebFace::route(const HttpRequest &request)
{
    const QByteArray &path = request.path;
    if (path == "/api/now") {
        return m_live.answer(request);
    }
    if (request.method != "GET" && request.method != "HEAD") {
        return {"405 Method Not Allowed", "text/plain", "only GET and HEAD here\n", false, "Allow: GET, HEAD\r\n"};
    }
    if (path == "/" || path == "/index.html") {
        return {"200 OK", "text/html; charset=utf-8", resource(u"index.html"_s), false, kPageHeaders};
    }
    if (path == "/app.js") {
        return {"200 OK", "text/javascript; charset=utf-8", resource(u"app.js"_s), false, kPageHeaders};
    }
    if (path == "/app.css") {
        return {"200 OK", "text/css; charset=utf-8", resource(u"app.css"_s), false, kPageHeaders};
    }
    if (path == "/icon.png" || path == "/favicon.ico") {
        return {"200 OK", "image/png", resource(u"icon.png"_s), false, kPageHeaders};
    }
    if (path == "/events") {
        return {"200 OK", "text/event-stream; charset=utf-8", statusEvent() + playsEvent(), true};
    }
    if (path == "/health") {
        QStringList degraded;
        const QStringList problems = healthProblems(m_station.status(), &degraded);
        const QString state = !problems.isEmpty() ? u"failing"_s : !degraded.isEmpty() ? u"degraded"_s : u"ok"_s;
        const QJsonObject body {{u"status"_s, state},
                                {u"problems"_s, QJsonArray::fromStringList(problems)},
                                {u"degraded"_s, QJsonArray::fromStringList(degraded)}};
        return {problems.isEmpty() ? "200 OK" : "503 Service Unavailable", "application/json; charset=utf-8",
                QJsonDocument(body).toJson(QJsonDocument::Compact) + '\n'};
    }
    if (path == "/metrics") {
        return {"200 OK", "text/plain; version=0.0.4; charset=utf-8", metrics()};
    }
    if (path == "/api/plays") {
        const QString limit = QUrlQuery(QString::fromUtf8(request.query)).queryItemValue(u"limit"_s);
        const qsizetype count = limit.isEmpty() ? RecentPlays::kKept : qsizetype(limit.toLongLong());
        if (count < 1 || count > RecentPlays::kKept) {
            return {"400 Bad Request", "text/plain", "limit is a number from 1 to 50\n"};
        }
        return {"200 OK", "application/json; charset=utf-8", playsJson(count) + '\n'};
    }
    return {"404 Not Found", "text/plain", "not found\n"};
}

QStringList WebFace::healthProblems(const StationStatus &status, QStringList *degraded) const
{
    QStringList problems;
    const QDateTime now = QDateTime::currentDateTime();
    // A part that fails counts as a problem once it has failed for its
    // limit; until then the receiver is degraded, and says how long is left.
    const auto judge = [&](const QString &what, const QDateTime &since, std::chrono::minutes limit) {
        const qint64 left = std::chrono::seconds(limit).count() - since.secsTo(now);
        if (left <= 0) {
            problems << what;
        } else {
            *degraded << what + u"; a problem in %1 min unless it works again"_s.arg((left + 59) / 60);
        }
    };
    if (!status.listening) {
        problems << u"the receiver is not listening for datagrams"_s;
    }
    if (status.history && !status.history->working) {
        judge(u"play history stopped working at %1: %2"_s.arg(isoTime(status.history->since), status.history->reason),
              status.history->since, m_options.healthHistory);
    }
    for (auto it = status.outputs.cbegin(); it != status.outputs.cend(); ++it) {
        if (it->failures > 0 && !it->working) {
            judge(u"output %1 stopped working at %2: %3"_s.arg(it.key(), isoTime(it->since), it->state), it->since,
                  m_options.healthOutput);
        }
    }
    if (status.pad && !status.pad->working) {
        const QDateTime since = status.pad->since.isNull() ? m_started : status.pad->since;
        judge(u"the PAD feed has not worked since %1: %2"_s.arg(isoTime(since), status.pad->reason), since,
              m_options.healthPad);
    }
    const QDateTime lastItem = status.lastItemAt.isNull() ? m_started : status.lastItemAt;
    // Silence shorter than its limit is no fault at all.
    if (m_options.silence && lastItem.secsTo(now) >= std::chrono::seconds(*m_options.silence).count()) {
        problems << u"no item has arrived since %1"_s.arg(isoTime(lastItem));
    }
    return problems;
}

QByteArray WebFace::statusEvent() const
{
    const StationStatus status = m_station.status();
    QJsonObject history {{u"enabled"_s, false}};
    if (const std::optional<PlayHistory::Status> &state = status.history) {
        history = {{u"enabled"_s, true},         {u"working"_s, state->working}, {u"since"_s, isoTime(state->since)},
                   {u"reason"_s, state->reason}, {u"waiting"_s, state->waiting}, {u"setAside"_s, state->setAside},
                   {u"kept"_s, state->kept},     {u"stored"_s, state->stored}};
    }
    QJsonArray outputs;
    for (auto it = status.outputs.cbegin(); it != status.outputs.cend(); ++it) {
        outputs.append(QJsonObject {{u"name"_s, it.key()},
                                    {u"state"_s, it->state},
                                    {u"since"_s, isoTime(it->since)},
                                    {u"working"_s, it->working},
                                    {u"failures"_s, it->failures}});
    }
    QJsonObject pad {{u"enabled"_s, false}};
    if (const std::optional<PadClient::Status> &state = status.pad) {
        pad = {{u"enabled"_s, true},
               {u"working"_s, state->working},
               {u"since"_s, isoTime(state->since)},
               {u"reason"_s, state->reason},
               {u"documents"_s, state->documents},
               {u"lastDocument"_s, isoTime(state->lastDocument)}};
    }
    QStringList degraded;
    const QStringList problems = healthProblems(status, &degraded);
    const QJsonObject event {{u"version"_s, QString::fromLatin1(kVersion)},
                             {u"title"_s, m_options.title.isEmpty() ? status.idleText : m_options.title},
                             {u"pad"_s, pad},
                             {u"startedAt"_s, isoTime(m_started)},
                             {u"listening"_s, status.listening},
                             {u"now"_s, status.now},
                             {u"idle"_s, status.now == status.idleText},
                             {u"previous"_s, status.previous},
                             {u"next"_s, status.next},
                             {u"countdown"_s, status.countdown ? QJsonValue(*status.countdown) : QJsonValue::Null},
                             {u"lastItemAt"_s, isoTime(status.lastItemAt)},
                             {u"history"_s, history},
                             {u"outputs"_s, outputs},
                             {u"applied"_s, status.applied},
                             {u"refused"_s, status.refused},
                             {u"dropped"_s, status.dropped},
                             {u"live"_s, liveJson(status)},
                             {u"problems"_s, QJsonArray::fromStringList(problems)},
                             {u"degraded"_s, QJsonArray::fromStringList(degraded)}};
    return "event: status\ndata: " + QJsonDocument(event).toJson(QJsonDocument::Compact) + "\n\n";
}

QJsonValue WebFace::liveJson(const StationStatus &status)
{
    const std::optional<LiveText> &live = status.live;
    if (!live) {
        return QJsonValue::Null;
    }
    return QJsonObject {{u"text"_s, live->text},
                        {u"who"_s, live->who},
                        {u"until"_s, live->until.isValid() ? QJsonValue(isoTime(live->until)) : QJsonValue::Null}};
}

QByteArray WebFace::playsJson(qsizetype limit) const
{
    // The newest plays, as many as fit kMaxPlaysBytes: fifty plays of
    // 64 KiB texts with the feed's largest fields would be megabytes.
    constexpr qint64 kMaxPlaysBytes = 512 * 1024;
    QJsonArray plays;
    qint64 bytes = 0;
    for (const RecentPlay &play : m_recent.plays().first(qMin(limit, m_recent.plays().size()))) {
        // A live play's details say so; the rest is what the feed told.
        QJsonObject details = play.details;
        const bool live = details.take(u"live"_s).toBool();
        QJsonObject entry {{u"onAir"_s, isoTime(play.onAir)},
                           {u"text"_s, play.text},
                           {u"live"_s, live},
                           {u"pad"_s, details.isEmpty() || live ? QJsonValue::Null : QJsonValue(details)}};
        bytes += QJsonDocument(entry).toJson(QJsonDocument::Compact).size() + 1;
        if (bytes > kMaxPlaysBytes && !plays.isEmpty()) {
            break;
        }
        plays.append(entry);
    }
    return QJsonDocument(plays).toJson(QJsonDocument::Compact);
}

QByteArray WebFace::playsEvent() const
{
    return "event: plays\ndata: " + playsJson(RecentPlays::kKept) + "\n\n";
}

QByteArray WebFace::metrics() const
{
    MetricsText metrics;
    const StationStatus status = m_station.status();
    metrics.add("quaverlink_build_info", "gauge", "The receiver's version.", 1, {{kVersion, 1}}, "version");
    metrics.add("quaverlink_start_time_seconds", "gauge", "When the receiver started, in seconds since the epoch.",
                double(m_started.toSecsSinceEpoch()));
    metrics.add("quaverlink_listening", "gauge", "1 while the receiver listens for datagrams.",
                status.listening ? 1 : 0);
    metrics.add("quaverlink_live", "gauge", "1 while a live text holds the air.", status.live ? 1 : 0);
    metrics.add("quaverlink_live_refused_total", "counter",
                "Requests to the live input refused for a wrong or missing token, or too many of them.",
                double(m_live.refusedTotal()));
    metrics.add("quaverlink_items_applied_total", "counter", "Items put on air, the idle text included.",
                double(status.applied));
    metrics.add("quaverlink_idle_texts_total", "counter", "Idle texts the receiver sent itself.",
                double(status.idleTexts));
    metrics.add("quaverlink_datagrams_refused_total", "counter", "Datagrams from senders outside AllowedSenders.",
                double(status.refused));
    metrics.add("quaverlink_items_dropped_total", "counter", "Waiting items given up in floods.",
                double(status.dropped));
    const QDateTime lastItem = status.lastItemAt.isNull() ? m_started : status.lastItemAt;
    metrics.add("quaverlink_last_item_age_seconds", "gauge",
                "Seconds since the last item other than the idle text arrived (or since the start).",
                double(lastItem.msecsTo(QDateTime::currentDateTime())) / 1000);
    if (!status.lastItemAt.isNull()) {
        metrics.add("quaverlink_last_item_timestamp_seconds", "gauge",
                    "When the last item other than the idle text arrived, in seconds since the epoch.",
                    double(status.lastItemAt.toMSecsSinceEpoch()) / 1000);
    }
    const PlayHistory::Status history = status.history.value_or(PlayHistory::Status());
    metrics.add("quaverlink_play_history_enabled", "gauge", "1 when play history is on.", status.history ? 1 : 0);
    metrics.add("quaverlink_play_history_up", "gauge", "1 while play history works.",
                status.history && history.working ? 1 : 0);
    metrics.add("quaverlink_plays_kept_total", "counter", "Plays kept in the spool.", double(history.kept));
    metrics.add("quaverlink_plays_stored_total", "counter", "Plays the database took.", double(history.stored));
    metrics.add("quaverlink_plays_waiting", "gauge", "Plays waiting in the spool.", double(history.waiting));
    metrics.add("quaverlink_plays_set_aside", "gauge", "Plays in the spool's table rejected.",
                double(history.setAside));
    metrics.add("quaverlink_oldest_waiting_play_age_seconds", "gauge",
                "Seconds since the oldest play waiting for the database went on air; 0 when none waits.",
                history.oldestWaiting.isNull() ? 0
                                               : double(history.oldestWaiting.secsTo(QDateTime::currentDateTime())));
    if (const std::optional<PadClient::Status> &state = status.pad) {
        metrics.add("quaverlink_pad_up", "gauge", "1 while the PAD feed is connected and has sent a document.",
                    state->working ? 1 : 0);
        metrics.add("quaverlink_pad_documents_total", "counter", "Documents read from the PAD feed.",
                    double(state->documents));
        if (!state->lastDocument.isNull()) {
            metrics.add("quaverlink_pad_last_document_timestamp_seconds", "gauge",
                        "When the PAD feed's last document came, in seconds since the epoch.",
                        double(state->lastDocument.toMSecsSinceEpoch()) / 1000);
        }
    }
    QList<std::pair<QByteArray, double>> up, failures;
    for (auto it = status.outputs.cbegin(); it != status.outputs.cend(); ++it) {
        up.append({labelValue(it.key()), it->working ? 1 : 0});
        failures.append({labelValue(it.key()), double(it->failures)});
    }
    metrics.add("quaverlink_output_up", "gauge", "1 while the output works.", 0, up, "output");
    metrics.add("quaverlink_output_failures_total", "counter", "Times the output stopped working.", 0, failures,
                "output");
    addProcessMetrics(metrics);
    return metrics.text();
}

} // namespace quaverlink
