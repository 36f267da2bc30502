#include "common/literals.h"
#include "pushsink.h"

namespace quaverlink {
namespace {

// Icecast's song title of a mount, by its admin interface.
class IcecastSink final : public HttpPushSink
{
public:
    IcecastSink(const OutputConfig &config, IcecastTarget target)
        : HttpPushSink(config)
        , m_target(std::move(target))
    {
    }

protected:
    void push(const NowPlaying &playing) override
    {
        const QByteArray text = render(playing);
        const char *charset = m_config.renderer.charset() == Template::Charset::Latin1 ? "ISO-8859-1"
            : m_config.renderer.charset() == Template::Charset::Ascii                  ? "US-ASCII"
                                                                                       : "UTF-8";
        // The song travels as the bytes of its character set, percent-encoded.
        QUrl url = m_target.server;
        url.setPath(u"/admin/metadata"_s);
        url.setQuery(QString::fromLatin1("mode=updinfo&mount=" + QUrl::toPercentEncoding(m_target.mount)
                                         + "&charset=" + charset + "&song=" + text.toPercentEncoding()),
                     QUrl::StrictMode);
        QNetworkRequest request(url);
        request.setRawHeader("Authorization", basicAuthorization(m_target.user, m_target.password));
        send(request, "GET", {}, false);
    }

private:
    const IcecastTarget m_target;
};

} // namespace

Sink *makeSink(const OutputConfig &config, const IcecastTarget &target)
{
    return new IcecastSink(config, target);
}

} // namespace quaverlink
