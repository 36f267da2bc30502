#include "outputs.h"

#include "common/failure.h"
#include "common/literals.h"
#include "settings/settings.h"
#include "sinks.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMutex>

#include <deque>
#include <map>
#include <memory>
#include <vector>

namespace quaverlink {
namespace {

const QString kSectionPrefix = u"Output "_s;
constexpr int kMaxDls = 128;

std::optional<Template::Filters> filtersOf(const IniFile &settings, const QString &section, QString *problem)
{
    const auto value = [&](const char16_t *key, const char16_t *fallback) {
        return settings.newValue(section, QString::fromUtf16(key)).value_or(QString::fromUtf16(fallback)).trimmed();
    };
    Template::Filters filters;
    const QString oneLine = value(u"OneLine", u"Y").toUpper();
    const QString charset = value(u"Charset", u"UTF-8").toUpper();
    const QString lineEnd = value(u"LineEnd", u"none").toUpper();
    const std::optional<std::int64_t> maxLength = convertToInteger(value(u"MaxLength", u"0"), 0, 1 << 20);
    filters.maxLength = int(maxLength.value_or(0));
    filters.oneLine = oneLine == u"Y";
    filters.charset = charset == u"LATIN-1" ? Template::Charset::Latin1
        : charset == u"ASCII"               ? Template::Charset::Ascii
                                            : Template::Charset::Utf8;
    filters.lineEnd = lineEnd == u"LF" ? "\n" : lineEnd == u"CRLF" ? "\r\n" : "";
    if (!maxLength) {
        *problem = u"MaxLength must be a number of characters, 0 for no limit"_s;
    } else if (oneLine != u"Y" && oneLine != u"N") {
        *problem = u"OneLine must be Y or N"_s;
    } else if (charset != u"UTF-8" && charset != u"LATIN-1" && charset != u"ASCII") {
        *problem = u"Charset must be UTF-8, Latin-1 or ASCII"_s;
    } else if (lineEnd != u"NONE" && lineEnd != u"LF" && lineEnd != u"CRLF") {
        *problem = u"LineEnd must be none, LF or CRLF"_s;
    } else {
        return filters;
    }
    return std::nullopt;
}

// Seconds, fractions allowed, up to a day.
std::optional<std::chrono::milliseconds> secondsOf(const QString &text)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (text.isEmpty()) {
        return std::chrono::milliseconds(0);
    }
    return ok && seconds >= 0 && seconds <= 86400 ? std::optional(std::chrono::milliseconds(qRound64(seconds * 1000)))
                                                  : std::nullopt;
}

// Skip, MinLength, Delay, DelaySkipReplaced, MinInterval and PadWait: which texts
// reach the output, and when.
QString readPacing(const IniFile &settings, const QString &section, Outputs::Config &config)
{
    const auto value = [&](const char16_t *key) {
        return settings.newValue(section, QString::fromUtf16(key)).value_or(QString()).trimmed();
    };
    QString skip = value(u"Skip");
    for (const auto &[prefix, on] : {std::pair {u"artist:", Outputs::Config::SkipOn::Artist},
                                     std::pair {u"title:", Outputs::Config::SkipOn::Title}}) {
        if (skip.startsWith(QString::fromUtf16(prefix), Qt::CaseInsensitive)) {
            skip = skip.mid(QStringView(prefix).size());
            config.skipOn = on;
        }
    }
    config.skip = QRegularExpression(skip, QRegularExpression::CaseInsensitiveOption);
    if (!config.skip.isValid()) {
        return u"Skip is not a regular expression: "_s + config.skip.errorString();
    }
    const std::optional<std::int64_t> minLength = convertToInteger(value(u"MinLength"), 0, 1 << 20);
    const auto delay = secondsOf(value(u"Delay"));
    const auto interval = secondsOf(value(u"MinInterval"));
    // Only where the PAD feed is followed are there details to wait for.
    const bool padFeed = !settings.newValue(u"PAD"_s, u"Host"_s).value_or(QString()).trimmed().isEmpty();
    const QString padWaitText = value(u"PadWait");
    const auto padWait
        = padWaitText.isEmpty() ? std::optional(std::chrono::milliseconds(1000)) : secondsOf(padWaitText);
    const QString skipReplaced = value(u"DelaySkipReplaced").toUpper();
    if (!minLength && !value(u"MinLength").isEmpty()) {
        return u"MinLength must be a number of characters"_s;
    }
    if (!delay || !interval || !padWait) {
        return u"Delay, MinInterval and PadWait must be seconds from 0 to 86400"_s;
    }
    if (!skipReplaced.isEmpty() && skipReplaced != u"Y" && skipReplaced != u"N") {
        return u"DelaySkipReplaced must be Y or N"_s;
    }
    config.minLength = int(minLength.value_or(0));
    config.delay = *delay;
    config.minInterval = *interval;
    config.padWait = padFeed && config.isPush() ? *padWait : std::chrono::milliseconds(0);
    config.delaySkipReplaced = skipReplaced == u"Y";
    return QString();
}

// A webhook: Url, Method, Body, ContentType and Header lines.
QString readWebhook(const IniFile &settings, const QString &section, Outputs::Config &config)
{
    const auto value = [&](const char16_t *key) {
        return settings.newValue(section, QString::fromUtf16(key)).value_or(QString()).trimmed();
    };
    QString problem;
    const QString url = value(u"Url");
    if (url.isEmpty()) {
        return u"Url is missing"_s;
    }
    const std::optional<Template> urlTemplate
        = Template::parse(url, {true, 0, {}, {}, Template::Escape::Url}, &problem);
    if (!urlTemplate || !(url.startsWith(u"http://") || url.startsWith(u"https://"))) {
        return urlTemplate ? u"Url must begin with http:// or https://"_s : u"Url: "_s + problem;
    }
    config.url = *urlTemplate;
    const std::optional<QString> body = settings.newValue(section, u"Body"_s);
    config.contentType = value(u"ContentType").toUtf8();
    if (config.contentType.isEmpty() && body) {
        config.contentType = "application/json";
    }
    const Template::Escape escape = config.contentType.contains("json") ? Template::Escape::Json
        : config.contentType.contains("x-www-form-urlencoded")          ? Template::Escape::Url
                                                                        : Template::Escape::None;
    if (body && !(config.body = Template::parse(*body, {true, 0, {}, {}, escape}, &problem))) {
        return u"Body: "_s + problem;
    }
    config.method = value(u"Method").toUpper().toLatin1();
    if (config.method.isEmpty()) {
        config.method = body ? "POST" : "GET";
    }
    if (config.method != "GET" && config.method != "POST") {
        return u"Method must be GET or POST"_s;
    }
    for (const QString &key : settings.keys(section)) {
        if (key.startsWith(u"Header", Qt::CaseInsensitive)) {
            const QString line = settings.newValue(section, key).value_or(QString());
            const qsizetype colon = line.indexOf(u':');
            if (colon <= 0) {
                return key + u" must be a header line, Name: value"_s;
            }
            config.headers.append({line.left(colon).trimmed().toLatin1(), line.mid(colon + 1).trimmed().toUtf8()});
        }
    }
    return QString();
}

// The keys of each type: what it needs, read into the configuration.
QString readTarget(const IniFile &settings, const QString &section, const QByteArray &folder, Outputs::Config &config)
{
    const auto value = [&](const char16_t *key) {
        return settings.newValue(section, QString::fromUtf16(key)).value_or(QString()).trimmed();
    };
    bool isPort = false;
    const auto port = [&](const QString &text) {
        const std::optional<quint16> number = portNumber(text);
        isPort = number.has_value();
        return number.value_or(0);
    };
    switch (config.type) {
    case Outputs::Type::Dls:
    case Outputs::Type::File: {
        const QString file = value(u"File");
        config.path = file.startsWith(u'/') ? QFile::encodeName(file) : folder + '/' + QFile::encodeName(file);
        return file.isEmpty() ? u"it names no File"_s : QString();
    }
    case Outputs::Type::Icecast:
        config.server = QUrl(value(u"Server"), QUrl::StrictMode);
        config.mount = value(u"Mount");
        config.user = settings.newValue(section, u"User"_s).value_or(u"source"_s).trimmed();
        config.password = value(u"Password");
        if (!config.server.isValid() || !config.server.scheme().startsWith(u"http")) {
            return u"Server must be a URL such as http://127.0.0.1:8000"_s;
        }
        return config.mount.startsWith(u'/') ? QString() : u"Mount must be a mount point such as /live"_s;
    case Outputs::Type::LineFeed: {
        const QString protocol = value(u"Protocol").toUpper();
        config.udp = protocol == u"UDP";
        config.host = value(u"Host");
        config.port = port(value(u"Port"));
        if (protocol != u"TCP" && protocol != u"UDP") {
            return u"Protocol must be TCP or UDP"_s;
        }
        return config.host.isEmpty() || !isPort ? u"it needs a Host and a Port from 1 to 65535"_s : QString();
    }
    case Outputs::Type::Http:
        config.host = settings.newValue(section, u"Address"_s).value_or(u"127.0.0.1"_s).trimmed();
        config.port = port(value(u"Port"));
        if (QHostAddress(config.host).isNull()) {
            return u"Address must be an IP address to listen on"_s;
        }
        return isPort ? QString() : u"it needs a Port from 1 to 65535"_s;
    case Outputs::Type::Webhook:
        return readWebhook(settings, section, config);
    }
    return QString();
}

// The keys each type reads; any other key in its section is a mistake worth a
// word (a typo, or a filter that type does not apply).
void noteUnusedKeys(const IniFile &settings, const QString &section, Outputs::Type type, QStringList *problems)
{
    static const QStringList kCommon
        = {u"Type"_s, u"Template"_s,  u"OneLine"_s, u"MaxLength"_s,         u"Charset"_s,     u"Groups"_s,
           u"Skip"_s, u"MinLength"_s, u"Delay"_s,   u"DelaySkipReplaced"_s, u"MinInterval"_s, u"PadWait"_s};
    static const std::map<Outputs::Type, QStringList> kOwn = {
        {Outputs::Type::File, {u"File"_s, u"LineEnd"_s}},
        {Outputs::Type::Icecast, {u"Server"_s, u"Mount"_s, u"User"_s, u"Password"_s, u"LineEnd"_s}},
        {Outputs::Type::LineFeed, {u"Protocol"_s, u"Host"_s, u"Port"_s, u"LineEnd"_s}},
        {Outputs::Type::Http, {u"Address"_s, u"Port"_s}},
        {Outputs::Type::Webhook, {u"Url"_s, u"Method"_s, u"Body"_s, u"ContentType"_s}},
        {Outputs::Type::Dls, {u"File"_s}},
    };
    for (const QString &key : settings.keys(section)) {
        const bool header = type == Outputs::Type::Webhook && key.startsWith(u"Header", Qt::CaseInsensitive);
        // A webhook's Url and Body are its templates.
        const bool unusedTemplate
            = type == Outputs::Type::Webhook && key.compare(u"Template"_s, Qt::CaseInsensitive) == 0;
        if (unusedTemplate
            || (!header && !kCommon.contains(key, Qt::CaseInsensitive)
                && !kOwn.at(type).contains(key, Qt::CaseInsensitive))) {
            *problems << u"[%1] %2 is not used by this type of output"_s.arg(section, key);
        }
    }
}

} // namespace

