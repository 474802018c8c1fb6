// Where the main window meets the subsystems: their controllers are created here, and the
// load and close steps that belong to them call into them. Each subsystem adds its member
// (frmMain.h, at the end) and its few lines below; a step whose controller is absent does
// nothing.
#include "shell/frmMain.h"

#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/keyboardhook.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/autodjcontroller.h"
#include "decks/crossfader.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "decks/housekeeping.h"
#include "library/library.h"
#include "library/listbuttons.h"
#include "library/listviews.h"
#include "library/requestlink.h"
#include "menus/frmMenu.h"
#include "menus/requestlist.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "shell/frmMediaPaths.h"
#include "shell/frmShowUpdates.h"
#include "shell/sessionend.h"
#include "shell/startup.h"

#include <QFileInfo>
#include <QSlider>
#include <QTreeView>
#include <utility>

frmMain::~frmMain()
{
    errorlog::setErrorsLabel(nullptr);
    // The end of the session no longer has a window to close: it ends the program at once.
    if (savesOnSessionEnd_ && listsLoaded_)
        endOnSessionEnd({});
}

// Creates the controllers and points the load and close steps of their subsystems at them
// (Steps in frmMain.h). The steps that are the main window's own are set before this runs.
//
// The library: TimerSaveLists already drives the clock (frmMain connects UpdateClock first),
// so the library's updateClock hook stays unset.
void frmMain::createControllers()
{
    // Start-up: the splash goes once the main window has loaded.
    steps.closeStartupWindows = [] { startup::unloadSplash(); };

    // The song library: list models behind the six list views, list files, scans, queue.
    // A child of the window made after the list views, so the views go first when it closes.
    library = new Library(this, this);
    Library* lib = library;
    lib->hooks.messageText = [this] { return messages.caption(); };
    lib->hooks.resetMessage = [this] { messages.reset(); };
    lib->hooks.showMessage = [this](const QString& text) { messages.post(text, true); };
    lib->hooks.endProgramAtOnce = [this] {
        if (steps.closeEngines)
            steps.closeEngines();
        if (steps.endProgram)
            steps.endProgram();
    };
    steps.addSearchPlaceholder = [lib] { lib->addSearchPlaceholder(); };
    // The request database: RequestDBPath from the settings, and its new-requests flag raised
    // so the first housekeeping tick loads every pending request.
    steps.openRequestDatabase = [lib] { requestdb::startUp(configFile(), QStringLiteral("B-15"), lib->requestLink()); };
    steps.loadStoredLists = [lib] { lib->loadStoredLists(); };
    steps.startMediaScanIfEmpty = [lib] { lib->refreshIfEmpty(); };
    steps.saveLists = [lib] {
        lib->SaveFullPlaylist();
        lib->SaveMostPlayed();
        lib->SaveDJPlaylist();
        lib->SaveSongBin();
    };
    steps.unsavedLists = [lib] {
        QStringList lines;
        for (const Library::UnsavedList& u : lib->unsavedLists())
            lines << u.name + QStringLiteral(" (") + QFileInfo(u.file).fileName() + QStringLiteral("): ") + u.why;
        return lines;
    };
    connect(ctl<SkinControl>(this, "picDJPlaylistUp"), &SkinControl::Click, lib, &Library::picDJPlaylistUp_Click);
    connect(ctl<SkinControl>(this, "picDJPlaylistDown"), &SkinControl::Click, lib, &Library::picDJPlaylistDown_Click);

    // The decks: their timers, knob and buttons. Their keys come through GlobalKeyDown /
    // GlobalKeyUp (the stop buttons and the crossfader track log under the decks' location
    // codes), and the pitch sliders' arrow rule runs right after them.
    decks = new Decks(this, deckState(), this);
    decks->setImages(DeckImages{imgPlayerControls,
                                {imgBeatStep1, imgBeatStep2, imgBeatStep3, imgBeatStep4, imgBeatStep5},
                                imgBeatNeutral});
    decks->resetMessages = [this] { messages.reset(); };
    decks->postMessage = [this](const QString& text) { messages.post(text, true); };
    decks->AddToMostPlayedA = [lib] {
        DeckState& d = deckState();
        lib->AddToMostPlayedA({d.PlayerATitle, d.PlayerAArtist, d.PlayerATime, d.PlayerAFilename}, d.bCountedA);
    };
    decks->AddToMostPlayedB = [lib] {
        DeckState& d = deckState();
        lib->AddToMostPlayedB({d.PlayerBTitle, d.PlayerBArtist, d.PlayerBTime, d.PlayerBFilename}, d.bCountedB);
    };
    forwardKeys(ctl<QWidget>(this, "picStopPlayerA"), "B-273");
    forwardKeys(ctl<QWidget>(this, "picStopPlayerB"), "B-276");
    forwardKeys(ctl<QWidget>(this, "picSliderBack"), "B-271");
    onKeyDown(ctl<QSlider>(this, "sldAFreq"), [this](int& k, int) { decks->A().Freq_Arrow(k); });
    onKeyDown(ctl<QSlider>(this, "sldBFreq"), [this](int& k, int) { decks->B().Freq_Arrow(k); });
    // The decks start without a stream: should a test sound's handle have been left behind, no
    // deck may play it. The load touches the engines only then; they come out of start-up ready
    // and with no error pending.
    steps.resetDecks = [reset = steps.resetDecks] {
        if (reset)
            reset();
        DeckState& d = deckState();
        if (d.StreamA != 0)
            FMod.FSOUND_Stream_Close(d.StreamA);
        if (d.StreamB != 0)
            FMod2.FSOUND_Stream_Close(d.StreamB);
        d.StreamA = 0;
        d.StreamB = 0;
    };

    // The lists' hands on the decks: a list's selected row loaded into a deck (a failure told to
    // the user), and the song a deck holds and whether it plays.
    DeckHooks listDecks;
    listDecks.load = [dk = decks](char deck, QTreeView* list, bool removeRow) {
        if (deck == 'A')
            dk->LoadSongA(list, removeRow, true, 0);
        else
            dk->LoadSongB(list, removeRow, true, 0);
    };
    listDecks.song = [dk = decks](char deck) {
        const Deck& d = dk->deck(deck);
        return SongRow(d.title, d.artist, d.time, d.genre, d.filename);
    };
    listDecks.playing = [dk = decks](char deck) { return dk->deck(deck).channel != 0; };

    // The load and queue buttons beside the lists.
    listButtons = new ListButtons(this, *lib, listDecks, this);

    // The song lists' own keys, clicks and header sorts; their keys run right after
    // GlobalKeyDown. The popup menus fill listViews->openPopup and the other hooks.
    listViews = new ListViews(this, *lib, std::move(listDecks), *listButtons, this);
    ListViews* lv = listViews;
    const struct {
        const char* name;
        void (ListViews::*keyDown)(int&, int);
    } listKeys[] = {
        {"lstDJPlayList", &ListViews::lstDJPlayList_KeyDown},
        {"lstSongBin", &ListViews::lstSongBin_KeyDown},
        {"lstFullPlaylist", &ListViews::lstFullPlaylist_KeyDown},
        {"lstMostPlayed", &ListViews::lstMostPlayed_KeyDown},
        {"lstSearch", &ListViews::lstSearch_KeyDown},
        {"txtSearch", &ListViews::txtSearch_KeyDown},
    };
    for (const auto& k : listKeys)
        onKeyDown(ctl<QWidget>(this, k.name), [lv, f = k.keyDown](int& code, int shift) { (lv->*f)(code, shift); });

    // The Requests list and the popup menus of the lists and the crossfader.
    requests = new RequestList(this, *lib, *decks, *lv, this);
    menus = new frmMenu(this, *lib, *decks, *listButtons, *lv, *requests, checkMarks(), this);
    frmMenu* mn = menus;
    RequestList* rq = requests;
    lv->openPopup = [mn](QTreeView* list, ListViews::PopupOrigin origin) { mn->openPopup(list, origin); };
    lv->AddToRequestListManual = [rq](QTreeView* list, int index) { rq->AddToRequestListManual(list, index); };
    lv->swapWithDeck = [mn](QTreeView* list, char deck) { mn->swapWithDeck(list, deck); };
    rq->showMenu = [mn] { mn->popup(mn->menu("mnuRequests")); };
    rq->postMessage = [this](const QString& text) { messages.post(text); };
    onKeyDown(ctl<QWidget>(this, "lstRequests"), [rq](int& code, int) { rq->lstRequests_KeyDown(code); });
    decks->showCrossfaderMenu = [mn](const QPoint&) { mn->showAutoDJMenu(); };
    mn->hooks.OpenMP3Window = [this](QTreeView* list) { OpenMP3Window(list); };
    mn->hooks.ChangePlaylistFont = [this](const QString& size) { ChangePlaylistFont(size); };
    mn->hooks.showUpdates = [this] { frmShowUpdates::open(this); };
    // The media folder dialog outside start-up: no "Not Right Now Please", its save button in
    // the middle, and a fresh dialog at every opening.
    mn->hooks.showMediaPaths = [this] {
        frmMediaPaths dialog(this);
        auto* noClose = ctl<SkinControl>(&dialog, "lblNoClose");
        noClose->hide();
        noClose->setText(QStringLiteral("Ok"));
        auto* save = ctl<QWidget>(&dialog, "lblSaveDevices");
        save->move(vb::px(2002), save->y());
        dialog.bStartup = false;
        startup::environment().runModal(dialog);
    };

    // Auto-DJ and the housekeeping timer (TimerAutoDJCrossfade, TimerMessages).
    AutoDJController::Window window;
    window.controls = this;
    window.autoDJLamps = &imgAutoDJOn;
    window.crossfadeTimer = TimerAutoDJCrossfade;
    window.messagesTimer = TimerMessages;
    window.resetMessages = [this] { messages.reset(); };
    window.postMessage = [this](const QString& text, bool keep) { messages.post(text, keep); };
    window.tickMessages = [this] { MessagePanelTick(messages); };
    window.randomNumber = [this](int n) { return RandomNumber(n); };
    autoDJ = new AutoDJController(std::move(window), *lib, deckState(), crossfader(), checkMarks(), this);
    autoDJ->loadSong = [this](Side deck, int autoIndex) {
        auto* queue = ctl<QTreeView>(this, "lstDJPlayList");
        if (deck == Side::A)
            decks->LoadSongA(queue, true, false, autoIndex);
        else
            decks->LoadSongB(queue, true, false, autoIndex);
    };
    autoDJ->startDeck = [this](Side deck) { return decks->deck(deck == Side::A ? 'A' : 'B').startStream("B-295"); };

    // The tag editor: its openers, and the decks and lists its save brings up to date.
    wireTagEditor();

    // The keyboard hook: the crossfader hotkeys and Ctrl+E, whichever program has the focus.
    keyboardHook = new KeyboardHook(this, this);
    KeyboardHook::Actions& hotkeys = keyboardHook->actions;
    hotkeys.knobLeft = [] { return crossfader().Left(); };
    hotkeys.setKnobLeft = [](double left) { crossfader().setLeft(left); };
    hotkeys.setCrossfaderVolumes = [] { SetCrossfaderVolumes(); };
    hotkeys.fullVolumes = [] {
        const DeckState& d = deckState();
        FMod.FSOUND_SetVolume(d.ChannelA, 255);
        FMod2.FSOUND_SetVolume(d.ChannelB, 255);
    };
    hotkeys.editSongTag = [this](const QString& path) { editSongTag(path); };
    steps.installKeyboardHook = [this] { keyboardHook->InstallKeyboardHook(); };
    steps.removeKeyboardHook = [this] { keyboardHook->RemoveKeyboardHook(); };
}
