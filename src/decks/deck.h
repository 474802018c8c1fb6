// One deck: a song cued from a list onto the deck's own sound engine, played, paused and
// stopped, its time labels, position bar and beat lamps kept by its player timer, its
// position bar used as a seek control and its pitch slider setting the playback speed.
//
// The program has two, deck A on engine A and deck B on engine B. Both run the same code; the
// few real differences between them (error location codes, how the remaining time is rounded,
// the height against which the lamps measure the level) are in their DeckSide.
#pragma once

#include "decks/deckimages.h"
#include "decks/deckstate.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <vector>

class DeckSongList;
class QLabel;
class QProgressBar;
class QSlider;
class QWidget;
class SkinControl;
class SoundBinding;

struct DeckSide {
    char letter;                 // 'A' or 'B', as in the controls' names
    const char* loadLocation;    // LoadSong
    const char* timerLocation;   // TimerPlayer_Timer
    const char* lampLocation;    // CalcBPM
    const char* playDownLocation;
    const char* playUpLocation;
    const char* stopDownLocation;
    const char* stopUpLocation;
    const char* freqResetLocation;
    const char* freqChangeLocation;
    const char* freqScrollLocation;
    const char* freqKeyDownLocation;
    // Decimals kept of position and length before the remaining time is worked out: deck A
    // keeps hundredths, deck B whole seconds, so the two can differ by a second.
    int remainingDecimals;
    // Height in twips against which the lamps measure the spectrum level (picSpectrum,
    // picSpectrum2 of the design).
    double spectrumHeight;

    static const DeckSide A;
    static const DeckSide B;
};

class Deck : public QObject {
    Q_OBJECT
public:
    static constexpr int NormalFrequency = 44100;
    static constexpr int MinFrequency = 33200;
    static constexpr int MaxFrequency = 55000;
    // The fast-forward glide back to the slider's pitch lowers the frequency by this much on
    // each step of its timer (one step a millisecond: about a quarter second from full speed).
    static constexpr int GlideStepHz = 200;

    Deck(const DeckSide& side, SoundBinding& engine, DeckState& state, QObject* parent = nullptr);

    // Finds the deck's controls on the main window (a missing one raises error 91).
    void bind(QWidget* form);
    void setOther(Deck* other) { other_ = other; }
    void setImages(const DeckImages* images) { images_ = images; }

    // Neighbours. addToMostPlayed records one play and sets the counted flag (AddToMostPlayedA);
    // renumberMostPlayed rewrites Most Played's Num column; rowsRemoved refreshes the queue
    // captions after a row left a list; resetMessages returns the message line to idle.
    std::function<void()> addToMostPlayed;
    std::function<void()> renumberMostPlayed;
    std::function<void()> rowsRemoved;
    std::function<void()> resetMessages;
    // Shows a message on the message line and keeps it there (the loss of a sound device).
    std::function<void(const QString&)> postMessage;

    const DeckSide& side() const { return side_; }
    SoundBinding& engine() { return engine_; }

    // --- the deck's part of the shared state
    long& stream;
    int& channel;
    QString& title;
    QString& artist;
    QString& filename;
    QString& genre;
    QString& time;
    bool& counted;
    bool& startOtherAfter; // bStartBAfterA for deck A
    bool& loadNext;
    bool& fadeTo;
    bool& seekFwd;
    bool& pitchDownHeld;   // bF9Down / bF11Down
    bool& pitchUpHeld;     // bF10Down / bF12Down

    // --- loading (LoadSongA)
    void LoadSong(DeckSongList& list, bool bDelete, bool bShowErrors, int AutoIndex);

    // --- transport buttons (their keys reach the global key procedures through the main
    // window's key forwarding)
    void PlayPause_MouseDown();
    void PlayPause_MouseUp();
    void Stop_MouseDown();
    void Stop_MouseUp();

