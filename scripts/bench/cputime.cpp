// Prints the CPU time a running process has used so far, in nanoseconds: every thread, those
// that have ended included. /proc/PID/stat counts in clock ticks (10 ms), too coarse for a
// program that needs a few milliseconds per second; the process's CPU clock is exact.
//   cputime PID [PID...]     one line per process
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/types.h>

int main(int argc, char *argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PID [PID...]\n", argv[0]);
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        clockid_t clock {};
        timespec used {};
        const pid_t pid = pid_t(std::atol(argv[i]));
        if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
            std::fprintf(stderr, "cputime: no CPU clock for process %s\n", argv[i]);
            return 1;
        }
        std::printf("%lld\n", static_cast<long long>(used.tv_sec) * 1000000000LL + used.tv_nsec);
    }
    return 0;
}
