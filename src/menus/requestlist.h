// The Requests list (lstRequests) and the buttons beside it: the songs listeners asked for, as the
// request poll lists them, plus songs added by hand from the other lists.
//
// Taking a request (double click, the queue button picRequestsQInDJList, the deck buttons
// Picture10 and Picture11) takes the song first and deletes its records from the request
// database only once the queue or the deck holds it, so a deck that refuses the song keeps the
// request. A request taken into the queue leaves the database only once the DJ Playlist file
// holds it (saved whole at once, its folder forced to the disk): a crash or a power cut after the
// take finds the request in the one or the other. When the list cannot be saved (a full disk)
// the song stays queued but the request stays listed and recorded, and the message line says
// why. A deck keeps no song across a crash, whatever list it came from; the deck buttons delete
// the records once the deck holds the song, as the DJ is playing it next.
// Enter and the menu's queue item only queue the song: the request stays listed and in the
// database. Numpad 1 and 3 and the menu's deck items load the song and drop its row, but keep
// its records: the request is listed again at the next reload. A request whose file is missing
// is not taken, queued or loaded: it stays listed and recorded, and the message line and the
// error log say why. The records are deleted on the request database's thread (requestlink.h),
// in order with its polls; a failure there is logged.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

class Decks;
class Library;
class ListViews;
class QTreeView;
class QWidget;

class RequestList : public QObject {
    Q_OBJECT
public:
    // Binds to lstRequests, its header, its four buttons and lblNumRequestSongs on form.
    RequestList(QWidget* form, Library& library, Decks& decks, ListViews& views, QObject* parent = nullptr);

    // Shows the Requests menu (mnuRequests) and returns when it has closed; nothing while unset.
    std::function<void()> showMenu;
    // Shows a message on the main window's message line; nothing while unset.
    std::function<void(const QString&)> postMessage;

    QTreeView* view() const { return lstRequests_; }

    // --- taking a request
    void lstRequests_DblClick();
    void picRequestsQInDJList_MouseUp();
    void Picture10_MouseUp();
    void Picture11_MouseUp();
    // --- the menu
    void Picture12_MouseDown();
    void lstRequests_MouseUp(int Button);
    // Queues the selected request in the DJ Playlist (Enter, the menu's queue item); the request
    // stays listed and recorded. Nothing while no row is selected.
    void queueSelected(const char* location);
    // Loads the selected request into deck 'A' or 'B' and drops its row once the deck has it;
    // its records stay in the database. Nothing while no row is selected.
    void loadIntoDeck(char deck);
    // Remove Selected: the selected request's records are deleted, and its row goes once they
    // are (or wait for a database that is locked or away); a delete that fails for good leaves
    // the row listed. Without a database the row just goes.
    void removeSelected(const char* location);

    // --- keys (after GlobalKeyDown): the keypad's selection moves, Enter queues, Numpad 1 / 3
    // load the request into deck A / B (its records stay), Numpad 4 / 6 send the deck's song to
    // the DJ Playlist and load the request.
    void lstRequests_KeyDown(int& KeyCode);

    // Copies row index (1-based) of another song list to the end of the Requests list: Title,
    // Artist, Time, the fourth column (Genre, or Plays in Most Played) and Filename. Nothing for
    // an empty list or a row that is not there.
    void AddToRequestListManual(QTreeView* list, int index);

private:
    // The file of the selected request, or "" with the message line and the log told, when it
    // is missing.
    // The selected request's row (1 up), 0 when the list is empty or none is selected.
    int selectedRequest() const;
    QString takeableFile(int k, const char* location);
    void takeIntoQueue(const char* location);
    void takeIntoDeck(char deck, const char* location);
    // Deletes the request records of file.
    void forgetRequest(const QString& file, const char* location);
    // The DJ Playlist, which now holds a taken request, saved so that its records may go; false,
    // with the message line told, when it could not be.
    bool queueSaved();
    // Loads row k into the deck, which drops the row; true when the deck now holds its song.
    bool loadRow(char deck, int k);
    // Takes the row with this id out of the list (the selection moves on only when it was the
    // selected row).
    void removeRow(std::uint64_t id);
    void showCount();

    QWidget* form_;
    Library& library_;
    Decks& decks_;
    ListViews& views_;
    QTreeView* lstRequests_ = nullptr;
};