    // --- player timer and lamps
    void TimerPlayer_Timer();
    // The deck is playing: its position moves, so every tick has something to show.
    bool playing() const;
    // Appends everything the player timer's tick reads, the deck's engine included, read
    // without changing anything: while it stays the same, a tick would change nothing.
    void appendTickInputs(std::vector<qint64>& inputs);
    // The engine reported its output device lost: logged, shown, and the deck stopped.
    void outputLost();
    // Starts the deck's song from where its stream stands, as every start from stop does (play
    // key and button, the auto-DJ's start, the hand-over): its first sample is already at the
    // deck's crossfader volume and its pitch slider's speed. A deck already playing or paused is
    // left as it is. Returns the channel; 0 when it could not play, which is told at once (the
    // message line, and the log under `location`), with the engine's reason.
    int startStream(const char* location);
    // At the end of a song: when the song's file ended before the song (cut short, not
    // readable or not decodable any further while it played), the log and the message line say so.
    void tellEarlyEnd();
    void CalcBPM(const std::vector<float>& spectrum);
    // The lamp step (1 to 5) for a level s measured against a box of height h.
    static int lampStep(double s, double h);

    // --- seek and pitch
    // A press or move on the position bar: x from its left edge and its width in the same unit.
    void ProgElapsed_Mouse(int button, double x, double width);
    void Freq_Change();
    void Freq_Scroll();
    // The slider's own key rule for the arrows; the main window's key forwarding runs it right
    // after the global key procedures.
    void Freq_Arrow(int keyCode);
    void FreqReset_Click();
    int pitch() const; // the slider's value
    void setPitch(int hz);

    // --- function keys (inside GlobalKeyDown / GlobalKeyUp)
    void keyPitchDown();
    void keyPitchUp();
    void keyPlayPause();
    void keyBack();
    void keyFastForward();
    void keyStop();
    void keyFastForwardUp();
    void keyPitchReleased(bool down);
    // TimerSeek's step for this deck while its fast-forward key is held.
    void seekFastForwardStep();
    // One step of the glide back to the slider's pitch; false once it has ended.
    bool glideStep();
    bool gliding() const { return glide_.isActive(); }

    // --- controls
    QLabel* lblTitle = nullptr;
    QLabel* lblBitrate = nullptr;
    QLabel* lblGenre = nullptr;
    QLabel* lblYear = nullptr;
    QLabel* lblChannel = nullptr;
    QLabel* lblOriginal = nullptr;
    QLabel* lblTimeTotal = nullptr;
    QLabel* lblTimeElapsed = nullptr;
    QLabel* lblTimeRemaining = nullptr;
    QProgressBar* progElapsed = nullptr;
    QSlider* sldFreq = nullptr;
    SkinControl* picPlay = nullptr;
    SkinControl* picStop = nullptr;
    SkinControl* lamps[4] = {}; // top, right, bottom, left

    // Whole seconds of the loaded song as the position bar counts them (0 for a song shorter
    // than half a second, whose bar then takes no seeks).
    int barSeconds() const { return barSeconds_; }

    static const QString WaitingCaption; // "Waiting for Song Cue..."
    // The location code of the function keys (GlobalKeyDown's).
    static constexpr const char* KeysLocation = "B-302";

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void removeRow(DeckSongList& list, int idx);
    void showLampSet(const ImageList& set);
    void setPicture(SkinControl* c, const QPixmap& p);
    void stopAndRest(); // stream stopped, channel 0, lamps at rest
    // Resumes the paused deck; a resume that fails is told at once, as a start is.
    void resumeStream(const char* location);
    // A play or resume the engine refused, told with its reason; the player timer does not tell
    // the same loss again.
    void playFailed(const char* location);
    // Logs and shows `what` (%1 the deck's letter, %2 the engine's reason) and stops the deck.
    void soundFailed(const QString& what, const char* location);
    void setCaption(QLabel* l, const QString& caption);

    const DeckSide& side_;
    SoundBinding& engine_;
    DeckState& state_;
    Deck* other_ = nullptr;
    const DeckImages* images_ = nullptr;
    int barSeconds_ = 0;
    std::vector<float> spectrum_;
    std::vector<float> restSpectrum_; // appendTickInputs' own, so a tick's stays as it was
    QTimer glide_;
    // The last times shown, so an unchanged second costs no text building.
    long long shownElapsed_ = -1;
    long long shownRemaining_ = -1;
    QString elapsedText_;
    QString remainingText_;
};