bool Outputs::Config::takes(const NowPlaying &playing) const
{
    // A text from the UDP endpoint has no group: an output that asks for
    // groups gets it once the PAD feed has told which group it is in.
    if (!groups.isEmpty() && !playing.isIdle && !groups.contains(playing.group(), Qt::CaseInsensitive)) {
        return false;
    }
    if (minLength == 0 && skip.pattern().isEmpty()) {
        return true;
    }
    const auto [artist, title] = Template::artistAndTitle(playing);
    if (!playing.isIdle && title.size() < minLength) {
        return false;
    }
    // The idle text is skipped only where the pattern names it.
    const QString &matched = skipOn == SkipOn::Artist ? artist : skipOn == SkipOn::Title ? title : playing.text;
    return skip.pattern().isEmpty() || !skip.match(matched).hasMatch();
}

QString Outputs::Config::describe() const
{
    switch (type) {
    case Type::File:
        return u"file "_s + QFile::decodeName(path);
    case Type::Icecast:
        return u"Icecast %1 mount %2"_s.arg(server.toString(QUrl::RemoveUserInfo), mount);
    case Type::LineFeed:
        return u"%1 line feed to %2 port %3"_s.arg(udp ? u"UDP"_s : u"TCP"_s, host).arg(port);
    case Type::Http:
        return u"HTTP feed on %1 port %2 (/now, /events)"_s.arg(host).arg(port);
    case Type::Webhook:
        // The URL up to its query, where tokens often travel.
        return u"webhook %1 %2"_s.arg(QString::fromLatin1(method),
                                      url.renderText({}).section(u'?', 0, 0).section(u'{', 0, 0));
    case Type::Dls:
        return u"DAB+ DLS file "_s + QFile::decodeName(path);
    }
    return QString();
}

