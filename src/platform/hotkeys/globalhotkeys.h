// System-wide hotkeys on X11, whichever program has the keyboard focus.
//
// Ctrl+Left, Ctrl+Right and Ctrl+Down are taken from every program: they are grabbed on the root
// window, for Control alone and for Control with every combination of Caps Lock, Num Lock and
// Scroll Lock, so a lock that is on does not let them slip through; without these the hotkeys do
// not start. They are grabbed as well with Control and every combination of the other modifiers
// (Shift, Alt, Super ...), all but those another program already holds. Ctrl+E is only watched:
// the program with the focus still gets it. Held keys give a press per repeat and one release.
//
// The hotkeys talk to the X server over connections of their own, watched by the event loop, so
// they never block the windows, and every event is handed on on the thread that started them.
#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace hotkeys {

enum class Key { Left, Right, Down, E };

struct KeyEvent {
    Key key;
    bool released;    // a key release; presses and auto-repeats are not
    bool controlDown; // a Control key was held when the event happened
};

class GlobalHotkeys : public QObject {
    Q_OBJECT
public:
    explicit GlobalHotkeys(QObject* parent = nullptr);
    ~GlobalHotkeys() override;

    // Opens the connections to the X display (empty: the session's, $DISPLAY) and takes the
    // keys. False, with the reason in *why, when there is no X display or another program
    // already holds one of the keys; nothing stays grabbed then. Watching Ctrl+E needs the
    // server's RECORD extension; without it the three taken keys still work.
    bool start(const QString& displayName = {}, QString* why = nullptr);
    // Gives the keys back and closes the connections. Harmless when not started.
    void stop();
    bool running() const;
    bool watchesCtrlE() const;

    // Every event of the taken keys and every press and release of E, in order.
    std::function<void(const KeyEvent&)> onKey;
    // The connection to the X server was lost; the hotkeys have stopped.
    std::function<void()> onLost;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace hotkeys
