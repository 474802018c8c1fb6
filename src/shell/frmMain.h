// The main window: one borderless, maximised window holding the decks, the crossfader, the
// clock and the song lists. It creates every control once, named as the handlers know it
// (find them with ctl<T>(form, "name")), and owns the subsystems' controllers.
//
// Layout: the face picAll (1024 x 741 pixels) is centred in the window. Its top band holds the
// two deck panels with the clock, the auto-DJ lamp, the Stby and Exit labels and the
// crossfader between them; below lie the message line, the five view buttons and the song
// area ViewPlaySongs with its five view panels.
//
// Keys: every key-handling control of the window hands its key presses to GlobalKeyDown and
// its releases to GlobalKeyUp through one forwarder, exactly once per press, before the
// control's own handling. Controls with keys of their own (the song lists, the search box,
// the pitch sliders) add their handler with onKeyDown / onKeyUp; it runs right after
// GlobalKeyDown and may set KeyCode to 0 to swallow the key.
#pragma once

#include "shell/messagepanel.h"
#include "platform/ui/skin.h"

#include <QHash>
#include <QPointer>
#include <QRect>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>

class AutoDJController;
class Library;
class QDialog;
class QTime;
class QTimer;
class QTreeView;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QProgressBar;
class QSlider;
class Decks;
class ListButtons;
class ListViews;
class RequestList;
class frmMenu;
class KeyboardHook;

class frmMain : public QWidget {
    Q_OBJECT
public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // --- state shared with the rest of the program
    bool StandbyMode = false; // the window is shrunk to the deck strip
    MessagePanel messages;    // lblMessages and its blink/expiry state

    // --- image lists of the skin (1-based ListImage)
    ImageList imgClock;
    ImageList imgBeatNeutral, imgBeatStep1, imgBeatStep2, imgBeatStep3, imgBeatStep4, imgBeatStep5;
    ImageList imgPlayerControls;
    ImageList imgBigButtons;
    ImageList imgAutoDJOn;

    // --- load, close and the window's own events
    // Runs the load steps once (the start-up sequence calls it before showing the window).
    void Form_Load();
    bool loaded() const { return loaded_; }
    // The load has read the stored lists; until then nothing saves them.
    bool listsLoaded() const { return listsLoaded_; }
    // Form_Load (when not yet run), then shows the window maximised and starts the timers.
    void showMain();
    void Form_Resize();
    // The window is being closed by any means other than the Exit label: the same orderly
    // close as Exit, so no list or setting is lost.
    void Form_Unload();
    // The orderly close: stops the timers, stops and closes the decks and engines, saves the
    // settings and the four lists (once the load has read them), removes the keyboard hook and
    // ends the program. Each step runs even when an earlier one failed (the failure is logged).
    // Lists that could not be saved are named with the reason in one box (in the log when the
    // session ends), and the program ends with exitStatus() 1.
    void CloseAll();
    int exitStatus() const { return exitStatus_; }
    void tellUnsavedLists();
    void SaveINISettings();
    // "Normal" 8, "Large" 12, "Largest" 16 points for the six song lists; other names do nothing.
    void ChangePlaylistFont(const QString& sSize);
    // Sets the font size of the six song lists, in their documented order.
    void setListFontSize(double points);

    // --- the key procedures (bodies in globalkeys.cpp)
    void GlobalKeyDown(int& KeyCode, int Shift);
    void GlobalKeyUp(int& KeyCode);

    // --- views
    void lblViewDJPlaylist_Click();
    void lblFullPlaylistClick_Click();
    void lblSearchSongsClick_Click();
    void lblMostPlayedClick_Click();
    void lblRequestsClick_Click();
    void lblNumRequestSongs_Click();
    void cmdCloseKeyMap_Click();

    // --- stand-by, clock and small services
    void lblStbyClick_MouseDown();
    void lblStbyClick_MouseUp();
    void CenterForm(QWidget* frm);
    // Shows the current local time on the clock pictures.
    void UpdateClock();
    // Shows the clock for a time text "h:mm:ss AM" or "hh:mm:ss" (the glyph rule of the clock).
    void showClockText(const QString& t);
    // "h:mm:ss AM": the hour without a leading zero, 12 for noon and midnight.
    static QString clockText(const QTime& t);
    // A whole number from 0 to n inclusive, equally likely; the generator is seeded once.
    int RandomNumber(int n);
    static QString keyMapText();

    // --- the timers, created stopped; Form_Load's end starts them
    QTimer* TimerAutoDJCrossfade = nullptr;
    QTimer* TimerLoadSongA = nullptr;
    QTimer* TimerLoadSongB = nullptr;
    QTimer* TimerMessages = nullptr;
    QTimer* TimerPlayerA = nullptr;
    QTimer* TimerPlayerB = nullptr;
    QTimer* TimerReadMP3 = nullptr;
    QTimer* TimerSaveLists = nullptr;
    QTimer* TimerSeek = nullptr;
    void startTimers();
    void stopTimers();

