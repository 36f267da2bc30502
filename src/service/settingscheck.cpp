#include "settingscheck.h"

#include "common/failure.h"
#include "common/literals.h"
#include "listeners/icecastlisteners.h"
#include "outputs/outputconfig.h"
#include "pad/padclient.h"
#include "playlog/database.h"
#include "playlog/odbc.h"
#include "settings/settings.h"
#include "web/webface.h"

#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>

#include <sys/stat.h>

namespace quaverlink {
namespace {

// Whether a local UDP port is bound, read from the kernel's tables: --check
// must not bind anything itself.
bool isUdpPortInUse(quint16 port)
{
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        file.readLine();
        while (!file.atEnd()) {
            // "  sl  local_address rem_address ...": the local port is the hex after ':'.
            const QList<QByteArray> fields = file.readLine().simplified().split(' ');
            if (fields.size() > 1 && fields[1].split(':').value(1).toUInt(nullptr, 16) == port) {
                return true;
            }
        }
    }
    return false;
}

class Report
{
public:
    explicit Report(QTextStream &out)
        : m_out(out)
    {
    }
    void line(const QString &text) { m_out << text << '\n'; }
    void warn(const QString &text) { line(u"warning: "_s + text); }
    // Runs one start-up step; a failure is what start-up would stop on.
    template<typename Step>
    bool step(Step &&step)
    {
        try {
            step();
            return true;
        } catch (const Failure &failure) {
            fail(failure.describe());
            return false;
        }
    }
    void fail(const QString &cause)
    {
        line(u"error: start-up would fail: "_s + cause);
        m_failed = true;
    }
    // Start-up would go on without a part the settings ask for: as wrong
    // as a failure for whoever wrote them.
    void skip(const QString &what)
    {
        line(u"error: start-up would leave out "_s + what);
        m_skipped = true;
    }
    bool failed() const { return m_failed; }
    bool skipped() const { return m_skipped; }

private:
    QTextStream &m_out;
    bool m_failed = false;
    bool m_skipped = false;
};

void checkDatabase(const StationSettings &settings, Report &report)
{
    const QString driver = u"MySQL ODBC 3.51 Driver"_s;
    if (!odbc::drivers().contains(driver)) {
        report.warn(u"no ODBC driver is registered as \"%1\" (register-odbc-driver does that)"_s.arg(driver));
    }
    if (settings.dbPassword.contains(u';')) {
        report.warn(u"DBpassword holds \";\", which ends the password inside the connection string"_s);
    }
    QStringList servers = {settings.dbServer};
    if (settings.dbServers) {
        const std::optional<QStringList> listed = serverTexts(*settings.dbServers);
        if (!listed || listed->isEmpty()) {
            report.warn(u"[Database] Servers \"%1\" is not a list of HOST[:PORT]; DBserver would be used"_s.arg(
                *settings.dbServers));
        } else {
            servers = *listed;
        }
    }
    for (const QString &server : std::as_const(servers)) {
        try {
            odbc::Handle connection
                = odbc::connect(connectionString({settings.dbUser, settings.dbPassword, server}), kDatabaseTimeout);
            const QString state = clusterState(connection);
            connection.disconnect();
            if (!state.isEmpty() && state != u"Synced") {
                report.warn(
                    u"database: %1 is a cluster node that is %2, not Synced: it may refuse plays"_s.arg(server, state));
            }
            report.line(
                u"database: connected to %1 as %2%3"_s.arg(serverName(server), settings.dbUser,
                                                           state.isEmpty() ? QString() : u", cluster node "_s + state));
        } catch (const odbc::Error &error) {
            report.warn(u"database: "_s + error.masking(settings.dbPassword).describe()
                        + (servers.size() > 1 ? u" (the next server would be tried)"_s
                                              : u" (plays would wait in the spool)"_s));
        }
    }
    report.line(
        u"station: %1 (stored with every play where the database has the table StationPlays)"_s.arg(settings.station));
}

// Whether the peer of a push output answers at all; nothing is sent to it.
QString reachability(const OutputConfig &output)
{
    const IcecastTarget *icecast = output.as<IcecastTarget>();
    const LineFeedTarget *feed = output.as<LineFeedTarget>();
    if (!icecast && (!feed || feed->udp)) {
        return QString();
    }
    QTcpSocket socket;
    socket.connectToHost(icecast ? icecast->server.host() : feed->host,
                         icecast ? quint16(icecast->server.port(80)) : feed->port);
    return socket.waitForConnected(2000) ? u", reachable"_s : u", cannot be reached: "_s + socket.errorString();
}

// What an output would send for a sample play, and whether a JSON body is
// JSON. A webhook's URL may carry a token and is not shown.
void checkRendering(const OutputConfig &output, Report &report)
{
    const NowPlaying sample {u"Bj\u00f6rk - J\u00f3ga"_s, QDateTime::currentDateTime()};
    const WebhookTarget *webhook = output.as<WebhookTarget>();
    if (!webhook && !output.as<HttpFeedTarget>()) {
        report.line(u"  for \"%1\" it would send: %2"_s.arg(sample.text, output.renderer.renderText(sample)));
    }
    if (!webhook || !webhook->body) {
        return;
    }
    const QString body = webhook->body->renderText(sample);
    report.line(u"  for \"%1\" its body would be: %2"_s.arg(sample.text, body));
    QJsonParseError error {};
    if (webhook->contentType.contains("json") && (QJsonDocument::fromJson(body.toUtf8(), &error), error.error)) {
        report.warn(u"[Output %1] Body is not JSON: %2 at character %3"_s.arg(output.name, error.errorString())
                        .arg(error.offset));
    }
}

// A key of a section of its own that nothing reads: a typo, most likely.
void warnUnknownKeys(const IniFile &settings, const QString &section, const QStringList &known, Report &report)
{
    for (const QString &key : settings.keys(section)) {
        if (!known.contains(key, Qt::CaseInsensitive)) {
            report.warn(u"[%1] %2 is not one of its keys (%3)"_s.arg(section, key, known.join(u", "_s)));
        }
    }
}

// The [PAD] section, and one connection to the feed: its first document
// says that Rivendell answers and what it has on air.
void checkPadFeed(const IniFile &settings, Report &report)
{
    QString problem;
    const std::optional<PadClient::Options> options = PadClient::fromSettings(settings, &problem);
    if (!problem.isEmpty()) {
        report.skip(u"the PAD feed: "_s + problem);
    }
    warnUnknownKeys(settings, u"PAD"_s, {u"Host"_s, u"Port"_s, u"Machine"_s, u"Groups"_s, u"OnAir"_s}, report);
    if (!options) {
        return;
    }
    QStringList machines;
    for (const qint64 machine : options->machines) {
        machines << QString::number(machine);
    }
    report.line(u"  [PAD] Host = %1, Port = %2, Machine = %3, Groups = %4"_s
                    .arg(options->host, QString::number(options->port), machines.join(u", "_s),
                         options->groups.isEmpty() ? u"(not set: every group)"_s : options->groups.join(u", "_s)));
    QTcpSocket socket;
    socket.connectToHost(options->host, options->port);
    if (!socket.waitForConnected(2000)) {
        report.warn(u"PAD feed: %1 port %2 cannot be reached: %3"_s.arg(options->host)
                        .arg(options->port)
                        .arg(socket.errorString()));
        return;
    }
    // On connecting, the feed sends what each log machine has on air, one
    // document a machine; what the followed machines say is shown.
    PadFramer framer;
    qint64 bytes = 0;
    int documents = 0;
    QString refusal;
    std::optional<PadUpdate> shown;
    QDeadlineTimer deadline(3000);
    const auto wait = [&] { return int(qMin<qint64>(documents > 0 ? 300 : 3000, deadline.remainingTime())); };
    while (!framer.isOverflowing() && !deadline.hasExpired() && socket.waitForReadyRead(wait())) {
        const QByteArray read = socket.readAll();
        bytes += read.size();
        framer.append(read);
        while (const std::optional<QByteArray> document = framer.takeDocument()) {
            ++documents;
            QString error;
            std::optional<PadUpdate> update = parsePadUpdate(*document, &error);
            if (!update) {
                refusal = error;
            } else if (!shown || options->machines.contains(update->machine)) {
                shown = std::move(update);
            }
        }
    }
    if (documents == 0) {
        report.warn(bytes == 0 ? u"PAD feed: connected, but no document came within 3 s"_s
                               : u"PAD feed: connected, and %1 bytes came, but no whole document could be read"
                                 " from them"_s.arg(bytes));
        return;
    }
    if (!refusal.isEmpty()) {
        report.warn(u"PAD feed: a document was refused: "_s + refusal);
    }
    report.line(u"PAD feed: connected; documents read: %1"_s.arg(documents));
    if (shown) {
        report.line(u"PAD feed: machine %1 has %2 on air"_s.arg(shown->machine)
                        .arg(shown->now ? u"\""_s + shown->now->text() + u"\" (group "_s + shown->now->group + u")"_s
                                        : u"nothing"_s));
    }
}

void checkWebFace(const IniFile &settings, const QByteArray &folder, Report &report)
{
    QString problem;
    const std::optional<WebFace::Options> options = WebFace::fromSettings(settings, folder, &problem);
    if (!problem.isEmpty()) {
        report.skip(u"the web face: "_s + problem);
    }
    warnUnknownKeys(settings, u"Web"_s,
                    {u"Address"_s, u"Port"_s, u"HealthHistoryMinutes"_s, u"HealthOutputMinutes"_s,
                     u"HealthPadMinutes"_s, u"SilenceMinutes"_s, u"Title"_s, u"Token"_s, u"TokenFile"_s,
                     u"TrustedNetwork"_s},
                    report);
    warnUnknownKeys(settings, u"Live"_s, {u"Expires"_s, u"Priority"_s}, report);
    const QString priority = settings.newValue(u"Live"_s, u"Priority"_s).value_or(u"live"_s).trimmed();
    if (priority.compare(u"live"_s, Qt::CaseInsensitive) != 0
        && priority.compare(u"playout"_s, Qt::CaseInsensitive) != 0) {
        report.warn(u"[Live] Priority \"%1\" is neither live nor playout; live is used"_s.arg(priority));
    }
    if (!options) {
        return;
    }
    report.line(u"web face: http://%1:%2/ (status page, /health, /metrics, /api/plays%3)"_s.arg(options->address)
                    .arg(options->port)
                    .arg(options->token.isEmpty() ? QString() : u", the live input /api/now"_s));
    const QString tokenFile = settings.newValue(u"Web"_s, u"TokenFile"_s).value_or(QString()).trimmed();
    struct stat info = {};
    const QByteArray tokenPath
        = tokenFile.startsWith(u'/') ? QFile::encodeName(tokenFile) : folder + '/' + QFile::encodeName(tokenFile);
    if (!tokenFile.isEmpty() && ::stat(tokenPath.constData(), &info) == 0 && (info.st_mode & S_IROTH)) {
        report.warn(u"[Web] TokenFile %1 may be read by every user of this machine (chmod o-r)"_s.arg(tokenFile));
    }
    const bool trusted = settings.newValue(u"Web"_s, u"TrustedNetwork"_s).value_or(QString()).trimmed() == u"Y";
    if (!options->token.isEmpty() && !QHostAddress(options->address).isLoopback() && !trusted) {
        report.warn(u"the live input listens on %1, beyond this machine, where its token travels unencrypted;"
                    " set [Web] TrustedNetwork=Y if that network is the station's own"_s.arg(options->address));
    }
}

// The [Listeners] section, and one question to Icecast: its mounts and who
// listens on each now.
void checkListeners(const IniFile &settings, bool logging, Report &report)
{
    warnUnknownKeys(settings, u"Listeners"_s, {u"Server"_s, u"User"_s, u"Password"_s, u"Mounts"_s}, report);
    QString problem;
    std::optional<IcecastListeners::Settings> options = IcecastListeners::fromSettings(settings, &problem);
    if (!problem.isEmpty()) {
        report.skip(u"counting listeners: "_s + problem);
    }
    if (!options) {
        return;
    }
    if (!logging) {
        report.warn(u"[Listeners] is set, but the counts are stored with the play history, which is off"_s);
    }
    const bool everyMount = options->mounts.isEmpty();
    IcecastListeners icecast(std::move(*options));
    QEventLoop loop;
    ListenerSample sample;
    QObject::connect(&icecast, &IcecastListeners::answered, &loop, [&](const ListenerSample &answer) {
        sample = answer;
        loop.quit();
    });
    icecast.ask();
    loop.exec();
    if (!sample.error.isEmpty()) {
        report.warn(u"listeners: Icecast at %1 cannot be asked: %2"_s.arg(icecast.serverName(), sample.error));
        return;
    }
    QStringList mounts;
    for (auto mount = sample.mounts.cbegin(); mount != sample.mounts.cend(); ++mount) {
        mounts << u"%1 %2"_s.arg(mount.key()).arg(mount.value().size());
    }
    report.line(u"listeners: Icecast at %1 answers; listeners now on %2: %3"_s
                    .arg(icecast.serverName(), everyMount ? u"every mount"_s : u"the mounts named"_s,
                         mounts.isEmpty() ? u"(no mount has a source)"_s : mounts.join(u", "_s)));
    for (const QString &mount : std::as_const(sample.absent)) {
        report.warn(u"listeners: mount %1 has no source now"_s.arg(mount));
    }
}

} // namespace

