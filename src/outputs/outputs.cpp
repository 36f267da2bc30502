#include "outputs.h"

#include "settings/settings.h"
#include "sinks.h"

#include <QFile>

#include <map>
#include <memory>
#include <vector>

namespace quaverlink {
namespace {

const QString kSectionPrefix = u"Output "_qs;

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
        *problem = u"MaxLength must be a number of characters, 0 for no limit"_qs;
    } else if (oneLine != u"Y" && oneLine != u"N") {
        *problem = u"OneLine must be Y or N"_qs;
    } else if (charset != u"UTF-8" && charset != u"LATIN-1" && charset != u"ASCII") {
        *problem = u"Charset must be UTF-8, Latin-1 or ASCII"_qs;
    } else if (lineEnd != u"NONE" && lineEnd != u"LF" && lineEnd != u"CRLF") {
        *problem = u"LineEnd must be none, LF or CRLF"_qs;
    } else {
        return filters;
    }
    return std::nullopt;
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
    case Outputs::Type::File: {
        const QString file = value(u"File");
        config.path = file.startsWith(u'/') ? QFile::encodeName(file) : folder + '/' + QFile::encodeName(file);
        return file.isEmpty() ? u"it names no File"_qs : QString();
    }
    case Outputs::Type::Icecast:
        config.server = QUrl(value(u"Server"), QUrl::StrictMode);
        config.mount = value(u"Mount");
        config.user = settings.newValue(section, u"User"_qs).value_or(u"source"_qs).trimmed();
        config.password = value(u"Password");
        if (!config.server.isValid() || !config.server.scheme().startsWith(u"http")) {
            return u"Server must be a URL such as http://127.0.0.1:8000"_qs;
        }
        return config.mount.startsWith(u'/') ? QString() : u"Mount must be a mount point such as /live"_qs;
    case Outputs::Type::LineFeed: {
        const QString protocol = value(u"Protocol").toUpper();
        config.udp = protocol == u"UDP";
        config.host = value(u"Host");
        config.port = port(value(u"Port"));
        if (protocol != u"TCP" && protocol != u"UDP") {
            return u"Protocol must be TCP or UDP"_qs;
        }
        return config.host.isEmpty() || !isPort ? u"it needs a Host and a Port from 1 to 65535"_qs : QString();
    }
    case Outputs::Type::Http:
        config.host = settings.newValue(section, u"Address"_qs).value_or(u"127.0.0.1"_qs).trimmed();
        config.port = port(value(u"Port"));
        if (QHostAddress(config.host).isNull()) {
            return u"Address must be an IP address to listen on"_qs;
        }
        return isPort ? QString() : u"it needs a Port from 1 to 65535"_qs;
    }
    return QString();
}

// The keys each type reads; any other key in its section is a mistake worth a
// word (a typo, or a filter that type does not apply).
void noteUnusedKeys(const IniFile &settings, const QString &section, Outputs::Type type, QStringList *problems)
{
    static const QStringList kCommon
        = {u"Type"_qs, u"Template"_qs, u"OneLine"_qs, u"MaxLength"_qs, u"Charset"_qs, u"Groups"_qs};
    static const std::map<Outputs::Type, QStringList> kOwn = {
        {Outputs::Type::File, {u"File"_qs, u"LineEnd"_qs}},
        {Outputs::Type::Icecast, {u"Server"_qs, u"Mount"_qs, u"User"_qs, u"Password"_qs, u"LineEnd"_qs}},
        {Outputs::Type::LineFeed, {u"Protocol"_qs, u"Host"_qs, u"Port"_qs, u"LineEnd"_qs}},
        {Outputs::Type::Http, {u"Address"_qs, u"Port"_qs}},
    };
    for (const QString &key : settings.keys(section)) {
        if (!kCommon.contains(key, Qt::CaseInsensitive) && !kOwn.at(type).contains(key, Qt::CaseInsensitive)) {
            *problems << u"[%1] %2 is not used by this type of output"_qs.arg(section, key);
        }
    }
}

} // namespace

bool Outputs::Config::takes(const NowPlaying &playing) const
{
    // A text from the UDP endpoint has no group: an output that asks for
    // groups gets it once the PAD feed has told which group it is in.
    return groups.isEmpty() || playing.isIdle || groups.contains(playing.group(), Qt::CaseInsensitive);
}

