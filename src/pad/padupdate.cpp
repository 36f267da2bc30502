#include "padupdate.h"

#include "common/literals.h"

#include <QJsonDocument>
#include <QJsonValue>

namespace quaverlink {
namespace {

QString textOf(const QJsonObject &object, QStringView key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : QString();
}

// Rivendell sends numbers; a number written as a text is taken too.
qint64 numberOf(const QJsonObject &object, QStringView key, qint64 fallback)
{
    const QJsonValue value = object.value(key);
    if (value.isDouble()) {
        return value.toInteger(fallback);
    }
    bool ok = false;
    const qint64 number = value.toString().toLongLong(&ok);
    return ok ? number : fallback;
}

std::optional<PadItem> itemOf(const QJsonObject &update, QStringView key)
{
    const QJsonValue value = update.value(key);
    return value.isObject() ? std::optional(PadItem::fromJson(value.toObject())) : std::nullopt;
}

} // namespace

PadItem PadItem::fromJson(const QJsonObject &object)
{
    PadItem item;
    item.startDateTime = textOf(object, u"startDateTime");
    item.cart = numberOf(object, u"cartNumber", 0);
    item.cut = numberOf(object, u"cutNumber", 0);
    item.lengthMs = numberOf(object, u"length", -1);
    item.year = numberOf(object, u"year", 0);
    item.group = textOf(object, u"groupName");
    item.title = textOf(object, u"title");
    item.artist = textOf(object, u"artist");
    item.album = textOf(object, u"album");
    item.label = textOf(object, u"label");
    item.composer = textOf(object, u"composer");
    item.publisher = textOf(object, u"publisher");
    item.conductor = textOf(object, u"conductor");
    item.client = textOf(object, u"client");
    item.agency = textOf(object, u"agency");
    item.userDefined = textOf(object, u"userDefined");
    item.songId = textOf(object, u"songId");
    item.outcue = textOf(object, u"outcue");
    item.description = textOf(object, u"description");
    item.isrc = textOf(object, u"isrc");
    item.isci = textOf(object, u"isci");
    return item;
}

QString PadItem::text() const
{
    return artist.isEmpty() ? title : artist + u" - "_s + title;
}

const QStringList &PadItem::fieldNames()
{
    static const QStringList names
        = {u"artist"_s, u"title"_s,  u"album"_s,       u"label"_s,  u"composer"_s, u"publisher"_s,  u"conductor"_s,
           u"year"_s,   u"isrc"_s,   u"isci"_s,        u"length"_s, u"cart"_s,     u"cut"_s,        u"group"_s,
           u"client"_s, u"agency"_s, u"userdefined"_s, u"songid"_s, u"outcue"_s,   u"description"_s};
    return names;
}

QString PadItem::field(qsizetype index) const
{
    const auto positive = [](qint64 n) { return n > 0 ? QString::number(n) : QString(); };
    switch (index) {
    case 0:
        return artist;
    case 1:
        return title;
    case 2:
        return album;
    case 3:
        return label;
    case 4:
        return composer;
    case 5:
        return publisher;
    case 6:
        return conductor;
    case 7:
        return positive(year);
    case 8:
        return isrc;
    case 9:
        return isci;
    case 10:
        return formatLength(lengthMs);
    case 11:
        return positive(cart);
    case 12:
        return positive(cut);
    case 13:
        return group;
    case 14:
        return client;
    case 15:
        return agency;
    case 16:
        return userDefined;
    case 17:
        return songId;
    case 18:
        return outcue;
    case 19:
        return description;
    }
    return QString();
}

QJsonObject PadItem::toJson() const
{
    QJsonObject object;
    const QStringList &names = fieldNames();
    for (qsizetype i = 0; i < names.size(); ++i) {
        object.insert(names.at(i), field(i));
    }
    object.insert(u"lengthMs"_s, lengthMs);
    object.insert(u"startDateTime"_s, startDateTime);
    return object;
}

std::optional<PadUpdate> parsePadUpdate(const QByteArray &document, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(document, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        *error = u"not JSON: %1 at byte %2"_s.arg(parseError.errorString()).arg(parseError.offset);
        return std::nullopt;
    }
    const QJsonValue body = json.object().value(u"padUpdate");
    if (!body.isObject()) {
        *error = u"no padUpdate object in the document"_s;
        return std::nullopt;
    }
    const QJsonObject update = body.toObject();
    PadUpdate pad;
    pad.dateTime = QDateTime::fromString(textOf(update, u"dateTime"), Qt::ISODateWithMs);
    pad.machine = numberOf(update, u"machine", 0);
    pad.onAir = update.value(u"onairFlag").toBool();
    pad.hostName = textOf(update, u"hostName");
    const QJsonObject service = update.value(u"service").toObject();
    pad.serviceName = textOf(service, u"name");
    if (pad.serviceName.isEmpty()) {
        pad.serviceName = textOf(service, u"description");
    }
    pad.logName = textOf(update.value(u"log").toObject(), u"name");
    pad.now = itemOf(update, u"now");
    pad.next = itemOf(update, u"next");
    return pad;
}

std::optional<QByteArray> PadFramer::takeDocument()
{
    for (; m_scanned < m_buffer.size(); ++m_scanned) {
        const char c = m_buffer.at(m_scanned);
        if (m_depth == 0) {
            // Blank as QByteArray::trimmed() has it, so a stray line is never empty.
            if (c == ' ' || (c >= '\t' && c <= '\r')) {
                continue;
            }
            if (c != '{') {
                return takeStrayLine();
            }
            // The blanks before a document go; the buffer then begins with it.
            m_buffer.remove(0, m_scanned);
            m_scanned = 0;
            m_depth = 1;
        } else if (m_inString) {
            if (m_escaped) {
                m_escaped = false;
            } else if (c == '\\') {
                m_escaped = true;
            } else if (c == '"') {
                m_inString = false;
            }
        } else if (c == '"') {
            m_inString = true;
        } else if (c == '{') {
            ++m_depth;
        } else if (c == '}' && --m_depth == 0) {
            return take(m_scanned + 1);
        }
    }
    if (m_depth == 0) {
        m_buffer.clear();
        m_scanned = 0;
    }
    return std::nullopt;
}

std::optional<QByteArray> PadFramer::takeStrayLine()
{
    const qsizetype end = m_buffer.indexOf('\n', m_scanned);
    if (end < 0) {
        return std::nullopt;
    }
    m_buffer.remove(0, m_scanned);
    return take(end + 1 - m_scanned).trimmed();
}

QByteArray PadFramer::take(qsizetype size)
{
    QByteArray document = m_buffer.first(size);
    m_buffer.remove(0, size);
    m_scanned = 0;
    return document;
}

QDateTime PadItem::onAirTime(const QDateTime &arrival) const
{
    const QDateTime start = QDateTime::fromString(startDateTime, Qt::ISODateWithMs);
    const qint64 longest = qMax<qint64>(lengthMs, 0) + 60'000;
    if (!start.isValid() || start > arrival || start.msecsTo(arrival) > longest) {
        return arrival;
    }
    return start.toLocalTime();
}

} // namespace quaverlink
