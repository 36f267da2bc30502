#pragma once

#include <utility>

#include <unistd.h>

namespace quaverlink {

// Owns a file descriptor and closes it on every path.
class Descriptor final
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    // Takes another descriptor, closing the one held before.
    void reset(int fd = -1)
    {
        if (const int old = std::exchange(m_fd, fd); old >= 0) {
            ::close(old);
        }
    }

private:
    int m_fd;
};

} // namespace quaverlink
