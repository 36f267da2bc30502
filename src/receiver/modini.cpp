#include "modini.h"

#include "codepage.h"
#include "modgeneral.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <optional>

namespace quaverlink {
namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

QByteArrayView trimBlanks(QByteArrayView text)
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
    if (value.size() >= 2 && value.front() == value.back()
        && (value.front() == '"' || value.front() == '\'')) {
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
        const qsizetype length = newline
            ? static_cast<const char *>(newline) - m_rest.data()
            : m_rest.size();
        line = m_rest.first(length);
        m_rest = m_rest.sliced(qMin(length + 1, m_rest.size()));
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        return true;
    }

    QByteArrayView m_rest;
};

} // namespace

QString profileString(QByteArrayView content, const QString &section, const QString &key,
                      const QString &defaultText, int size)
{
    const int maximum = qMax(size - 1, 0);
    if (const std::optional<QByteArrayView> value = ProfileScanner(content).find(section, key)) {
        return cutToCharacters(*value, maximum);
    }
    return cutToCharacters(encode8Bit(defaultText), maximum);
}

QString readPrivateProfileString(const QString &section, const QString &key,
                                 const QString &defaultText, int size, const QString &path)
{
    // Only a regular file is read: a FIFO or device in its place must not
    // block or flood start-up. Anything unreadable reads as an empty file.
    QFile file(path);
    QByteArray readBack;
    QByteArrayView content;
    if (QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) && file.size() > 0) {
        if (const uchar *mapped = file.map(0, file.size())) {
            content = QByteArrayView(reinterpret_cast<const char *>(mapped), file.size());
        } else {
            readBack = file.readAll();
            content = readBack;
        }
    }
    return profileString(content, section, key, defaultText, size);
}

} // namespace quaverlink

QString ReadSetting(const QString &section, const QString &key,
                    const QString &settingsPath, const QString &workingDirectory)
{
    return TrimAtNul(quaverlink::readPrivateProfileString(
        section, key, workingDirectory, quaverlink::kSettingBufferSize, settingsPath));
}
