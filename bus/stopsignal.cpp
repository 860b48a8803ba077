#include "stopsignal.h"

#include <QElapsedTimer>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace Bus {

StopSignal::StopSignal()
{
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        fds[0] = fds[1] = -1;
}

StopSignal::~StopSignal()
{
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void StopSignal::request()
{
    flag = true;
    const char byte = 1;
    // Never read: the pipe stays readable for every waiter.
    [[maybe_unused]] const ssize_t written = ::write(fds[1], &byte, 1);
}

bool StopSignal::waitFor(qint64 ms) const
{
    QElapsedTimer timer;
    timer.start();
    while (!flag) {
        const qint64 left = ms - timer.elapsed();
        if (left <= 0)
            return true;
        pollfd p { fds[0], POLLIN, 0 };
        if (::poll(&p, 1, int(left)) < 0 && errno != EINTR)
            return !flag;
    }
    return false;
}

} // namespace Bus
