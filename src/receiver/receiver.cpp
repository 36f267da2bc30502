#include "receiver.h"

#include "common/codepage.h"
#include "common/failure.h"
#include "common/literals.h"
#include "pad/padupdate.h"
#include "settings/settings.h"

#include <QDateTime>
#include <QDir>
#include <QHostInfo>
#include <QNetworkProxy>

#include <exception>
#include <limits>

namespace quaverlink {
namespace {

const QString kStartupFailureMessage = u"Error - Please restart the application!"_s;
const QString kVersionText = QStringLiteral(QUAVERLINK_VERSION_TEXT);
const QString kNoticeText = u"Quaverlink \u2013 now-playing receiver for Rivendell \u2013 MIT licence"_s;
// The UDP endpoint and the PAD feed telling of one play, within this long.
constexpr qint64 kSamePlayWindowMs = 10'000;

PlayDetails detailsOf(const PadUpdate &update)
{
    const PadItem &now = *update.now;
    return {update.machine, update.serviceName, now.cart,     now.cut,         now.group,        now.artist,
            now.title,      now.album,          now.label,    now.composer,    now.publisher,    now.year,
            now.isrc,       now.isci,           now.lengthMs, update.hostName, now.startDateTime};
}

// Blanks and line ends around a text are how a sender wraps it, not what it
// says: a datagram "Artist - Title\r\n" tells of the same play.
QStringView withoutWrapping(QStringView text)
{
    const auto isWrapping = [](QChar c) { return c == u' ' || c == u'\r' || c == u'\n'; };
    while (!text.isEmpty() && isWrapping(text.front())) {
        text = text.sliced(1);
    }
    while (!text.isEmpty() && isWrapping(text.back())) {
        text.chop(1);
    }
    return text;
}

} // namespace

Receiver::Receiver(QObject *parent)
    : QObject(parent)
    , m_intake([this](const QByteArray &datagram) { receiveItem(datagram); })
{
    m_tickTimer.setInterval(std::chrono::seconds(1));
    m_liveExpiry.setSingleShot(true);
    connect(&m_liveExpiry, &QTimer::timeout, this, [this] { clearLive(QString()); });
    connect(&m_tickTimer, &QTimer::timeout, this, [this] { runEvent(u"idle countdown"_s, [this] { tick(); }); });
    // Both only ever talk to this machine: a system proxy is never theirs.
    // A SOCKS proxy would take the bind (and one that does not answer, the
    // start), and merely asking for one (libproxy, on a thread of its own)
    // held the first write up.
    m_listener.setProxy(QNetworkProxy::NoProxy);
    m_sender.setProxy(QNetworkProxy::NoProxy);
    m_intake.watch(&m_listener);
    m_intake.watch(&m_sender);
    // A flood is one line a minute at most, with the count since the last.
    m_dropReport.setSingleShot(true);
    m_dropReport.setInterval(std::chrono::minutes(1));
    connect(&m_dropReport, &QTimer::timeout, this, &Receiver::reportDropped);
    connect(&m_intake, &DatagramIntake::dropped, this, [this](qint64 count) {
        m_counters.dropped += count;
        m_droppedUnreported += count;
        if (!m_dropReport.isActive()) {
            reportDropped();
        }
    });
    // At most one line a minute about refused senders, however many there are.
    m_refusalReport.setSingleShot(true);
    m_refusalReport.setInterval(std::chrono::minutes(1));
    connect(&m_refusalReport, &QTimer::timeout, this, &Receiver::reportRefusedSenders);
    connect(&m_intake, &DatagramIntake::refused, this, [this] {
        if (!m_refusalReport.isActive()) {
            reportRefusedSenders();
        }
    });
    connect(&m_intake, &DatagramIntake::readFailed, this,
            [this](const QString &cause) { reportFailure(u"reading a datagram"_s, cause); });
}

Receiver::~Receiver() = default;

void Receiver::setStartupFailureHandler(StartupFailureHandler handler)
{
    m_startupFailureHandler = std::move(handler);
}

bool Receiver::start(const StationSettings &settings)
{
    try {
        m_fields.setText(Field::lblNow, QString());
        m_fields.setText(Field::lblLast, QString());
        m_fields.setText(Field::lblDefault, QString());
        m_fields.setText(Field::lblVersion, kVersionText);
        m_fields.setText(Field::lblCopyright, kNoticeText);

        // The folder is named by its path from here on, so that one removed
        // and made again is written again.
        m_metadataFile = std::make_unique<AtomicFile>(currentFolder() + "/metadata.txt",
                                                      [this](const QString &what, const QString &cause) {
                                                          reportFailure(what, cause);
                                                      });
        m_metadataFile->removeLeftovers();
        for (const QString &warning : settings.file.warnings()) {
            reportFailure(u"Quaverlink.ini"_s, warning, Severity::Notice);
        }
        m_idleText = settings.idleText;
        // CountTimeout is read before the database's fields are shown, the
        // ports after: a failure leaves the fields as far as start-up came.
        m_countTimeout = toSeconds(settings.countTimeout, u"CountTimeout"_s);
        m_fields.setText(Field::lblDBenabled, settings.dbEnabled);
        m_fields.setText(Field::lblDBserver, settings.dbServer);
        m_fields.setText(Field::lblDBuser, settings.dbUser);
        m_fields.setText(Field::lblDBpassword, settings.dbPassword);
        m_fields.setText(Field::lblDBname, settings.dbName);
        m_fields.setText(Field::lblDefault, m_idleText);
        const AirSettings air = AirSettings::read(settings);
        m_livePlayoutFirst = air.livePlayoutFirst;
        if (air.allowedSenders) {
            restrictSenders(*air.allowedSenders);
        }
        bindListener(air.listenPort);
        aimSender(air.listenPort);
        m_senderLocalPort = air.senderPort;
        sendIdleText();
        sendIdleText();
        m_countdown = m_countTimeout;
        m_tickTimer.start();
        return true;
    } catch (const Failure &failure) {
        failStartup(failure.describe());
    } catch (const std::exception &failure) {
        failStartup(QString::fromLocal8Bit(failure.what()));
    }
    return false;
}

void Receiver::failStartup(const QString &cause)
{
    reportFailure(u"start-up failed"_s, cause);
    if (m_startupFailureHandler) {
        m_startupFailureHandler(kStartupFailureMessage);
    }
}

QString Receiver::nextText() const
{
    return m_lastPlay.pad && m_lastPlay.pad->next ? m_lastPlay.pad->next->text() : QString();
}

void Receiver::reportLastCounts()
{
    reportRefusedSenders();
    reportDropped();
}

void Receiver::restrictSenders(const QList<QPair<QHostAddress, int>> &networks)
{
    m_intake.setSenderFilter([this, networks](const QHostAddress &sender, quint16 port) {
        // The idle text's own copies always come back.
        if (sender.isLoopback() && port == m_senderLocalPort) {
            return true;
        }
        return std::any_of(networks.cbegin(), networks.cend(),
                           [&](const QPair<QHostAddress, int> &network) { return sender.isInSubnet(network); });
    });
}

void Receiver::reportDropped()
{
    if (m_droppedUnreported > 0) {
        reportFailure(u"flood"_s,
                      QString::number(std::exchange(m_droppedUnreported, 0))
                          + u" waiting items were dropped to keep memory bounded; newer items went on air"_s);
        m_dropReport.start();
    }
}

void Receiver::reportRefusedSenders()
{
    const QMap<QString, qint64> refused = m_intake.takeRefused();
    if (refused.isEmpty()) {
        return;
    }
    QStringList senders;
    qint64 total = 0;
    for (auto it = refused.cbegin(); it != refused.cend(); ++it) {
        senders << u"%1 (%2)"_s.arg(it.key()).arg(it.value());
        total += it.value();
    }
    reportFailure(u"refused senders"_s,
                  u"%1 datagrams from senders outside AllowedSenders: "_s.arg(total) + senders.join(u", "_s));
    m_refusalReport.start();
}

void Receiver::bindListener(quint16 port)
{
    // No address sharing: a port another program holds must fail here, not
    // split the datagrams between two receivers.
    if (!m_listener.bind(QHostAddress::Any, port, QAbstractSocket::DontShareAddress)) {
        throw Failure(u"binding the receiver to port "_s + QString::number(port), m_listener.errorString());
    }
    // Room for a long burst while an item is being applied.
    m_listener.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4 * 1024 * 1024);
}

