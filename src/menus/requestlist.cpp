#include "menus/requestlist.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "core/songfile.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "library/listkeys.h"
#include "library/listviews.h"
#include "library/requestlink.h"
#include "library/songlistview.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QLabel>

RequestList::RequestList(QWidget* form, Library& library, Decks& decks, ListViews& views, QObject* parent)
    : QObject(parent), form_(form), library_(library), decks_(decks), views_(views)
{
    auto* list = ctl<SongListView>(form, "lstRequests");
    lstRequests_ = list;
    // A double click on a row takes it; one below the last row does nothing.
    connect(list, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex&) { lstRequests_DblClick(); });
    connect(list, &SongListView::mouseUp, this,
            [this](Qt::MouseButton b) { lstRequests_MouseUp(b == Qt::RightButton ? 2 : b == Qt::LeftButton ? 1 : 4); });
    views_.sortOnHeadingClicks(list);

    connect(ctl<SkinControl>(form, "picRequestsQInDJList"), &SkinControl::MouseUp, this,
            [this](int, int, double, double) { picRequestsQInDJList_MouseUp(); });
    connect(ctl<SkinControl>(form, "Picture10"), &SkinControl::MouseUp, this,
            [this](int, int, double, double) { Picture10_MouseUp(); });
    connect(ctl<SkinControl>(form, "Picture11"), &SkinControl::MouseUp, this,
            [this](int, int, double, double) { Picture11_MouseUp(); });
    connect(ctl<SkinControl>(form, "Picture12"), &SkinControl::MouseDown, this,
            [this](int, int, double, double) { Picture12_MouseDown(); });
    // What the request database's thread has to say goes to the message line.
    library_.requestLink().onMessage = [this](const QString& text) {
        if (postMessage)
            postMessage(text);
    };
}

void RequestList::showCount()
{
    ctl<QLabel>(form_, "lblNumRequestSongs")->setText(QString::number(library_.requests().count()));
}

void RequestList::removeRow(std::uint64_t id)
{
    // The row is found by its id: the list may have changed while the song was taken.
    SongListModel& requests = library_.requests();
    const int i = requests.indexOfId(id);
    if (i < 0)
        return;
    if (listkeys::selectedRow(lstRequests_) != i + 1) {
        requests.removeAt(i);
        return;
    }
    library_.RemoveFromList(lstRequests_);
}

bool RequestList::queueSaved()
{
    const QString failure = library_.saveDJPlaylistNow();
    if (failure.isEmpty())
        return true;
    if (postMessage)
        postMessage(QStringLiteral("Request queued but kept, the DJ Playlist could not be saved: ") + failure);
    return false;
}

void RequestList::forgetRequest(const QString& file, const char* location)
{
    // Without a request database the song came from the list alone. The records go on the
    // database's thread, in order with the polls: none that reads after this lists the request
    // again, and one already under way hands its list over without it.
    const QString db = RequestDBPath;
    if (requestdb::isConfigured(db))
        library_.requestLink().deleteRequestsFor(db, file, QLatin1String(location));
}

int RequestList::selectedRequest() const
{
    const int k = listkeys::selectedRow(lstRequests_);
    return library_.requests().count() >= 1 && k >= 1 ? k : 0;
}

QString RequestList::takeableFile(int k, const char* location)
{
    const QString file = library_.requests().cell(k - 1, field::Filename);
    if (songFileExists(file))
        return file;
    // Taking it would delete the request for a song nobody can play: it stays for the DJ to see.
    logMissingSong(file, QLatin1String(location));
    if (postMessage)
        postMessage(QStringLiteral("Request not taken, its file is missing: ") + file);
    return {};
}

void RequestList::takeIntoQueue(const char* location)
{
    trap(location, [&] {
        SongListModel& requests = library_.requests();
        const int k = selectedRequest();
        if (k < 1)
            return;
        const std::uint64_t id = requests.at(k - 1).id;
        const QString file = takeableFile(k, location);
        if (!file.isEmpty()) {
            const int queued = library_.djPlaylist().count();
            library_.AddToDJList(lstRequests_, k);
            // The row goes with its records once the queue holds the song, in the DJ Playlist
            // file as well when the records are in a database.
            if (library_.djPlaylist().count() > queued
                && (!requestdb::isConfigured(RequestDBPath) || queueSaved())) {
                forgetRequest(file, location);
                removeRow(id);
            }
        }
        lstRequests_->setFocus();
    });
}

