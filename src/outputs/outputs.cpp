#include "outputs.h"

#include "common/atomicfile.h"
#include "common/failure.h"
#include "receiver/settings.h"

#include <QFile>

#include <vector>

namespace quaverlink {
namespace {

const QString kSectionPrefix = u"Output "_qs;

std::optional<Template::Filters> filtersOf(const SettingsFile &settings, const QString &section, QString *problem)
{
    const auto value = [&](const char16_t *key, const char16_t *fallback) {
        return settings.newValue(section, QString::fromUtf16(key)).value_or(QString::fromUtf16(fallback)).trimmed();
    };
    Template::Filters filters;
    const QString oneLine = value(u"OneLine", u"Y").toUpper();
    const QString charset = value(u"Charset", u"UTF-8").toUpper();
    const QString lineEnd = value(u"LineEnd", u"none").toUpper();
    bool isNumber = false;
    filters.maxLength = value(u"MaxLength", u"0").toInt(&isNumber);
    filters.oneLine = oneLine == u"Y";
    filters.charset = charset == u"LATIN-1" ? Template::Charset::Latin1
        : charset == u"ASCII"               ? Template::Charset::Ascii
                                            : Template::Charset::Utf8;
    filters.lineEnd = lineEnd == u"LF" ? "\n" : lineEnd == u"CRLF" ? "\r\n" : "";
    if (!isNumber || filters.maxLength < 0) {
        *problem = u"MaxLength must be a number of characters, 0 for no limit"_qs;
    } else if (oneLine != u"Y" && oneLine != u"N") {
        *problem = u"OneLine must be Y or N"_qs;
    } else if (charset != u"UTF-8" && charset != u"LATIN-1" && charset != u"ASCII") {
        *problem = u"Charset must be UTF-8, Latin-1 or ASCII"_qs;
    } else if (lineEnd != u"NONE" && lineEnd != u"LF" && lineEnd != u"CRLF") {
        *problem = u"LineEnd must be none, LF or CRLF"_qs;
    } else {
        return filters;
    }
    return std::nullopt;
}

} // namespace

// Writes every output for each text, on the outputs' own thread.
class OutputWorker final : public QObject
{
public:
    OutputWorker(QList<Outputs::Config> configs, Outputs::Report report)
        : m_configs(std::move(configs))
        , m_report(std::move(report))
    {
        for (const Outputs::Config &config : std::as_const(m_configs)) {
            m_files.push_back(
                std::make_unique<AtomicFile>(config.path,
                                             [this, name = config.name](const QString &, const QString &cause) {
                                                 m_report(u"output "_qs + name, cause);
                                             }));
        }
    }

    void write(const NowPlaying &playing)
    {
        for (size_t i = 0; i < m_files.size(); ++i) {
            try {
                m_files[i]->replace(m_configs[qsizetype(i)].renderer.render(playing));
            } catch (const Failure &failure) {
                m_report(u"output "_qs + m_configs[qsizetype(i)].name, failure.describe());
            }
        }
    }

private:
    const QList<Outputs::Config> m_configs;
    const Outputs::Report m_report;
    std::vector<std::unique_ptr<AtomicFile>> m_files;
};

QList<Outputs::Config> Outputs::configure(const SettingsFile &settings, const QByteArray &folder, QStringList *problems)
{
    QList<Config> configs;
    for (const QString &section : settings.sections()) {
        if (!section.startsWith(kSectionPrefix, Qt::CaseInsensitive)) {
            continue;
        }
        const QString name = section.mid(kSectionPrefix.size()).trimmed();
        const auto fail = [&](const QString &why) { *problems << u"[%1] is skipped: %2"_qs.arg(section, why); };
        const QString type = settings.newValue(section, u"Type"_qs).value_or(QString()).trimmed();
        const QString file = settings.newValue(section, u"File"_qs).value_or(QString()).trimmed();
        QString problem;
        const std::optional<Template::Filters> filters = filtersOf(settings, section, &problem);
        std::optional<Template> renderer;
        if (type.compare(u"File"_qs, Qt::CaseInsensitive) != 0) {
            fail(u"Type \"%1\" is not known (File is)"_qs.arg(type));
        } else if (file.isEmpty()) {
            fail(u"it names no File"_qs);
        } else if (!filters) {
            fail(problem);
        } else if (!(renderer = Template::parse(settings.newValue(section, u"Template"_qs).value_or(u"{text}"_qs),
                                                *filters, &problem))) {
            fail(u"Template: "_qs + problem);
        } else {
            const QByteArray path
                = file.startsWith(u'/') ? QFile::encodeName(file) : folder + '/' + QFile::encodeName(file);
            configs.append({name, path, *renderer});
        }
    }
    return configs;
}

Outputs::Outputs(QList<Config> configs, Report report, QObject *parent)
    : QObject(parent)
{
    for (const Config &config : std::as_const(configs)) {
        m_names << config.name;
    }
    m_worker = new OutputWorker(std::move(configs), std::move(report));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.setObjectName(u"outputs"_qs);
    m_thread.start();
}

Outputs::~Outputs()
{
    // What was published is written before the outputs end.
    QMetaObject::invokeMethod(
        m_worker, [thread = &m_thread] { thread->quit(); }, Qt::QueuedConnection);
    m_thread.wait();
}

void Outputs::publish(const NowPlaying &playing)
{
    QMetaObject::invokeMethod(
        m_worker, [worker = m_worker, playing] { worker->write(playing); }, Qt::QueuedConnection);
}

} // namespace quaverlink
