#include "library/listviews.h"

#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "library/library.h"
#include "library/listbuttons.h"
#include "library/listkeys.h"
#include "library/search.h"
#include "library/songlistview.h"
#include "library/songtag.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QTreeView>
#include <algorithm>
#include <utility>

namespace key = vb::key;

namespace {
const QString kScanned = QStringLiteral("SCANNED");

// Home, then Shift+End: the whole search text selected, so typing replaces it.
void focusSearchBox(QLineEdit* txt)
{
    txt->setFocus(Qt::OtherFocusReason);
    txt->home(false);
    txt->end(true);
}
} // namespace

ListViews::ListViews(QWidget* form, Library& library, DeckHooks decks, ListButtons& buttons, QObject* parent)
    : QObject(parent), form_(form), library_(library), decks_(std::move(decks)), buttons_(buttons),
      search_(new LibrarySearch(library, this))
{
    // Double clicks act on the row clicked; one below the last row or on an empty list does
    // nothing. Enter reaches the same procedures through the key handlers only.
    const struct {
        const char* name;
        std::function<void()> dblClick;
        bool sorts;
    } lists[] = {
        {"lstDJPlayList", [this] { library_.lstDJPlayList_DblClick(); }, true},
        {"lstSongBin", [this] { library_.lstSongBin_DblClick(); }, true},
        {"lstFullPlaylist", [this] { lstFullPlaylist_DblClick(); }, true},
        {"lstMostPlayed", [this] { lstMostPlayed_DblClick(); }, true},
        {"lstSearch", [this] { lstSearch_DblClick(); }, false},
    };
    for (const auto& l : lists) {
        QTreeView* v = list(l.name);
        connect(v, &QAbstractItemView::doubleClicked, this, [dbl = l.dblClick](const QModelIndex& at) {
            if (at.isValid())
                dbl();
        });
        if (auto* sv = qobject_cast<SongListView*>(v))
            connect(sv, &SongListView::mouseUp, this, [this, v](Qt::MouseButton b) {
                list_MouseUp(v, b == Qt::RightButton ? 2 : b == Qt::MiddleButton ? 4 : 1);
            });
        if (l.sorts)
            sortOnHeadingClicks(v);
    }
    connect(list("lstFullPlaylist"), &QAbstractItemView::clicked, this, [this](const QModelIndex& at) {
        if (at.isValid())
            lstFullPlaylist_Click();
    });

    // The menu buttons beside the lists: the DJ view's opens on pressing, the others on
    // releasing, with any mouse button.
    auto button = [this](const char* name) { return ctl<SkinControl>(form_, name); };
    connect(button("picDJPlaylistMenu"), &SkinControl::MouseDown, this, [this](int, int, double, double) {
        trap("picDJPlaylistMenu_MouseDown", [&] {
            QTreeView* dj = list("lstDJPlayList");
            QTreeView* bin = list("lstSongBin");
            if (!dj->isHidden())
                menuButton(dj);
            else if (!bin->isHidden())
                menuButton(bin);
        });
    });
    const struct {
        const char *button, *list;
    } upButtons[] = {{"Picture13", "lstFullPlaylist"}, {"picMostPlayedMenu", "lstMostPlayed"}, {"picSearchMenu", "lstSearch"}};
    for (const auto& b : upButtons) {
        const char* name = b.list;
        connect(button(b.button), &SkinControl::MouseUp, this,
                [this, name](int, int, double, double) { menuButton(list(name)); });
    }
}

ListViews::~ListViews() = default;

QTreeView* ListViews::list(const char* name) const { return ctl<QTreeView>(form_, name); }

// ---------------------------------------------------------------------------------------------
// Keys

void ListViews::queueListKeyDown(QTreeView* l, bool songBin, int& KeyCode, const char* location)
{
    trap(location, [&] {
        SongListModel& m = library_.modelOf(l);
        const int rows = m.count();
        if (rows >= 1) {
            const listkeys::Move move = listkeys::keypadMove(l, KeyCode);
            if (move != listkeys::Move::NotAMove) {
                listkeys::used(KeyCode);
                return;
            }
        }
        const int n = listkeys::selectedRow(l);
        switch (KeyCode) {
        case key::Right:
            if (!songBin) {
                switchDJView(true);
                listkeys::used(KeyCode);
            }
            break;
        case key::Left:
            if (songBin) {
                switchDJView(false);
                listkeys::used(KeyCode);
            }
            break;
        case key::Space:
            if (n != 0 && AddToRequestListManual)
                AddToRequestListManual(l, n);
            listkeys::used(KeyCode);
            break;
        case key::Return:
            if (songBin)
                library_.lstSongBin_DblClick();
            else
                library_.lstDJPlayList_DblClick();
            listkeys::used(KeyCode);
            break;
        case key::Numpad7:
        case key::Numpad9: {
            const char deck = KeyCode == key::Numpad7 ? 'A' : 'B';
            if (rows >= 1 && n != 0 && decks_.hasStoppedSong(deck) && swapWithDeck)
                swapWithDeck(l, deck);
            listkeys::used(KeyCode);
            break;
        }
        case key::Delete:
            if (n != 0)
                library_.RemoveFromList(l);
            listkeys::used(KeyCode);
            break;
        case key::Numpad1:
        case key::Numpad3: {
            // A song loaded from the Song Bin always leaves it; from the DJ Playlist only
            // while "Remove Song From List When Loading Player" is checked.
            const bool remove = songBin || checkMarks().removeWhenLoading;
            if (n != 0)
                decks_.loadInto(KeyCode == key::Numpad1 ? 'A' : 'B', l, remove);
            listkeys::used(KeyCode);
            break;
        }
        default:
            break;
        }
    });
}