bool checkSettings(const QByteArray &folder, QTextStream &out)
{
    Report report(out);
    const StationSettings settings = StationSettings::read(folder);
    const QString path = QFile::decodeName(folder + "/Quaverlink.ini");
    struct stat info = {};
    if (::stat((folder + "/Quaverlink.ini").constData(), &info) != 0 || !S_ISREG(info.st_mode)) {
        report.fail(path + u" is missing or not a regular file; every setting reads as the folder's path"_s);
    }
    report.line(u"Settings read from %1:"_s.arg(path));
    const std::pair<const char16_t *, QString> shown[] = {
        {u"[Metadata] RDlistenport", settings.listenPort},
        {u"[Metadata] IdleString  ", settings.idleText},
        {u"[Metadata] CountTimeout", settings.countTimeout},
        {u"[Metadata] SenderPort  ", settings.senderPort.value_or(u"(not set: 6969)"_s)},
        {u"[Metadata] AllowedSenders", settings.allowedSenders.value_or(u"(not set: every sender)"_s)},
        {u"[Database] DBenabled   ", settings.dbEnabled},
        {u"[Database] DBserver    ", settings.dbServer},
        {u"[Database] DBuser      ", settings.dbUser},
        {u"[Database] DBpassword  ", u"**********"_s},
        {u"[Database] DBname      ", settings.dbName},
        {u"[Database] Servers     ", settings.dbServers.value_or(u"(not set: DBserver)"_s)},
        {u"[Database] Station     ", settings.station},
    };
    for (const auto &[key, value] : shown) {
        report.line(u"  "_s + QString::fromUtf16(key) + u" = "_s + value);
    }
    for (const QString &key : settings.cutKeys) {
        report.warn(key + u" is longer than 29 characters and is cut to the first 29"_s);
    }
    // The database's keys matter only when play history is on.
    const bool logging = settings.dbEnabled == u"Y";
    for (const QString &key : settings.missingKeys) {
        if (logging || key.startsWith(u"Metadata]")) {
            report.warn(u"["_s + key + u" is missing, so it reads as the folder's path"_s);
        }
    }
    for (const QString &warning : settings.file.warnings()) {
        report.warn(u"Quaverlink.ini "_s + warning);
    }
    const QStringList sections = settings.file.sections();
    const bool holdsSecrets = !settings.file.newValue(u"Database"_s, u"DBpassword"_s).value_or(QString()).isEmpty()
        || !settings.file.newValue(u"Web"_s, u"Token"_s).value_or(QString()).isEmpty()
        || std::any_of(sections.cbegin(), sections.cend(), [&](const QString &section) {
               return !settings.file.newValue(section, u"Password"_s).value_or(QString()).isEmpty();
           });
    if (holdsSecrets && (info.st_mode & S_IROTH)) {
        report.warn(path
                    + u" holds a password or a token and every user of this machine may read it"
                      " (chmod o-r, and give the receiver's group read access)"_s);
    }

    AirSettings air;
    const auto readAir = [&] { air = AirSettings::read(settings); };
    const bool numbersRead = report.step(readAir);
    if (numbersRead && air.countTimeout <= 1) {
        report.warn(u"CountTimeout %1: the idle text goes back on air every second"_s.arg(air.countTimeout));
    }
    for (const auto &[port, key] :
         {std::pair {air.listenPort, u"RDlistenport"_s}, std::pair {air.senderPort, u"SenderPort"_s}}) {
        if (port != 0 && port < 1024) {
            report.warn(u"%1 %2 is below 1024: only a privileged process may bind it"_s.arg(key).arg(port));
        }
        // The station's own receiver, running as a service, holds its ports
        // while it is checked: that is no fault of the settings.
        if (port != 0 && isUdpPortInUse(port)) {
            report.warn(u"UDP port %1 (%2) is in use: a receiver, perhaps this station's own, may already hold it;"
                        " while it does, %3"_s.arg(port)
                            .arg(key)
                            .arg(key == u"RDlistenport" ? u"a second one cannot start"_s
                                                        : u"a second one would not send the idle text"_s));
        }
    }
    if (air.listenPort != 0 && air.listenPort == air.senderPort) {
        report.warn(u"RDlistenport and SenderPort are the same port"_s);
    }

    const QString enabled = settings.dbEnabled.trimmed().toLower();
    if (!logging && (enabled.startsWith(u'y') || enabled == u"1" || enabled == u"true" || enabled == u"on")) {
        report.warn(u"DBenabled is \"%1\": only exactly Y turns play history on"_s.arg(settings.dbEnabled));
    }
    if (!report.failed()) {
        report.line(u"Start-up would listen on UDP port %1, send the idle text from port %2 after %3 s of silence,"
                    " and keep play history %4."_s.arg(air.listenPort)
                        .arg(air.senderPort)
                        .arg(air.countTimeout)
                        .arg(logging ? u"in Brackenwaves.Metadata"_s : u"off"_s));
    }
    if (logging) {
        checkDatabase(settings, report);
    }
    checkPadFeed(settings.file, report);
    checkWebFace(settings.file, folder, report);
    checkListeners(settings.file, logging, report);
    warnUnknownKeys(settings.file, u"Report"_s, {u"Groups"_s, u"Service"_s, u"Category"_s}, report);
    QStringList problems;
    for (const OutputConfig &output : readOutputConfigs(settings.file, folder, &problems)) {
        report.line(u"output %1: %2%3"_s.arg(output.name, output.describe(), reachability(output)));
        checkRendering(output, report);
    }
    for (const QString &problem : std::as_const(problems)) {
        if (problem.contains(u"] is skipped: "_s)) {
            report.skip(problem);
        } else {
            report.warn(problem);
        }
    }
    report.line(report.failed()        ? u"Start-up would fail."_s
                    : report.skipped() ? u"Start-up would succeed, leaving out what is named above."_s
                                       : u"Start-up would succeed."_s);
    return !report.failed() && !report.skipped();
}

} // namespace quaverlink
