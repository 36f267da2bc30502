// The least a Qt receiver can do and still replace metadata.txt atomically:
// QCoreApplication, QUdpSocket, QFile, rename. The floor of the stack, beside
// minimal_receiver.c, the floor of the language.
// Usage: minimal_qt_receiver PORT (run in the folder that gets metadata.txt).
#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <QUdpSocket>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int g_stopPipe[2];

void onTerm(int)
{
    const char byte = 0;
    [[maybe_unused]] const ssize_t written = ::write(g_stopPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QUdpSocket socket;
    if (argc < 2 || !socket.bind(QHostAddress::AnyIPv4, quint16(QByteArray(argv[1]).toUInt()))) {
        std::perror("bind");
        return 1;
    }
    long burstItems = 0;
    QObject::connect(&socket, &QUdpSocket::readyRead, [&] {
        while (socket.hasPendingDatagrams()) {
            QByteArray datagram(int(socket.pendingDatagramSize()), Qt::Uninitialized);
            socket.readDatagram(datagram.data(), datagram.size());
            QFile out(QStringLiteral("metadata.txt.tmp"));
            if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(datagram + "\r\n\r\n") < 0) {
                std::perror("metadata.txt");
            }
            out.close();
            std::rename("metadata.txt.tmp", "metadata.txt");
            burstItems += datagram.startsWith("Burst") ? 1 : 0;
        }
    });
    if (::pipe(g_stopPipe) != 0) {
        return 1;
    }
    QSocketNotifier stop(g_stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGTERM, onTerm);
    const int status = app.exec();
    if (FILE *count = std::fopen("applied.count", "w")) {
        std::fprintf(count, "%ld", burstItems);
        std::fclose(count);
    }
    return status;
}