// One output's road from the air: its filters, then its delay, then its
// pace, then the output itself.
class OutputLane final : public QObject
{
public:
    // A delay holds texts back; in a flood the oldest give way, as they
    // would be replaced before anyone saw them anyway.
    static constexpr qsizetype kMaxDelayed = 1000;
    static constexpr qint64 kMaxDelayedBytes = 4 * 1024 * 1024;

    explicit OutputLane(Sink *sink)
        : m_sink(sink)
    {
        m_sink->setParent(this);
        m_delayTimer.setSingleShot(true);
        connect(&m_delayTimer, &QTimer::timeout, this, &OutputLane::releaseDue);
        m_detailsTimer.setSingleShot(true);
        connect(&m_detailsTimer, &QTimer::timeout, this, [this] {
            if (m_awaiting) {
                forward(*std::exchange(m_awaiting, std::nullopt));
            }
        });
        m_paceTimer.setSingleShot(true);
        connect(&m_paceTimer, &QTimer::timeout, this, [this] {
            if (m_held) {
                pace(*std::exchange(m_held, std::nullopt));
            }
        });
    }

    Sink &sink() const { return *m_sink; }

    void publish(const NowPlaying &playing)
    {
        if (!m_sink->config().takes(playing)) {
            return;
        }
        if (m_awaiting) {
            m_detailsTimer.stop();
            const NowPlaying held = *std::exchange(m_awaiting, std::nullopt);
            if (playing.pad && playing.text == held.text) {
                forward(playing);
                return;
            }
            forward(held);
        }
        if (m_sink->config().padWait.count() > 0 && !playing.pad && !playing.isIdle) {
            m_awaiting = playing;
            m_detailsTimer.start(m_sink->config().padWait);
            return;
        }
        forward(playing);
    }

private:
    // A push output sends a play once. The same play told again (the idle
    // text's second copy at start-up, a play's details from the PAD feed
    // after it went out) goes out again only when what it sends changed.
    bool repeatsTheLast(const NowPlaying &playing)
    {
        const Outputs::Config &config = m_sink->config();
        if (!config.isPush()) {
            return false;
        }
        QByteArray sent = config.renderer.render(playing) + config.url.render(playing);
        if (config.body) {
            sent += config.body->render(playing);
        }
        const bool toldAgain = m_last && playing.text == m_last->text
            && (playing.isIdle == m_last->isIdle && (playing.isIdle || (playing.pad && !m_last->pad)));
        const bool same = toldAgain && sent == m_lastSent;
        m_last = playing;
        m_lastSent = std::move(sent);
        return same;
    }

