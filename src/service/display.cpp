#include "display.h"

#include "common/descriptor.h"

#include <QByteArray>
#include <QList>

#include <cerrno>
#include <cstddef>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace quaverlink {
namespace {

// A short wait: an unreachable display host must not hold up start-up.
constexpr int kConnectTimeoutMs = 1000;

bool connects(int family, const sockaddr *address, socklen_t length)
{
    const Descriptor socket(::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.get() < 0) {
        return false;
    }
    if (::connect(socket.get(), address, length) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    pollfd wait {socket.get(), POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    return ::poll(&wait, 1, kConnectTimeoutMs) == 1
        && ::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

// An abstract socket has no file; X servers offer one beside the file.
bool connectsToLocal(const QByteArray &path, bool abstract = false)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const size_t offset = abstract ? 1 : 0;
    if (path.isEmpty() || offset + size_t(path.size()) >= sizeof address.sun_path) {
        return false;
    }
    std::copy(path.cbegin(), path.cend(), address.sun_path + offset);
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + offset + size_t(path.size()) + (abstract ? 0 : 1));
    return connects(AF_UNIX, reinterpret_cast<const sockaddr *>(&address), length);
}

bool connectsToHost(const QByteArray &host, int port)
{
    addrinfo hints {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.constData(), QByteArray::number(port).constData(), &hints, &found) != 0) {
        return false;
    }
    bool reached = false;
    for (const addrinfo *entry = found; entry && !reached; entry = entry->ai_next) {
        reached = connects(entry->ai_family, entry->ai_addr, entry->ai_addrlen);
    }
    ::freeaddrinfo(found);
    return reached;
}

// DISPLAY is [host]:number[.screen]; a local display is a socket in /tmp/.X11-unix.
bool x11Reachable(const QByteArray &display)
{
    const qsizetype colon = display.lastIndexOf(':');
    if (colon < 0) {
        return false;
    }
    const QByteArray host = display.left(colon);
    bool isNumber = false;
    const int number = display.mid(colon + 1).split('.').value(0).toInt(&isNumber);
    if (!isNumber) {
        return false;
    }
    if (host.isEmpty() || host == "unix") {
        const QByteArray path = "/tmp/.X11-unix/X" + QByteArray::number(number);
        return connectsToLocal(path) || connectsToLocal(path, true);
    }
    return connectsToHost(host, 6000 + number);
}

bool waylandReachable(const QByteArray &display)
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    return connectsToLocal(display.startsWith('/') ? display : runtime + '/' + display);
}

} // namespace

DisplayState probeDisplay(QString *description)
{
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) {
        return DisplayState::Reachable;
    }
    const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
    const QByteArray x11 = qgetenv("DISPLAY");
    if (wayland.isEmpty() && x11.isEmpty()) {
        return DisplayState::None;
    }
    if (description) {
        *description = QString::fromLocal8Bit(wayland.isEmpty() ? x11 : wayland);
    }
    const bool reachable = (!wayland.isEmpty() && waylandReachable(wayland)) || (!x11.isEmpty() && x11Reachable(x11));
    return reachable ? DisplayState::Reachable : DisplayState::Unreachable;
}

} // namespace quaverlink
