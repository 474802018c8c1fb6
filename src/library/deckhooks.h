// How the song lists reach the two decks, which stand above them: the load buttons and the list
// keys load a list's selected row into a deck, and the keypad swaps and sends read the song a
// deck holds and whether it plays. Filled in where the main window is wired; decks are 'A' and
// 'B'. Unset hooks do nothing, and a deck then holds no song.
#pragma once

#include "library/songlistmodel.h"

#include <functional>

class QTreeView;

struct DeckHooks {
    // Loads the selected row of list into the deck, telling the user why when it cannot; with
    // removeRow the row leaves the list.
    std::function<void(char deck, QTreeView* list, bool removeRow)> load;
    // The deck's song: title, artist, time, genre and path; an empty path when none was loaded.
    std::function<SongRow(char deck)> song;
    // The deck is playing or paused (it has a channel).
    std::function<bool(char deck)> playing;

    void loadInto(char deck, QTreeView* list, bool removeRow) const
    {
        if (load)
            load(deck, list, removeRow);
    }
    SongRow songOf(char deck) const { return song ? song(deck) : SongRow(); }
    // The deck holds a song and neither plays nor is paused.
    bool hasStoppedSong(char deck) const
    {
        return !songOf(deck).filename().isEmpty() && !(playing && playing(deck));
    }
};
