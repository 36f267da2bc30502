#pragma once

#include "common/literals.h"
#include <QByteArray>

#include <QString>

#include <chrono>
#include <functional>

class QNetworkAccessManager;
class QNetworkRequest;
class QObject;

namespace quaverlink {

// What became of a request whose answer was bounded in size and in time.
struct BoundedAnswer
{
    int status = 0;  // the HTTP status; 0 when none came
    QString reason;  // its reason phrase
    QByteArray body; // up to the bound
    // Why no whole answer came (a timeout, a lost connection, a body past
    // the bound, a redirect); empty when one did, whatever its status.
    QString error;

    // "HTTP 401 Unauthorized"
    QString statusLine() const { return u"HTTP %1 %2"_s.arg(status).arg(reason).trimmed(); }
};

// Sends request by network, bounded: the reply is aborted once its body
// passes maxBytes or the whole exchange passes deadline (the transfer
// timeout alone measures only silence, and a server that trickles its
// answer never meets it), and a redirect is an error, never followed, so
// that a password never goes to another host. done() is called once, in
// receiver's thread, unless receiver is gone by then. With keepBody false
// the body is read and dropped.
void sendBounded(QNetworkAccessManager &network, QNetworkRequest request, const QByteArray &method,
                 const QByteArray &body, QObject *receiver, qint64 maxBytes, std::chrono::milliseconds deadline,
                 bool keepBody, std::function<void(const BoundedAnswer &answer)> done);

// The Authorization header's value for HTTP Basic authentication.
QByteArray basicAuthorization(const QString &user, const QString &password);

} // namespace quaverlink
