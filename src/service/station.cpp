#include "station.h"

#include "common/failure.h"
#include "common/literals.h"
#include "listeners/listenercounter.h"
#include "outputs/outputs.h"
#include "pad/padclient.h"
#include "playlog/historyfile.h"
#include "playlog/playhistory.h"
#include "settings/settings.h"
#include "web/webface.h"

namespace quaverlink {
namespace {

const QByteArray kSpoolFile = "/playhistory.sqlite";

} // namespace

Station::Station(QObject *parent)
    : QObject(parent)
{
    relayReports(&m_receiver);
    connect(&m_receiver, &Receiver::played, this, &Station::takePlay);
}

Station::~Station() = default;

template<typename Part>
void Station::relayReports(Part *part)
{
    connect(part, &Part::reported, this, &Station::reported);
}

void Station::report(const QString &what, const QString &cause)
{
    const QString line = failureLine(what, cause);
    writeFailureLine(line);
    Q_EMIT reported(line, Severity::Failure);
}

bool Station::start()
{
    const QByteArray folder = currentFolder();
    const StationSettings settings = StationSettings::read(folder);
    m_historyFile = std::make_shared<HistoryFile>(folder + kSpoolFile);
    const bool started = m_receiver.start(settings);
    startPlayHistory(settings);
    startOutputs(settings.file, folder);
    if (started) {
        startPadClient(settings.file);
    }
    startListenerCounter(settings.file);
    startWebFace(settings.file, folder);
    return started;
}

void Station::startPlayHistory(const StationSettings &settings)
{
    if (settings.dbEnabled != u"Y") {
        return;
    }
    PlayHistory::Options options;
    options.file = m_historyFile;
    options.login = {settings.dbUser, settings.dbPassword, settings.dbServer};
    if (settings.dbServers) {
        const std::optional<QStringList> servers = serverTexts(*settings.dbServers);
        // The air does not wait on a typo in the history's settings.
        if (servers) {
            options.servers = *servers;
        } else {
            report(u"Quaverlink.ini"_s,
                   u"[Database] Servers \"%1\" is not a list of HOST[:PORT]; DBserver is used"_s.arg(
                       *settings.dbServers));
        }
    }
    options.station = settings.station;
    m_history = std::make_unique<PlayHistory>(options);
    relayReports(m_history.get());
}

void Station::startOutputs(const IniFile &settings, const QByteArray &folder)
{
    QStringList problems;
    QList<OutputConfig> configs = readOutputConfigs(settings, folder, &problems);
    for (const QString &problem : std::as_const(problems)) {
        report(u"outputs"_s, problem);
    }
    if (configs.isEmpty()) {
        return;
    }
    for (const OutputConfig &config : std::as_const(configs)) {
        m_outputStates[config.name] = {u"waiting for a text"_s, QDateTime::currentDateTime()};
    }
    m_outputs = std::make_unique<Outputs>(std::move(configs));
    relayReports(m_outputs.get());
    connect(&m_receiver, &Receiver::onAirChanged, m_outputs.get(), &Outputs::publish);
    connect(m_outputs.get(), &Outputs::stateChanged, this, [this](const QString &name, const QString &state) {
        // An output says so only when it begins or stops working.
        OutputState &output = m_outputStates[name];
        const bool working = state == u"working";
        output = {state, QDateTime::currentDateTime(), working, output.failures + (working ? 0 : 1)};
        Q_EMIT outputsChanged();
    });
    Q_EMIT outputsChanged();
}

void Station::startPadClient(const IniFile &settings)
{
    QString problem;
    std::optional<PadClient::Options> options = PadClient::fromSettings(settings, &problem);
    if (!problem.isEmpty()) {
        report(u"PAD feed"_s, problem + u"; the feed is not followed"_s);
    }
    if (!options) {
        return;
    }
    m_padClient = std::make_unique<PadClient>(std::move(*options));
    relayReports(m_padClient.get());
    connect(m_padClient.get(), &PadClient::played, &m_receiver, &Receiver::receivePadPlay);
    connect(m_padClient.get(), &PadClient::nextChanged, &m_receiver, &Receiver::receivePadNext);
    m_padClient->start();
}

void Station::startListenerCounter(const IniFile &settings)
{
    QString problem;
    std::optional<IcecastListeners::Settings> icecast = IcecastListeners::fromSettings(settings, &problem);
    if (!problem.isEmpty()) {
        report(u"listeners"_s, problem);
    }
    if (!icecast) {
        return;
    }
    if (!m_history) {
        report(u"listeners"_s, u"they are stored with the play history, which is off, so they are not counted"_s);
        return;
    }
    m_listeners = std::make_unique<ListenerCounter>(std::move(*icecast));
    relayReports(m_listeners.get());
    connect(m_listeners.get(), &ListenerCounter::counted, m_history.get(), &PlayHistory::recordListeners);
}

void Station::startWebFace(const IniFile &settings, const QByteArray &folder)
{
    QString problem;
    std::optional<WebFace::Options> options = WebFace::fromSettings(settings, folder, &problem);
    if (!options) {
        if (!problem.isEmpty()) {
            report(u"web face"_s, problem + u"; no status page is served"_s);
        }
        return;
    }
    auto face = std::make_unique<WebFace>(*this, std::move(*options), m_historyFile);
    if (!face->listen(&problem)) {
        report(u"web face"_s, problem);
        return;
    }
    m_webFace = std::move(face);
    relayReports(m_webFace.get());
    WebFace *webFace = m_webFace.get();
    connect(&m_receiver, &Receiver::itemApplied, webFace, &WebFace::statusChanged);
    connect(&m_receiver, &Receiver::nextChanged, webFace, &WebFace::statusChanged);
    connect(this, &Station::outputsChanged, webFace, &WebFace::statusChanged);
    connect(this, &Station::reported, webFace, &WebFace::statusChanged);
    if (m_padClient) {
        connect(m_padClient.get(), &PadClient::statusChanged, webFace, &WebFace::statusChanged);
    }
}

void Station::takePlay(const Play &play)
{
    if (m_history) {
        m_history->record(play.text, play.onAir, play.details ? &*play.details : nullptr);
    }
    if (m_listeners) {
        // The idle text is no play: the play before it has left the air.
        if (play.isIdle) {
            m_listeners->endPlay();
        } else if (!play.addsDetails) {
            m_listeners->startPlay(play.text, play.onAir);
        }
    }
    if (m_webFace) {
        m_webFace->addPlay(play);
    }
}

bool Station::stop()
{
    // The plays on air get their counts before the history keeps its last.
    if (m_listeners) {
        m_listeners->stop();
    }
    m_receiver.reportLastCounts();
    const bool historyEnded = !m_history || m_history->stop();
    const bool outputsEnded = !m_outputs || m_outputs->stop();
    return historyEnded && outputsEnded;
}

QStringList Station::outputNames() const
{
    return m_outputs ? m_outputs->names() : QStringList();
}

QString Station::outputSummary() const
{
    QStringList states;
    for (auto it = m_outputStates.cbegin(); it != m_outputStates.cend(); ++it) {
        states << it.key() + u": "_s + it.value().state;
    }
    return states.join(u" \u00b7 "_s);
}

StationStatus Station::status() const
{
    const StatusFields &fields = m_receiver.fields();
    const Receiver::Counters &counters = m_receiver.counters();
    StationStatus status;
    status.idleText = m_receiver.idleText();
    status.now = fields.text(Field::lblNow);
    status.previous = fields.text(Field::lblLast);
    status.next = m_receiver.nextText();
    status.listening = m_receiver.isListening();
    if (m_receiver.isCountingDown()) {
        status.countdown = m_receiver.countdown();
    }
    status.lastItemAt = m_receiver.lastItemAt();
    status.applied = counters.itemsApplied;
    status.idleTexts = counters.idleTexts;
    status.refused = m_receiver.refusedDatagrams();
    status.dropped = counters.dropped;
    status.live = m_receiver.live();
    if (m_history) {
        status.history = m_history->status();
    }
    if (m_padClient) {
        status.pad = m_padClient->status();
    }
    status.outputs = m_outputStates;
    return status;
}

} // namespace quaverlink
