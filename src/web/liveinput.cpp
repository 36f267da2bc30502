#include "liveinput.h"

#include "settings/inifile.h"
#include "stationview.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace quaverlink {
namespace {

// Whether two secrets are equal, in a time that tells nothing of where they
// differ: their digests are compared byte by byte to the end.
bool sameSecret(const QByteArray &given, const QByteArray &expected)
{
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

HttpServer::Reply json(QByteArray status, const QJsonObject &body, QByteArray headers = {})
{
    return {std::move(status), "application/json; charset=utf-8",
            QJsonDocument(body).toJson(QJsonDocument::Compact) + '\n', false, std::move(headers)};
}

HttpServer::Reply badRequest(const QString &reason)
{
    return json("400 Bad Request", {{u"error"_s, reason}});
}

} // namespace

LiveInput::LiveInput(StationView &station, QByteArray token, std::chrono::seconds defaultExpiry,
                     std::function<void(const QString &cause)> notice)
    : m_station(station)
    , m_token(std::move(token))
    , m_defaultExpiry(defaultExpiry)
    , m_notice(std::move(notice))
{
}

bool LiveInput::isLimited(const QHostAddress &peer)
{
    auto it = m_failures.find(peer);
    if (it == m_failures.end()) {
        return false;
    }
    it->removeIf([](const QDeadlineTimer &end) { return end.hasExpired(); });
    if (it->isEmpty()) {
        m_failures.erase(it);
        return false;
    }
    return it->size() >= kMaxFailures;
}

HttpServer::Reply LiveInput::refuse(const QHostAddress &peer)
{
    ++m_refusedTotal;
    // The table of addresses is bounded too: a flood from many addresses
    // forgets the oldest rather than growing.
    if (m_failures.size() >= 4096 && !m_failures.contains(peer)) {
        m_failures.erase(m_failures.begin());
    }
    QList<QDeadlineTimer> &failures = m_failures[peer];
    // One line for an address's first wrong token in a while, not one each.
    if (failures.isEmpty()) {
        m_notice(u"a wrong or missing token from "_s + peer.toString());
    }
    failures << QDeadlineTimer(kFailureWindow);
    return json("401 Unauthorized", {{u"error"_s, u"a valid token is needed: Authorization: Bearer TOKEN"_s}},
                "WWW-Authenticate: Bearer realm=\"quaverlink\"\r\n");
}

HttpServer::Reply LiveInput::answer(const HttpRequest &request)
{
    if (request.method != "POST" && request.method != "DELETE") {
        return {"405 Method Not Allowed", "text/plain", "POST or DELETE\n", false, "Allow: POST, DELETE\r\n"};
    }
    if (m_token.isEmpty()) {
        return json("403 Forbidden", {{u"error"_s, u"no token is set ([Web] Token or TokenFile)"_s}});
    }
    if (isLimited(request.peer)) {
        ++m_refusedTotal;
        return json("429 Too Many Requests", {{u"error"_s, u"too many wrong tokens; try again later"_s}},
                    "Retry-After: " + QByteArray::number(qint64(kFailureWindow.count())) + "\r\n");
    }
    const QByteArray scheme = "Bearer ";
    const QByteArray &authorization = request.authorization;
    if (!authorization.startsWith(scheme) || !sameSecret(authorization.mid(scheme.size()).trimmed(), m_token)) {
        return refuse(request.peer);
    }
    if (request.method == "DELETE") {
        const bool wasLive = m_station.status().live.has_value();
        m_station.clearLive(request.peer.toString());
        return json("200 OK", {{u"cleared"_s, wasLive}});
    }
    return set(request);
}

HttpServer::Reply LiveInput::set(const HttpRequest &request)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return badRequest(u"the body is not a JSON object"_s);
    }
    const QJsonObject body = document.object();
    static const QStringList kKnown = {u"text"_s, u"artist"_s, u"title"_s, u"album"_s, u"expires"_s, u"log"_s};
    for (auto it = body.begin(); it != body.end(); ++it) {
        if (!kKnown.contains(it.key())) {
            return badRequest(u"unknown field \"%1\"; known: %2"_s.arg(it.key(), kKnown.join(u", "_s)));
        }
        const bool isText = it.key() != u"expires" && it.key() != u"log";
        if ((isText && !it->isString()) || (it.key() == u"expires" && !it->isDouble())
            || (it.key() == u"log" && !it->isBool())) {
            return badRequest(u"\"%1\" must be %2"_s.arg(it.key(),
                                                         isText                       ? u"a string"_s
                                                             : it.key() == u"expires" ? u"a number of seconds"_s
                                                                                      : u"true or false"_s));
        }
    }
    LiveText live;
    live.artist = body[u"artist"_s].toString().trimmed();
    live.title = body[u"title"_s].toString().trimmed();
    live.album = body[u"album"_s].toString().trimmed();
    live.text = body[u"text"_s].toString().trimmed();
    if (live.text.isEmpty() && !live.artist.isEmpty() && !live.title.isEmpty()) {
        live.text = live.artist + u" - "_s + live.title;
    }
    if (live.text.isEmpty()) {
        return badRequest(u"give \"text\", or \"artist\" and \"title\""_s);
    }
    if (live.text.size() > kMaxText || live.artist.size() > kMaxText || live.title.size() > kMaxText
        || live.album.size() > kMaxText) {
        return badRequest(u"a text may hold at most %1 characters"_s.arg(kMaxText));
    }
    const double expires = body[u"expires"_s].toDouble(double(m_defaultExpiry.count()));
    if (expires < 0 || expires > 7 * 86400) {
        return badRequest(u"\"expires\" is seconds from 0 (until cleared) to 604800"_s);
    }
    if (expires > 0) {
        live.until = QDateTime::currentDateTime().addMSecs(qint64(expires * 1000));
    }
    live.isPlay = body[u"log"_s].toBool(!live.artist.isEmpty() && !live.title.isEmpty());
    live.who = request.peer.toString();
    m_station.setLive(live);
    return json("200 OK",
                {{u"text"_s, live.text},
                 {u"until"_s,
                  live.until.isValid()
                      ? QJsonValue(live.until.toOffsetFromUtc(live.until.offsetFromUtc()).toString(Qt::ISODate))
                      : QJsonValue::Null},
                 {u"log"_s, live.isPlay}});
}

std::optional<QByteArray> readToken(const IniFile &settings, const QByteArray &folder, QString *problem)
{
    const std::optional<QString> file = settings.newValue(u"Web"_s, u"TokenFile"_s);
    if (!file || file->trimmed().isEmpty()) {
        return settings.newValue(u"Web"_s, u"Token"_s).value_or(QString()).trimmed().toUtf8();
    }
    const QString path = QFileInfo(file->trimmed()).isAbsolute() ? file->trimmed()
                                                                 : QFile::decodeName(folder) + u'/' + file->trimmed();
    QFile tokenFile(path);
    if (!tokenFile.open(QIODevice::ReadOnly)) {
        *problem = u"[Web] TokenFile %1: %2"_s.arg(path, tokenFile.errorString());
        return std::nullopt;
    }
    const QByteArray token = tokenFile.read(4096).trimmed();
    if (token.isEmpty()) {
        *problem = u"[Web] TokenFile %1 is empty"_s.arg(path);
        return std::nullopt;
    }
    return token;
}

} // namespace quaverlink