    void forward(const NowPlaying &playing)
    {
        if (repeatsTheLast(playing)) {
            return;
        }
        const Outputs::Config &config = m_sink->config();
        if (config.delay.count() == 0) {
            pace(playing);
            return;
        }
        if (config.delaySkipReplaced) {
            m_delayed.clear();
            m_delayedBytes = 0;
        }
        m_delayed.append(playing);
        m_delayedBytes += playing.footprint();
        while (m_delayed.size() > kMaxDelayed || m_delayedBytes > kMaxDelayedBytes) {
            m_delayedBytes -= m_delayed.takeFirst().footprint();
        }
        scheduleDue();
    }

    QDateTime dueOf(const NowPlaying &playing) const { return playing.onAir.addMSecs(m_sink->config().delay.count()); }

    // Each text leaves at its own time on air plus the delay, in order.
    void releaseDue()
    {
        const QDateTime now = QDateTime::currentDateTime();
        while (!m_delayed.isEmpty() && dueOf(m_delayed.constFirst()) <= now) {
            m_delayedBytes -= m_delayed.constFirst().footprint();
            pace(m_delayed.takeFirst());
        }
        scheduleDue();
    }

    void scheduleDue()
    {
        if (!m_delayed.isEmpty() && !m_delayTimer.isActive()) {
            const qint64 wait = QDateTime::currentDateTime().msecsTo(dueOf(m_delayed.constFirst()));
            m_delayTimer.start(std::chrono::milliseconds(qMax<qint64>(wait, 0)));
        }
    }

