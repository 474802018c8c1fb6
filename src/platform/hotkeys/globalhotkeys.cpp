#include "platform/hotkeys/globalhotkeys.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QtGlobal>
#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <set>
#include <vector>

// Xlib's headers define macros (None, Bool, KeyPress, Status ...) that clash with Qt's names:
// they come last, and nothing of them leaves this file.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/record.h>
#include <X11/keysym.h>

namespace hotkeys {

namespace {

// X errors are reported to one handler for the whole process, and Xlib's default handler ends
// the program. Our connections' errors are noted here, per connection, and looked at after each
// XSync; errors on anybody else's connections go on to the handler that was there before.
std::map<Display*, int>& ourErrors()
{
    static std::map<Display*, int> errors;
    return errors;
}

XErrorHandler previousErrorHandler = nullptr;

int noteError(Display* dpy, XErrorEvent* e)
{
    auto it = ourErrors().find(dpy);
    if (it != ourErrors().end()) {
        if (it->second == 0)
            it->second = e->error_code;
        return 0;
    }
    return previousErrorHandler ? previousErrorHandler(dpy, e) : 0;
}

// A broken connection is reported to one handler for the whole process too, and the default
// one ends the program. For our connections it returns; Xlib then calls the connection's own
// exit handler, which records the loss (Impl::onConnectionLost).
XIOErrorHandler previousIOErrorHandler = nullptr;

int noteLostConnection(Display* dpy)
{
    if (ourErrors().count(dpy))
        return 0;
    return previousIOErrorHandler ? previousIOErrorHandler(dpy) : 0;
}

void adopt(Display* dpy)
{
    static bool installed = false;
    if (!installed) {
        previousErrorHandler = XSetErrorHandler(noteError);
        previousIOErrorHandler = XSetIOErrorHandler(noteLostConnection);
        installed = true;
    }
    ourErrors()[dpy] = 0;
}

// The first error on dpy since the last call, 0 when there was none.
int takeError(Display* dpy)
{
    int& e = ourErrors()[dpy];
    const int code = e;
    e = 0;
    return code;
}

QString errorText(Display* dpy, int code)
{
    char text[256] = {};
    XGetErrorText(dpy, code, text, sizeof text - 1);
    return QString::fromLocal8Bit(text);
}

// The modifier bit a key is bound to (Num Lock, Scroll Lock ...), 0 when it is bound to none.
unsigned modifierOf(const XModifierKeymap* map, KeyCode code)
{
    if (code == 0)
        return 0;
    for (int m = 0; m < 8; ++m)
        for (int k = 0; k < map->max_keypermod; ++k)
            if (map->modifiermap[m * map->max_keypermod + k] == code)
                return 1u << m;
    return 0;
}

// Every modifier but Control: Shift, Caps Lock, and Mod1 to Mod5 (Alt, Num Lock, Super ...
// wherever the keyboard map puts them).
constexpr unsigned OtherModifiers = ShiftMask | LockMask | Mod1Mask | Mod2Mask | Mod3Mask | Mod4Mask | Mod5Mask;

struct Recorded {
    int type;
    KeyCode code;
    std::uint32_t time;
};

} // namespace

struct GlobalHotkeys::Impl {
    GlobalHotkeys* owner;
    Display* ctrl = nullptr; // the grabs, and the record context is made here
    Display* data = nullptr; // the record stream of every key event of the server
    Window root = 0;
    XRecordContext context = 0;
    QSocketNotifier* ctrlNotifier = nullptr;
    QSocketNotifier* dataNotifier = nullptr;
    bool lost = false;
    bool draining = false;

    // The keyboard as it is mapped now.
    struct Layout {
        std::array<KeyCode, 3> taken{}; // Left, Right, Down
        KeyCode e = 0;
        std::vector<unsigned> lockCombos; // every combination of the lock modifiers, 0 first
        std::set<KeyCode> controls;       // the keys bound to the Control modifier
        bool operator==(const Layout&) const = default;
    } layout;
    std::vector<std::pair<KeyCode, unsigned>> grabbed;
    std::set<KeyCode> heldControls;
    std::vector<Recorded> recorded;

    explicit Impl(GlobalHotkeys* o) : owner(o) {}

