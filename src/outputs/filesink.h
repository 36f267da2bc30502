#pragma once

#include "common/atomicfile.h"
#include "common/failure.h"
#include "sink.h"

namespace quaverlink {

// The text in a file, replaced whole as each goes on air.
class FileSink : public Sink
{
public:
    FileSink(const OutputConfig &config, const QByteArray &path)
        : Sink(config)
        , m_file(path, [this](const QString &, const QString &cause) { notice(cause); })
    {
        m_file.removeLeftovers();
    }

    void publish(const NowPlaying &playing) override
    {
        try {
            m_file.replace(content(playing));
            worked();
        } catch (const Failure &failure) {
            failed(failure.describe());
        }
    }

protected:
    // What the file holds while this text is on air.
    virtual QByteArray content(const NowPlaying &playing) { return render(playing); }

private:
    AtomicFile m_file;
};

} // namespace quaverlink
