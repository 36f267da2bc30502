#include "inifile.h"

#include "common/codepage.h"
#include "common/descriptor.h"
#include "common/literals.h"

#include <QFile>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace quaverlink {
namespace {

// Longer names are junk: they are never decoded, and match nothing.
constexpr qsizetype kMaxNameBytes = 1024;

QString nameOf(QByteArrayView bytes)
{
    return bytes.size() <= kMaxNameBytes ? decode8Bit(trimBlanks(bytes)) : QString();
}

QByteArrayView stripEnclosingQuotes(QByteArrayView value)
{
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'')) {
        return value.sliced(1, value.size() - 2);
    }
    return value;
}

QString cutAtNul(QString text)
{
    const qsizetype nul = text.indexOf(QChar(u'\0'));
    if (nul >= 0) {
        text.truncate(nul);
    }
    return text;
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

bool sameName(const QString &a, const QString &b)
{
    return !a.isNull() && QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

} // namespace

IniFile::IniFile(QString fallback)
    : m_fallback(std::move(fallback))
{
}

IniFile IniFile::read(const QByteArray &path, const QString &fallback)
{
    QByteArray content;
    struct stat info = {};
    const Descriptor fd(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    QFile file;
    if (fd.isValid() && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode)
        && file.open(fd.get(), QIODevice::ReadOnly)) {
        content = file.readAll();
    }
    return fromContent(content, fallback);
}

IniFile IniFile::fromContent(QByteArrayView content, const QString &fallback)
{
    IniFile file(fallback);
    file.parse(content);
    return file;
}

void IniFile::parse(QByteArrayView rest)
{
    if (rest.startsWith("\xEF\xBB\xBF")) {
        rest = rest.sliced(3);
    }
    Section *current = nullptr; // null before any section and in a repeated one
    bool inRepeat = false;
    for (int number = 1; !rest.isEmpty(); ++number) {
        const void *newline = std::memchr(rest.data(), '\n', size_t(rest.size()));
        const qsizetype length = newline ? static_cast<const char *>(newline) - rest.data() : rest.size();
        QByteArrayView line = rest.first(length);
        rest = rest.sliced(qMin(length + 1, rest.size()));
        if (line.endsWith('\r')) {
            line.chop(1);
        }
        line = trimBlanks(line);
        const auto warn = [&](const QString &text) { m_warnings << u"line %1: "_s.arg(number) + text; };
        if (line.isEmpty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            const qsizetype close = line.indexOf(']');
            const QString name = nameOf(close < 0 ? line.sliced(1) : line.sliced(1, close - 1));
            if (close < 0) {
                warn(u"the section header has no closing ], and is read as [%1]"_s.arg(name));
            }
            const auto found = std::find_if(m_sections.begin(), m_sections.end(),
                                            [&](const Section &section) { return sameName(section.name, name); });
            inRepeat = found != m_sections.end();
            if (inRepeat) {
                warn(u"[%1] stands earlier in the file; this one is not read"_s.arg(name));
                current = nullptr;
            } else {
                m_sections.append({name, {}});
                current = &m_sections.back();
            }
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0) {
            warn(u"not a key=value line; it is skipped"_s);
            continue;
        }
        if (!current) {
            if (!inRepeat) {
                warn(u"a key before any section header; it is skipped"_s);
            }
            continue;
        }
        const QString key = nameOf(line.first(equals));
        const auto found = std::find_if(current->entries.cbegin(), current->entries.cend(),
                                        [&](const Entry &entry) { return sameName(entry.key, key); });
        if (found != current->entries.cend()) {
            warn(u"%1 stands earlier in [%2]; this one is not read"_s.arg(key, current->name));
            continue;
        }
        current->entries.append({key, stripEnclosingQuotes(trimBlanks(line.sliced(equals + 1))).toByteArray()});
    }
}

const IniFile::Entry *IniFile::find(const QString &section, const QString &key) const
{
    for (const Section &candidate : m_sections) {
        if (sameName(candidate.name, section)) {
            for (const Entry &entry : candidate.entries) {
                if (sameName(entry.key, key)) {
                    return &entry;
                }
            }
            return nullptr;
        }
    }
    return nullptr;
}

QString IniFile::value(const QString &section, const QString &key) const
{
    const Entry *entry = find(section, key);
    const QByteArray bytes = entry ? entry->value : encode8Bit(m_fallback);
    return cutAtNul(cutToCharacters(bytes, kSettingMaxLength));
}

bool IniFile::isCut(const QString &section, const QString &key) const
{
    const Entry *entry = find(section, key);
    return cutAtNul(entry ? decode8Bit(entry->value) : m_fallback).size() > kSettingMaxLength;
}

std::optional<QString> IniFile::newValue(const QString &section, const QString &key) const
{
    if (const Entry *entry = find(section, key)) {
        return cutAtNul(decode8Bit(entry->value));
    }
    return std::nullopt;
}

QStringList IniFile::sections() const
{
    QStringList names;
    for (const Section &section : m_sections) {
        names << section.name;
    }
    return names;
}

QStringList IniFile::keys(const QString &section) const
{
    QStringList names;
    for (const Section &candidate : m_sections) {
        if (sameName(candidate.name, section)) {
            for (const Entry &entry : candidate.entries) {
                names << entry.key;
            }
            break;
        }
    }
    return names;
}

} // namespace quaverlink
