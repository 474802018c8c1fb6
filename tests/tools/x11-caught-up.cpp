// x11-caught-up [--no-popup] WINDOW [SECONDS]
//
// Returns once the X client that owns WINDOW has handled every event the X server sent it before
// now: the client's windows are pinged the way a window manager pings them (_NET_WM_PING) and
// the first answer is awaited. A client handles its input, map and focus events in the order
// they came, so after the answer a click or key sent by xdotool meets the program in the state
// the script saw, not in one it has yet to reach (a popup still holding the pointer, a window
// still to be activated).
//
// All the program's top-level windows are pinged (found by the process number they carry), so
// an answer comes even when WINDOW itself closes meanwhile. A window that closes before the program
// reads its ping never answers it (the program no longer knows the window), and a click that
// closes a dialog can close every window pinged while the program still works on the click (the
// dialog, the splash behind it), with the next window opened only after: so once a pinged window
// is gone, the program's windows not pinged yet are pinged too. Any answer will do, each ping
// being sent after the events awaited.
//
// With --no-popup it then also waits until none of the program's popups (menus, completion
// lists: override-redirect windows) is on the screen. A popup holds the pointer, and a click
// meant for a window under it would only close it; Qt takes a popup down a moment after the
// dialog it belongs to.
//
// End-to-end scripts call it instead of sleeping. Exit status: 0 answered; 1 no answer within
// SECONDS (default 30); 2 bad use or no X server; 3 the window or its program is gone.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <string_view>
#include <vector>

namespace {

int ignoreErrors(Display*, XErrorEvent*) { return 0; }

// The process number a window carries, or 0.
long windowPid(Display* d, Window w)
{
    static const Atom pidAtom = XInternAtom(d, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    long pid = 0;
    if (XGetWindowProperty(d, w, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after, &data) == Success
        && data && format == 32 && count == 1)
        pid = *reinterpret_cast<long*>(data);
    if (data)
        XFree(data);
    return pid;
}

std::vector<Window> windowsOf(Display* d, long pid)
{
    std::vector<Window> found;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &n)) {
        for (unsigned int i = 0; i < n; ++i)
            if (windowPid(d, children[i]) == pid)
                found.push_back(children[i]);
        if (children)
            XFree(children);
    }
    return found;
}

bool popupShown(Display* d, long pid)
{
    for (Window w : windowsOf(d, pid)) {
        XWindowAttributes a {};
        if (XGetWindowAttributes(d, w, &a) && a.override_redirect && a.map_state == IsViewable)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    const bool noPopup = argc > 1 && std::string_view(argv[1]) == "--no-popup";
    if (noPopup) {
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: x11-caught-up [--no-popup] WINDOW [SECONDS]\n");
        return 2;
    }
    const Window window = std::strtoul(argv[1], nullptr, 0);
    const double seconds = argc == 3 ? std::atof(argv[2]) : 30.0;
    Display* d = XOpenDisplay(nullptr);
    if (!d || !window) {
        std::fprintf(stderr, "x11-caught-up: no X display or no window\n");
        return 2;
    }
    // Windows that close meanwhile raise BadWindow: no answer from them, not a crash.
    XSetErrorHandler(ignoreErrors);
    const long pid = windowPid(d, window);
    if (pid <= 0) {
        XCloseDisplay(d);
        return 3;
    }
    // Qt sends its answer to the root window, for the clients that watch the root's structure.
    const Window root = DefaultRootWindow(d);
    XSelectInput(d, root, StructureNotifyMask | SubstructureNotifyMask);
    const Atom protocols = XInternAtom(d, "WM_PROTOCOLS", False);
    const Atom ping = XInternAtom(d, "_NET_WM_PING", False);

    // The token tells our answer from any other ping's.
    const long token = long(std::chrono::steady_clock::now().time_since_epoch().count() & 0x7fffffff);
    std::vector<Window> pinged;
    const auto pingNew = [&](const std::vector<Window>& windows) {
        for (Window w : windows) {
            if (std::find(pinged.begin(), pinged.end(), w) != pinged.end())
                continue;
            pinged.push_back(w);
            XEvent e {};
            e.xclient.type = ClientMessage;
            e.xclient.window = w;
            e.xclient.message_type = protocols;
            e.xclient.format = 32;
            e.xclient.data.l[0] = long(ping);
            e.xclient.data.l[1] = CurrentTime;
            e.xclient.data.l[2] = long(w);
            e.xclient.data.l[3] = token;
            XSendEvent(d, w, False, NoEventMask, &e);
        }
        XFlush(d);
    };
    pingNew(windowsOf(d, pid));

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    bool answered = false;
    for (;;) {
        while (XPending(d)) {
            XEvent in;
            XNextEvent(d, &in);
            answered |= in.type == ClientMessage && in.xclient.message_type == protocols && in.xclient.format == 32
                        && Atom(in.xclient.data.l[0]) == ping && in.xclient.data.l[3] == token;
        }
        if (answered && !(noPopup && popupShown(d, pid))) {
            XCloseDisplay(d);
            return 0;
        }
        const std::vector<Window> windows = windowsOf(d, pid);
        if (windows.empty()) {
            XCloseDisplay(d);
            return 3; // the program has ended (its windows go with it)
        }
        if (!answered
            && std::any_of(pinged.begin(), pinged.end(),
                           [&](Window w) { return std::find(windows.begin(), windows.end(), w) == windows.end(); }))
            pingNew(windows);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p {ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, int(std::min<long long>(left.count(), 100)));
    }
    std::fprintf(stderr, "x11-caught-up: the program of window %s %s within %g s\n", argv[1],
                 answered ? "kept a popup open" : "did not answer", seconds);
    XCloseDisplay(d);
    return 1;
}
