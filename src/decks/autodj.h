// Auto-DJ: plays the DJ Playlist unattended.
//
// The switch (lblTurnAutoDJOffClick) turns it on and off and cues the idle decks from the head of
// the queue. While it is on, the crossfade timer (TimerAutoDJCrossfade, every 300 ms) watches the
// playing deck and, the chosen number of seconds before its song ends, slides the crossfader knob
// 25 twips a tick towards the other deck, starts that deck when the knob passes 255 twips off
// centre, stops the first deck at 655 twips off centre, marks it free for the housekeeping timer
// and recentres the knob.
//
// The controller reaches the decks, the DJ Playlist, the lamp and the message line through
// AutoDJHost, so the same code runs in the main window and against test doubles.
#pragma once

#include <QString>

struct DeckState;
class Crossfader;
struct CheckMarks;

enum class Side { A, B };
inline Side other(Side s) { return s == Side::A ? Side::B : Side::A; }

// What the auto-DJ and the housekeeping timer need of the rest of the main window.
class AutoDJHost {
public:
    virtual ~AutoDJHost() = default;

    // --- the DJ Playlist (lstDJPlayList)
    virtual int djRowCount() const = 0;
    // LoadSongA / LoadSongB(lstDJPlayList, True, False, autoIndex): 0 = the selected row.
    virtual void loadFromDJList(Side deck, int autoIndex) = 0;
    // The caption of the deck's title label ("Waiting for Song Cue..." until a song was loaded).
    virtual QString titleCaption(Side deck) const = 0;

    // --- the deck's engine, on the deck's own stream and channel
    virtual int streamTimeMs(Side deck) const = 0;   // FSOUND_Stream_GetTime
    virtual int streamLengthMs(Side deck) const = 0; // FSOUND_Stream_GetLengthMs
    // Starts the deck's stream at the deck's crossfader volume and pitch from its first sample:
    // the channel, 0 when it cannot play (the deck has told why).
    virtual int playStream(Side deck) = 0;
    // The deck's last start failed because its sound output is gone (unplugged, its sound server
    // away), not because of its song.
    virtual bool outputGone(Side deck) const = 0;
    virtual void stopStream(Side deck) = 0;          // FSOUND_Stream_Stop
    virtual bool isPaused(Side deck) const = 0;      // FSOUND_GetPaused on the deck's channel
    virtual void setCrossfaderVolumes() = 0;         // both decks' volumes from the knob

    // --- the lamp (picAutoDJOff showing item 1, 2 or 3 of imgAutoDJOn)
    virtual void showAutoDJLamp(int item) = 0;

    // --- the message line
    // Idle text in black, no new message, counters 0, nothing held.
    virtual void resetMessages() = 0;
    // A new message; keep holds it beyond the two-minute expiry.
    virtual void postMessage(const QString& text, bool keep) = 0;
};

class AutoDJ {
public:
    static QString waitingCaption() { return QStringLiteral("Waiting for Song Cue..."); }
    static QString needSongsText() { return QStringLiteral("Need Songs In DJ Playlist To Use Auto-DJ!"); }

    // Knob positions (twips) of the fade.
    static constexpr double Step = 25;
    static constexpr double StartOffset = 255; // incoming deck starts beyond centre +/- this
    static constexpr double StopOffset = 655;  // outgoing deck stops beyond centre +/- this

    AutoDJ(DeckState& state, Crossfader& knob, const CheckMarks& marks, AutoDJHost& host);

    // Click of lblTurnAutoDJOffClick: switches auto-DJ on or off (location "B-119").
    void lblTurnAutoDJOffClick_Click();
    // Tick of TimerAutoDJCrossfade (location "B-295").
    void TimerAutoDJCrossfade_Timer();

    // The crossfade time in seconds from the check marks (15 unless 10, 20 or 25 is chosen).
    int crossfadeSeconds() const;

    // The lamp item last shown (1 off, 2 and 3 alternate while on).
    int lampItem() const { return lamp_; }
    void showLamp(int item);

private:
    void switchOn();
    void switchOff();
    // One step of a fade from deck `from` to the other deck.
    void fadeStep(Side from);
    // Gives up a fade whose incoming deck cannot play: knob back to the centre, no fade running,
    // and an incoming deck that is not playing is marked free so the next queued song goes
    // there, unless it keeps its song for an output that is gone.
    void abandonFade(Side to);
    bool canStart(Side deck) const;

    int& channel(Side d);
    long stream(Side d) const;
    bool& loadNext(Side d);
    bool& counted(Side d);

    DeckState& s_;
    Crossfader& knob_;
    const CheckMarks& marks_;
    AutoDJHost& host_;
    int lamp_ = 1;
    // Per deck, the stream that failed to start in a fade (0 = none): its song could not play,
    // or its output was gone. A song whose output was gone stays on the deck and in the night
    // (the queue is not drained one song a fade while the output is away); it is faded to again
    // once the deck was seen playing (the DJ started it, its output back).
    long unplayable_[2] = {0, 0};
    long waitingForOutput_[2] = {0, 0};
};