    Layout readLayout() const
    {
        Layout l;
        const KeySym taken[] = {XK_Left, XK_Right, XK_Down};
        for (std::size_t i = 0; i < l.taken.size(); ++i)
            l.taken[i] = XKeysymToKeycode(ctrl, taken[i]);
        l.e = XKeysymToKeycode(ctrl, XK_e);
        XModifierKeymap* map = XGetModifierMapping(ctrl);
        std::vector<unsigned> locks{LockMask};
        if (map) {
            for (KeySym s : {XK_Num_Lock, XK_Scroll_Lock}) {
                const unsigned m = modifierOf(map, XKeysymToKeycode(ctrl, s));
                if (m != 0 && m != ControlMask && std::find(locks.begin(), locks.end(), m) == locks.end())
                    locks.push_back(m);
            }
            for (int k = 0; k < map->max_keypermod; ++k)
                if (KeyCode c = map->modifiermap[ControlMapIndex * map->max_keypermod + k])
                    l.controls.insert(c);
            XFreeModifiermap(map);
        }
        for (unsigned subset = 0; subset < (1u << locks.size()); ++subset) {
            unsigned mask = 0;
            for (std::size_t i = 0; i < locks.size(); ++i)
                if (subset & (1u << i))
                    mask |= locks[i];
            l.lockCombos.push_back(mask);
        }
        return l;
    }

    void grabWith(const std::vector<unsigned>& combos)
    {
        for (KeyCode code : layout.taken) {
            if (code == 0)
                continue;
            for (unsigned mods : combos) {
                XGrabKey(ctrl, code, ControlMask | mods, root, False, GrabModeAsync, GrabModeAsync);
                grabbed.emplace_back(code, ControlMask | mods);
            }
        }
    }

    // Grabs the three keys with Control and every lock combination. On an error (BadAccess:
    // another program holds one of them) everything grabbed is given back. Then with Control
    // and every other combination of the other modifiers (Shift, Alt, Super ...), since Control
    // held with the key is all that counts; a combination another program already holds (a
    // desktop's Ctrl+Alt+arrows for its workspaces) stays with that program.
    bool grab(QString* why)
    {
        takeError(ctrl);
        grabWith(layout.lockCombos);
        XSync(ctrl, False);
        if (const int e = takeError(ctrl)) {
            if (why)
                *why = e == BadAccess ? QStringLiteral("another program already uses Ctrl+Left, Ctrl+Right or Ctrl+Down")
                                      : QStringLiteral("the keys could not be taken: ") + errorText(ctrl, e);
            ungrab();
            return false;
        }
        std::vector<unsigned> others;
        for (unsigned mods = OtherModifiers; mods != 0; mods = (mods - 1) & OtherModifiers)
            if (std::find(layout.lockCombos.begin(), layout.lockCombos.end(), mods) == layout.lockCombos.end())
                others.push_back(mods);
        grabWith(others);
        XSync(ctrl, False);
        // Giving back a combination that was never ours does nothing, so the list stays whole.
        if (const int e = takeError(ctrl))
            qWarning("hotkeys: Ctrl+Left, Ctrl+Right or Ctrl+Down with other modifiers held stay with another "
                     "program (%s)",
                     qPrintable(errorText(ctrl, e)));
        return true;
    }

    void ungrab()
    {
        for (const auto& [code, mods] : grabbed)
            XUngrabKey(ctrl, code, mods, root);
        grabbed.clear();
        XSync(ctrl, False);
        takeError(ctrl);
    }

    // Ctrl+E is watched on a second connection: a record context sees every key event the
    // server processes, without taking it from anyone.
    bool record(const QString& name)
    {
        int major = 0, minor = 0;
        if (!XRecordQueryVersion(ctrl, &major, &minor))
            return false;
        data = XOpenDisplay(name.toLocal8Bit().constData());
        if (!data)
            return false;
        adopt(data);
        XSetIOErrorExitHandler(data, onConnectionLost, this);
        XRecordRange* range = XRecordAllocRange();
        if (!range)
            return dropRecord();
        range->device_events.first = KeyPress;
        range->device_events.last = KeyRelease;
        XRecordClientSpec clients = XRecordAllClients;
        context = XRecordCreateContext(ctrl, 0, &clients, 1, &range, 1);
        XFree(range);
        XSync(ctrl, False);
        if (!context || takeError(ctrl))
            return dropRecord();
        if (!XRecordEnableContextAsync(data, context, onRecorded, reinterpret_cast<XPointer>(this)))
            return dropRecord();
        XFlush(data);
        return true;
    }

