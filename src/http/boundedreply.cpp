#include "boundedreply.h"

#include "common/literals.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include <memory>

namespace quaverlink {

void sendBounded(QNetworkAccessManager &network, QNetworkRequest request, const QByteArray &method,
                 const QByteArray &body, QObject *receiver, qint64 maxBytes, std::chrono::milliseconds deadline,
                 bool keepBody, std::function<void(const BoundedAnswer &answer)> done)
{
    request.setTransferTimeout(int(deadline.count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply = network.sendCustomRequest(request, method, body);
    struct State
    {
        BoundedAnswer answer;
        qint64 received = 0;
    };
    auto state = std::make_shared<State>();
    QTimer::singleShot(deadline, reply, [reply, state, deadline] {
        state->answer.error = u"no whole answer within %1 s"_s.arg(double(deadline.count()) / 1000);
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state, maxBytes, keepBody] {
        if (!state->answer.error.isEmpty()) {
            return;
        }
        const qint64 available = reply->bytesAvailable();
        if (state->received + available > maxBytes) {
            state->answer.error = u"the server's answer is longer than %1 bytes"_s.arg(maxBytes);
            reply->abort();
            return;
        }
        state->received += available;
        if (keepBody) {
            state->answer.body += reply->read(available);
        } else {
            reply->skip(available);
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, receiver,
                     [reply, state, maxBytes, keepBody, done = std::move(done)] {
                         reply->deleteLater();
                         BoundedAnswer &answer = state->answer;
                         if (answer.error.isEmpty() && keepBody) {
                             answer.body += reply->readAll();
                             if (answer.body.size() > maxBytes) {
                                 answer.error = u"the server's answer is longer than %1 bytes"_s.arg(maxBytes);
                             }
                         }
                         answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                         answer.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
                         if (!answer.error.isEmpty()) {
                             answer.status = 0;
                         } else if (answer.status >= 300 && answer.status < 400) {
                             // Said without its query or user, which may hold a secret.
                             const QUrl location
                                 = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
                             answer.error
                                 = u"HTTP %1: the server redirects to %2, which is not followed"_s.arg(answer.status)
                                       .arg(location.toString(QUrl::RemoveUserInfo | QUrl::RemoveQuery));
                         } else if (reply->error() != QNetworkReply::NoError
                                    && reply->error() < QNetworkReply::ContentAccessDenied) {
                             // The connection's failure (refused, lost, cut short); an HTTP
                             // status of its own is the caller's to judge.
                             answer.status = 0;
                             answer.error = reply->errorString();
                         } else if (answer.status == 0) {
                             answer.error = u"no HTTP answer"_s;
                         }
                         done(answer);
                     });
}

QByteArray basicAuthorization(const QString &user, const QString &password)
{
    return "Basic " + (user + u':' + password).toUtf8().toBase64();
}

} // namespace quaverlink