    // At most one text per MinInterval; meanwhile the newest waits.
    void pace(const NowPlaying &playing)
    {
        const qint64 interval = m_sink->config().minInterval.count();
        if (interval > 0 && m_lastPush.isValid() && m_lastPush.elapsed() < interval) {
            m_held = playing;
            if (!m_paceTimer.isActive()) {
                m_paceTimer.start(std::chrono::milliseconds(interval - m_lastPush.elapsed()));
            }
            return;
        }
        m_lastPush.start();
        m_sink->publish(playing);
    }

    Sink *m_sink;                         // a child
    std::optional<NowPlaying> m_awaiting; // a datagram's play, waiting for its details
    QTimer m_detailsTimer;
    std::optional<NowPlaying> m_last;
    QByteArray m_lastSent;
    QList<NowPlaying> m_delayed;
    qint64 m_delayedBytes = 0;
    QTimer m_delayTimer;
    std::optional<NowPlaying> m_held;
    QTimer m_paceTimer;
    QElapsedTimer m_lastPush;
};

// The texts on their way from the air to the outputs' thread. In a flood
// that the outputs cannot keep up with, the oldest give way: the air never
// waits, and memory stays bounded.
class OutputMailbox final
{
public:
    static constexpr qsizetype kMaxTexts = 1000;
    static constexpr qint64 kMaxBytes = 8 * 1024 * 1024;

    // Whether the mailbox was empty, so that the outputs' thread is to be woken.
    bool post(const NowPlaying &playing)
    {
        QMutexLocker lock(&m_mutex);
        const bool wasEmpty = m_texts.empty();
        m_texts.push_back(playing);
        m_bytes += playing.footprint();
        while (m_texts.size() > 1 && (qsizetype(m_texts.size()) > kMaxTexts || m_bytes > kMaxBytes)) {
            m_bytes -= m_texts.front().footprint();
            m_texts.pop_front();
            ++m_skipped;
        }
        return wasEmpty;
    }
    // Everything waiting, and how many gave way since the last call.
    std::pair<std::deque<NowPlaying>, qint64> take()
    {
        QMutexLocker lock(&m_mutex);
        m_bytes = 0;
        return {std::exchange(m_texts, {}), std::exchange(m_skipped, 0)};
    }

private:
    QMutex m_mutex;
    std::deque<NowPlaying> m_texts;
    qint64 m_bytes = 0;
    qint64 m_skipped = 0;
};

// Owns the sinks; made and run on the outputs' thread.
class OutputWorker final : public QObject
{
    Q_OBJECT

public:
    void start(const QList<Outputs::Config> &configs)
    {
        static const std::map<Outputs::Type, SinkMaker> kMakers
            = {{Outputs::Type::File, makeFileSink},         {Outputs::Type::Icecast, makeIcecastSink},
               {Outputs::Type::LineFeed, makeLineFeedSink}, {Outputs::Type::Http, makeHttpFeed},
               {Outputs::Type::Webhook, makeWebhookSink},   {Outputs::Type::Dls, makeDlsSink}};
        for (const Outputs::Config &config : configs) {
            Sink *sink = &m_lanes.emplace_back(std::make_unique<OutputLane>(kMakers.at(config.type)(config)))->sink();
            connect(sink, &Sink::reported, this, &OutputWorker::reported);
            connect(sink, &Sink::stateChanged, this, &OutputWorker::stateChanged);
            sink->start();
        }
    }

    // Hands every text waiting in the mailbox to every output, in order.
    void deliver(OutputMailbox &mailbox)
    {
        const auto [texts, skipped] = mailbox.take();
        if (skipped > 0) {
            noteSkipped(skipped);
        }
        for (const NowPlaying &playing : texts) {
            for (const std::unique_ptr<OutputLane> &lane : m_lanes) {
                lane->publish(playing);
            }
        }
    }

Q_SIGNALS:
    void reported(const QString &line, quaverlink::Severity severity);
    void stateChanged(const QString &name, const QString &state);

private:
    // One line a minute at most, with how many since the last.
    void noteSkipped(qint64 skipped)
    {
        m_skipped += skipped;
        if (!m_skipReport.isActive()) {
            reportSkipped();
        }
    }
    void reportSkipped()
    {
        if (m_skipped > 0) {
            const QString line = failureLine(u"outputs"_s,
                                             u"%1 texts were skipped: the outputs fell behind the air,"
                                             " and went on with the newest"_s.arg(std::exchange(m_skipped, 0)));
            writeFailureLine(line);
            Q_EMIT reported(line, Severity::Failure);
            m_skipReport.start(std::chrono::minutes(1));
        }
    }

