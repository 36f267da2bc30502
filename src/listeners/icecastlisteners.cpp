#include "icecastlisteners.h"

#include "common/literals.h"
#include "http/boundedreply.h"
#include "settings/inifile.h"
#include "settings/settings.h"

#include <QNetworkReply>
#include <QXmlStreamReader>

#include <memory>

namespace quaverlink {
namespace {

// What Icecast answers listclients for a mount that has no source now:
// nobody can listen there.
constexpr int kNoSourceStatus = 400;
const QString kNoSource = u"no source"_s;

ListenerSample failedSample(const QString &error)
{
    ListenerSample sample;
    sample.error = error;
    return sample;
}

} // namespace

std::optional<IcecastListeners::Settings> IcecastListeners::fromSettings(const IniFile &settings, QString *problem)
{
    const QString section = u"Listeners"_s;
    const QString server = settings.newValue(section, u"Server"_s).value_or(QString()).trimmed();
    if (server.isEmpty()) {
        return std::nullopt;
    }
    Settings read;
    read.server = QUrl(server, QUrl::StrictMode);
    if (!read.server.isValid() || read.server.host().isEmpty()
        || (read.server.scheme() != u"http" && read.server.scheme() != u"https")) {
        *problem = u"[Listeners] Server \"%1\" is not an http:// or https:// URL; listeners are not counted"_s.arg(
            read.server.toString(QUrl::RemoveUserInfo));
        return std::nullopt;
    }
    if (!read.server.userInfo().isEmpty()) {
        *problem = u"[Listeners] Server holds a user or password, which go in User and Password; listeners are"
                   " not counted"_s;
        return std::nullopt;
    }
    read.user = settings.newValue(section, u"User"_s).value_or(u"admin"_s).trimmed();
    read.password = settings.newValue(section, u"Password"_s).value_or(QString());
    for (QString mount : toList(settings.newValue(section, u"Mounts"_s).value_or(QString()))) {
        read.mounts << (mount.startsWith(u'/') ? mount : u'/' + mount);
    }
    read.mounts.removeDuplicates();
    return read;
}

IcecastListeners::IcecastListeners(Settings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
{
}

QString IcecastListeners::serverName() const
{
    return m_settings.server.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery | QUrl::StripTrailingSlash);
}

void IcecastListeners::ask()
{
    if (!m_settings.mounts.isEmpty()) {
        askMounts(m_settings.mounts);
        return;
    }
    get(u"listmounts"_s, QString(), [this](const QByteArray &body, const QString &error) {
        if (!error.isEmpty()) {
            Q_EMIT answered(failedSample(u"listmounts: "_s + error));
            return;
        }
        const std::optional<QStringList> mounts = mountNames(body);
        if (!mounts) {
            Q_EMIT answered(failedSample(u"listmounts: the answer is not Icecast's list of mounts"_s));
            return;
        }
        askMounts(*mounts);
    });
}

void IcecastListeners::askMounts(const QStringList &mounts)
{
    if (mounts.isEmpty()) {
        Q_EMIT answered({});
        return;
    }
    auto sample = std::make_shared<ListenerSample>();
    auto left = std::make_shared<qsizetype>(mounts.size());
    for (const QString &mount : mounts) {
        get(u"listclients"_s, mount, [this, sample, left, mount](const QByteArray &body, const QString &error) {
            if (error == kNoSource) {
                sample->absent << mount;
            } else if (!error.isEmpty()) {
                sample->error = sample->error.isEmpty() ? mount + u": "_s + error : sample->error;
            } else if (const std::optional<QList<quint64>> ids = listenerIds(body)) {
                sample->mounts.insert(mount, *ids);
            } else if (sample->error.isEmpty()) {
                sample->error = mount + u": the answer is not Icecast's list of listeners"_s;
            }
            if (--*left == 0) {
                if (!sample->error.isEmpty()) {
                    sample->mounts.clear();
                }
                Q_EMIT answered(*sample);
            }
        });
    }
}

void IcecastListeners::get(const QString &command, const QString &mount,
                           std::function<void(const QByteArray &body, const QString &error)> done)
{
    QUrl url = m_settings.server;
    QString base = url.path();
    while (base.endsWith(u'/')) {
        base.chop(1);
    }
    url.setPath(base + u"/admin/"_s + command);
    if (!mount.isNull()) {
        url.setQuery(QString::fromLatin1("mount=" + QUrl::toPercentEncoding(mount)), QUrl::StrictMode);
    }
    QNetworkRequest request(url);
    request.setRawHeader("Authorization", basicAuthorization(m_settings.user, m_settings.password));
    sendBounded(m_network, std::move(request), "GET", {}, this, kMaxAnswer, kDeadline, true,
                [done = std::move(done)](const BoundedAnswer &answer) {
                    if (!answer.error.isEmpty()) {
                        done({}, answer.error);
                    } else if (answer.status == 200) {
                        done(answer.body, {});
                    } else if (answer.status == kNoSourceStatus && answer.body.contains("Source")) {
                        done({}, kNoSource);
                    } else if (answer.status == 401) {
                        done({}, answer.statusLine() + u": [Listeners] User or Password is wrong"_s);
                    } else {
                        done({}, answer.statusLine());
                    }
                });
}

namespace {

// Walks an answer of Icecast's admin interface, handing visit each element
// inside <icestats>; false when it is no such answer, or visit refused one.
template<typename Visit>
bool readIcestats(const QByteArray &xml, Visit &&visit)
{
    QXmlStreamReader reader(xml);
    bool isIcecast = false;
    while (!reader.atEnd()) {
        if (reader.readNext() != QXmlStreamReader::StartElement) {
            continue;
        }
        if (reader.name() == u"icestats") {
            isIcecast = true;
        } else if (!visit(reader)) {
            return false;
        }
    }
    return isIcecast && !reader.hasError();
}

} // namespace

std::optional<QList<quint64>> listenerIds(const QByteArray &xml)
{
    QList<quint64> ids;
    const bool read = readIcestats(xml, [&](QXmlStreamReader &reader) {
        if (reader.name() != u"listener") {
            return true;
        }
        // Icecast 2.4 tells the ID as <ID>; other builds as an id attribute.
        bool ok = false;
        quint64 id = reader.attributes().value(u"id"_s).toULongLong(&ok);
        while (reader.readNextStartElement()) {
            if (reader.name() != u"ID") {
                reader.skipCurrentElement();
                continue;
            }
            bool childOk = false;
            const quint64 child = reader.readElementText().toULongLong(&childOk);
            if (childOk) {
                id = child;
                ok = true;
            }
        }
        ids << id;
        return ok;
    });
    return read ? std::optional(ids) : std::nullopt;
}

std::optional<QStringList> mountNames(const QByteArray &xml)
{
    QStringList mounts;
    const bool read = readIcestats(xml, [&](QXmlStreamReader &reader) {
        if (reader.name() == u"source" && reader.attributes().hasAttribute(u"mount"_s)) {
            mounts << reader.attributes().value(u"mount"_s).toString();
        }
        return true;
    });
    return read ? std::optional(mounts) : std::nullopt;
}

} // namespace quaverlink