void Receiver::aimSender(quint16 port)
{
    m_sender.abort();
    // Resolved once: a name lookup per idle text would be wasted work.
    const QHostInfo localhost = QHostInfo::fromName(u"localhost"_s);
    if (localhost.error() != QHostInfo::NoError || localhost.addresses().isEmpty()) {
        throw Failure(u"resolving localhost"_s, localhost.errorString());
    }
    const QList<QHostAddress> addresses = localhost.addresses();
    const auto ipv4 = std::find_if(addresses.cbegin(), addresses.cend(), [](const QHostAddress &address) {
        return address.protocol() == QAbstractSocket::IPv4Protocol;
    });
    m_loopbackHost = ipv4 != addresses.cend() ? *ipv4 : addresses.constFirst();
    m_loopbackPort = port;
}

void Receiver::sendIdleText()
{
    if (m_sender.state() != QAbstractSocket::BoundState
        && !m_sender.bind(QHostAddress::Any, m_senderLocalPort, QAbstractSocket::DontShareAddress)) {
        throw Failure(u"binding the sender to port "_s + QString::number(m_senderLocalPort), m_sender.errorString());
    }
    ++m_counters.idleTexts;
    const QByteArray payload = encode8Bit(m_idleText);
    if (m_sender.writeDatagram(payload, m_loopbackHost, m_loopbackPort) != payload.size()) {
        throw Failure(u"sending the idle text"_s, m_sender.errorString());
    }
}