    bool dropRecord()
    {
        if (context) {
            XRecordFreeContext(ctrl, context);
            context = 0;
        }
        if (data) {
            // Closed while still ours: a server that has gone away is found out here, and
            // must not reach the handler that ends the program.
            XCloseDisplay(data);
            ourErrors().erase(data);
            data = nullptr;
        }
        return false;
    }

    static void onRecorded(XPointer closure, XRecordInterceptData* in)
    {
        auto* self = reinterpret_cast<Impl*>(closure);
        // A device event is one 32-byte core event: type, key code, sequence, time.
        if (in->category == XRecordFromServer && in->data && in->data_len * 4 >= 8) {
            std::uint32_t time = 0;
            std::memcpy(&time, in->data + 4, sizeof time);
            self->recorded.push_back({in->data[0] & 0x7F, KeyCode(in->data[1]), time});
        }
        XRecordFreeData(in);
    }

    static void onConnectionLost(Display*, void* closure)
    {
        // Xlib's default here ends the program; the program goes on without its hotkeys.
        static_cast<Impl*>(closure)->lost = true;
    }

    void seedHeldControls()
    {
        char keys[32] = {};
        XQueryKeymap(ctrl, keys);
        heldControls.clear();
        for (KeyCode c : layout.controls)
            if (keys[c / 8] & (1 << (c % 8)))
                heldControls.insert(c);
    }

    // The keyboard mapping changed: read it again, and move the grabs when the keys or the lock
    // modifiers now lie elsewhere.
    void remap()
    {
        Layout now = readLayout();
        if (now == layout)
            return;
        const bool regrab = now.taken != layout.taken || now.lockCombos != layout.lockCombos;
        if (regrab)
            ungrab();
        layout = std::move(now);
        QString why;
        if (regrab && !grab(&why))
            qWarning("hotkeys: after a keyboard mapping change %s", qPrintable(why));
    }

    std::vector<KeyEvent> readControl()
    {
        std::vector<KeyEvent> out;
        while (!lost && XPending(ctrl) > 0) {
            XEvent ev;
            XNextEvent(ctrl, &ev);
            if (ev.type == KeyPress || ev.type == KeyRelease) {
                const auto at = std::find(layout.taken.begin(), layout.taken.end(), KeyCode(ev.xkey.keycode));
                if (at != layout.taken.end())
                    out.push_back({Key(at - layout.taken.begin()), ev.type == KeyRelease,
                                   (ev.xkey.state & ControlMask) != 0});
            } else if (ev.type == MappingNotify && ev.xmapping.request != MappingPointer) {
                XRefreshKeyboardMapping(&ev.xmapping);
                remap();
            }
        }
        return out;
    }

    std::vector<KeyEvent> readRecord()
    {
        std::vector<KeyEvent> out;
        if (lost)
            return out;
        XRecordProcessReplies(data);
        const std::vector<Recorded> batch = std::move(recorded);
        recorded.clear();
        for (std::size_t i = 0; i < batch.size(); ++i) {
            const Recorded& r = batch[i];
            if (r.type != KeyPress && r.type != KeyRelease)
                continue;
            const bool release = r.type == KeyRelease;
            if (layout.controls.count(r.code)) {
                if (release)
                    heldControls.erase(r.code);
                else
                    heldControls.insert(r.code);
                continue;
            }
            if (r.code != layout.e || layout.e == 0)
                continue;
            // The server repeats a held key as a release and a press at the same moment; only
            // the press of such a pair counts, as for the taken keys.
            if (release && i + 1 < batch.size() && batch[i + 1].type == KeyPress && batch[i + 1].code == r.code &&
                batch[i + 1].time - r.time <= 1)
                continue;
            out.push_back({Key::E, release, !heldControls.empty()});
        }
        return out;
    }

