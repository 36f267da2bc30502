#include "settings.h"

#include "codepage.h"
#include "common/descriptor.h"
#include "common/failure.h"

#include <QByteArrayView>
#include <QFile>
#include <QRegularExpression>

#include <climits>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace quaverlink {
namespace {

template<typename Char>
bool isBlank(Char c)
{
    return c == u' ' || c == u'\t';
}

// Blanks and tabs only: the rule of both the file and its numbers.
template<typename View>
View trimBlanks(View text)
{
    while (!text.isEmpty() && isBlank(text.front())) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && isBlank(text.back())) {
        text.chop(1);
    }
    return text;
}

QByteArrayView stripEnclosingQuotes(QByteArrayView value)
{
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'')) {
        return value.sliced(1, value.size() - 2);
    }
    return value;
}

// A name is compared only when its byte length could decode to the wanted
// length, so junk lines of any size are never decoded.
bool nameMatches(QByteArrayView bytes, const QString &wanted)
{
    if (bytes.size() < wanted.size() || bytes.size() > 3 * wanted.size()) {
        return false;
    }
    return QString::compare(decode8Bit(bytes), wanted, Qt::CaseInsensitive) == 0;
}

QString cutToCharacters(QByteArrayView value, int maximum)
{
    // Decoding more than four bytes per wanted character cannot change the
    // first `maximum` characters.
    QString text = decode8Bit(value.first(qMin<qsizetype>(value.size(), qsizetype(maximum + 1) * 4)));
    if (text.size() > maximum) {
        // Never leave half of a surrogate pair behind.
        const bool splitsPair = maximum > 0 && text.at(maximum - 1).isHighSurrogate();
        text.truncate(splitsPair ? maximum - 1 : maximum);
    }
    return text;
}

class ProfileScanner final
{
public:
    explicit ProfileScanner(QByteArrayView content)
        : m_rest(content)
    {
        if (m_rest.startsWith("\xEF\xBB\xBF")) {
            m_rest = m_rest.sliced(3);
        }
    }

    // The names of all sections, in the order they stand.
    QStringList sections()
    {
        QStringList names;
        QByteArrayView line;
        while (nextLine(line)) {
            line = trimBlanks(line);
            if (line.startsWith('[') && line.indexOf(']') > 0) {
                names << decode8Bit(trimBlanks(line.sliced(1, line.indexOf(']') - 1)));
            }
        }
        return names;
    }

    // Finds the value of key in the first section named section.
    std::optional<QByteArrayView> find(const QString &section, const QString &key)
    {
        bool inSection = false;
        QByteArrayView line;
        while (nextLine(line)) {
            line = trimBlanks(line);
            if (line.isEmpty() || line.front() == ';') {
                continue;
            }
            if (line.front() == '[') {
                if (inSection) {
                    return std::nullopt;
                }
                const qsizetype close = line.indexOf(']');
                const QByteArrayView name = close < 0 ? line.sliced(1) : line.sliced(1, close - 1);
                inSection = nameMatches(trimBlanks(name), section);
                continue;
            }
            if (!inSection) {
                continue;
            }
            const qsizetype equals = line.indexOf('=');
            if (equals > 0 && nameMatches(trimBlanks(line.first(equals)), key)) {
                return stripEnclosingQuotes(trimBlanks(line.sliced(equals + 1)));
            }
        }
        return std::nullopt;
    }

private:
    bool nextLine(QByteArrayView &line)
    {
        if (m_rest.isEmpty()) {
            return false;
        }
        const void *newline = std::memchr(m_rest.data(), '\n', size_t(m_rest.size()));
        const qsizetype length = newline ? static_cast<const char *>(newline) - m_rest.data() : m_rest.size();
        line = m_rest.first(length);
        m_rest = m_rest.sliced(qMin(length + 1, m_rest.size()));
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        return true;
    }

    QByteArrayView m_rest;
};

