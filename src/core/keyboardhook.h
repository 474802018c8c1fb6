// The keyboard hook: four hotkeys that work whichever program has the focus.
//
//   Ctrl+Left / Ctrl+Right  move the crossfader knob 15 twips towards deck A / deck B, within
//                           0 .. 1865, and apply the volume law; taken from every program
//   Ctrl+Down               centres the knob (945) and puts both decks at full volume; taken
//   Ctrl+E (release)        opens the tag editor on the selected song of the visible list; the
//                           focused program still gets the key
//
// Every event counts: a tap (press and release) moves the knob 30 twips, a held key 15 more per
// repeat. The limit is tested before the step, so a knob between two steps can pass a limit by
// up to 14 twips once; the next event then sets the limit itself, without a volume update.
//
// The hook is installed when the main window loads and removed when the program closes. Its
// events arrive on the interface thread; the tag editor is opened from the event loop, never
// from inside the key event, and never while it, another modal window or a popup menu is open.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>

class QWidget;

namespace hotkeys {
class GlobalHotkeys;
}

class KeyboardHook : public QObject {
    Q_OBJECT
public:
    // form: the main window, whose view panels and song lists Ctrl+E reads by name.
    explicit KeyboardHook(QWidget* form, QObject* parent = nullptr);
    ~KeyboardHook() override;

    // What the hotkeys act on; the main window fills these in. Unset ones do nothing.
    struct Actions {
        std::function<double()> knobLeft;           // the crossfader knob's left edge, twips
        std::function<void(double)> setKnobLeft;
        std::function<void()> setCrossfaderVolumes; // the volume law at the knob's position
        std::function<void()> fullVolumes;          // deck A's channel, then deck B's, at 255
        // Opens the tag editor on a song file; returns when the editor has closed.
        std::function<void(const QString& path)> editSongTag;
    } actions;

    // The X display the hook watches; empty: the session's.
    QString displayName;

    // The hook is active.
    bool HookInstalled = false;
    // Takes the hotkeys. When that fails ("Failed to install Keyboard Hook"), the program runs
    // without them and later calls do not try again.
    void InstallKeyboardHook();
    void RemoveKeyboardHook();

    // What becomes of a key event.
    enum class Result {
        PassOn,     // nothing for the hook: the event goes on as usual
        Swallowed,  // no program receives it
        FocusOnly,  // the focused program receives it, no other hook does
    };
    // One key event of the desktop: the virtual-key code, whether it is a release (presses and
    // auto-repeats are not) and whether a Control key is down.
    Result KBDhookProc(int vkCode, bool released, bool controlDown);

    // The song file Ctrl+E opens now: the selected row of the visible song list. Empty when no
    // list panel shows, the list is empty or shows "No Songs Found!", or no row is selected.
    QString songToEdit() const;

private:
    void stepKnob(double step, double limit);
    void queueEdit(const QString& path);
    bool editorBusy() const;

    QPointer<QWidget> form_;
    hotkeys::GlobalHotkeys* keys_ = nullptr;
    bool installFailed_ = false;
    bool editQueued_ = false;
    bool editing_ = false;
    int editTicket_ = 0; // a removal cancels an edit that is still queued
};
