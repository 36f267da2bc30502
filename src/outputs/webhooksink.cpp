#include "pushsink.h"

namespace quaverlink {
namespace {

// A webhook: the URL and the body are templates, each field's value escaped
// for where it stands; the header lines (a bearer token, say) go as they
// stand and are never printed.
class WebhookSink final : public HttpPushSink
{
public:
    WebhookSink(const OutputConfig &config, WebhookTarget target)
        : HttpPushSink(config)
        , m_target(std::move(target))
    {
    }

protected:
    void push(const NowPlaying &playing) override
    {
        QNetworkRequest request(QUrl(m_target.url.renderText(playing), QUrl::StrictMode));
        for (const auto &[name, value] : m_target.headers) {
            request.setRawHeader(name, value);
        }
        if (!m_target.contentType.isEmpty()) {
            request.setHeader(QNetworkRequest::ContentTypeHeader, m_target.contentType);
        }
        send(request, m_target.method, m_target.body ? m_target.body->renderText(playing).toUtf8() : QByteArray(),
             true);
    }

private:
    const WebhookTarget m_target;
};

} // namespace

Sink *makeSink(const OutputConfig &config, const WebhookTarget &target)
{
    return new WebhookSink(config, target);
}

} // namespace quaverlink
