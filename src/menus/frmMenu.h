// The popup menus of the song lists and of the crossfader, and the commands that live in them.
//
// One frmMenu object holds all seven menus for the whole run: DJPlaylist, SongBin, mnuFull,
// mnuRequests, mnuAutoDJ, mnuMostPlayed and mnuSearch. They are built from one table; every item
// is a QAction whose objectName is the item's name, and choosing it runs the command of the same
// name with "_Click" appended, under that name's error trap.
//
// Every way of showing a menu (a right-click on a list, a list's menu button, the crossfader)
// goes through popup(), which first calls prepare(): the enabled states, the suggestion captions
// and the check marks always describe the moment the menu opens. A menu stays open in a nested
// event loop while the timers run on, so each command checks its own conditions again when it
// runs.
//
// The check marks are the run's CheckMarks: the menu shows them and its radio groups and toggles
// write them; nothing is stored.
#pragma once

#include "core/checkmarks.h"
#include "library/listviews.h"

#include <QObject>
#include <QString>
#include <functional>
#include <utility>
#include <vector>

class Decks;
class Library;
class ListButtons;
class RequestList;
class QAction;
class QDialog;
class QMenu;
class QTreeView;
class QWidget;
class SongListModel;

class frmMenu : public QObject {
    Q_OBJECT
public:
    frmMenu(QWidget* form, Library& library, Decks& decks, ListButtons& buttons, ListViews& views,
            RequestList& requests, CheckMarks& marks, QObject* parent = nullptr);
    ~frmMenu() override;

    // What the menus need of the rest of the program that is not theirs. Unset hooks do nothing.
    struct Hooks {
        // The tag editor for the selected row of a list.
        std::function<void(QTreeView* list)> OpenMP3Window;
        // "Normal", "Large" or "Largest" for the six song lists.
        std::function<void(const QString& size)> ChangePlaylistFont;
        // The update notes window and the media folder dialog (not the start-up one), modal.
        std::function<void()> showUpdates;
        std::function<void()> showMediaPaths;
        // Shows a prepared menu at the mouse pointer and returns once it has closed (its command
        // has run by then). Tests record the menu instead.
        std::function<void(QMenu* menu)> showPopup;
        // Shows a dialog modally and returns once it has closed.
        std::function<void(QDialog& dialog)> runModal;
    };
    Hooks hooks;

    // One of the seven menus by its name (DJPlaylist, SongBin, mnuFull, mnuRequests, mnuAutoDJ,
    // mnuMostPlayed, mnuSearch); error 91 for any other.
    QMenu* menu(const char* name) const;
    // An item of any menu by its name; error 91 when there is none.
    QAction* item(const char* name) const;
    // The seven menus in their order.
    QList<QMenu*> menus() const { return roots_; }

    // Sets the enabled states, captions and check marks of menu from the current state.
    void prepare(QMenu* menu);
    // prepare(), then shows the menu (hooks.showPopup) and returns when it has closed.
    void popup(QMenu* menu);

    // The menu of a song list (a right-click on it or its menu button); the list views keep
    // the focus rules around it. Every route prepares the menu the same way.
    void openPopup(QTreeView* list, ListViews::PopupOrigin origin);
    // The crossfader's menu (a right-click on the knob or its track).
    void showAutoDJMenu();

    // Swaps the selected row of the DJ Playlist or the Song Bin with the song of deck 'A' or
    // 'B' when that deck holds a song and is stopped: the row's song goes onto the deck and the
    // deck's former song takes the row's place. A deck that refuses the row's song (its file is
    // gone) keeps its own, and the row keeps its song too.
    void swapWithDeck(QTreeView* list, char deck);

