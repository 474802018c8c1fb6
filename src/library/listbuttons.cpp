#include "library/listbuttons.h"

#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "library/library.h"
#include "platform/ui/skin.h"

#include <QTreeView>
#include <utility>

ListButtons::ListButtons(QWidget* form, Library& library, DeckHooks decks, QObject* parent)
    : QObject(parent), form_(form), library_(library), decks_(std::move(decks))
{
    const struct {
        const char* name;
        void (ListButtons::*click)();
    } buttons[] = {
        {"picDJPlaylistAddA", &ListButtons::picDJPlaylistAddA_Click},
        {"picDJPlaylistAddB", &ListButtons::picDJPlaylistAddB_Click},
        {"picFullPlaylistAddA", &ListButtons::picFullPlaylistAddA_Click},
        {"picFullPlaylistAddB", &ListButtons::picFullPlaylistAddB_Click},
        {"picFullQInDJPlaylist", &ListButtons::picFullQInDJPlaylist_Click},
        {"picMostPlayedAddToPlayerA", &ListButtons::picMostPlayedAddToPlayerA_Click},
        {"picMostPlayedAddToPlayerB", &ListButtons::picMostPlayedAddToPlayerB_Click},
        {"picMostPlayedQInDJList", &ListButtons::picMostPlayedQInDJList_Click},
        {"picSearchPlaylistAddA", &ListButtons::picSearchPlaylistAddA_Click},
        {"picSearchPlaylistAddB", &ListButtons::picSearchPlaylistAddB_Click},
        {"picQInDJPlaylistSearch", &ListButtons::picQInDJPlaylistSearch_Click},
    };
    for (const auto& b : buttons)
        connect(ctl<SkinControl>(form_, b.name), &SkinControl::Click, this, b.click);
}

void ListButtons::listCommand(QTreeView* list, Target target, const char* location)
{
    trap(location, [&] {
        switch (target) {
        case Target::DeckA: decks_.loadInto('A', list, false); break;
        case Target::DeckB: decks_.loadInto('B', list, false); break;
        case Target::Queue: library_.AddToDJList(list, 0); break;
        }
        list->setFocus();
    });
}

void ListButtons::djViewLoad(Target deck, const char* location)
{
    trap(location, [&] {
        auto* dj = ctl<QTreeView>(form_, "lstDJPlayList");
        auto* bin = ctl<QTreeView>(form_, "lstSongBin");
        // The DJ Playlist removes the loaded row only while its mark says so; a song loaded
        // from the Song Bin always leaves the bin.
        QTreeView* list = nullptr;
        bool remove = true;
        if (!dj->isHidden()) {
            list = dj;
            remove = checkMarks().removeWhenLoading;
        } else if (!bin->isHidden()) {
            list = bin;
        } else {
            return;
        }
        decks_.loadInto(deck == Target::DeckA ? 'A' : 'B', list, remove);
        list->setFocus();
    });
}

bool ListButtons::searchShowsNoHits() const { return library_.searchShowsPlaceholder(); }

void ListButtons::searchCommand(Target target, const char* location)
{
    if (searchShowsNoHits())
        return;
    listCommand(ctl<QTreeView>(form_, "lstSearch"), target, location);
}

void ListButtons::picDJPlaylistAddA_Click() { djViewLoad(Target::DeckA, "picDJPlaylistAddA_Click"); }
void ListButtons::picDJPlaylistAddB_Click() { djViewLoad(Target::DeckB, "picDJPlaylistAddB_Click"); }

void ListButtons::picFullPlaylistAddA_Click()
{
    listCommand(ctl<QTreeView>(form_, "lstFullPlaylist"), Target::DeckA, "picFullPlaylistAddA_Click");
}
void ListButtons::picFullPlaylistAddB_Click()
{
    listCommand(ctl<QTreeView>(form_, "lstFullPlaylist"), Target::DeckB, "picFullPlaylistAddB_Click");
}
void ListButtons::picFullQInDJPlaylist_Click()
{
    listCommand(ctl<QTreeView>(form_, "lstFullPlaylist"), Target::Queue, "picFullQInDJPlaylist_Click");
}

void ListButtons::picMostPlayedAddToPlayerA_Click()
{
    listCommand(ctl<QTreeView>(form_, "lstMostPlayed"), Target::DeckA, "picMostPlayedAddToPlayerA_Click");
}
void ListButtons::picMostPlayedAddToPlayerB_Click()
{
    listCommand(ctl<QTreeView>(form_, "lstMostPlayed"), Target::DeckB, "picMostPlayedAddToPlayerB_Click");
}
void ListButtons::picMostPlayedQInDJList_Click()
{
    listCommand(ctl<QTreeView>(form_, "lstMostPlayed"), Target::Queue, "picMostPlayedQInDJList_Click");
}

void ListButtons::picSearchPlaylistAddA_Click() { searchCommand(Target::DeckA, "picSearchPlaylistAddA_Click"); }
void ListButtons::picSearchPlaylistAddB_Click() { searchCommand(Target::DeckB, "picSearchPlaylistAddB_Click"); }
void ListButtons::picQInDJPlaylistSearch_Click() { searchCommand(Target::Queue, "picQInDJPlaylistSearch_Click"); }
