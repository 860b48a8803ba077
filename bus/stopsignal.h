#ifndef STOPSIGNAL_H
#define STOPSIGNAL_H

#include <QtGlobal>

#include <atomic>

namespace Bus {

// A stop request that a signal handler may make and that a waiting thread sees at once: a
// pipe that becomes readable. A poller that slept in short slices to look at a flag woke 50
// times a second, which cost more than the polling itself.
class StopSignal
{
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    void request(); // async-signal-safe
    bool requested() const { return flag; }
    // Waits up to ms; false when the stop has been requested (before or meanwhile).
    bool waitFor(qint64 ms) const;
    // Readable once the stop is requested, for an event loop to watch.
    int descriptor() const { return fds[0]; }

private:
    int fds[2] = { -1, -1 };
    std::atomic<bool> flag { false };
};

} // namespace Bus

#endif // STOPSIGNAL_H
