#include "socketqueue.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace quaverlink {

qint64 unsentBytes(const QAbstractSocket &socket)
{
    int queued = 0;
    const qintptr fd = socket.socketDescriptor();
    if (fd < 0 || ::ioctl(int(fd), SIOCOUTQ, &queued) != 0) {
        queued = 0;
    }
    return socket.bytesToWrite() + queued;
}

} // namespace quaverlink
