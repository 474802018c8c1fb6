// The state of the two decks that the rest of the program shares: the engines' stream and
// channel handles, the loaded songs' fields, the auto-DJ flags and the held-key flags.
//
// The player timers, the transport, the function keys, the auto-DJ crossfade and the
// housekeeping timer all read and write these, one thread at a time; nothing is locked.
#pragma once

#include <QString>
#include <cstdint>

struct DeckState {
    // --- handles of the engines (engine A plays deck A, engine B deck B)
    // Stream of the song loaded on the deck; 0 = no stream (never loaded, or the last open
    // failed).
    long StreamA = 0;
    long StreamB = 0;
    // Channel of the playing or paused stream; 0 = the deck is idle (empty, loaded, stopped).
    int ChannelA = 0;
    int ChannelB = 0;
    // Output device of each engine, fixed before the main window opens (-1: a server's output
    // missing at start, which the deck waits for).
    int DeviceA = 0;
    int DeviceB = 0;
    // What the message line says when the main window opens about an output missing at start;
    // empty when every output was there.
    QString OutputNotice;

    // --- the loaded songs; the file path is the key by which every part of the program
    // recognises a deck's song; empty until the first successful load, never emptied again.
    QString PlayerATitle, PlayerAArtist, PlayerAFilename, PlayerAGenre, PlayerATime;
    QString PlayerBTitle, PlayerBArtist, PlayerBFilename, PlayerBGenre, PlayerBTime;

    // --- auto-DJ
    bool bAutoDJ = false;       // auto-DJ is on
    bool bFadeToA = false;      // a crossfade towards deck A is running or requested
    bool bFadeToB = false;      // ... towards deck B
    bool bLoadNextA = false;    // deck A is free for the next queued song
    bool bLoadNextB = false;    // deck B likewise
    bool bAutoFillDJ = false;   // the housekeeping timer is filling an empty queue
    bool bStartBAfterA = false; // when deck A goes silent, its timer starts deck B
    bool bStartAAfterB = false; // when deck B goes silent, its timer starts deck A

    // --- the current song of the deck was counted into Most Played (once per play)
    bool bCountedA = false;
    bool bCountedB = false;

    // --- held keys, set by key-down and cleared by key-up, read by the seek timer
    bool bF9Down = false;   // deck A pitch down
    bool bF10Down = false;  // deck A pitch up
    bool bF11Down = false;  // deck B pitch down
    bool bF12Down = false;  // deck B pitch up
    bool bSeekFwdA = false; // deck A fast forward
    bool bSeekFwdB = false; // deck B fast forward

    // Back to the state of a fresh start: both decks empty, every flag False.
    void reset() { *this = DeckState(); }
};

// The one deck state of the running program.
DeckState& deckState();
