// The load and queue buttons beside the song lists: load the selected song into deck A or B,
// or queue it in the DJ Playlist. Their Click procedures are public, so list keys and popup
// items can run the same commands.
#pragma once

#include "library/deckhooks.h"

#include <QObject>

class Library;
class QTreeView;
class QWidget;

class ListButtons : public QObject {
    Q_OBJECT
public:
    // Connects the buttons found on form by name; the loads reach the decks through decks.
    // removeWhenLoading reads the DJ Playlist's "Remove Song From List When Loading Player" mark.
    ListButtons(QWidget* form, Library& library, DeckHooks decks, QObject* parent = nullptr);

    // DJ view: acts on whichever of the DJ Playlist and the Song Bin is shown.
    void picDJPlaylistAddA_Click();
    void picDJPlaylistAddB_Click();
    // Full Playlist.
    void picFullPlaylistAddA_Click();
    void picFullPlaylistAddB_Click();
    void picFullQInDJPlaylist_Click();
    // Most Played.
    void picMostPlayedAddToPlayerA_Click();
    void picMostPlayedAddToPlayerB_Click();
    void picMostPlayedQInDJList_Click();
    // Search: nothing happens while the list shows its "No Songs Found!" row.
    void picSearchPlaylistAddA_Click();
    void picSearchPlaylistAddB_Click();
    void picQInDJPlaylistSearch_Click();

    // True when the search list shows no hits, only its "No Songs Found!" placeholder row.
    bool searchShowsNoHits() const;

private:
    enum class Target { DeckA, DeckB, Queue };
    void djViewLoad(Target deck, const char* location);
    void listCommand(QTreeView* list, Target target, const char* location);
    void searchCommand(Target target, const char* location);

    QWidget* form_;
    Library& library_;
    DeckHooks decks_;
};