// The deck keys of the Full Playlist, Most Played and Search lists: Numpad 1 / 3 load the
// selected row into deck A / B and leave it in the list, Numpad 4 / 6 send that deck's song to
// the DJ Playlist and load the selected row in its place. The loads need a selected row (row).
// True when KeyCode was one of the four.
bool ListViews::deckKey(QTreeView* l, int KeyCode, bool row)
{
    switch (KeyCode) {
    case key::Numpad1:
        if (row)
            decks_.loadInto('A', l, false);
        return true;
    case key::Numpad3:
        if (row)
            decks_.loadInto('B', l, false);
        return true;
    case key::Numpad4:
        SongFromPlayerToDJList(l, QStringLiteral("PlayerA"));
        return true;
    case key::Numpad6:
        SongFromPlayerToDJList(l, QStringLiteral("PlayerB"));
        return true;
    default:
        return false;
    }
}

void ListViews::lstDJPlayList_KeyDown(int& KeyCode, int)
{
    queueListKeyDown(list("lstDJPlayList"), false, KeyCode, "lstDJPlayList_KeyDown");
}

void ListViews::lstSongBin_KeyDown(int& KeyCode, int)
{
    queueListKeyDown(list("lstSongBin"), true, KeyCode, "lstSongBin_KeyDown");
}

void ListViews::lstFullPlaylist_KeyDown(int& KeyCode, int)
{
    trap("lstFullPlaylist_KeyDown", [&] {
        QTreeView* l = list("lstFullPlaylist");
        SongListModel& m = library_.full();
        const int rows = m.count();
        if (rows < 1)
            return;
        const listkeys::Move move = listkeys::keypadMove(l, KeyCode);
        if (move == listkeys::Move::Blocked) {
            listkeys::used(KeyCode);
            return;
        }
        const int n = listkeys::selectedRow(l);
        if (n == 0)
            return; // nothing selected: no row to read or act on
        // The row this key lands on, worked out before the view moves the selection for the
        // arrow keys: the row above for Up, below for Down, the selected row for any other key.
        const int target = KeyCode == key::Up ? n - 1 : KeyCode == key::Down ? n + 1 : n;
        readFullRowOnDemand(std::clamp(target, 1, rows));
        if (move == listkeys::Move::Moved) {
            listkeys::used(KeyCode);
            return;
        }
        switch (KeyCode) {
        case key::Space:
            if (AddToRequestListManual)
                AddToRequestListManual(l, n);
            listkeys::used(KeyCode);
            break;
        case key::Return:
            lstFullPlaylist_DblClick();
            listkeys::used(KeyCode);
            break;
        default:
            if (deckKey(l, KeyCode, true))
                listkeys::used(KeyCode);
            break;
        }
    });
}

void ListViews::lstMostPlayed_KeyDown(int& KeyCode, int)
{
    trap("lstMostPlayed_KeyDown", [&] {
        QTreeView* l = list("lstMostPlayed");
        const int rows = library_.mostPlayed().count();
        if (rows >= 1 && listkeys::keypadMove(l, KeyCode) != listkeys::Move::NotAMove) {
            listkeys::used(KeyCode);
            return;
        }
        const int n = listkeys::selectedRow(l);
        // Keys that act on the selected row do nothing without one (an empty list included,
        // where the called procedures would do nothing anyway).
        const bool row = n != 0;
        switch (KeyCode) {
        case key::Space:
            if (row && AddToRequestListManual)
                AddToRequestListManual(l, n);
            break;
        case key::Delete:
            if (row)
                library_.RemoveFromList(l);
            break;
        case key::Return:
            lstMostPlayed_DblClick();
            break;
        default:
            if (!deckKey(l, KeyCode, row))
                return;
            break;
        }
        listkeys::used(KeyCode);
    });
}