QString Outputs::Config::describe() const
{
    switch (type) {
    case Type::File:
        return u"file "_qs + QFile::decodeName(path);
    case Type::Icecast:
        return u"Icecast %1 mount %2"_qs.arg(server.toString(QUrl::RemoveUserInfo), mount);
    case Type::LineFeed:
        return u"%1 line feed to %2 port %3"_qs.arg(udp ? u"UDP"_qs : u"TCP"_qs, host).arg(port);
    case Type::Http:
        return u"HTTP feed on %1 port %2 (/now, /events)"_qs.arg(host).arg(port);
    }
    return QString();
}

// Owns the sinks; made and run on the outputs' thread.
class OutputWorker final : public QObject
{
    Q_OBJECT

public:
    void start(const QList<Outputs::Config> &configs)
    {
        static const std::map<Outputs::Type, SinkMaker> kMakers = {{Outputs::Type::File, makeFileSink},
                                                                   {Outputs::Type::Icecast, makeIcecastSink},
                                                                   {Outputs::Type::LineFeed, makeLineFeedSink},
                                                                   {Outputs::Type::Http, makeHttpFeed}};
        for (const Outputs::Config &config : configs) {
            Sink *sink = m_sinks.emplace_back(kMakers.at(config.type)(config)).get();
            connect(sink, &Sink::reported, this, &OutputWorker::reported);
            connect(sink, &Sink::stateChanged, this, &OutputWorker::stateChanged);
            sink->start();
        }
    }

    void publish(const NowPlaying &playing)
    {
        for (const std::unique_ptr<Sink> &sink : m_sinks) {
            if (sink->config().takes(playing)) {
                sink->publish(playing);
            }
        }
    }

Q_SIGNALS:
    void reported(const QString &line, quaverlink::Severity severity);
    void stateChanged(const QString &name, const QString &state);

private:
    std::vector<std::unique_ptr<Sink>> m_sinks;
};

QList<Outputs::Config> Outputs::configure(const IniFile &settings, const QByteArray &folder, QStringList *problems)
{
    static const std::pair<const char16_t *, Type> kTypes[]
        = {{u"File", Type::File}, {u"Icecast", Type::Icecast}, {u"LineFeed", Type::LineFeed}, {u"HTTP", Type::Http}};
    QList<Config> configs;
    for (const QString &section : settings.sections()) {
        if (!section.startsWith(kSectionPrefix, Qt::CaseInsensitive)) {
            continue;
        }
        const auto fail = [&](const QString &why) { *problems << u"[%1] is skipped: %2"_qs.arg(section, why); };
        const QString typeName = settings.newValue(section, u"Type"_qs).value_or(QString()).trimmed();
        const auto type = std::find_if(std::begin(kTypes), std::end(kTypes), [&](const auto &known) {
            return typeName.compare(QString::fromUtf16(known.first), Qt::CaseInsensitive) == 0;
        });
        QString problem;
        const std::optional<Template::Filters> filters = filtersOf(settings, section, &problem);
        if (type == std::end(kTypes)) {
            fail(u"Type \"%1\" is not known (File, Icecast, LineFeed or HTTP are)"_qs.arg(typeName));
            continue;
        }
        std::optional<Template> renderer;
        if (!filters) {
            fail(problem);
        } else if (!(renderer = Template::parse(settings.newValue(section, u"Template"_qs).value_or(u"{text}"_qs),
                                                *filters, &problem))) {
            fail(u"Template: "_qs + problem);
        } else {
            Config config;
            config.name = section.mid(kSectionPrefix.size()).trimmed();
            config.type = type->second;
            config.renderer = *renderer;
            config.groups = toList(settings.newValue(section, u"Groups"_qs).value_or(QString()));
            if (const QString why = readTarget(settings, section, folder, config); !why.isEmpty()) {
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
{
    for (const Config &config : std::as_const(configs)) {
        m_names << config.name;
    }
    m_worker = new OutputWorker;
    m_worker->moveToThread(m_thread.get());
    connect(m_thread.get(), &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread->setObjectName(u"outputs"_qs);
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
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, playing] { worker->publish(playing); }, Qt::QueuedConnection);
}

} // namespace quaverlink

#include "outputs.moc"
