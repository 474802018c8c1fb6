#include "menus/frmMenu.h"

#include "core/clsMP3.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/filenamesplit.h"
#include "library/library.h"
#include "library/listbuttons.h"
#include "library/listkeys.h"
#include "library/requestlink.h"
#include "menus/filedelete.h"
#include "menus/frmDBPath.h"
#include "menus/requestlist.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QActionGroup>
#include <QCursor>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTreeView>

namespace {

using Marks = CheckMarks;

// One row of the menu table: a menu (depth 0), an item (1) or a sub-item (2). A menu names the
// list it belongs to (none for the crossfader's). A row without a name is a separator; an item
// followed by deeper rows opens a submenu of them. checked gives the item's check mark from the
// run's marks (nullptr: no mark); items with the same group form a radio group. An item onRow
// acts on the selected row of its menu's list and does nothing while no row is selected.
struct MenuRow {
    int depth;
    const char* name;
    const char* caption;
    void (frmMenu::*click)();
    bool (*checked)(const Marks&);
    const char* group;
    bool onRow;
    const char* list;
};

#define MENU(name, caption, list) {0, name, caption, nullptr, nullptr, nullptr, false, list}
#define SEP {1, nullptr, nullptr, nullptr, nullptr, nullptr, false, nullptr}
#define ITEM(name, caption) {1, #name, caption, &frmMenu::name##_Click, nullptr, nullptr, false, nullptr}
#define ROW(name, caption) {1, #name, caption, &frmMenu::name##_Click, nullptr, nullptr, true, nullptr}
#define SUB(name, caption) {1, #name, caption, nullptr, nullptr, nullptr, false, nullptr}
#define CANCEL(name) {1, #name, "Cancel", nullptr, nullptr, nullptr, false, nullptr}
#define MARK(depth, name, caption, group, test)                                                         \
    {depth, #name, caption, &frmMenu::name##_Click, [](const Marks& m) { return test; }, group, false, nullptr}

const MenuRow kMenus[] = {
    MENU("DJPlaylist", "DJ Playlist", "lstDJPlayList"),
    ROW(mnuDJPlaylistLoadA, "Load Song To Player A (Numpad 1)"),
    ROW(mnuDJPlaylistLoadB, "Load Song To Player B (Numpad 3)"),
    SEP,
    ROW(mnuDJAddToRequestList, "Add To Request List (Space)"),
    ROW(mnuDJPlaylistEditMP3, "Edit MP3 Tag"),
    SEP,
    ROW(mnuDJPlaylistSwapPlayerA, "Swap With Player A (Numpad 7)"),
    ROW(mnuDJPlaylistSwapPlayerB, "Swap With Player B (Numpad 9)"),
    SEP,
    ROW(mnuDJPlaylistMoveUp1, "Move Selected Up One"),
    ROW(mnuDJPlaylistMoveDown1, "Move Selected Down One"),
    SEP,
    ROW(mnuDJPlaylistSendToTop, "Send Selected To Top"),
    ROW(mnuDJPlaylistSOngBinAdd, "Send Selected To Song Bin"),
    SEP,
    SUB(mnuDJPLaylistAutoAdd, "Auto-Add Songs From"),
    MARK(2, mnuDJPlaylistAddFromFullPlaylist, "Full Playlist", "fill", m.autoFillSource == Marks::FillSource::FullPlaylist),
    MARK(2, mnuDJPlaylistAddFromMostPlayed, "Most Played", "fill", m.autoFillSource == Marks::FillSource::MostPlayed),
    SEP,
    ROW(mnuDJPlaylistRemove, "Remove Selected From DJ Playlist (Del)"),
    ITEM(mnuDJPlaylistClear, "Remove All From DJ Playlist"),
    MARK(1, mnuDJPlaylistRemoveFromList, "Remove Song From List When Loading Player", nullptr, m.removeWhenLoading),
    SEP,
    CANCEL(mnuDJPlaylistCancel),

    MENU("SongBin", "Song Bin", "lstSongBin"),
    ROW(mnuSongBinLoadA, "Load Song To Player A (Numpad 1)"),
    ROW(mnuSongBinLoadB, "Load Song To Player B (Numpad 3)"),
    SEP,
    ROW(mnuSongBinAddToRequestList, "Add To Request List (Space)"),
    ROW(mnuSongBinEditMP3, "Edit MP3 Tag"),
    SEP,
    ROW(mnuSongBinSwapPlayerA, "Swap With Player A (Numpad 7)"),
    ROW(mnuSongBinSwapPlayerB, "Swap With Player B (Numpad 9)"),
    SEP,
    ROW(mnuSongBinMoveUp1, "Move Selected Up One"),
    ROW(mnuSongBinMoveDown1, "Move Selected Down One"),
    SEP,
    ROW(mnuSongBinSendToTop, "Send Selected To Top"),
    ROW(mnuSongBinSendToDJPlaylist, "Send Selected To DJ Playlist"),
    SEP,
    ROW(mnuSongBinRemoveFromBin, "Remove Selected From Song Bin (Del)"),
    ITEM(mnuSongBinRemoveAll, "Remove All From Song Bin"),
    SEP,
    CANCEL(mnuSongBinCancel),

    MENU("mnuFull", "Full Playlist", "lstFullPlaylist"),
    ROW(mnuFullAddToDJ, "Add To DJ Playlist (Enter)"),
    ROW(mnuFullAddToRequest, "Add To Request List (Space)"),
    SEP,
    ROW(mnuFullLoadSongA, "To Player A (Numpad 1)"),
    ROW(mnuFullLoadSongB, "To Player B (Numpad 3)"),
    SEP,
    ROW(mnuFullLoadMoveA, "To Player A --> Player A Song To DJ Playlist"),
    ROW(mnuFullLoadMoveB, "To Player B --> Player B Song To DJ Playlist"),
    SEP,
    ITEM(mnuFullRefreshSongs, "Refresh Songs From Media Paths"),
    SUB(mnuFullPlaylistFontSize, "All Playlist Font Size"),
    MARK(2, mnuFullFontNormal, "Normal", "font", m.fontMark == Marks::FontMark::Normal),
    MARK(2, mnuFullFontLarge, "Large", "font", m.fontMark == Marks::FontMark::Large),
    MARK(2, mnuFullFontLargest, "Largest", "font", m.fontMark == Marks::FontMark::Largest),
    ITEM(mnuFullViewUpdateList, "View Update List"),
    ITEM(mnuFullViewKeyMap, "View Key Map"),
    ITEM(mnuFullViewMediaPaths, "View Media Paths"),
    SEP,
    ROW(mnuFullEditTag, "Edit MP3 Tag"),
    SUB(mnuFullAutoEdit, "Auto Edit MP3"),
    {2, "mnuFullAutoTitleArtist", "Title - Artist", &frmMenu::mnuFullAutoTitleArtist_Click, nullptr, nullptr, true, nullptr},
    {2, "mnuFullAutoArtistTitle", "Artist - Title", &frmMenu::mnuFullAutoArtistTitle_Click, nullptr, nullptr, true, nullptr},
    SEP,
    ROW(mnuFullPlaylistSendToRecycleBin, "** Permanently Delete File"),
    SEP,
    CANCEL(mnuFullCancel),

    MENU("mnuRequests", "Requests", "lstRequests"),
    ROW(mnuRequestsSentToDJPlaylist, "Add To DJ Playlist (Enter)"),
    SEP,
    ROW(mnuRequestsAddToA, "Add to Player A (Numpad 1)"),
    ROW(mnuRequestsAddToB, "Add To Player B (Numpad 3)"),
    SEP,
    ROW(mnuRequestsPlayerAToDJPlaylistLoadA, "To Player A --> Player A Song To DJ Playlist (Numpad 4)"),
    ROW(mnuRequestsPlayerBToDJPlaylistLoadB, "To Player B --> Player B Song To DJ Playlist (Numpad 6)"),
    SEP,
    ROW(mnuRequestRemoveSel, "Remove Selected"),
    ROW(mnuRequestsEditMP3, "Edit MP3 Tag"),
    SEP,
    ITEM(mnuRequestsClear, "Clear"),
    SEP,
    MARK(1, mnuRequestsEnabled, "Take Requests", nullptr, m.takeRequests),
    ITEM(mnuRequestSetDB, "Set Database Path"),

    MENU("mnuAutoDJ", "AutoDJ", nullptr),
    SUB(mnuAutoDJTimeToCrossfade, "Time to Auto-Crossfade"),
    MARK(2, mnuAutoDJCrossTime10, "10", "crossfade", m.crossfadeSeconds == 10),
    MARK(2, mnuAutoDJCrossTime15, "15", "crossfade", m.crossfadeSeconds == 15),
    MARK(2, mnuAutoDJCrossTime20, "20", "crossfade", m.crossfadeSeconds == 20),
    MARK(2, mnuAutoDJCrossTime25, "25", "crossfade", m.crossfadeSeconds == 25),

    MENU("mnuMostPlayed", "Most Played", "lstMostPlayed"),
    ROW(mnuMostPlayedAddToDJ, "Add To DJ Playlist (Enter)"),
    ROW(mnuMostPlayedRequestList, "Add To Request List (Space)"),
    ROW(mnuMostPlayedEditMP3, "Edit MP3 Tag"),
    SEP,
    ROW(mnuMostPlayedLoadSongA, "Load Song To Player A (Numpad 1)"),
    ROW(mnuMostPlayedLoadSongB, "Load Song To Player B (Numpad 3)"),
    SEP,
    ROW(mnuMostPlayedPlayerAToDJPlaylist, "To Player A --> Player A Song To DJ Playlist"),
    ROW(mnuMostPlayedPlayerBToDJPlaylist, "To Player B --> Player B Song To DJ Playlist"),
    SEP,
    ROW(mnuMostPlayedRemove, "Remove Selected From List"),
    SEP,
    CANCEL(mnuMostPlayedCancel),

    MENU("mnuSearch", "Search", "lstSearch"),
    ITEM(mnuSearchNew, "New Search (Left Arrow Key)"),
    ROW(mnuSearchAddRequest, "Add to Request List (Space Bar)"),
    ROW(mnuSearchAddDJPlaylist, "Add to DJ Playlist (Enter)"),
    SEP,
    ROW(mnuSearchEditMP3, "Edit MP3 Tag"),
    SEP,
    CANCEL(mnuSearchCancel),
};

#undef MENU
#undef SEP
#undef ITEM
#undef ROW
#undef SUB
#undef CANCEL
#undef MARK

const QString kNoSuggestions = QStringLiteral("No Suggestions");

// Text shown literally in a menu caption: "&" would otherwise mark a shortcut letter.
QString literalCaption(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

bool deckHasStoppedSong(const DeckState& s, char deck)
{
    return deck == 'A' ? (!s.PlayerAFilename.isEmpty() && s.ChannelA == 0)
                       : (!s.PlayerBFilename.isEmpty() && s.ChannelB == 0);
}

} // namespace

frmMenu::frmMenu(QWidget* form, Library& library, Decks& decks, ListButtons& buttons, ListViews& views,
                 RequestList& requests, CheckMarks& marks, QObject* parent)
    : QObject(parent), form_(form), library_(library), decks_(decks), buttons_(buttons), views_(views),
      requests_(requests), marks_(marks)
{
    hooks.showPopup = [](QMenu* m) { m->exec(QCursor::pos()); };
    hooks.runModal = [](QDialog& d) { d.exec(); };
    build();
    syncMarks();
}

// The menus are the form's children and go with it.
frmMenu::~frmMenu() = default;

void frmMenu::build()
{
    QMenu* root = nullptr;
    const char* rootList = nullptr;
    QMenu* parentOfSubItems = nullptr;
    QHash<QString, QActionGroup*> groups;
    const int n = int(std::size(kMenus));
    for (int i = 0; i < n; ++i) {
        const MenuRow& row = kMenus[i];
        if (row.depth == 0) {
            root = new QMenu(QLatin1String(row.caption), form_);
            root->setObjectName(QLatin1String(row.name));
            roots_ << root;
            rootList = row.list;
            continue;
        }
        QMenu* in = row.depth == 1 ? root : parentOfSubItems;
        if (!row.name) {
            in->addSeparator();
            continue;
        }
        const bool opensSubmenu = i + 1 < n && kMenus[i + 1].depth > row.depth;
        QAction* action = nullptr;
        if (opensSubmenu) {
            parentOfSubItems = in->addMenu(QLatin1String(row.caption));
            parentOfSubItems->setObjectName(QLatin1String(row.name));
            action = parentOfSubItems->menuAction();
        } else {
            action = in->addAction(QLatin1String(row.caption));
        }
        action->setObjectName(QLatin1String(row.name));
        if (row.checked) {
            action->setCheckable(true);
            markedItems_.emplace_back(action, row.checked);
            if (row.group) {
                QActionGroup*& g = groups[QLatin1String(row.group)];
                if (!g)
                    g = new QActionGroup(in);
                g->addAction(action);
            }
        }
        if (row.click) {
            const auto click = row.click;
            const QByteArray location = QByteArray(row.name) + "_Click";
            const char* onRowOf = row.onRow ? rootList : nullptr;
            connect(action, &QAction::triggered, this, [this, click, location, onRowOf] {
                trap(location.constData(), [&] {
                    // The menu may have been opened from its button with no row chosen.
                    if (onRowOf && listkeys::selectedRow(list(onRowOf)) < 1)
                        return;
                    (this->*click)();
                });
                // A command may change a mark (or refuse to): the menu shows the marks as they are.
                syncMarks();
            });
        }
    }
}

void frmMenu::syncMarks()
{
    for (const auto& [action, checked] : markedItems_)
        action->setChecked(checked(marks_));
}

QMenu* frmMenu::menu(const char* name) const
{
    for (QMenu* m : roots_)
        if (m->objectName() == QLatin1String(name))
            return m;
    raiseError(91, QStringLiteral("Object variable not set: ") + QLatin1String(name));
}

QAction* frmMenu::item(const char* name) const
{
    for (QMenu* m : roots_)
        if (auto* a = m->findChild<QAction*>(QLatin1String(name)))
            return a;
    raiseError(91, QStringLiteral("Object variable not set: ") + QLatin1String(name));
}

QTreeView* frmMenu::list(const char* name) const { return ctl<QTreeView>(form_, name); }

// ---------------------------------------------------------------------------------------------
// Preparing and showing

std::pair<QString, QString> frmMenu::suggestionCaptions(const QString& path) const
{
    const std::optional<FileNameSplit> split = splitFileName(songBaseName(path));
    if (!split)
        return {kNoSuggestions, kNoSuggestions};
    // Each item shows what choosing it writes: "Title - Artist" takes the name's right part as the
    // title and the left part as the artist, "Artist - Title" the other way round.
    return {literalCaption(QStringLiteral("Title: ") + split->right + QStringLiteral(" --  Artist: ") + split->left),
            literalCaption(QStringLiteral("Title: ") + split->left + QStringLiteral(" -- Artist: ") + split->right)};
}

void frmMenu::prepare(QMenu* m)
{
    syncMarks();
    const DeckState& s = decks_.state();
    const QString name = m->objectName();
    if (name == QLatin1String("DJPlaylist") || name == QLatin1String("SongBin")) {
        const bool dj = name == QLatin1String("DJPlaylist");
        const bool rows = (dj ? library_.djPlaylist() : library_.songBin()).count() > 0;
        item(dj ? "mnuDJPlaylistSwapPlayerA" : "mnuSongBinSwapPlayerA")->setEnabled(rows && deckHasStoppedSong(s, 'A'));
        item(dj ? "mnuDJPlaylistSwapPlayerB" : "mnuSongBinSwapPlayerB")->setEnabled(rows && deckHasStoppedSong(s, 'B'));
        if (dj)
            item("mnuDJPlaylistAddFromMostPlayed")->setEnabled(library_.mostPlayed().count() >= 11);
    } else if (name == QLatin1String("mnuFull")) {
        const SongListModel& full = library_.full();
        const int k = listkeys::selectedRow(list("lstFullPlaylist"));
        const QString path = k >= 1 && k <= full.count() ? full.cell(k - 1, field::Filename) : QString();
        // A song on a deck is never deleted from under it.
        item("mnuFullPlaylistSendToRecycleBin")
            ->setEnabled(!path.isEmpty() && path != s.PlayerAFilename && path != s.PlayerBFilename);
        const auto [titleArtist, artistTitle] =
            path.isEmpty() ? std::pair{kNoSuggestions, kNoSuggestions} : suggestionCaptions(path);
        item("mnuFullAutoTitleArtist")->setText(titleArtist);
        item("mnuFullAutoArtistTitle")->setText(artistTitle);
    }
}

void frmMenu::popup(QMenu* m)
{
    prepare(m);
    if (hooks.showPopup)
        hooks.showPopup(m);
}

void frmMenu::openPopup(QTreeView* l, ListViews::PopupOrigin)
{
    const struct {
        const char *list, *menu;
    } menus[] = {{"lstDJPlayList", "DJPlaylist"},   {"lstSongBin", "SongBin"},     {"lstFullPlaylist", "mnuFull"},
                 {"lstMostPlayed", "mnuMostPlayed"}, {"lstSearch", "mnuSearch"},   {"lstRequests", "mnuRequests"}};
    for (const auto& m : menus)
        if (l->objectName() == QLatin1String(m.list))
            popup(menu(m.menu));
}

void frmMenu::showAutoDJMenu()
{
    trap("showAutoDJMenu", [&] { popup(menu("mnuAutoDJ")); });
}

// ---------------------------------------------------------------------------------------------
// Shared pieces of the commands

QTreeView* frmMenu::shownQueue() const
{
    QTreeView* dj = list("lstDJPlayList");
    return !dj->isHidden() ? dj : list("lstSongBin");
}

void frmMenu::addToRequest(QTreeView* l)
{
    const int k = listkeys::selectedRow(l);
    if (library_.modelOf(l).count() < 1 || k < 1)
        return;
    requests_.AddToRequestListManual(l, k);
    NewRequests = true;
}

void frmMenu::editTag(QTreeView* l)
{
    if (hooks.OpenMP3Window)
        hooks.OpenMP3Window(l);
}

void frmMenu::fromPlayer(QTreeView* l, const char* player)
{
    views_.SongFromPlayerToDJList(l, QLatin1String(player));
}

bool frmMenu::searchBlocked() const
{
    return library_.search().count() < 1 || library_.searchShowsPlaceholder();
}

void frmMenu::removeAll(SongListModel& l)
{
    l.clear();
    library_.updateDJCaption();
    library_.updateSongBinCaption();
}

void frmMenu::swapWithDeck(QTreeView* l, char deck)
{
    SongListModel& m = library_.modelOf(l);
    const DeckState& s = decks_.state();
    const int k = listkeys::selectedRow(l);
    if (m.count() < 1 || k < 1 || !deckHasStoppedSong(s, deck))
        return;
    const bool a = deck == 'A';
    const SongRow kept(a ? s.PlayerATitle : s.PlayerBTitle, a ? s.PlayerAArtist : s.PlayerBArtist,
                       a ? s.PlayerATime : s.PlayerBTime, a ? s.PlayerAGenre : s.PlayerBGenre,
                       a ? s.PlayerAFilename : s.PlayerBFilename);
    const std::uint64_t id = m.at(k - 1).id;
    const QString rowFile = m.cell(k - 1, field::Filename);
    if (a)
        decks_.LoadSongA(l, false, true, k);
    else
        decks_.LoadSongB(l, false, true, k);
    // A deck that refused the song (a missing file) keeps its own: then the row keeps its song
    // too, rather than losing it to a second copy of the deck's.
    if ((a ? s.PlayerAFilename : s.PlayerBFilename) != rowFile)
        return;
    const int i = m.indexOfId(id);
    if (i < 0)
        return;
    for (int f : {field::Title, field::Artist, field::Time, field::Genre, field::Filename})
        m.setCell(i, f, kept.cells[f]);
}

void frmMenu::setFont(CheckMarks::FontMark mark, const char* size)
{
    // The lists change first; the marks follow.
    if (hooks.ChangePlaylistFont)
        hooks.ChangePlaylistFont(QLatin1String(size));
    marks_.fontMark = mark;
}

// ---------------------------------------------------------------------------------------------
// DJ Playlist

void frmMenu::mnuDJPlaylistLoadA_Click() { buttons_.picDJPlaylistAddA_Click(); }
void frmMenu::mnuDJPlaylistLoadB_Click() { buttons_.picDJPlaylistAddB_Click(); }
void frmMenu::mnuDJAddToRequestList_Click() { addToRequest(list("lstDJPlayList")); }
void frmMenu::mnuDJPlaylistEditMP3_Click() { editTag(list("lstDJPlayList")); }
void frmMenu::mnuDJPlaylistSwapPlayerA_Click() { swapWithDeck(list("lstDJPlayList"), 'A'); }
void frmMenu::mnuDJPlaylistSwapPlayerB_Click() { swapWithDeck(list("lstDJPlayList"), 'B'); }
void frmMenu::mnuDJPlaylistMoveUp1_Click() { library_.picDJPlaylistUp_Click(); }
void frmMenu::mnuDJPlaylistMoveDown1_Click() { library_.picDJPlaylistDown_Click(); }
void frmMenu::mnuDJPlaylistSendToTop_Click() { library_.SendSongToTopList(); }

void frmMenu::mnuDJPlaylistSOngBinAdd_Click() { library_.lstDJPlayList_DblClick(); }

void frmMenu::mnuDJPlaylistAddFromFullPlaylist_Click() { marks_.autoFillSource = CheckMarks::FillSource::FullPlaylist; }

void frmMenu::mnuDJPlaylistAddFromMostPlayed_Click()
{
    // Offered from 11 songs on; the list may have shrunk while the menu was open.
    if (library_.mostPlayed().count() >= 11)
        marks_.autoFillSource = CheckMarks::FillSource::MostPlayed;
}

void frmMenu::mnuDJPlaylistRemove_Click() { library_.RemoveFromList(list("lstDJPlayList")); }
void frmMenu::mnuDJPlaylistClear_Click() { removeAll(library_.djPlaylist()); }
void frmMenu::mnuDJPlaylistRemoveFromList_Click() { marks_.removeWhenLoading = !marks_.removeWhenLoading; }

// ---------------------------------------------------------------------------------------------
// Song Bin

void frmMenu::mnuSongBinLoadA_Click() { buttons_.picDJPlaylistAddA_Click(); }
void frmMenu::mnuSongBinLoadB_Click() { buttons_.picDJPlaylistAddB_Click(); }
void frmMenu::mnuSongBinAddToRequestList_Click() { addToRequest(list("lstSongBin")); }
void frmMenu::mnuSongBinEditMP3_Click() { editTag(list("lstSongBin")); }
void frmMenu::mnuSongBinSwapPlayerA_Click() { swapWithDeck(list("lstSongBin"), 'A'); }
void frmMenu::mnuSongBinSwapPlayerB_Click() { swapWithDeck(list("lstSongBin"), 'B'); }
void frmMenu::mnuSongBinMoveUp1_Click() { library_.picDJPlaylistUp_Click(); }
void frmMenu::mnuSongBinMoveDown1_Click() { library_.picDJPlaylistDown_Click(); }

void frmMenu::mnuSongBinSendToTop_Click()
{
    if (library_.songBin().count() >= 1)
        library_.SendSongToTopList();
}

void frmMenu::mnuSongBinSendToDJPlaylist_Click() { library_.lstSongBin_DblClick(); }

void frmMenu::mnuSongBinRemoveFromBin_Click() { library_.RemoveFromList(list("lstSongBin")); }
void frmMenu::mnuSongBinRemoveAll_Click() { removeAll(library_.songBin()); }

// ---------------------------------------------------------------------------------------------
// Full Playlist

void frmMenu::mnuFullAddToDJ_Click() { buttons_.picFullQInDJPlaylist_Click(); }
void frmMenu::mnuFullAddToRequest_Click() { addToRequest(list("lstFullPlaylist")); }
void frmMenu::mnuFullLoadSongA_Click() { buttons_.picFullPlaylistAddA_Click(); }
void frmMenu::mnuFullLoadSongB_Click() { buttons_.picFullPlaylistAddB_Click(); }
void frmMenu::mnuFullLoadMoveA_Click() { fromPlayer(list("lstFullPlaylist"), "PlayerA"); }
void frmMenu::mnuFullLoadMoveB_Click() { fromPlayer(list("lstFullPlaylist"), "PlayerB"); }
void frmMenu::mnuFullRefreshSongs_Click() { library_.mnuFullRefreshSongs_Click(); }
void frmMenu::mnuFullFontNormal_Click() { setFont(CheckMarks::FontMark::Normal, "Normal"); }
void frmMenu::mnuFullFontLarge_Click() { setFont(CheckMarks::FontMark::Large, "Large"); }
void frmMenu::mnuFullFontLargest_Click() { setFont(CheckMarks::FontMark::Largest, "Largest"); }

void frmMenu::mnuFullViewUpdateList_Click()
{
    if (hooks.showUpdates)
        hooks.showUpdates();
}

void frmMenu::mnuFullViewKeyMap_Click()
{
    auto* keyMap = ctl<QWidget>(form_, "txtKeyMap");
    auto* close = ctl<QWidget>(form_, "cmdCloseKeyMap");
    const bool show = keyMap->isHidden();
    keyMap->setVisible(show);
    close->setVisible(show);
}

void frmMenu::mnuFullViewMediaPaths_Click()
{
    if (hooks.showMediaPaths)
        hooks.showMediaPaths();
}

void frmMenu::mnuFullEditTag_Click() { editTag(list("lstFullPlaylist")); }
// "Blue Band - Night Song": "Title - Artist" writes artist Blue Band and title Night Song,
// "Artist - Title" artist Night Song and title Blue Band, as their suggestion captions say.
void frmMenu::mnuFullAutoTitleArtist_Click() { autoTag("mnuFullAutoTitleArtist", true); }
void frmMenu::mnuFullAutoArtistTitle_Click() { autoTag("mnuFullAutoArtistTitle", false); }

void frmMenu::autoTag(const char* itemName, bool leftIsArtist)
{
    if (item(itemName)->text() == kNoSuggestions)
        return;
    const SongListModel& full = library_.full();
    const int k = listkeys::selectedRow(list("lstFullPlaylist"));
    if (k < 1 || k > full.count())
        return;
    const QString path = full.cell(k - 1, field::Filename);
    const std::optional<FileNameSplit> split = splitFileName(songBaseName(path));
    if (!split)
        return;
    if (leftIsArtist)
        AutoEditMP3(path, split->left, split->right);
    else
        AutoEditMP3(path, split->right, split->left);
}

void frmMenu::AutoEditMP3(const QString& sFilename, const QString& sArtist, const QString& sTitle)
{
    trap("AutoEditMP3", [&] {
        clsMP3 tag;
        tag.setFullName(sFilename);
        tag.ReadMP3Info();
        // A letter of the name that the tag cannot hold would be stored as "?": nothing is
        // written, and the user is told which letters.
        const clsMP3::TagFields fields{.title = sTitle, .artist = sArtist};
        const QString notHeld = clsMP3::nameCharactersNotHeld(tag.charactersNotHeld(fields));
        if (!notHeld.isEmpty()) {
            ui::MsgBox(QStringLiteral("The tag cannot hold these characters:\r\n\r\n") + notHeld
                           + QStringLiteral("\r\n\r\nNothing was saved to this file:\r\n\r\n") + sFilename,
                       vb::mb::Exclamation, QStringLiteral("Auto Edit MP3"));
            return;
        }
        if (!tag.setFields(fields)) {
            ui::MsgBox(QStringLiteral("Could not write the tag of this file:\r\n\r\n") + sFilename, vb::mb::Critical,
                       QStringLiteral("Auto Edit MP3"));
            LogError(75, QStringLiteral("Path/File access error: the tag could not be written to ") + sFilename,
                     QStringLiteral("AutoEditMP3"));
            return;
        }
        // The lists show what the tag now holds (a field keeps at most 30 characters).
        const QString title = tag.Title();
        const QString artist = tag.Artist();
        SongListModel* lists[] = {&library_.full(), &library_.mostPlayed(), &library_.songBin(),
                                  &library_.djPlaylist(), &library_.search()};
        for (SongListModel* l : lists) {
            if (l == &library_.search() && library_.searchShowsPlaceholder())
                continue;
            for (int i = 0; i < l->count(); ++i) {
                if (l->cell(i, field::Filename) == sFilename) {
                    l->setCell(i, field::Title, title);
                    l->setCell(i, field::Artist, artist);
                }
            }
        }
        const DeckState& s = decks_.state();
        const QString caption = title + QStringLiteral(" - ") + artist; // a label shows it as it is
        if (sFilename == s.PlayerAFilename)
            ctl<QLabel>(form_, "lblPlayerATitle")->setText(caption);
        if (sFilename == s.PlayerBFilename)
            ctl<QLabel>(form_, "lblPlayerBTitle")->setText(caption);
    });
}

void frmMenu::mnuFullPlaylistSendToRecycleBin_Click()
{
    SongListModel& full = library_.full();
    QTreeView* l = list("lstFullPlaylist");
    const int k = listkeys::selectedRow(l);
    if (full.count() < 1 || k < 1)
        return;
    const std::uint64_t id = full.at(k - 1).id;
    const QString path = full.cell(k - 1, field::Filename);
    if (path.isEmpty())
        return;
    const DeckState& s = decks_.state();
    auto refusedOnDeck = [&] {
        if (path != s.PlayerAFilename && path != s.PlayerBFilename)
            return false;
        ui::MsgBox(QStringLiteral("This song is loaded on a deck and was not deleted:\r\n\r\n") + path,
                   vb::mb::Exclamation, QStringLiteral("Delete File"));
        return true;
    };
    if (refusedOnDeck())
        return;
    if (ui::MsgBox(QStringLiteral("Are you sure you want to PERMANENTLY DELETE this file?\r\n\r\n") + path,
                   vb::mb::YesNo, QStringLiteral("Delete File"))
        != vb::mb::Yes)
        return;
    // The question waited on the user while the decks went on: the song may be on one now.
    if (refusedOnDeck())
        return;
    // Exactly the confirmed path, and only a file or a link: never a folder.
    const QString failure = deleteSongFile(path);
    if (!failure.isEmpty()) {
        ui::MsgBox(QStringLiteral("Could not delete the file:\r\n\r\n") + path + QStringLiteral("\r\n\r\n") + failure,
                   vb::mb::Critical, QStringLiteral("Delete File"));
        return;
    }
    // The row is found again by its id: the list may have changed while the question stood.
    const int i = full.indexOfId(id);
    if (i >= 0)
        Library::selectRow(l, i + 1, false);
    // The file is gone: no list may offer it any more, in this run or after a restart.
    library_.removeFileEverywhere(path);
    if (!ctl<QWidget>(form_, "ViewFullPlaylist")->isHidden())
        l->setFocus();
}

// ---------------------------------------------------------------------------------------------
// Requests

void frmMenu::mnuRequestsSentToDJPlaylist_Click() { requests_.queueSelected("mnuRequestsSentToDJPlaylist_Click"); }
// Loads the request and drops its row; its records stay, so it is listed again at the next reload.
void frmMenu::mnuRequestsAddToA_Click() { requests_.loadIntoDeck('A'); }
void frmMenu::mnuRequestsAddToB_Click() { requests_.loadIntoDeck('B'); }
void frmMenu::mnuRequestsPlayerAToDJPlaylistLoadA_Click() { fromPlayer(list("lstRequests"), "PlayerA"); }
void frmMenu::mnuRequestsPlayerBToDJPlaylistLoadB_Click() { fromPlayer(list("lstRequests"), "PlayerB"); }
void frmMenu::mnuRequestsEditMP3_Click() { editTag(list("lstRequests")); }

void frmMenu::mnuRequestRemoveSel_Click() { requests_.removeSelected("mnuRequestRemoveSel_Click"); }

void frmMenu::mnuRequestsClear_Click()
{
    SongListModel& requests = library_.requests();
    if (requests.count() < 1)
        return;
    // Only the records the list showed go: a request the writer adds meanwhile stays, and is
    // listed at the next poll.
    if (requestdb::isConfigured(RequestDBPath))
        library_.requestLink().deleteAllRequests(RequestDBPath, QStringLiteral("mnuRequestsClear_Click"));
    library_.requestLink().letGo(requests.replaceRows({}));
}

void frmMenu::mnuRequestsEnabled_Click()
{
    if (!requestdb::isUsable(RequestDBPath))
        return;
    // The mark changes at once, and goes back when the writer cannot be told (locked, rows
    // missing), so it always shows what the writer was told; the message line says why.
    const bool on = !marks_.takeRequests;
    marks_.takeRequests = on;
    const int ask = ++takeRequestsAsked_;
    library_.requestLink().setTakeRequests(
        RequestDBPath, on, QStringLiteral("mnuRequestsEnabled_Click"), [this, on, ask](const QString& failure) {
            if (failure.isEmpty() || ask != takeRequestsAsked_)
                return;
            marks_.takeRequests = !on;
            syncMarks();
            if (requests_.postMessage)
                requests_.postMessage(QStringLiteral("Take Requests could not be switched %1: %2")
                                          .arg(on ? QStringLiteral("on") : QStringLiteral("off"), failure));
        });
}

void frmMenu::mnuRequestSetDB_Click()
{
    const QString before = RequestDBPath;
    frmDBPath dialog(library_.requests(), form_);
    if (hooks.runModal)
        hooks.runModal(dialog);
    // Another database: its requests waiting are listed at the next look, as at start-up, not
    // only once its writer adds one more.
    if (RequestDBPath != before)
        library_.requestLink().raiseNewRequestsFlag(RequestDBPath, QStringLiteral("mnuRequestSetDB_Click"));
}

// ---------------------------------------------------------------------------------------------
// AutoDJ: choosing the checked time keeps it checked.

void frmMenu::mnuAutoDJCrossTime10_Click() { marks_.setCrossfadeSeconds(10); }
void frmMenu::mnuAutoDJCrossTime15_Click() { marks_.setCrossfadeSeconds(15); }
void frmMenu::mnuAutoDJCrossTime20_Click() { marks_.setCrossfadeSeconds(20); }
void frmMenu::mnuAutoDJCrossTime25_Click() { marks_.setCrossfadeSeconds(25); }

// ---------------------------------------------------------------------------------------------
// Most Played

void frmMenu::mnuMostPlayedAddToDJ_Click() { buttons_.picMostPlayedQInDJList_Click(); }
void frmMenu::mnuMostPlayedRequestList_Click() { addToRequest(list("lstMostPlayed")); }
void frmMenu::mnuMostPlayedEditMP3_Click() { editTag(list("lstMostPlayed")); }
void frmMenu::mnuMostPlayedLoadSongA_Click() { buttons_.picMostPlayedAddToPlayerA_Click(); }
void frmMenu::mnuMostPlayedLoadSongB_Click() { buttons_.picMostPlayedAddToPlayerB_Click(); }
void frmMenu::mnuMostPlayedPlayerAToDJPlaylist_Click() { fromPlayer(list("lstMostPlayed"), "PlayerA"); }
void frmMenu::mnuMostPlayedPlayerBToDJPlaylist_Click() { fromPlayer(list("lstMostPlayed"), "PlayerB"); }
void frmMenu::mnuMostPlayedRemove_Click() { library_.RemoveFromList(list("lstMostPlayed")); }

// ---------------------------------------------------------------------------------------------
// Search: while the list shows "No Songs Found!" only a new search is offered.

void frmMenu::mnuSearchNew_Click() { ctl<QLineEdit>(form_, "txtSearch")->setFocus(); }

void frmMenu::mnuSearchAddRequest_Click()
{
    if (!searchBlocked())
        addToRequest(list("lstSearch"));
}

void frmMenu::mnuSearchAddDJPlaylist_Click()
{
    if (!searchBlocked())
        buttons_.picQInDJPlaylistSearch_Click();
}

void frmMenu::mnuSearchEditMP3_Click()
{
    if (!searchBlocked())
        editTag(list("lstSearch"));
}