    void deliver(std::vector<KeyEvent> (Impl::*read)())
    {
        // A handler that lets events run must not read the connection again in the middle.
        if (draining || !ctrl)
            return;
        draining = true;
        std::vector<KeyEvent> events = (this->*read)();
        draining = false;
        QPointer<GlobalHotkeys> alive(owner);
        for (const KeyEvent& e : events) {
            if (owner->onKey)
                owner->onKey(e);
            if (!alive || !ctrl)
                return; // stopped by the handler
        }
        if (lost) {
            owner->stop();
            if (owner->onLost)
                owner->onLost();
        }
    }

    QSocketNotifier* watch(Display* dpy, std::vector<KeyEvent> (Impl::*read)())
    {
        auto* n = new QSocketNotifier(ConnectionNumber(dpy), QSocketNotifier::Read, owner);
        QObject::connect(n, &QSocketNotifier::activated, owner, [this, read] { deliver(read); });
        return n;
    }
};

GlobalHotkeys::GlobalHotkeys(QObject* parent) : QObject(parent), d(std::make_unique<Impl>(this)) {}

GlobalHotkeys::~GlobalHotkeys() { stop(); }

bool GlobalHotkeys::running() const { return d->ctrl != nullptr; }

bool GlobalHotkeys::watchesCtrlE() const { return d->data != nullptr; }

bool GlobalHotkeys::start(const QString& displayName, QString* why)
{
    if (running())
        return true;
    const QString name = displayName.isEmpty() ? qEnvironmentVariable("DISPLAY") : displayName;
    if (name.isEmpty()) {
        if (why)
            *why = qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                       ? QStringLiteral("there is no X display")
                       : QStringLiteral("the desktop runs Wayland without X");
        return false;
    }
    Impl& m = *d;
    m.ctrl = XOpenDisplay(name.toLocal8Bit().constData());
    if (!m.ctrl) {
        if (why)
            *why = QStringLiteral("the X display %1 cannot be opened").arg(name);
        return false;
    }
    adopt(m.ctrl);
    m.lost = false;
    XSetIOErrorExitHandler(m.ctrl, Impl::onConnectionLost, &m);
    m.root = DefaultRootWindow(m.ctrl);
    m.layout = m.readLayout();
    if (std::count(m.layout.taken.begin(), m.layout.taken.end(), KeyCode(0)) == int(m.layout.taken.size())) {
        if (why)
            *why = QStringLiteral("the keyboard has no arrow keys");
        stop();
        return false;
    }
    if (!m.grab(why)) {
        stop();
        return false;
    }
    // A held key gives presses and one release, not a release before every repeat.
    Bool supported = False;
    XkbSetDetectableAutoRepeat(m.ctrl, True, &supported);
    if (!m.record(name))
        qWarning("hotkeys: the X server cannot report Ctrl+E (no RECORD extension)");
    m.seedHeldControls();
    m.ctrlNotifier = m.watch(m.ctrl, &Impl::readControl);
    if (m.data)
        m.dataNotifier = m.watch(m.data, &Impl::readRecord);
    // Events the set-up calls already read sit in Xlib's queue, where the socket can no longer
    // announce them.
    QTimer::singleShot(0, this, [this] {
        if (running()) {
            d->deliver(&Impl::readControl);
            if (d->data)
                d->deliver(&Impl::readRecord);
        }
    });
    return true;
}

void GlobalHotkeys::stop()
{
    Impl& m = *d;
    for (QSocketNotifier** n : {&m.ctrlNotifier, &m.dataNotifier}) {
        if (*n) {
            (*n)->setEnabled(false);
            (*n)->deleteLater(); // it may be the one whose signal is running
            *n = nullptr;
        }
    }
    if (!m.ctrl)
        return;
    if (m.lost) {
        // A broken connection takes no more requests: nothing to give back, only to free.
        for (Display** dpy : {&m.data, &m.ctrl}) {
            if (*dpy) {
                XCloseDisplay(*dpy);
                ourErrors().erase(*dpy);
                *dpy = nullptr;
            }
        }
        m.context = 0;
        m.grabbed.clear();
        return;
    }
    if (m.context) {
        XRecordDisableContext(m.ctrl, m.context);
        XSync(m.ctrl, False);
    }
    m.dropRecord();
    m.ungrab();
    XCloseDisplay(m.ctrl);
    ourErrors().erase(m.ctrl);
    m.ctrl = nullptr;
    m.heldControls.clear();
    m.recorded.clear();
}

} // namespace hotkeys