void Receiver::applyItem(const QString &text)
{
    putOnAir(text, nullptr);
}

void Receiver::putOnAir(const QString &text, std::shared_ptr<const PadUpdate> pad)
{
    // A datagram of 4 characters or fewer is no play; what the PAD feed
    // tells of is one, however short its title.
    const bool isLong = pad ? !text.isEmpty() : text.size() > 4;
    // A live text holds the air: the playout's plays are recorded, not
    // shown. Put first, it only takes the place of the idle text.
    const bool held = m_live && (!m_livePlayoutFirst || !isLong);
    // The file is what the encoders read, so it is written before anything
    // else. Whether or not it can be, the item went on air in the window: it
    // is a play, and the other outputs get it; the file's failure is
    // reported once they have it.
    std::exception_ptr fileFailure;
    const QString onAirText = isLong ? text : m_fields.text(Field::lblDefault);
    if (!held) {
        try {
            writeMetadataFile(onAirText);
        } catch (...) {
            fileFailure = std::current_exception();
        }
    }
    // The time it went on air, whenever the database or an output gets it;
    // for the history, a play from the feed went on air when Rivendell says.
    const QDateTime onAir = QDateTime::currentDateTime();
    const QDateTime played = pad ? pad->now->onAirTime(onAir) : onAir;
    ++m_counters.itemsApplied;
    if (text != m_idleText) {
        m_lastItemAt = onAir;
    }
    if (isLong) {
        m_lastPlay = {text, played, onAir, pad};
        Q_EMIT this->played({text, played, text == m_idleText, false,
                             pad ? std::optional(detailsOf(*pad)) : std::nullopt,
                             pad ? pad->now->toJson() : QJsonObject()});
    } else {
        pad.reset(); // the idle text goes on air
    }
    if (held && !isLong && m_livePlayoutFirst) {
        runEvent(u"putting the live text on air"_s, [this] { showLive(); });
    } else if (!held) {
        showFieldsAndOutputs(onAirText, isLong, onAir, std::move(pad), false);
    }
    if (fileFailure) {
        std::rethrow_exception(fileFailure);
    }
}

