// x11-hold-key KEY
//
// Plays another program that already holds a hotkey: grabs Ctrl+KEY (an X key name such as
// "Left") on the root window of $DISPLAY, so no other client can take it, prints "held" once it
// has it, and keeps it until it is ended (or its X server goes). End-to-end scripts start it
// before the program whose keyboard hook must then fail.
//
// Exit status: 0 ended by a signal; 1 the key could not be taken; 2 bad use or no X server.
#include <X11/Xlib.h>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

bool g_refused = false;

int onError(Display*, XErrorEvent* e)
{
    if (e->error_code == BadAccess)
        g_refused = true;
    return 0;
}

volatile std::sig_atomic_t g_end = 0;
void onSignal(int) { g_end = 1; }

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: x11-hold-key KEY\n");
        return 2;
    }
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        std::fprintf(stderr, "x11-hold-key: no X display\n");
        return 2;
    }
    const KeySym sym = XStringToKeysym(argv[1]);
    const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(d, sym);
    if (code == 0) {
        std::fprintf(stderr, "x11-hold-key: no key %s\n", argv[1]);
        return 2;
    }
    XSetErrorHandler(onError);
    XGrabKey(d, code, ControlMask, DefaultRootWindow(d), True, GrabModeAsync, GrabModeAsync);
    XSync(d, False);
    if (g_refused) {
        std::fprintf(stderr, "x11-hold-key: Ctrl+%s is held by another client\n", argv[1]);
        return 1;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::printf("held\n");
    std::fflush(stdout);
    // Keys pressed meanwhile come to us and are dropped; a server that goes ends us too.
    const int fd = ConnectionNumber(d);
    while (!g_end) {
        while (XPending(d) > 0) {
            XEvent e;
            XNextEvent(d, &e);
        }
        fd_set in;
        FD_ZERO(&in);
        FD_SET(fd, &in);
        timeval tick{0, 200000};
        select(fd + 1, &in, nullptr, nullptr, &tick);
    }
    XCloseDisplay(d);
    return 0;
}
