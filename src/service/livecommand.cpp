#include "livecommand.h"

#include "common/literals.h"
#include "settings/inifile.h"
#include "web/webface.h"

#include <QCommandLineParser>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QTcpSocket>

#include <cstdio>

namespace quaverlink {
namespace {

constexpr int kWaitMs = 10000;

int usageError(const QString &message)
{
    std::fprintf(stderr, "quaverlink live: %s (see quaverlink live --help)\n", qPrintable(message));
    return 2;
}

// One request to the station's own web face, on this machine; the answer
// whole, or empty with the reason in error.
QByteArray exchange(const WebFace::Options &face, const QByteArray &request, QString *error)
{
    QTcpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    const QHostAddress address(face.address);
    const bool anywhere
        = address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6 || address == QHostAddress::Any;
    socket.connectToHost(anywhere ? QHostAddress(QHostAddress::LocalHost) : address, face.port);
    if (!socket.waitForConnected(kWaitMs)) {
        *error = socket.errorString();
        return {};
    }
    socket.write(request);
    QByteArray answer;
    while (socket.waitForReadyRead(kWaitMs)) {
        answer += socket.readAll();
    }
    answer += socket.readAll();
    if (answer.isEmpty()) {
        *error = u"no answer"_s;
    }
    return answer;
}

} // namespace

int runLive(const QStringList &arguments, const QByteArray &folder)
{
    QCommandLineParser parser;
    const QCommandLineOption minutes(u"minutes"_s, u"How long it holds the air; 0: until cleared."_s, u"N"_s);
    const QCommandLineOption clear(u"clear"_s, u"Clear the live text: the playout has the air again."_s);
    const QCommandLineOption help({u"h"_s, u"help"_s}, u"Show this help and exit."_s);
    parser.addOptions({minutes, clear, help});
    parser.addPositionalArgument(u"text"_s, u"What goes on air."_s);
    if (!parser.parse(arguments)) {
        return usageError(parser.errorText());
    }
    if (parser.isSet(help)) {
        std::printf("Usage: quaverlink live TEXT [--minutes N]\n       quaverlink live --clear\n\n"
                    "Puts a text on air through the web face of the receiver running in this folder, with the\n"
                    "token its Quaverlink.ini names ([Web] TokenFile or Token).\n\n%s",
                    qPrintable(parser.helpText().section(u"\n\n"_s, -1)));
        return 0;
    }
    const QStringList texts = parser.positionalArguments();
    if (parser.isSet(clear) == (texts.size() == 1) || texts.size() > 1) {
        return usageError(u"give one text (in quotes), or --clear"_s);
    }
    bool isNumber = false;
    const double count = parser.value(minutes).toDouble(&isNumber);
    if (parser.isSet(minutes) && (!isNumber || count < 0 || count > 7 * 24 * 60)) {
        return usageError(u"--minutes takes a number from 0 (until cleared) to 10080"_s);
    }
    QString problem;
    const IniFile settings = IniFile::read(folder + "/Quaverlink.ini", QFile::decodeName(folder));
    const std::optional<WebFace::Options> face = WebFace::fromSettings(settings, folder, &problem);
    if (!face || face->token.isEmpty()) {
        std::fprintf(stderr, "quaverlink live: %s\n",
                     qPrintable(!problem.isEmpty() ? problem
                                    : face         ? u"Quaverlink.ini sets no [Web] TokenFile or Token"_s
                                                   : u"Quaverlink.ini has no [Web] section with a Port"_s));
        return 1;
    }
    QByteArray body;
    if (!parser.isSet(clear)) {
        QJsonObject live {{u"text"_s, texts.constFirst()}};
        if (parser.isSet(minutes)) {
            live.insert(u"expires"_s, count * 60);
        }
        body = QJsonDocument(live).toJson(QJsonDocument::Compact);
    }
    const QByteArray request = (parser.isSet(clear) ? "DELETE" : "POST") + QByteArray(" /api/now HTTP/1.1\r\n")
        + "Host: localhost\r\nAuthorization: Bearer " + face->token + "\r\nContent-Type: application/json\r\n"
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    const QByteArray answer = exchange(*face, request, &problem);
    if (answer.isEmpty()) {
        std::fprintf(stderr, "quaverlink live: the receiver's web face on %s port %u: %s\n", qPrintable(face->address),
                     unsigned(face->port), qPrintable(problem));
        return 1;
    }
    const QByteArray status = answer.left(answer.indexOf("\r\n"));
    const QByteArray reply = answer.mid(answer.indexOf("\r\n\r\n") + 4).trimmed();
    if (!status.startsWith("HTTP/1.1 200")) {
        std::fprintf(stderr, "quaverlink live: %s: %s\n", status.constData() + qMin<qsizetype>(9, status.size()),
                     reply.constData());
        return 1;
    }
    std::printf("%s\n", reply.constData());
    return 0;
}

} // namespace quaverlink
