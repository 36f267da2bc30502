#pragma once

#include "template.h"

#include <QByteArray>
#include <QList>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <chrono>
#include <optional>
#include <utility>
#include <variant>

namespace quaverlink {

class IniFile;

// Where each kind of output sends its text.
struct FileTarget
{
    QByteArray path;
};
struct IcecastTarget
{
    QUrl server;
    QString mount;
    QString user;
    QString password;
};
struct LineFeedTarget
{
    QString host;
    quint16 port = 0;
    bool udp = false;
};
struct HttpFeedTarget
{
    QString address; // listened on
    quint16 port = 0;
};
struct WebhookTarget
{
    Template url;
    std::optional<Template> body;
    QByteArray method;
    QByteArray contentType;
    QList<std::pair<QByteArray, QByteArray>> headers; // never printed
};
struct DlsTarget
{
    QByteArray path;
};
using OutputTarget = std::variant<FileTarget, IcecastTarget, LineFeedTarget, HttpFeedTarget, WebhookTarget, DlsTarget>;

// Which texts reach an output, and when.
struct Pacing
{
    QStringList groups; // only plays of these groups, and the idle text; empty: every text
    QRegularExpression skip;
    enum class SkipOn { Text, Artist, Title } skipOn = SkipOn::Text;
    int minLength = 0; // of the title; not for the idle text
    std::chrono::milliseconds delay {0};
    bool delaySkipReplaced = false;
    std::chrono::milliseconds minInterval {0};
    std::chrono::milliseconds padWait {0}; // how long a datagram's play waits for its details

    bool takes(const NowPlaying &playing) const;
};

// One [Output NAME] section of Quaverlink.ini, read.
struct OutputConfig
{
    QString name;
    Template renderer;
    Pacing pacing;
    OutputTarget target;

    template<typename Target>
    const Target *as() const
    {
        return std::get_if<Target>(&target);
    }
    // It sends each text to a peer, one at a time, rather than keeping it.
    bool isPush() const { return as<IcecastTarget>() || as<LineFeedTarget>() || as<WebhookTarget>(); }
    // Where its texts go, for a person, without a password or token.
    QString describe() const;
};

// Every usable [Output NAME] section; why each other one is skipped, and
// keys no output reads, go to problems.
QList<OutputConfig> readOutputConfigs(const IniFile &settings, const QByteArray &folder, QStringList *problems);

} // namespace quaverlink
