// Starts a program and reports how long it takes until its first top-level window is mapped.
//   mapwait CLASS PROGRAM [ARGS...]
// Prints "PID MS WIDTHxHEIGHT WINDOW" as soon as a window whose WM_CLASS name or class is CLASS
// is mapped, then waits for the program and exits with its status. The time runs from just
// before fork() and is taken from the X server's MapNotify event, not by polling, so it has
// no polling granularity. Without a window manager the top-level windows are the root's
// children, which is where the event is watched.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

double msSince(const timespec &start)
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec - start.tv_sec) * 1e3 + double(now.tv_nsec - start.tv_nsec) / 1e6;
}

bool hasClass(Display *display, Window window, const char *wanted)
{
    XClassHint hint {};
    if (!XGetClassHint(display, window, &hint))
        return false;
    const bool match = (hint.res_name && std::strcmp(hint.res_name, wanted) == 0)
        || (hint.res_class && std::strcmp(hint.res_class, wanted) == 0);
    XFree(hint.res_name);
    XFree(hint.res_class);
    return match;
}

int exitStatus(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
}

// A window may be gone again before its class is read; that is no reason to stop.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CLASS PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "mapwait: cannot open the display\n");
        return 2;
    }
    XSetErrorHandler(ignoreXError);
    const Window root = DefaultRootWindow(display);
    XSelectInput(display, root, SubstructureNotifyMask);
    XSync(display, False);

    timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const pid_t child = fork();
    if (child < 0) {
        std::perror("mapwait: fork");
        return 2;
    }
    if (child == 0) {
        close(ConnectionNumber(display));
        execvp(argv[2], argv + 2);
        std::perror("mapwait: exec");
        _exit(127);
    }

    bool mapped = false;
    int status = 0;
    while (!mapped) {
        while (!mapped && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type != MapNotify || !hasClass(display, event.xmap.window, argv[1]))
                continue;
            XWindowAttributes attributes {};
            XGetWindowAttributes(display, event.xmap.window, &attributes);
            std::printf("%d %.1f %dx%d 0x%lx\n", int(child), msSince(start), attributes.width,
                        attributes.height, static_cast<unsigned long>(event.xmap.window));
            std::fflush(stdout);
            mapped = true;
        }
        if (mapped)
            break;
        if (waitpid(child, &status, WNOHANG) == child) {
            std::fprintf(stderr, "mapwait: %s ended before mapping a window\n", argv[2]);
            return exitStatus(status);
        }
        pollfd descriptor { ConnectionNumber(display), POLLIN, 0 };
        poll(&descriptor, 1, 20);
    }
    XCloseDisplay(display);

    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR)
            return 1;
    }
    return exitStatus(status);
}
