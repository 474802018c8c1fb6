// The song library: the song lists of the main window and everything that fills, orders,
// saves and reads them. One Library object owns the list models and the library's handlers,
// under the names the rest of the program calls them by.
#pragma once

#include "library/songlistmodel.h"
#include "library/songtag.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <unordered_set>

class QLabel;
class QTimer;
class QTreeView;
class QWidget;
class MediaWalk;
namespace requestdb {
class RequestLink;
}

// The song a deck holds, as the deck's fields give it (for counting plays).
struct DeckSong {
    QString title, artist, time, filename;
};

class Library : public QObject {
    Q_OBJECT
public:
    // The lists find their views and count labels on form by name (lstFullPlaylist,
    // lblFullPlaylistNumSongs ...); a list without a view still works as a list. The library's
    // two timers, TimerReadMP3 (50 ms) and TimerSaveLists (1 s), are the form's timers of those
    // names (the form starts them), or timers of its own, running, when the form has none.
    explicit Library(QWidget* form, QObject* parent = nullptr);
    ~Library() override;

    // What the library needs of the rest of the main window. Unset hooks do nothing, except
    // the message line, which falls back to the form's label lblMessages.
    struct Hooks {
        std::function<void()> updateClock;                       // each TimerSaveLists tick
        std::function<QString()> messageText;                    // lblMessages' caption
        std::function<void()> resetMessage;                      // back to the idle text
        std::function<void(const QString&)> showMessage;         // a message that stays
        std::function<void()> endProgramAtOnce;                  // close both engines, end now
        std::function<void(const QString& file)> listSaved;      // a list file was written
        std::function<void(const QString& file)> listRead;       // a list file is read, not yet parsed
    };
    Hooks hooks;

    SongListModel& full() { return full_; }
    SongListModel& djPlaylist() { return dj_; }
    SongListModel& songBin() { return songBin_; }
    SongListModel& mostPlayed() { return mostPlayed_; }
    SongListModel& search() { return search_; }
    SongListModel& requests() { return requests_; }
    // The request database, on a thread of its own, which fills the Requests list.
    requestdb::RequestLink& requestLink() { return *requestLink_; }

    // The model behind one of the form's song list views; error 91 for anything else.
    SongListModel& modelOf(QTreeView* list);
    QTreeView* viewOf(SongListModel& model) const;

    // ---- List files (in the program folder). Each handles and logs its own errors.
    void SaveFullPlaylist();
    void SaveMostPlayed();
    void SaveDJPlaylist();
    void SaveSongBin();
    // Saves the DJ Playlist at once, its folder forced to the disk as well, so the file holds
    // what the list holds now even after a power cut (a request taken into it may then leave the
    // request database). "" when saved, else the reason, which is logged too.
    QString saveDJPlaylistNow();
    // A list whose last save failed: its name as the window shows it, its file and the system's
    // reason. The old file is still whole; the list's changes since are only in memory.
    struct UnsavedList {
        QString name, file, why;
    };
    // In the order they failed; a list leaves once a save of it succeeds.
    const std::vector<UnsavedList>& unsavedLists() const { return unsaved_; }
    void LoadFullPlaylist(const QString& sFilename);
    void LoadMostPlayedPlaylist();
    void LoadDJPlaylist();
    void LoadSongBin();

    // The memory one list file may take while it loads (its bytes, its text and its rows). A
    // file that would take more is refused whole, with a message, and kept on disk: its list is
    // not saved over it while it is there unchanged. A library of half a million songs fits.
    static constexpr qint64 DefaultListMemoryBudget = qint64(768) << 20;
    qint64 listMemoryBudget = DefaultListMemoryBudget;

    // ---- The main window's load: the stored lists (only while the Full Playlist is empty),
    // resuming the tag scan; then, when the Full Playlist is still empty, the refresh.
    void loadStoredLists();
    void refreshIfEmpty();

    // ---- Media scan.
    // Starts the walk of the media folders into the Full Playlist; done runs when it ends
    // (also when there was nothing to walk). The walk runs in slices on the event loop.
    void LoadAllDirectories(bool bRefresh, std::function<void()> done = {});
    bool ParseFiles(const QString& sFilename, SongListModel& list, bool bRefresh);
    bool ParseFiles(const QString& sFilename, QTreeView* list, bool bRefresh);
    // The refresh: empties the Full Playlist, walks the media folders into it and restarts
    // the tag scan from row 1.
    void mnuFullRefreshSongs_Click();
    bool refreshing() const { return refreshing_; }

    // ---- Background tag scan.
    bool bFullMP3 = false;
    std::int32_t iFullMP3LastIndex = 1; // 1-based
    void TimerReadMP3_Timer();
    bool SingleParseFile(SongListModel& list, std::int32_t& iRow);
    // Points the scan at the first unread row (true), or leaves it as it is (false).
    bool resumeTagScan();

    // ---- DJ Playlist and Song Bin.
    void AddToDJList(QTreeView* list, int iTempIndex);
    void RemoveFromList(QTreeView* list);
    void SendSongToTopList();
    void picDJPlaylistUp_Click();
    void picDJPlaylistDown_Click();

