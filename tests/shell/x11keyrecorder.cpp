#include "x11keyrecorder.h"

#include <QElapsedTimer>
#include <QTest>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {
int refused = 0;
int noteRefusal(Display*, XErrorEvent* e)
{
    refused = e->error_code;
    return 0;
}
} // namespace

struct X11KeyRecorder::Impl {
    Display* dpy = nullptr;
    Window win = 0;
    std::vector<Key> keys;

    void read()
    {
        while (XPending(dpy) > 0) {
            XEvent ev;
            XNextEvent(dpy, &ev);
            if (ev.type == KeyPress || ev.type == KeyRelease) {
                const KeySym sym = XLookupKeysym(&ev.xkey, 0);
                const char* name = sym == NoSymbol ? nullptr : XKeysymToString(sym);
                keys.push_back({QString::fromLatin1(name ? name : "?"), ev.type == KeyRelease, ev.xkey.state});
            }
        }
    }
};

X11KeyRecorder::X11KeyRecorder() : d(std::make_unique<Impl>())
{
    d->dpy = XOpenDisplay(nullptr);
    if (!d->dpy)
        return;
    const Window root = DefaultRootWindow(d->dpy);
    d->win = XCreateSimpleWindow(d->dpy, root, 1040, 10, 200, 120, 0, 0, 0xFFFFFF);
    XStoreName(d->dpy, d->win, "key recorder");
    XSelectInput(d->dpy, d->win, KeyPressMask | KeyReleaseMask | StructureNotifyMask);
    XMapRaised(d->dpy, d->win);
    for (;;) {
        XEvent ev;
        XNextEvent(d->dpy, &ev);
        if (ev.type == MapNotify)
            break;
    }
}

X11KeyRecorder::~X11KeyRecorder()
{
    if (d->dpy)
        XCloseDisplay(d->dpy);
}

bool X11KeyRecorder::ok() const { return d->dpy && d->win; }

bool X11KeyRecorder::focus()
{
    XSetInputFocus(d->dpy, d->win, RevertToParent, CurrentTime);
    XSync(d->dpy, False);
    Window at = 0;
    int revert = 0;
    XGetInputFocus(d->dpy, &at, &revert);
    return at == d->win;
}

const std::vector<X11KeyRecorder::Key>& X11KeyRecorder::keys()
{
    d->read();
    return d->keys;
}

int X11KeyRecorder::presses(const QString& name)
{
    int n = 0;
    for (const Key& k : keys())
        n += !k.release && k.name == name;
    return n;
}

bool X11KeyRecorder::waitForPress(const QString& name, int ms)
{
    return QTest::qWaitFor([&] { return presses(name) > 0; }, ms);
}

void X11KeyRecorder::clear()
{
    d->read();
    d->keys.clear();
}

bool X11KeyRecorder::grab(const QString& name, unsigned modifiers)
{
    const KeyCode code = XKeysymToKeycode(d->dpy, XStringToKeysym(name.toLatin1().constData()));
    XSync(d->dpy, False);
    refused = 0;
    XErrorHandler before = XSetErrorHandler(noteRefusal);
    XGrabKey(d->dpy, code, modifiers, DefaultRootWindow(d->dpy), False, GrabModeAsync, GrabModeAsync);
    XSync(d->dpy, False);
    XSetErrorHandler(before);
    return refused == 0;
}

unsigned X11KeyRecorder::controlMask() { return ControlMask; }
unsigned X11KeyRecorder::mod1Mask() { return Mod1Mask; }
unsigned X11KeyRecorder::mod2Mask() { return Mod2Mask; }