    // --- DJ Playlist
    void mnuDJPlaylistLoadA_Click();
    void mnuDJPlaylistLoadB_Click();
    void mnuDJAddToRequestList_Click();
    void mnuDJPlaylistEditMP3_Click();
    void mnuDJPlaylistSwapPlayerA_Click();
    void mnuDJPlaylistSwapPlayerB_Click();
    void mnuDJPlaylistMoveUp1_Click();
    void mnuDJPlaylistMoveDown1_Click();
    void mnuDJPlaylistSendToTop_Click();
    void mnuDJPlaylistSOngBinAdd_Click();
    void mnuDJPlaylistAddFromFullPlaylist_Click();
    void mnuDJPlaylistAddFromMostPlayed_Click();
    void mnuDJPlaylistRemove_Click();
    void mnuDJPlaylistClear_Click();
    void mnuDJPlaylistRemoveFromList_Click();
    // --- Song Bin
    void mnuSongBinLoadA_Click();
    void mnuSongBinLoadB_Click();
    void mnuSongBinAddToRequestList_Click();
    void mnuSongBinEditMP3_Click();
    void mnuSongBinSwapPlayerA_Click();
    void mnuSongBinSwapPlayerB_Click();
    void mnuSongBinMoveUp1_Click();
    void mnuSongBinMoveDown1_Click();
    void mnuSongBinSendToTop_Click();
    void mnuSongBinSendToDJPlaylist_Click();
    void mnuSongBinRemoveFromBin_Click();
    void mnuSongBinRemoveAll_Click();
    // --- Full Playlist
    void mnuFullAddToDJ_Click();
    void mnuFullAddToRequest_Click();
    void mnuFullLoadSongA_Click();
    void mnuFullLoadSongB_Click();
    void mnuFullLoadMoveA_Click();
    void mnuFullLoadMoveB_Click();
    void mnuFullRefreshSongs_Click();
    void mnuFullFontNormal_Click();
    void mnuFullFontLarge_Click();
    void mnuFullFontLargest_Click();
    void mnuFullViewUpdateList_Click();
    void mnuFullViewKeyMap_Click();
    void mnuFullViewMediaPaths_Click();
    void mnuFullEditTag_Click();
    void mnuFullAutoTitleArtist_Click();
    void mnuFullAutoArtistTitle_Click();
    void mnuFullPlaylistSendToRecycleBin_Click();
    // --- Requests
    void mnuRequestsSentToDJPlaylist_Click();
    void mnuRequestsAddToA_Click();
    void mnuRequestsAddToB_Click();
    void mnuRequestsPlayerAToDJPlaylistLoadA_Click();
    void mnuRequestsPlayerBToDJPlaylistLoadB_Click();
    void mnuRequestRemoveSel_Click();
    void mnuRequestsEditMP3_Click();
    void mnuRequestsClear_Click();
    void mnuRequestsEnabled_Click();
    void mnuRequestSetDB_Click();
    // --- AutoDJ
    void mnuAutoDJCrossTime10_Click();
    void mnuAutoDJCrossTime15_Click();
    void mnuAutoDJCrossTime20_Click();
    void mnuAutoDJCrossTime25_Click();
    // --- Most Played
    void mnuMostPlayedAddToDJ_Click();
    void mnuMostPlayedRequestList_Click();
    void mnuMostPlayedEditMP3_Click();
    void mnuMostPlayedLoadSongA_Click();
    void mnuMostPlayedLoadSongB_Click();
    void mnuMostPlayedPlayerAToDJPlaylist_Click();
    void mnuMostPlayedPlayerBToDJPlaylist_Click();
    void mnuMostPlayedRemove_Click();
    // --- Search
    void mnuSearchNew_Click();
    void mnuSearchAddRequest_Click();
    void mnuSearchAddDJPlaylist_Click();
    void mnuSearchEditMP3_Click();

    // Writes artist and title into the file's tag in one write, then shows the tag's new texts in
    // every song list row of that file (the Requests list keeps its own) and on a deck that holds
    // it. A failed write is told to the user and logged, and nothing else changes.
    void AutoEditMP3(const QString& sFilename, const QString& sArtist, const QString& sTitle);

    // The texts the two auto-tag items show for a file: "Title: ... -- Artist: ..." each, or
    // "No Suggestions" for both.
    std::pair<QString, QString> suggestionCaptions(const QString& path) const;

private:
    void build();
    void syncMarks();
    QTreeView* list(const char* name) const;
    QTreeView* shownQueue() const;
    void addToRequest(QTreeView* list);
    void editTag(QTreeView* list);
    void fromPlayer(QTreeView* list, const char* player);
    void removeAll(SongListModel& list);
    void setFont(CheckMarks::FontMark mark, const char* size);
    void autoTag(const char* itemName, bool leftIsArtist);
    bool searchBlocked() const;

    QWidget* form_;
    Library& library_;
    Decks& decks_;
    ListButtons& buttons_;
    ListViews& views_;
    RequestList& requests_;
    CheckMarks& marks_;
    QList<QMenu*> roots_;
    // The items with a check mark, each with its test of the run's marks.
    std::vector<std::pair<QAction*, bool (*)(const CheckMarks&)>> markedItems_;
    // Take Requests clicks so far: only the last one's answer may set the mark back.
    int takeRequestsAsked_ = 0;
};
