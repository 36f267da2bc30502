#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace quaverlink {

// Every original setting is read through a buffer of 30 characters, one of
// which the terminator takes.
inline constexpr int kSettingMaxLength = 29;

// Quaverlink.ini, read once, looked up by the rules the file has always had:
// section and key names match without regard to case; the value is the text
// after the first "=" without blanks or tabs around it and without one pair
// of matching enclosing quotes; the first of duplicate sections or keys wins;
// lines starting with ";" are comments; CRLF and LF both end a line. A
// missing or unreadable file, section or key gives the fallback text.
class SettingsFile final
{
public:
    // Only a regular file is read: a FIFO or device in its place must not
    // block start-up. Anything unreadable reads as an empty file.
    static SettingsFile read(const QByteArray &path, const QString &fallback);
    static SettingsFile fromContent(QByteArray content, const QString &fallback);

    // One of the original keys: at most 29 characters, ending at a NUL, and
    // never half of a surrogate pair.
    QString value(const QString &section, const QString &key) const;
    // Whether that value lost characters to the 29-character cut.
    bool isCut(const QString &section, const QString &key) const;
    QStringList sections() const;
    // A key the original never had: not cut; nothing when it is missing.
    std::optional<QString> newValue(const QString &section, const QString &key) const;

private:
    SettingsFile(QByteArray content, QString fallback);

    QByteArray m_content;
    QString m_fallback;
};

// What start-up reads from Quaverlink.ini in a folder, as texts: the eight
// original keys, in the order start-up reads them, and the keys added since.
struct StationSettings
{
    static constexpr quint16 kDefaultSenderPort = 6969;

    SettingsFile file; // the whole file, for the sections of the outputs
    QString listenPort;
    QString idleText;
    QString countTimeout;
    QString dbEnabled;
    QString dbServer;
    QString dbUser;
    QString dbPassword;
    QString dbName;
    std::optional<QString> senderPort;
    std::optional<QString> allowedSenders;
    QStringList cutKeys; // original keys whose value lost characters to the cut

    // A missing key reads as the folder's path, which is no number.
    static StationSettings read(const QByteArray &folder);
};

// The working folder as the system names it: bytes, whatever they decode to.
QByteArray currentFolder();

// The number rule: blanks around, an optional sign, decimal digits with an
// optional fraction that is rounded half to even. Anything else, or a result
// outside [minimum, maximum], gives no value.
std::optional<std::int64_t> convertToInteger(QStringView text, std::int64_t minimum, std::int64_t maximum);

// The two numbers start-up needs. Each throws Failure naming the key.
std::int16_t toSeconds(const QString &text, const QString &key);
quint16 toPort(const QString &text, const QString &key);
// AllowedSenders: addresses and networks, separated by commas or blanks.
QList<QPair<QHostAddress, int>> toNetworks(const QString &text, const QString &key);

} // namespace quaverlink