QString cutAtNul(QString text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0) {
        text.truncate(nul);
    }
    return text;
}

} // namespace

SettingsFile::SettingsFile(QByteArray content, QString fallback)
    : m_content(std::move(content))
    , m_fallback(std::move(fallback))
{
}

SettingsFile SettingsFile::read(const QByteArray &path, const QString &fallback)
{
    QByteArray content;
    struct stat info = {};
    const Descriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    QFile file;
    if (fd.isValid() && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)
        && file.open(fd.get(), QIODevice::ReadOnly)) {
        content = file.readAll();
    }
    return SettingsFile(std::move(content), fallback);
}

QByteArray currentFolder()
{
    QByteArray path(PATH_MAX, Qt::Uninitialized);
    return ::getcwd(path.data(), size_t(path.size())) ? QByteArray(path.constData()) : QByteArray(".");
}

SettingsFile SettingsFile::fromContent(QByteArray content, const QString &fallback)
{
    return SettingsFile(std::move(content), fallback);
}

QString SettingsFile::value(const QString &section, const QString &key) const
{
    if (const std::optional<QByteArrayView> found = ProfileScanner(m_content).find(section, key)) {
        return cutAtNul(cutToCharacters(*found, kSettingMaxLength));
    }
    return cutAtNul(cutToCharacters(encode8Bit(m_fallback), kSettingMaxLength));
}

bool SettingsFile::isCut(const QString &section, const QString &key) const
{
    const std::optional<QByteArrayView> found = ProfileScanner(m_content).find(section, key);
    const QString whole = cutAtNul(found ? decode8Bit(*found) : m_fallback);
    return whole.size() > kSettingMaxLength;
}

QStringList SettingsFile::sections() const
{
    return ProfileScanner(m_content).sections();
}

std::optional<QString> SettingsFile::newValue(const QString &section, const QString &key) const
{
    if (const std::optional<QByteArrayView> found = ProfileScanner(m_content).find(section, key)) {
        return cutAtNul(decode8Bit(*found));
    }
    return std::nullopt;
}

StationSettings StationSettings::read(const QByteArray &folder)
{
    StationSettings settings {SettingsFile::read(folder + "/Quaverlink.ini", QFile::decodeName(folder))};
    const SettingsFile &file = settings.file;
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
        if (file.isCut(parts[0], parts[1])) {
            settings.cutKeys << parts[1];
        }
    }
    settings.senderPort = file.newValue(u"Metadata"_qs, u"SenderPort"_qs);
    settings.allowedSenders = file.newValue(u"Metadata"_qs, u"AllowedSenders"_qs);
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
        throw Failure(u"reading "_qs + key, u"\""_qs + text + u"\" is not a number from -32768 to 32767"_qs);
    }
    return std::int16_t(*value);
}

quint16 toPort(const QString &text, const QString &key)
{
    // The port is converted as a 32-bit number first; only then is its range checked.
    const auto value
        = convertToInteger(text, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    if (!value || *value < 1 || *value > 65535) {
        throw Failure(u"reading "_qs + key, u"\""_qs + text + u"\" is not a port from 1 to 65535"_qs);
    }
    return quint16(*value);
}

QList<QPair<QHostAddress, int>> toNetworks(const QString &text, const QString &key)
{
    QList<QPair<QHostAddress, int>> networks;
    static const QRegularExpression separators(u"[,\\s]+"_qs);
    for (const QString &entry : text.split(separators, Qt::SkipEmptyParts)) {
        const QHostAddress address(entry);
        QPair<QHostAddress, int> network = address.isNull()
            ? QHostAddress::parseSubnet(entry)
            : qMakePair(address, address.protocol() == QAbstractSocket::IPv4Protocol ? 32 : 128);
        if (network.first.isNull()) {
            throw Failure(u"reading "_qs + key, u"\""_qs + entry + u"\" is not an address or a network"_qs);
        }
        networks << network;
    }
    return networks;
}

} // namespace quaverlink