void Receiver::show(const QString &onAirText, bool isLong, const QDateTime &onAir, std::shared_ptr<const PadUpdate> pad,
                    bool live)
{
    std::exception_ptr fileFailure;
    try {
        writeMetadataFile(onAirText);
    } catch (...) {
        fileFailure = std::current_exception();
    }
    showFieldsAndOutputs(onAirText, isLong, onAir, std::move(pad), live);
    if (fileFailure) {
        std::rethrow_exception(fileFailure);
    }
}

void Receiver::showFieldsAndOutputs(const QString &onAirText, bool isLong, const QDateTime &onAir,
                                    std::shared_ptr<const PadUpdate> pad, bool live)
{
    m_fields.setText(Field::lblLast, m_fields.text(isLong ? Field::lblData : Field::lblNow));
    m_fields.setText(Field::lblNow, isLong ? onAirText : m_idleText);
    if (isLong) {
        m_countdown = m_countTimeout;
        m_fields.setText(Field::lblData, onAirText);
    }
    NowPlaying playing {onAirText, onAir, onAirText == m_idleText, std::move(pad)};
    playing.isLive = live;
    Q_EMIT onAirChanged(playing);
}

void Receiver::setLive(const LiveText &live)
{
    m_live = live;
    const QDateTime now = QDateTime::currentDateTime();
    if (live.until.isValid()) {
        m_liveExpiry.start(std::chrono::milliseconds(qMax<qint64>(now.msecsTo(live.until), 0)));
    } else {
        m_liveExpiry.stop();
    }
    reportFailure(u"live"_s,
                  u"set by %1: \"%2\"%3"_s.arg(live.who, live.text,
                                               live.until.isValid() ? u" until "_s + live.until.toString(u"HH:mm:ss"_s)
                                                                    : u" until cleared"_s),
                  Severity::Notice);
    if (live.isPlay) {
        QJsonObject fields {{u"live"_s, true}};
        if (!live.album.isEmpty()) {
            fields.insert(u"album"_s, live.album);
        }
        std::optional<PlayDetails> details;
        if (!live.artist.isEmpty() || !live.album.isEmpty()) {
            details.emplace();
            details->service = u"live"_s;
            details->artist = live.artist;
            details->title = live.title;
            details->album = live.album;
            details->host = live.who;
        }
        Q_EMIT played({live.text, now, false, false, std::move(details), fields});
    }
    // Put first, the playout keeps the air while it has a text on it.
    const bool playoutOnAir = m_fields.text(Field::lblNow) != m_idleText && !m_lastPlay.text.isEmpty()
        && m_lastPlay.arrived.secsTo(now) < m_countTimeout;
    if (!m_livePlayoutFirst || !playoutOnAir) {
        showLive();
    }
}

void Receiver::showLive()
{
    m_lastItemAt = QDateTime::currentDateTime();
    show(m_live->text, true, m_lastItemAt, nullptr, true);
}

void Receiver::clearLive(const QString &who)
{
    if (!m_live) {
        return;
    }
    const bool onAir = m_fields.text(Field::lblNow) == m_live->text;
    m_live.reset();
    m_liveExpiry.stop();
    reportFailure(u"live"_s, who.isEmpty() ? u"expired"_s : u"cleared by "_s + who, Severity::Notice);
    if (onAir) {
        returnToPlayout();
    }
}

void Receiver::returnToPlayout()
{
    const QDateTime now = QDateTime::currentDateTime();
    const bool current = !m_lastPlay.text.isEmpty() && m_lastPlay.arrived.secsTo(now) < m_countTimeout;
    runEvent(u"returning to the playout"_s, [&] {
        if (current) {
            show(m_lastPlay.text, true, m_lastPlay.arrived, m_lastPlay.pad);
        } else {
            show(m_fields.text(Field::lblDefault), false, now, nullptr);
        }
    });
}