    std::vector<std::unique_ptr<OutputLane>> m_lanes;
    qint64 m_skipped = 0;
    QTimer m_skipReport;

public:
    OutputWorker()
    {
        m_skipReport.setSingleShot(true);
        connect(&m_skipReport, &QTimer::timeout, this, &OutputWorker::reportSkipped);
    }
};

QList<Outputs::Config> Outputs::configure(const IniFile &settings, const QByteArray &folder, QStringList *problems)
{
    static const std::pair<const char16_t *, Type> kTypes[]
        = {{u"File", Type::File}, {u"Icecast", Type::Icecast}, {u"LineFeed", Type::LineFeed},
           {u"HTTP", Type::Http}, {u"Webhook", Type::Webhook}, {u"DLS", Type::Dls}};
    QList<Config> configs;
    for (const QString &section : settings.sections()) {
        if (!section.startsWith(kSectionPrefix, Qt::CaseInsensitive)) {
            continue;
        }
        const auto fail = [&](const QString &why) { *problems << u"[%1] is skipped: %2"_s.arg(section, why); };
        const QString typeName = settings.newValue(section, u"Type"_s).value_or(QString()).trimmed();
        const auto type = std::find_if(std::begin(kTypes), std::end(kTypes), [&](const auto &known) {
            return typeName.compare(QString::fromUtf16(known.first), Qt::CaseInsensitive) == 0;
        });
        QString problem;
        std::optional<Template::Filters> filters = filtersOf(settings, section, &problem);
        if (type == std::end(kTypes)) {
            fail(u"Type \"%1\" is not known (File, Icecast, LineFeed, HTTP, Webhook or DLS are)"_s.arg(typeName));
            continue;
        }
        // DAB radios show at most 128 characters of a DLS text.
        if (filters && type->second == Type::Dls && !settings.newValue(section, u"MaxLength"_s)) {
            filters->maxLength = kMaxDls;
        }
        std::optional<Template> renderer;
        if (!filters) {
            fail(problem);
        } else if (!(renderer = Template::parse(settings.newValue(section, u"Template"_s).value_or(u"{text}"_s),
                                                *filters, &problem))) {
            fail(u"Template: "_s + problem);
        } else {
            Config config;
            config.name = section.mid(kSectionPrefix.size()).trimmed();
            config.type = type->second;
            config.renderer = *renderer;
            config.groups = toList(settings.newValue(section, u"Groups"_s).value_or(QString()));
            QString why = readPacing(settings, section, config);
            if (why.isEmpty()) {
                why = readTarget(settings, section, folder, config);
            }
            if (!why.isEmpty()) {
                fail(why);
            } else {
                noteUnusedKeys(settings, section, config.type, problems);
                configs.append(config);
            }
        }
    }
    return configs;
}

Outputs::Outputs(QList<Config> configs, QObject *parent)
    : QObject(parent)
    , m_mailbox(std::make_shared<OutputMailbox>())
{
    for (const Config &config : std::as_const(configs)) {
        m_names << config.name;
    }
    m_worker = new OutputWorker;
    m_worker->moveToThread(m_thread.get());
    connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->setObjectName(u"outputs"_s);
    m_thread->start();
    // Lines and states come back to this object's thread.
    connect(m_worker, &OutputWorker::reported, this, &Outputs::reported);
    connect(m_worker, &OutputWorker::stateChanged, this, &Outputs::stateChanged);
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, configs] { worker->start(configs); }, Qt::QueuedConnection);
}

Outputs::~Outputs()
{
    stop();
}

bool Outputs::stop(std::chrono::milliseconds timeout)
{
    if (!m_thread || !m_thread->isRunning()) {
        return true;
    }
    // What was published is handed on before the outputs end.
    QMetaObject::invokeMethod(
        m_worker, [thread = m_thread.get()] { thread->quit(); }, Qt::QueuedConnection);
    if (!m_thread->wait(QDeadlineTimer(timeout))) {
        // An output stuck in a call of its own: it is left behind, and the
        // process leaves without it.
        (void)m_thread.release();
        return false;
    }
    return true;
}

void Outputs::publish(const NowPlaying &playing)
{
    if (m_mailbox->post(playing)) {
        QMetaObject::invokeMethod(
            m_worker, [worker = m_worker, mailbox = m_mailbox] { worker->deliver(*mailbox); }, Qt::QueuedConnection);
    }
}

} // namespace quaverlink

#include "outputs.moc"
