#pragma once

#include "template.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <functional>
#include <memory>

namespace quaverlink {

class SettingsFile;
class OutputWorker;

// The outputs beside metadata.txt that Quaverlink.ini asks for, one section
// each: [Output NAME] with Type=File, File=PATH, Template=..., OneLine=Y|N,
// MaxLength=N, Charset=UTF-8|Latin-1|ASCII, LineEnd=none|LF|CRLF. Every text
// that goes on air reaches every output, in order, on a thread of their own,
// so an output never holds up the air.
class Outputs final : public QObject
{
    Q_OBJECT

public:
    using Report = std::function<void(const QString &what, const QString &cause)>;

    struct Config
    {
        QString name;
        QByteArray path;
        Template renderer;
    };

    // The usable sections, and a line for each one that cannot be used
    // (which is then skipped). A relative File is in folder.
    static QList<Config> configure(const SettingsFile &settings, const QByteArray &folder, QStringList *problems);

    Outputs(QList<Config> configs, Report report, QObject *parent = nullptr);
    ~Outputs() override;

    bool isEmpty() const { return m_names.isEmpty(); }
    const QStringList &names() const { return m_names; }
    void publish(const NowPlaying &playing);

private:
    QStringList m_names;
    QThread m_thread;
    OutputWorker *m_worker = nullptr;
};

} // namespace quaverlink
