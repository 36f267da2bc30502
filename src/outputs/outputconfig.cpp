#include "outputconfig.h"

#include "common/literals.h"
#include "settings/inifile.h"
#include "settings/settings.h"

#include <QFile>
#include <QHostAddress>

#include <map>

namespace quaverlink {
namespace {

const QString kSectionPrefix = u"Output "_s;
enum class Kind { File, Icecast, LineFeed, Http, Webhook, Dls };
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
QString readPacing(const IniFile &settings, const QString &section, bool push, Pacing &pacing)
{
    const auto value = [&](const char16_t *key) {
        return settings.newValue(section, QString::fromUtf16(key)).value_or(QString()).trimmed();
    };
    QString skip = value(u"Skip");
    for (const auto &[prefix, on] :
         {std::pair {u"artist:", Pacing::SkipOn::Artist}, std::pair {u"title:", Pacing::SkipOn::Title}}) {
        if (skip.startsWith(QString::fromUtf16(prefix), Qt::CaseInsensitive)) {
            skip = skip.mid(QStringView(prefix).size());
            pacing.skipOn = on;
        }
    }
    pacing.skip = QRegularExpression(skip, QRegularExpression::CaseInsensitiveOption);
    if (!pacing.skip.isValid()) {
        return u"Skip is not a regular expression: "_s + pacing.skip.errorString();
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
    pacing.minLength = int(minLength.value_or(0));
    pacing.delay = *delay;
    pacing.minInterval = *interval;
    pacing.padWait = padFeed && push ? *padWait : std::chrono::milliseconds(0);
    pacing.delaySkipReplaced = skipReplaced == u"Y";
    return QString();
}

// A webhook: Url, Method, Body, ContentType and Header lines.
QString readWebhook(const IniFile &settings, const QString &section, WebhookTarget &config)
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

// The keys of each kind: what it needs, read into its target.
QString readTarget(const IniFile &settings, const QString &section, const QByteArray &folder, Kind kind,
                   OutputTarget &target)
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
    switch (kind) {
    case Kind::Dls:
    case Kind::File: {
        const QString file = value(u"File");
        const QByteArray path
            = file.startsWith(u'/') ? QFile::encodeName(file) : folder + '/' + QFile::encodeName(file);
        target = kind == Kind::File ? OutputTarget(FileTarget {path}) : OutputTarget(DlsTarget {path});
        return file.isEmpty() ? u"it names no File"_s : QString();
    }
    case Kind::Icecast: {
        IcecastTarget &icecast = target.emplace<IcecastTarget>();
        icecast.server = QUrl(value(u"Server"), QUrl::StrictMode);
        icecast.mount = value(u"Mount");
        icecast.user = settings.newValue(section, u"User"_s).value_or(u"source"_s).trimmed();
        icecast.password = value(u"Password");
        if (!icecast.server.isValid() || !icecast.server.scheme().startsWith(u"http")) {
            return u"Server must be a URL such as http://127.0.0.1:8000"_s;
        }
        return icecast.mount.startsWith(u'/') ? QString() : u"Mount must be a mount point such as /live"_s;
    }
    case Kind::LineFeed: {
        LineFeedTarget &feed = target.emplace<LineFeedTarget>();
        const QString protocol = value(u"Protocol").toUpper();
        feed.udp = protocol == u"UDP";
        feed.host = value(u"Host");
        feed.port = port(value(u"Port"));
        if (protocol != u"TCP" && protocol != u"UDP") {
            return u"Protocol must be TCP or UDP"_s;
        }
        return feed.host.isEmpty() || !isPort ? u"it needs a Host and a Port from 1 to 65535"_s : QString();
    }
    case Kind::Http: {
        HttpFeedTarget &feed = target.emplace<HttpFeedTarget>();
        feed.address = settings.newValue(section, u"Address"_s).value_or(u"127.0.0.1"_s).trimmed();
        feed.port = port(value(u"Port"));
        if (QHostAddress(feed.address).isNull()) {
            return u"Address must be an IP address to listen on"_s;
        }
        return isPort ? QString() : u"it needs a Port from 1 to 65535"_s;
    }
    case Kind::Webhook:
        return readWebhook(settings, section, target.emplace<WebhookTarget>());
    }
    return QString();
}

// The keys each type reads; any other key in its section is a mistake worth a
// word (a typo, or a filter that type does not apply).
void noteUnusedKeys(const IniFile &settings, const QString &section, Kind kind, QStringList *problems)
{
    static const QStringList kCommon
        = {u"Type"_s, u"Template"_s,  u"OneLine"_s, u"MaxLength"_s,         u"Charset"_s,     u"Groups"_s,
           u"Skip"_s, u"MinLength"_s, u"Delay"_s,   u"DelaySkipReplaced"_s, u"MinInterval"_s, u"PadWait"_s};
    static const std::map<Kind, QStringList> kOwn = {
        {Kind::File, {u"File"_s, u"LineEnd"_s}},
        {Kind::Icecast, {u"Server"_s, u"Mount"_s, u"User"_s, u"Password"_s, u"LineEnd"_s}},
        {Kind::LineFeed, {u"Protocol"_s, u"Host"_s, u"Port"_s, u"LineEnd"_s}},
        {Kind::Http, {u"Address"_s, u"Port"_s}},
        {Kind::Webhook, {u"Url"_s, u"Method"_s, u"Body"_s, u"ContentType"_s}},
        {Kind::Dls, {u"File"_s}},
    };
    for (const QString &key : settings.keys(section)) {
        const bool header = kind == Kind::Webhook && key.startsWith(u"Header", Qt::CaseInsensitive);
        // A webhook's Url and Body are its templates.
        const bool unusedTemplate = kind == Kind::Webhook && key.compare(u"Template"_s, Qt::CaseInsensitive) == 0;
        if (unusedTemplate
            || (!header && !kCommon.contains(key, Qt::CaseInsensitive)
                && !kOwn.at(kind).contains(key, Qt::CaseInsensitive))) {
            *problems << u"[%1] %2 is not used by this type of output"_s.arg(section, key);
        }
    }
}

} // namespace

bool Pacing::takes(const NowPlaying &playing) const
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

QString OutputConfig::describe() const
{
    if (const auto *file = as<FileTarget>()) {
        return u"file "_s + QFile::decodeName(file->path);
    }
    if (const auto *icecast = as<IcecastTarget>()) {
        return u"Icecast %1 mount %2"_s.arg(icecast->server.toString(QUrl::RemoveUserInfo), icecast->mount);
    }
    if (const auto *feed = as<LineFeedTarget>()) {
        return u"%1 line feed to %2 port %3"_s.arg(feed->udp ? u"UDP"_s : u"TCP"_s, feed->host).arg(feed->port);
    }
    if (const auto *feed = as<HttpFeedTarget>()) {
        return u"HTTP feed on %1 port %2 (/now, /events)"_s.arg(feed->address).arg(feed->port);
    }
    if (const auto *webhook = as<WebhookTarget>()) {
        // The URL up to its query, where tokens often travel.
        return u"webhook %1 %2"_s.arg(QString::fromLatin1(webhook->method),
                                      webhook->url.renderText({}).section(u'?', 0, 0).section(u'{', 0, 0));
    }
    return u"DAB+ DLS file "_s + QFile::decodeName(std::get<DlsTarget>(target).path);
}

QList<OutputConfig> readOutputConfigs(const IniFile &settings, const QByteArray &folder, QStringList *problems)
{
    static const std::pair<const char16_t *, Kind> kTypes[]
        = {{u"File", Kind::File}, {u"Icecast", Kind::Icecast}, {u"LineFeed", Kind::LineFeed},
           {u"HTTP", Kind::Http}, {u"Webhook", Kind::Webhook}, {u"DLS", Kind::Dls}};
    QList<OutputConfig> configs;
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
        if (filters && type->second == Kind::Dls && !settings.newValue(section, u"MaxLength"_s)) {
            filters->maxLength = kMaxDls;
        }
        std::optional<Template> renderer;
        if (!filters) {
            fail(problem);
        } else if (!(renderer = Template::parse(settings.newValue(section, u"Template"_s).value_or(u"{text}"_s),
                                                *filters, &problem))) {
            fail(u"Template: "_s + problem);
        } else {
            OutputConfig config;
            config.name = section.mid(kSectionPrefix.size()).trimmed();
            config.renderer = *renderer;
            config.pacing.groups = toList(settings.newValue(section, u"Groups"_s).value_or(QString()));
            const Kind kind = type->second;
            const bool push = kind == Kind::Icecast || kind == Kind::LineFeed || kind == Kind::Webhook;
            QString why = readPacing(settings, section, push, config.pacing);
            if (why.isEmpty()) {
                why = readTarget(settings, section, folder, kind, config.target);
            }
            if (!why.isEmpty()) {
                fail(why);
            } else {
                noteUnusedKeys(settings, section, kind, problems);
                configs.append(config);
            }
        }
    }
    return configs;
}

} // namespace quaverlink
