#include "settings.h"

#include "common/failure.h"
#include "common/literals.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <climits>
#include <limits>
#include <unistd.h>

namespace quaverlink {

AirSettings AirSettings::read(const StationSettings &settings)
{
    AirSettings air;
    air.countTimeout = toSeconds(settings.countTimeout, u"CountTimeout"_s);
    if (settings.allowedSenders) {
        air.allowedSenders = toNetworks(*settings.allowedSenders, u"AllowedSenders"_s);
    }
    air.listenPort = toPort(settings.listenPort, u"RDlistenport"_s);
    if (settings.senderPort) {
        air.senderPort = toPort(*settings.senderPort, u"SenderPort"_s);
    }
    air.livePlayoutFirst = settings.file.newValue(u"Live"_s, u"Priority"_s)
                               .value_or(QString())
                               .trimmed()
                               .compare(u"playout"_s, Qt::CaseInsensitive)
        == 0;
    return air;
}

QByteArray currentFolder()
{
    QByteArray path(PATH_MAX, Qt::Uninitialized);
    return ::getcwd(path.data(), size_t(path.size())) ? QByteArray(path.constData()) : QByteArray(".");
}

StationSettings StationSettings::read(const QByteArray &folder)
{
    StationSettings settings;
    settings.file = IniFile::read(folder + "/Quaverlink.ini", QFile::decodeName(folder));
    const IniFile &file = settings.file;
    const std::pair<QString StationSettings::*, const char16_t *> keys[] = {
        {&StationSettings::listenPort, u"Metadata/RDlistenport"},
        {&StationSettings::idleText, u"Metadata/IdleString"},
        {&StationSettings::countTimeout, u"Metadata/CountTimeout"},
        {&StationSettings::dbEnabled, u"Database/DBenabled"},
        {&StationSettings::dbServer, u"Database/DBserver"},
        {&StationSettings::dbUser, u"Database/DBuser"},
        {&StationSettings::dbPassword, u"Database/DBpassword"},
        {&StationSettings::dbName, u"Database/DBname"},
    };
    for (const auto &[member, path] : keys) {
        const QStringList parts = QString::fromUtf16(path).split(u'/');
        settings.*member = file.value(parts[0], parts[1]);
        // A missing key's stand-in, the folder's path, is cut too, but it
        // is the key's absence that is worth a word.
        if (!file.newValue(parts[0], parts[1])) {
            settings.missingKeys << parts[0] + u"] "_s + parts[1];
        } else if (file.isCut(parts[0], parts[1])) {
            settings.cutKeys << parts[1];
        }
    }
    settings.senderPort = file.newValue(u"Metadata"_s, u"SenderPort"_s);
    settings.allowedSenders = file.newValue(u"Metadata"_s, u"AllowedSenders"_s);
    settings.dbServers = file.newValue(u"Database"_s, u"Servers"_s);
    settings.station = trimBlanks(file.newValue(u"Database"_s, u"Station"_s).value_or(QString()));
    if (settings.station.isEmpty()) {
        settings.station = QFileInfo(QFile::decodeName(folder)).fileName();
    }
    return settings;
}

std::optional<std::int64_t> convertToInteger(QStringView text, std::int64_t minimum, std::int64_t maximum)
{
    const auto isDigit = [](QChar c) { return c >= u'0' && c <= u'9'; };
    text = trimBlanks(text);
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.sliced(1);
    }

    // Magnitudes beyond this are out of every range we are asked for; keep
    // scanning so the syntax is still checked, but stop accumulating.
    constexpr std::int64_t kCeiling = std::int64_t(1) << 40;
    std::int64_t magnitude = 0;
    qsizetype i = 0;
    qsizetype integerDigits = 0;
    for (; i < text.size() && isDigit(text[i]); ++i, ++integerDigits) {
        if (magnitude < kCeiling) {
            magnitude = magnitude * 10 + (text[i].unicode() - u'0');
        }
    }

    qsizetype fractionDigits = 0;
    int firstFractionDigit = 0;
    bool fractionBeyondHalf = false;
    if (i < text.size() && text[i] == u'.') {
        for (++i; i < text.size() && isDigit(text[i]); ++i, ++fractionDigits) {
            const int digit = text[i].unicode() - u'0';
            if (fractionDigits == 0) {
                firstFractionDigit = digit;
            } else if (digit != 0) {
                fractionBeyondHalf = true;
            }
        }
    }
    if (i != text.size() || integerDigits + fractionDigits == 0) {
        return std::nullopt;
    }

    const bool roundUp
        = firstFractionDigit > 5 || (firstFractionDigit == 5 && (fractionBeyondHalf || magnitude % 2 == 1));
    if (roundUp) {
        ++magnitude;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value < minimum || value > maximum) {
        return std::nullopt;
    }
    return value;
}

std::int16_t toSeconds(const QString &text, const QString &key)
{
    using Limits = std::numeric_limits<std::int16_t>;
    const auto value = convertToInteger(text, Limits::min(), Limits::max());
    if (!value) {
        throw Failure(u"reading "_s + key, u"\""_s + text + u"\" is not a number from -32768 to 32767"_s);
    }
    return std::int16_t(*value);
}

quint16 toPort(const QString &text, const QString &key)
{
    // The port is converted as a 32-bit number first; only then is its range checked.
    const auto value
        = convertToInteger(text, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    if (!value || *value < 1 || *value > 65535) {
        throw Failure(u"reading "_s + key, u"\""_s + text + u"\" is not a port from 1 to 65535"_s);
    }
    return quint16(*value);
}

std::optional<quint16> portNumber(const QString &text)
{
    if (const auto value = convertToInteger(text, 1, 65535)) {
        return quint16(*value);
    }
    return std::nullopt;
}

QStringList toList(const QString &text)
{
    static const QRegularExpression separators(u"[,\\s]+"_s);
    return text.split(separators, Qt::SkipEmptyParts);
}

QList<QPair<QHostAddress, int>> toNetworks(const QString &text, const QString &key)
{
    QList<QPair<QHostAddress, int>> networks;
    for (const QString &entry : toList(text)) {
        const QHostAddress address(entry);
        QPair<QHostAddress, int> network = address.isNull()
            ? QHostAddress::parseSubnet(entry)
            : qMakePair(address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
        if (network.first.isNull()) {
            throw Failure(u"reading "_s + key, u"\""_s + entry + u"\" is not an address or a network"_s);
        }
        networks << network;
    }
    return networks;
}

} // namespace quaverlink