void ListViews::lstSearch_KeyDown(int& KeyCode, int)
{
    trap("lstSearch_KeyDown", [&] {
        QTreeView* l = list("lstSearch");
        if (KeyCode == key::Left) {
            focusSearchBox(ctl<QLineEdit>(form_, "txtSearch"));
            listkeys::used(KeyCode);
            return;
        }
        // While the placeholder stands only the global keys and Left act.
        if (library_.searchShowsPlaceholder()) {
            if (KeyCode == key::Numpad8 || KeyCode == key::Numpad2 || KeyCode == key::Return ||
                KeyCode == key::Space)
                listkeys::used(KeyCode);
            return;
        }
        const int rows = library_.search().count();
        if (rows >= 1 && listkeys::keypadMove(l, KeyCode) != listkeys::Move::NotAMove) {
            listkeys::used(KeyCode);
            return;
        }
        const int n = listkeys::selectedRow(l);
        const bool row = n != 0;
        switch (KeyCode) {
        case key::Return:
            if (row)
                buttons_.picQInDJPlaylistSearch_Click();
            break;
        case key::Space:
            if (row && AddToRequestListManual)
                AddToRequestListManual(l, n);
            break;
        case 'Z':
            if (row)
                ui::MsgBox(library_.search().cell(n - 1, field::Genre), vb::mb::OKOnly);
            break;
        default:
            if (!deckKey(l, KeyCode, row))
                return;
            break;
        }
        listkeys::used(KeyCode);
    });
}

void ListViews::txtSearch_KeyDown(int& KeyCode, int)
{
    trap("txtSearch_KeyDown", [&] {
        if (KeyCode == key::Down) {
            list("lstSearch")->setFocus(Qt::OtherFocusReason);
            listkeys::used(KeyCode);
        } else if (KeyCode == key::Return) {
            search_->run(ctl<QLineEdit>(form_, "txtSearch")->text());
            listkeys::used(KeyCode);
        }
    });
}