    // --- key forwarding
    using KeyHandler = std::function<void(int& KeyCode, int Shift)>;
    // Makes w hand its keys to GlobalKeyDown / GlobalKeyUp; searchBox passes a Shift that
    // keeps the view letters from switching (the search box types them).
    void forwardKeys(QWidget* w, const char* location, bool searchBox = false);
    void onKeyDown(QWidget* w, KeyHandler h);
    void onKeyUp(QWidget* w, KeyHandler h);
    bool forwardsKeys(const QWidget* w) const { return keyMembers_.contains(w); }
    // Hands on a key release that is still waiting to tell a real release from a repeat.
    void flushKeyUp();

    // --- steps that other subsystems carry out; tests replace them with recorders. The
    // defaults (wiring.cpp) call the subsystems' controllers when they exist.
    struct Steps {
        std::function<void()> installKeyboardHook;
        std::function<void()> openRequestDatabase;
        std::function<void()> resetDecks;            // ChannelA = ChannelB = 0 and the fade flags
        std::function<void()> addSearchPlaceholder;
        std::function<void()> loadStoredLists;
        std::function<void()> closeStartupWindows;
        std::function<void()> startMediaScanIfEmpty;
        std::function<void()> stopDecks;             // stop both channels
        std::function<void()> closeStreams;
        std::function<void()> closeEngines;
        std::function<void()> saveLists;             // Full, Most Played, DJ, Song Bin
        std::function<QStringList()> unsavedLists;   // then "DJ Playlist (DJPlaylist.qnl): why" for each not saved
        std::function<void()> removeKeyboardHook;
        std::function<void()> endProgram;
    } steps;

    // The desktop work area for CenterForm, in pixels; tests give an offset one.
    std::function<QRect()> workArea;

    // --- the tag editor (edittag.cpp)
    // Opens the tag editor on one song file and returns when it has closed; the please-wait
    // window of its save is then unloaded. The one way in for every opener: the song lists'
    // "Edit MP3 Tag" commands (OpenMP3Window), the decks' Edit labels and Ctrl+E. Nothing opens
    // while an editor is already open, nor for an empty path.
    void editSongTag(const QString& path);
    // The tag editor on the selected song of a song list view; an empty list, or one with no row
    // selected, opens nothing.
    void OpenMP3Window(QTreeView* lstList);
    // The decks' Edit labels: the deck's song in the tag editor (nothing in stand-by or while the
    // deck has never been loaded).
    void lblEditPlayerAClick_Click();
    void lblPlayerBEditClick_Click();
    // Shows the editor modally and returns once it has closed; tests answer it without blocking.
    std::function<void(QDialog&)> runTagEditor;

signals:
    void keyDownForwarded(QWidget* from, int keyCode, int shift);
    void keyUpForwarded(QWidget* from, int keyCode);

protected:
    void resizeEvent(QResizeEvent* e) override;
    void changeEvent(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void createControls();
    void createTimers();
    void createControllers(); // wiring.cpp
    void wireTagEditor();     // edittag.cpp
    void setDefaultSteps();   // wiring.cpp
    void wireChrome();
    void setViewButton(const char* pic, int image);
    void showMaximizedOnScreen();
    bool handleKey(QWidget* w, QKeyEvent* e, bool down);

    struct KeyMember {
        const char* location;
        bool searchBox;
        KeyHandler down, up;
    };
    QHash<const QWidget*, KeyMember> keyMembers_;
    // A release waits this long for a press of the same key that would make it a repeat.
    struct PendingUp {
        bool pending = false;
        QPointer<QWidget> from;
        int keyCode = 0;
        int shift = 0;
    } pendingUp_;
    QTimer pendingUpTimer_;
    bool loaded_ = false;
    // The load has read the stored lists (and the list font): from now on they may be saved.
    bool listsLoaded_ = false;
    // showMain: the running program's window, whose load takes over the end of the session.
    bool savesOnSessionEnd_ = false;
    bool closing_ = false;
    int exitStatus_ = 0;
    bool resizing_ = false;
    QPoint standbyPos_{0, 0}; // where the stand-by strip stands when not maximised

public:
    // --- controllers of the subsystems, created by createControllers() (wiring.cpp)
    Library* library = nullptr; // the song lists, their files, scans and queue
    AutoDJController* autoDJ = nullptr; // auto-DJ switch and crossfade, housekeeping timer
    Decks* decks = nullptr;             // both decks, the crossfader knob, the player and seek timers
    ListButtons* listButtons = nullptr; // the load and queue buttons beside the song lists
    ListViews* listViews = nullptr;     // keys, clicks, header sort and search of the song lists
    RequestList* requests = nullptr;    // the Requests list and the buttons that take requests
    frmMenu* menus = nullptr;           // the popup menus of the lists and the crossfader
    KeyboardHook* keyboardHook = nullptr; // the crossfader hotkeys and Ctrl+E, in every program
};
