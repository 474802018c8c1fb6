// The song lists by hand: what the keys, double clicks, right clicks and header clicks of the
// song list views do, and the moves of a song between the lists and the decks.
//
// Every list's keys reach GlobalKeyDown first (the main window forwards them) and then the
// list's own handler here, which acts on the keypad, Enter, Space, Delete and the arrows that
// switch the DJ view. The popup menus, the request list and the swap with a deck belong to the
// menus; until they fill their hooks below, those keys and clicks do nothing.
#pragma once

#include "library/deckhooks.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <functional>
#include <map>

class Library;
class LibrarySearch;
class ListButtons;
class QTreeView;
class QWidget;
class SongListModel;

class ListViews : public QObject {
    Q_OBJECT
public:
    // Connects to the form's list views, their headers, the search box and the menu buttons,
    // found by name. The key handlers are connected by whoever forwards the keys (the main
    // window calls them right after GlobalKeyDown). The keys reach the decks through decks.
    ListViews(QWidget* form, Library& library, DeckHooks decks, ListButtons& buttons, QObject* parent = nullptr);
    ~ListViews() override;

    // ---- Hooks the popup menus fill; each does nothing while unset.
    // How a popup was asked for: a right click on the list, or the list's menu button. The
    // menus prepare their items accordingly (the menu button of the DJ view also sets the
    // "Most Played" auto-add item).
    enum class PopupOrigin { RightClick, MenuButton };
    // Opens the popup of a list at the mouse pointer and returns when it has closed (after the
    // chosen command ran). The list says which popup: lstDJPlayList "DJPlaylist", lstSongBin
    // "SongBin", lstFullPlaylist "mnuFull", lstMostPlayed "mnuMostPlayed", lstSearch
    // "mnuSearch" (lstRequests "mnuRequests", for the Requests list's own handlers). The focus
    // before and after the popup is set here, not by the hook.
    std::function<void(QTreeView* list, PopupOrigin origin)> openPopup;
    // Copies row index (1-based) of list to the request list (the Space key).
    std::function<void(QTreeView* list, int index)> AddToRequestListManual;
    // Swaps the selected row of the DJ Playlist or the Song Bin with the stopped song of deck
    // 'A' or 'B' (Numpad 7 and 9: mnuDJPlaylistSwapPlayerA_Click, mnuSongBinSwapPlayerB_Click ...).
    std::function<void(QTreeView* list, char deck)> swapWithDeck;

    // ---- Key handlers: run after GlobalKeyDown; a key they used is set to 0.
    void lstDJPlayList_KeyDown(int& KeyCode, int Shift);
    void lstSongBin_KeyDown(int& KeyCode, int Shift);
    void lstFullPlaylist_KeyDown(int& KeyCode, int Shift);
    void lstMostPlayed_KeyDown(int& KeyCode, int Shift);
    void lstSearch_KeyDown(int& KeyCode, int Shift);
    // The search box (its GlobalKeyDown keeps the view letters for typing): Down goes to the
    // hits, Enter searches.
    void txtSearch_KeyDown(int& KeyCode, int Shift);

    // ---- Double clicks (Enter runs the same). The DJ Playlist and Song Bin ones are the
    // library's moves between the two (Library::lstDJPlayList_DblClick, lstSongBin_DblClick).
    void lstFullPlaylist_DblClick();
    void lstMostPlayed_DblClick();
    void lstSearch_DblClick();

    // Puts the song that deck "PlayerA" or "PlayerB" holds at the end of the DJ Playlist and
    // loads the selected song of FormControl into that deck in its place. Nothing happens for
    // an empty list, a list without a selection, an empty deck or another deck name.
    void SongFromPlayerToDJList(QTreeView* FormControl, const QString& sPlayer);

    // ---- Header clicks: sorts the list by the clicked column (0-based, as the view numbers
    // its sections). Each list keeps one direction for all its columns, flipped at every click
    // and ascending at the first; Most Played's Plays column always sorts highest count first.
    // The selection stays on its song.
    void ColumnClick(QTreeView* list, int column);
    // Makes list's headings clickable and every click on one a ColumnClick, however quickly it
    // follows the one before.
    void sortOnHeadingClicks(QTreeView* list);

    // ---- The Full Playlist's tag read on demand: the row the user clicks or steps onto
    // shows its tag at once when the background scan has not read it yet.
    void lstFullPlaylist_Click();
    // Reads row (1-based) of the Full Playlist unless it is already marked read.
    void readFullRowOnDemand(int row);

    // ---- Popups: right clicks and the menu buttons, with the focus rules around openPopup.
    void list_MouseUp(QTreeView* list, int Button);
    void menuButton(QTreeView* list);

    // Right in the DJ Playlist shows the Song Bin, Left in the Song Bin the DJ Playlist.
    void switchDJView(bool toSongBin);

    LibrarySearch& search() { return *search_; }

private:
    QTreeView* list(const char* name) const;
    void queueListKeyDown(QTreeView* list, bool songBin, int& KeyCode, const char* location);
    bool deckKey(QTreeView* list, int KeyCode, bool row);
    void showDJPlaylistTab();

    QWidget* form_;
    Library& library_;
    DeckHooks decks_;
    ListButtons& buttons_;
    LibrarySearch* search_;
    // The sort direction of each list (true: the last sort was ascending).
    std::map<const QTreeView*, bool> ascending_;
};