void ListViews::switchDJView(bool toSongBin)
{
    trap(toSongBin ? "lstDJPlayList_KeyDown" : "lstSongBin_KeyDown", [&] {
        QTreeView* dj = list("lstDJPlayList");
        QTreeView* bin = list("lstSongBin");
        // After a switch by arrow key the view label names the list now hidden.
        if (toSongBin) {
            if (!bin->isHidden()) {
                dj->hide();
                return;
            }
            dj->hide();
            ctl<SkinControl>(form_, "lblViewDJPlaylist")->setText(QStringLiteral("&DJ Playlist"));
            bin->show();
            bin->setFocus(Qt::OtherFocusReason);
        } else {
            if (!dj->isHidden()) {
                bin->hide();
                return;
            }
            dj->show();
            ctl<SkinControl>(form_, "lblViewDJPlaylist")->setText(QStringLiteral("Song &Bin"));
            bin->hide();
            dj->setFocus(Qt::OtherFocusReason);
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Double clicks and moves

void ListViews::showDJPlaylistTab()
{
    // Whatever is queued goes to the DJ Playlist: make it the DJ view's shown list (the view
    // itself is not brought up).
    QTreeView* dj = list("lstDJPlayList");
    if (dj->isHidden()) {
        list("lstSongBin")->hide();
        dj->show();
    }
}

void ListViews::lstFullPlaylist_DblClick()
{
    trap("lstFullPlaylist_DblClick", [&] {
        QTreeView* l = list("lstFullPlaylist");
        if (library_.full().count() < 1 || listkeys::selectedRow(l) == 0)
            return;
        showDJPlaylistTab();
        library_.AddToDJList(l, 0);
    });
}

void ListViews::lstMostPlayed_DblClick()
{
    trap("lstMostPlayed_DblClick", [&] {
        if (library_.mostPlayed().count() < 1 || listkeys::selectedRow(list("lstMostPlayed")) == 0)
            return;
        showDJPlaylistTab();
        buttons_.picMostPlayedQInDJList_Click();
    });
}

void ListViews::lstSearch_DblClick()
{
    trap("lstSearch_DblClick", [&] {
        if (library_.searchShowsPlaceholder() || listkeys::selectedRow(list("lstSearch")) == 0)
            return;
        showDJPlaylistTab();
        buttons_.picQInDJPlaylistSearch_Click();
    });
}

void ListViews::SongFromPlayerToDJList(QTreeView* FormControl, const QString& sPlayer)
{
    trap("SongFromPlayerToDJList", [&] {
        if (library_.modelOf(FormControl).count() < 1)
            return;
        // With nothing selected there is no song to load in the deck's place: the deck's song
        // is not queued either.
        if (listkeys::selectedRow(FormControl) == 0)
            return;
        char deck = 0;
        if (sPlayer == QLatin1String("PlayerA"))
            deck = 'A';
        else if (sPlayer == QLatin1String("PlayerB"))
            deck = 'B';
        else
            return;
        SongRow song = decks_.songOf(deck);
        if (song.filename().isEmpty())
            return;
        library_.djPlaylist().append(std::move(song));
        library_.updateDJCaption();
        decks_.loadInto(deck, FormControl, false);
    });
}

// ---------------------------------------------------------------------------------------------
// Header sort

void ListViews::sortOnHeadingClicks(QTreeView* l)
{
    QHeaderView* h = l->header();
    h->setSectionsClickable(true);
    connect(h, &QHeaderView::sectionClicked, this, [this, l](int column) { ColumnClick(l, column); });
    // The second press of a quick double click reaches the header only as a double click, never
    // as a click: without this a DJ clicking a heading twice in a hurry sorts once, and the
    // list's direction is then out of step with what he sees. A double click on the edge
    // between two headings is the header's own (it resizes) and sorts nothing.
    connect(h, &QHeaderView::sectionDoubleClicked, this, [this, l](int column) {
        if (column >= 0)
            ColumnClick(l, column);
    });
}

void ListViews::ColumnClick(QTreeView* l, int column)
{
    trap("ColumnClick", [&] {
        SongListModel& m = library_.modelOf(l);
        if (m.count() < 1)
            return;
        if (&m == &library_.mostPlayed() && column == 4) {
            // Plays: always by count, highest first; the direction is neither used nor flipped.
            library_.SortMostPlayed_ByPlays();
        } else {
            // First click ascending, then alternating, whichever column is clicked.
            bool& up = ascending_.try_emplace(l, false).first->second;
            up = !up;
            m.sortByColumn(column, up ? Qt::AscendingOrder : Qt::DescendingOrder);
            // The tag scan goes on from the first unread row in the new order.
            if (&m == &library_.full())
                library_.resumeTagScan();
        }
        const QModelIndexList sel = l->selectionModel() ? l->selectionModel()->selectedRows() : QModelIndexList();
        if (!sel.isEmpty())
            l->scrollTo(sel.first());
    });
}

// ---------------------------------------------------------------------------------------------
// Tag read on demand

void ListViews::lstFullPlaylist_Click()
{
    trap("lstFullPlaylist_Click", [&] {
        if (library_.full().count() < 1)
            return;
        const int n = listkeys::selectedRow(list("lstFullPlaylist"));
        if (n != 0)
            readFullRowOnDemand(n);
    });
}

void ListViews::readFullRowOnDemand(int row)
{
    SongListModel& full = library_.full();
    if (row < 1 || row > full.count() || full.cell(row - 1, field::Edited) == kScanned)
        return;
    const std::uint64_t id = full.at(row - 1).id;
    // The cells go to the row that was read, wherever it stands by then.
    Library::writeCells(full, id, readSongCells(full.cell(row - 1, field::Filename)), true, row - 1);
}

// ---------------------------------------------------------------------------------------------
// Popups

void ListViews::list_MouseUp(QTreeView* l, int Button)
{
    if (Button != 2)
        return;
    trap("list_MouseUp", [&] {
        const QString name = l->objectName();
        if (openPopup)
            openPopup(l, PopupOrigin::RightClick);
        // Back to the list afterwards: the DJ Playlist and the Song Bin always, a Full Playlist
        // with songs while its view is on screen; Most Played and Search leave the focus alone.
        if (name == QLatin1String("lstDJPlayList") || name == QLatin1String("lstSongBin")) {
            l->setFocus(Qt::PopupFocusReason);
        } else if (name == QLatin1String("lstFullPlaylist") && library_.full().count() > 0) {
            if (!ctl<QWidget>(form_, "ViewPlaySongs")->isHidden() && !ctl<QWidget>(form_, "ViewFullPlaylist")->isHidden())
                l->setFocus(Qt::PopupFocusReason);
        }
    });
}

void ListViews::menuButton(QTreeView* l)
{
    trap("menuButton", [&] {
        const QString name = l->objectName();
        const bool queue = name == QLatin1String("lstDJPlayList") || name == QLatin1String("lstSongBin");
        if (queue)
            l->setFocus(Qt::OtherFocusReason);
        if (openPopup)
            openPopup(l, PopupOrigin::MenuButton);
        if (queue) {
            l->setFocus(Qt::PopupFocusReason);
        } else if (name == QLatin1String("lstFullPlaylist")) {
            if (!ctl<QWidget>(form_, "ViewFullPlaylist")->isHidden())
                l->setFocus(Qt::PopupFocusReason);
        } else if (name == QLatin1String("lstMostPlayed")) {
            if (!l->isHidden())
                l->setFocus(Qt::PopupFocusReason);
        }
    });
}
