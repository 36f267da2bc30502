#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace quaverlink {

// Every original setting is read through a buffer of 30 characters, one of
// which the terminator takes.
inline constexpr int kSettingMaxLength = 29;

// Blanks and tabs only: the rule of both the file and its numbers.
template<typename View>
View trimBlanks(View text)
{
    const auto isBlank = [](auto c) { return c == u' ' || c == u'\t'; };
    while (!text.isEmpty() && isBlank(text.front())) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && isBlank(text.back())) {
        text.chop(1);
    }
    return text;
}

// Quaverlink.ini, parsed once into its sections and keys, looked up by the
// rules the file has always had: section and key names match without regard
// to case; the value is the text after the first "=" without blanks or tabs
// around it and without one pair of matching enclosing quotes; the first of
// duplicate sections or keys wins; lines starting with ";" are comments; CRLF
// and LF both end a line. A missing or unreadable file, section or key gives
// the fallback text. What the parser skips is noted with its line number.
class IniFile final
{
public:
    // An empty file.
    IniFile() = default;
    // Only a regular file is read: a FIFO or device in its place must not
    // block start-up. Anything unreadable reads as an empty file.
    static IniFile read(const QByteArray &path, const QString &fallback);
    static IniFile fromContent(QByteArrayView content, const QString &fallback);

    // One of the original keys: at most 29 characters, ending at a NUL, and
    // never half of a surrogate pair.
    QString value(const QString &section, const QString &key) const;
    // Whether that value lost characters to the 29-character cut.
    bool isCut(const QString &section, const QString &key) const;
    // A key the original never had: not cut; nothing when it is missing.
    std::optional<QString> newValue(const QString &section, const QString &key) const;
    // The sections in the order they stand, each name once.
    QStringList sections() const;
    // The keys of a section, in the order they stand, each once.
    QStringList keys(const QString &section) const;
    // "line N: ..." for each line or header read differently from what it
    // seems to say, or skipped.
    const QStringList &warnings() const { return m_warnings; }

private:
    struct Entry
    {
        QString key;
        QByteArray value; // as it stands in the file, quotes removed
    };
    struct Section
    {
        QString name;
        QList<Entry> entries;
    };

    explicit IniFile(QString fallback);
    void parse(QByteArrayView content);
    const Entry *find(const QString &section, const QString &key) const;

    QList<Section> m_sections;
    QString m_fallback;
    QStringList m_warnings;
};

} // namespace quaverlink