bool RequestList::loadRow(char deck, int k)
{
    const QString file = library_.requests().cell(k - 1, field::Filename);
    const DeckState& s = decks_.state();
    const long& stream = deck == 'A' ? s.StreamA : s.StreamB;
    const QString& loaded = deck == 'A' ? s.PlayerAFilename : s.PlayerBFilename;
    const long before = stream;
    if (deck == 'A')
        decks_.LoadSongA(lstRequests_, true, true, k);
    else
        decks_.LoadSongB(lstRequests_, true, true, k);
    // A new stream on this file: the deck took the song (and the load removed its row).
    return stream != 0 && stream != before && loaded == file;
}

void RequestList::queueSelected(const char* location)
{
    // A request whose file is gone is refused, as by the other ways of taking it.
    const int k = selectedRequest();
    if (k < 1)
        return;
    if (!takeableFile(k, location).isEmpty())
        library_.AddToDJList(lstRequests_, k);
}

void RequestList::removeSelected(const char* location)
{
    trap(location, [&] {
        SongListModel& requests = library_.requests();
        const int k = selectedRequest();
        if (k < 1)
            return;
        const QString db = RequestDBPath;
        if (!requestdb::isConfigured(db)) {
            library_.RemoveFromList(lstRequests_);
            return;
        }
        // The records go on the database's thread, before any later reload reads them; the row
        // goes with them.
        const std::uint64_t id = requests.at(k - 1).id;
        library_.requestLink().deleteRequestsFor(db, requests.cell(k - 1, field::Filename), QLatin1String(location),
                                                 [this, id](bool givenUp) {
                                                     if (!givenUp)
                                                         removeRow(id);
                                                 });
    });
}

void RequestList::loadIntoDeck(char deck)
{
    if (const int k = selectedRequest(); k >= 1)
        loadRow(deck, k);
}

void RequestList::takeIntoDeck(char deck, const char* location)
{
    trap(location, [&] {
        const int k = selectedRequest();
        if (k < 1)
            return;
        const QString file = takeableFile(k, location);
        if (!file.isEmpty() && loadRow(deck, k))
            forgetRequest(file, location);
        lstRequests_->setFocus();
    });
}

void RequestList::lstRequests_DblClick() { takeIntoQueue("lstRequests_DblClick"); }
void RequestList::picRequestsQInDJList_MouseUp() { takeIntoQueue("picRequestsQInDJList_MouseUp"); }
void RequestList::Picture10_MouseUp() { takeIntoDeck('A', "Picture10_MouseUp"); }
void RequestList::Picture11_MouseUp() { takeIntoDeck('B', "Picture11_MouseUp"); }

void RequestList::Picture12_MouseDown()
{
    trap("Picture12_MouseDown", [&] {
        lstRequests_->setFocus();
        if (showMenu)
            showMenu();
    });
}

void RequestList::lstRequests_MouseUp(int Button)
{
    if (Button == 2 && showMenu)
        showMenu();
}

void RequestList::lstRequests_KeyDown(int& KeyCode)
{
    using namespace vb::key;
    trap("lstRequests_KeyDown", [&] {
        if (library_.requests().count() >= 1 && listkeys::keypadMove(lstRequests_, KeyCode) != listkeys::Move::NotAMove) {
            listkeys::used(KeyCode);
            return;
        }
        const int key = KeyCode;
        if (key != Return && key != Numpad1 && key != Numpad3 && key != Numpad4 && key != Numpad6)
            return;
        listkeys::used(KeyCode);
        // Each of them acts on the selected row (an empty list has none).
        if (listkeys::selectedRow(lstRequests_) < 1)
            return;
        switch (key) {
        case Return: queueSelected("lstRequests_KeyDown"); break;
        case Numpad1: loadIntoDeck('A'); break;
        case Numpad3: loadIntoDeck('B'); break;
        case Numpad4: views_.SongFromPlayerToDJList(lstRequests_, QStringLiteral("PlayerA")); break;
        case Numpad6: views_.SongFromPlayerToDJList(lstRequests_, QStringLiteral("PlayerB")); break;
        }
    });
}

void RequestList::AddToRequestListManual(QTreeView* list, int index)
{
    trap("AddToRequestListManual", [&] {
        SongListModel& from = library_.modelOf(list);
        if (index < 1 || index > from.count())
            return;
        const int i = index - 1;
        library_.requests().append(SongRow(from.cell(i, field::Title), from.cell(i, field::Artist),
                                           from.cell(i, field::Time), from.cell(i, field::Genre),
                                           from.cell(i, field::Filename)));
        showCount();
    });
}
