#pragma once

#include "inifile.h"

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

// What start-up reads from Quaverlink.ini in a folder, as texts: the eight
// original keys, in the order start-up reads them, and the keys added since.
struct StationSettings
{
    static constexpr quint16 kDefaultSenderPort = 6969;

    IniFile file; // the whole file, for the sections of the outputs
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
    std::optional<QString> dbServers; // [Database] Servers
    QString station;                  // [Database] Station, else the folder's name
    QStringList cutKeys;              // original keys whose value lost characters to the cut
    QStringList missingKeys;          // original keys the file lacks, as "Section] Key"

    // A missing key reads as the folder's path, which is no number.
    static StationSettings read(const QByteArray &folder);
};

// The numbers and choices the air needs, read from the texts: the same for
// start-up and for --check.
struct AirSettings
{
    std::int16_t countTimeout = 0;
    quint16 listenPort = 0;
    quint16 senderPort = StationSettings::kDefaultSenderPort;
    std::optional<QList<QPair<QHostAddress, int>>> allowedSenders;
    bool livePlayoutFirst = false; // [Live] Priority=playout

    // Throws Failure naming the first key that cannot be used, in the order
    // start-up always read them.
    static AirSettings read(const StationSettings &settings);
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
// The same rule for a port of a key added since: nothing when it is not one.
std::optional<quint16> portNumber(const QString &text);
// Names or numbers separated by commas or blanks.
QStringList toList(const QString &text);
// AllowedSenders: addresses and networks, separated by commas or blanks.
QList<QPair<QHostAddress, int>> toNetworks(const QString &text, const QString &key);

} // namespace quaverlink
