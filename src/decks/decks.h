// The decks controller of the main window: both decks, the crossfader knob, the player,
// seek and display timers, and the function keys of the global key procedures.
#pragma once

#include "decks/deck.h"
#include "decks/deckimages.h"
#include "decks/deckstate.h"

#include <QObject>
#include <QPoint>
#include <functional>

class QLabel;
class QTimer;
class TimerRest;
class QTreeView;
class QWidget;
class SkinControl;

class Decks : public QObject {
    Q_OBJECT
public:
    // Binds to the main window's controls and timers by name (a missing one raises error 91).
    explicit Decks(QWidget* form, DeckState& state = deckState(), QObject* parent = nullptr);

    Deck& A() { return a_; }
    Deck& B() { return b_; }
    Deck& deck(char letter) { return letter == 'B' ? b_ : a_; }
    DeckState& state() { return state_; }

    ~Decks() override;

    // The pictures of the buttons and lamps; the program's own drawn ones until the skin
    // gives others.
    void setImages(DeckImages images);
    const DeckImages& images() const { return images_; }

    // Neighbours (all optional).
    // AddToMostPlayedA / B: record one play and set bCountedA / bCountedB. Without them the
    // song is only marked counted.
    std::function<void()> AddToMostPlayedA;
    std::function<void()> AddToMostPlayedB;
    // Returns the message line to its idle text.
    std::function<void()> resetMessages;
    // Shows a message on the message line and keeps it there.
    std::function<void(const QString&)> postMessage;
    // Shows the crossfader's popup menu (the crossfade times) at a screen point.
    std::function<void(const QPoint&)> showCrossfaderMenu;

    // --- loading
    void LoadSongA(QTreeView* FormControl, bool bDelete, bool bShowErrors, int AutoIndex);
    void LoadSongB(QTreeView* FormControl, bool bDelete, bool bShowErrors, int AutoIndex);

    // --- timers
    void TimerPlayerA_Timer() { a_.TimerPlayer_Timer(); }
    void TimerPlayerB_Timer() { b_.TimerPlayer_Timer(); }
    void TimerSeek_Timer();
    void TimerLoadSongB_Timer();
    void CalcBPM(const std::vector<float>& spectrum) { a_.CalcBPM(spectrum); }
    void CalcBPM2(const std::vector<float>& spectrum) { b_.CalcBPM(spectrum); }

    // --- crossfader knob and track
    void picSlider_MouseDown(int Button, int Shift, double X, double Y);
    void picSlider_MouseMove(int Button, int Shift, double X, double Y);
    void picSlider_MouseUp(int Button, int Shift, double X, double Y);
    void picSliderBack_MouseUp(int Button, int Shift, double X, double Y);
    int SliderGrabX = 0;

    // --- the function keys: the decks' part of the main window's GlobalKeyDown (F1-F12, in
    // its order) and GlobalKeyUp (F4, F8, F9-F12).
    void functionKeyDown(int KeyCode);
    void functionKeyUp(int KeyCode);
    // The decks' keys alone, under GlobalKeyDown's trap ("B-302"); for callers without the
    // main window.
    void GlobalKeyDown(int& KeyCode, int Shift);
    void GlobalKeyUp(int& KeyCode);

    // The rest of the player and crossfader timers while nothing plays.
    TimerRest& playerRest() { return *playerRest_; }

    // Refreshes the queue tab captions ("DJ Playlist - n", "Song Bin - n").
    void refreshQueueCaptions();

private:
    void wireTimer(const char* name, void (Decks::*handler)());

    QWidget* form_;
    DeckState& state_;
    Deck a_;
    Deck b_;
    DeckImages images_;
    TimerRest* playerRest_ = nullptr;

    SkinControl* picSlider_ = nullptr;
    SkinControl* picSliderBack_ = nullptr;
    QTreeView* lstDJPlayList_ = nullptr;
    QTreeView* lstSongBin_ = nullptr;
    QTreeView* lstRequests_ = nullptr;
    QTreeView* lstFullPlaylist_ = nullptr;
    QTreeView* lstMostPlayed_ = nullptr;
    QLabel* lblDJPlaylistClick_ = nullptr;
    QLabel* lblSongBinClick_ = nullptr;
    QLabel* lblNumRequestSongs_ = nullptr;
    QLabel* lblNumDJPlaylist_ = nullptr;
    QLabel* lblNumFullPlaylist_ = nullptr;
    QLabel* lblNumMostPlayed_ = nullptr;
};