    // ---- Moves between the DJ Playlist and the Song Bin (a double click or Enter on the
    // list, or the popup items "Send Selected To Song Bin" / "Send Selected To DJ Playlist"):
    // the selected row leaves its list and goes to the end of the other one, unless a row
    // there already holds the same song (the same title and the same artist). The list moved
    // from selects the row that took the removed one's place; nothing scrolls.
    void lstDJPlayList_DblClick();
    void lstSongBin_DblClick();

    // ---- A song file deleted for good: every row of that exact path leaves every list (Full
    // Playlist, DJ Playlist, Song Bin, Most Played, Search, Requests), a list whose selected row
    // went selects the row that took its place, the counts follow, and each stored list that
    // lost a row is saved at once. Returns the number of rows removed.
    int removeFileEverywhere(const QString& path);

    // ---- Most Played.
    void AddToMostPlayedA(const DeckSong& song, bool& bCountedA);
    void AddToMostPlayedB(const DeckSong& song, bool& bCountedB);
    void SortMostPlayed_ByPlays();

    // ---- Periodic save.
    std::int32_t iSaveCounter = 0;
    void TimerSaveLists_Timer();

    // ---- Count captions.
    void updateFullCaption();
    void updateDJCaption();
    void updateSongBinCaption();
    // The bare counts beside the view buttons (the deck display timer writes them every tick).
    void updateCountLabels();

    // The Search list's placeholder row ("No Songs Found!"), and whether it is what the list
    // shows. The row is known by its id, so a real song of that title is never taken for it.
    void addSearchPlaceholder();
    bool searchShowsPlaceholder() const;

    // Writes a freshly read tag into the row with this id, when it is still in the list: title,
    // artist, time and genre together and then, when markScanned, "SCANNED". False when the
    // row is gone. hint is where the row is expected to stand.
    static bool writeCells(SongListModel& list, std::uint64_t id, const SongCells& cells, bool markScanned,
                           int hint = -1);

    // Selection helpers for list views: the 1-based row of the selection (error 91 when
    // nothing is selected) and selecting row k (1-based); the list scrolls to it and takes the
    // focus only when scrollAndFocus is set.
    static int selectedRow(QTreeView* list);
    static void selectRow(QTreeView* list, int k, bool scrollAndFocus);

    QString listFile(const char* name) const;

signals:
    // The refresh finished walking (for those who wait for it).
    void refreshFinished();

private:
    void attach(SongListModel& model, const char* viewName);
    void setCaption(const char* label, const QString& text);
    // failure, when given, receives the reason a save failed; syncFolder as files::writeWhole.
    void saveList(SongListModel& list, const char* fileName, const char* name, const char* location,
                  QString* failure = nullptr, bool syncFolder = false);
    // Puts the lists not saved on the message line (while the music plays on).
    void tellUnsaved();
    // Whether the list file at path is one refused at load and still there unchanged.
    bool keepsRefusedFile(const QString& path);
    int loadList(SongListModel& list, const QString& path, const char* location);
    void addToMostPlayed(const DeckSong& song, bool& counted);
    void walkSlice();
    void finishRefresh();
    QString messageText() const;
    void resetMessage();
    void showMessage(const QString& text);
    QTreeView* queueList();
    void moveToOtherQueue(SongListModel& from, SongListModel& to, const char* location);
    void removeAndReselect(QTreeView* list, SongListModel& m, int k);

    QPointer<QWidget> form_;
    SongListModel full_{SongListModel::Kind::Full};
    SongListModel dj_{SongListModel::Kind::Queue};
    SongListModel songBin_{SongListModel::Kind::Queue};
    SongListModel mostPlayed_{SongListModel::Kind::MostPlayed};
    SongListModel search_{SongListModel::Kind::Search};
    SongListModel requests_{SongListModel::Kind::Queue};
    // Behind the hidden work list of the Most Played sort; the sort orders the list in one
    // step and never needs it, so it stays empty.
    SongListModel sortMostPlayed_{SongListModel::Kind::MostPlayed};
    std::vector<std::pair<SongListModel*, QPointer<QTreeView>>> views_;

    QTimer* readTimer_ = nullptr;
    QTimer* saveTimer_ = nullptr;
    QTimer* walkTimer_ = nullptr;
    std::unique_ptr<MediaWalk> walk_;
    std::function<void()> walkDone_;
    bool refreshing_ = false;
    bool saving_ = false;
    std::uint64_t searchPlaceholderId_ = 0;
    // Rows the tag scan passed over because their tag could not be read (by row id); each
    // is logged once and not tried again in this run.
    std::unordered_set<std::uint64_t> unreadable_;
    // List files refused at load (by absolute path), as they were then.
    struct FileStamp {
        qint64 size;
        QDateTime modified;
    };
    std::map<QString, FileStamp> refused_;
    std::vector<UnsavedList> unsaved_;
    std::unique_ptr<requestdb::RequestLink> requestLink_;
};
