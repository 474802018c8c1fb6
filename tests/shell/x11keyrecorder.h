// A second X client for the hotkey tests: a small window of its own, on its own connection to
// the X server, that takes the keyboard focus and records the keys it receives.
#pragma once

#include <QString>
#include <memory>
#include <vector>

class X11KeyRecorder {
public:
    X11KeyRecorder(); // opens $DISPLAY and maps the window; ok() tells whether that worked
    ~X11KeyRecorder();
    bool ok() const;

    // Gives the window the keyboard focus and waits until the server has it there.
    bool focus();

    struct Key {
        QString name;      // the key's name without modifiers: "Right", "x", "e"
        bool release;
        unsigned state;    // the modifier bits at the event
    };
    // Every key event received so far, in order.
    const std::vector<Key>& keys();
    // Waits (running the Qt event loop) until a press of the named key has arrived.
    bool waitForPress(const QString& name, int ms = 5000);
    // Presses of the named key received so far.
    int presses(const QString& name);
    void clear();

    // Grabs a key with exactly these modifiers on the root window, as another hotkey program
    // would; false when the server refuses (another client holds it).
    bool grab(const QString& name, unsigned modifiers);
    static unsigned controlMask();
    static unsigned mod1Mask(); // where Alt usually sits
    static unsigned mod2Mask(); // where Num Lock usually sits

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