void Receiver::writeMetadataFile(const QString &text)
{
    // In a burst, a text that the next waiting item replaces before anyone
    // could rely on it is not written. Whatever becomes of that item, the
    // file is brought up to the air once nothing waits (flushMetadataFile).
    if (m_intake.waitingCount() > 0) {
        m_unwrittenText = text;
        return;
    }
    m_unwrittenText.reset();
    // Before start-up, the working folder as it is now.
    if (!m_metadataFile) {
        m_metadataFile = std::make_unique<AtomicFile>(currentFolder() + "/metadata.txt",
                                                      [this](const QString &what, const QString &cause) {
                                                          reportFailure(what, cause);
                                                      });
    }
    m_metadataFile->replace(encode8Bit(text) + "\r\n\r\n");
}

void Receiver::flushMetadataFile()
{
    if (m_unwrittenText && m_intake.waitingCount() == 0) {
        runEvent(u"applying an item"_s, [this] { writeMetadataFile(*std::exchange(m_unwrittenText, std::nullopt)); });
    }
}

void Receiver::tick()
{
    if (m_countdown == std::numeric_limits<std::int16_t>::min()) {
        throw Failure(u"counting down"_s, u"the countdown cannot go below -32768"_s);
    }
    --m_countdown;
    if (m_countdown < 1) {
        sendIdleText();
        m_countdown = m_countTimeout;
    }
    m_fields.setText(Field::lblCounter, QString::number(m_countdown));
}

void Receiver::receiveItem(const QByteArray &datagram)
{
    const QString text = decode8Bit(datagram);
    if (isEchoOf(text, false)) {
        flushMetadataFile();
        return;
    }
    runEvent(u"applying an item"_s, [&] { applyItem(text); });
    Q_EMIT itemApplied(text);
}

bool Receiver::isEchoOf(const QString &text, bool fromPad) const
{
    return (m_lastPlay.pad != nullptr) != fromPad && withoutWrapping(m_lastPlay.text) == withoutWrapping(text)
        && m_lastPlay.arrived.msecsTo(QDateTime::currentDateTime()) <= kSamePlayWindowMs;
}

void Receiver::receivePadPlay(const PadUpdate &update)
{
    auto pad = std::make_shared<const PadUpdate>(update);
    const QString text = update.now->text();
    if (!isEchoOf(text, true)) {
        runEvent(u"applying a PAD update"_s, [&] { putOnAir(text, std::move(pad)); });
        Q_EMIT itemApplied(text);
        return;
    }
    // The UDP endpoint put this play on air a moment ago: it stays one play,
    // with the text as it went on air, which gains its details in the
    // history and in the outputs.
    m_lastPlay.pad = pad;
    PlayDetails details = detailsOf(update);
    details.detailsOnly = true;
    Q_EMIT played({m_lastPlay.text, m_lastPlay.onAir, false, true, std::move(details), update.now->toJson()});
    // Only while it is still on air: a short item may have taken its place.
    if (m_fields.text(Field::lblNow) == m_lastPlay.text) {
        Q_EMIT onAirChanged({m_lastPlay.text, m_lastPlay.arrived, false, std::move(pad)});
    }
}

void Receiver::receivePadNext(const PadUpdate &update)
{
    if (!m_lastPlay.pad || m_lastPlay.pad->machine != update.machine || !m_lastPlay.pad->now->isSamePlay(*update.now)) {
        return;
    }
    m_lastPlay.pad = std::make_shared<const PadUpdate>(update);
    if (m_fields.text(Field::lblNow) == m_lastPlay.text) {
        Q_EMIT onAirChanged({m_lastPlay.text, m_lastPlay.arrived, false, m_lastPlay.pad});
    }
    Q_EMIT nextChanged();
}

template<typename Work>
void Receiver::runEvent(const QString &what, Work &&work)
{
    try {
        work();
    } catch (const Failure &failure) {
        reportFailure(what + u" failed"_s, failure.describe());
    } catch (const std::exception &failure) {
        reportFailure(what + u" failed"_s, QString::fromLocal8Bit(failure.what()));
    }
}

void Receiver::reportFailure(const QString &what, const QString &cause, Severity severity)
{
    const QString line = failureLine(what, cause);
    writeFailureLine(line);
    Q_EMIT reported(line, severity);
}

} // namespace quaverlink
