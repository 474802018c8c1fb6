// The song lists by hand, in the real main window with both engines on the manual clock: each
// list's key table pressed with real key events (keypad keys carry the keypad modifier), the
// moves between the DJ Playlist and the Song Bin, header sorts, the tag read on demand, the
// search and its placeholder, and the popup hook.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "decks/deckstate.h"
#include "library/filenamesplit.h"
#include "library/library.h"
#include "library/listviews.h"
#include "library/search.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "shell/frmMain.h"
#include "support/engines.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTreeView>
#include <algorithm>
#include <gtest/gtest.h>
#include <string_view>

namespace {

class ListViewsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<frmMain> w;
    Library* lib = nullptr;
    ListViews* lv = nullptr;
    QStringList calls; // what the menus' hooks were asked to do

    void SetUp() override
    {
        startFreshRun(dir.path(), dialogs);
        ASSERT_TRUE(startBothEngines());
        w = std::make_unique<frmMain>();
        lib = w->library;
        lv = w->listViews;
        ASSERT_NE(lv, nullptr);
        lv->AddToRequestListManual = [this](QTreeView* l, int n) {
            calls << QStringLiteral("request %1 %2").arg(l->objectName()).arg(n);
        };
        lv->swapWithDeck = [this](QTreeView* l, char deck) {
            calls << QStringLiteral("swap %1 %2").arg(l->objectName()).arg(QLatin1Char(deck));
        };
        lv->openPopup = [this](QTreeView* l, ListViews::PopupOrigin o) {
            calls << QStringLiteral("popup %1 %2")
                         .arg(l->objectName(), o == ListViews::PopupOrigin::RightClick ? "right" : "button");
        };
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }

    void TearDown() override
    {
        releaseDeckStreams();
        w.reset();
        resetDeckWorld();
        leaveProgramFolder();
    }

    QTreeView* view(const char* name) { return ctl<QTreeView>(w.get(), name); }

    // A song file of its own name in the program folder (tone10s.mp3, no tag).
    QString song(const QString& name) { return testutil::copyMedia("tone10s.mp3", dir.path(), name + ".mp3"); }

    // Rows titled by the letters, each with a real file, the first row selected.
    void fill(SongListModel& m, const char* viewName, const QStringList& titles, const QString& fourth = "Rock")
    {
        for (const QString& t : titles)
            m.append(SongRow(t, QStringLiteral("Art"), QStringLiteral("0:10"), fourth, song(t)));
        Library::selectRow(view(viewName), 1, false);
    }
    static QStringList titles(const SongListModel& m)
    {
        QStringList out;
        for (int i = 0; i < m.count(); ++i)
            out << m.cell(i, field::Title);
        return out;
    }

    // A key pressed on a list that holds the focus, as the keyboard delivers it.
    void press(const char* name, Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier)
    {
        QWidget* target = ctl<QWidget>(w.get(), name);
        target->setFocus(Qt::OtherFocusReason);
        ASSERT_EQ(QApplication::focusWidget(), target) << name;
        QTest::keyClick(target, k, mods);
    }
    void keypad(const char* name, int digit) { press(name, Qt::Key(Qt::Key_0 + digit), Qt::KeypadModifier); }
    int selected(const char* name) { return listkeysSelected(view(name)); }
    static int listkeysSelected(QTreeView* v)
    {
        const auto rows = v->selectionModel()->selectedRows();
        return rows.isEmpty() ? 0 : rows.first().row() + 1;
    }
    QString caption(const char* name) { return ctl<SkinControl>(w.get(), name)->text(); }
};

TEST_F(ListViewsTest, DJPlaylistKeys)
{
    w->lblViewDJPlaylist_Click();
    SongListModel& dj = lib->djPlaylist();
    fill(dj, "lstDJPlayList", {"A", "B", "C", "D"});

    keypad("lstDJPlayList", 8); // first row: nothing
    EXPECT_EQ(selected("lstDJPlayList"), 1);
    keypad("lstDJPlayList", 2);
    keypad("lstDJPlayList", 2);
    EXPECT_EQ(selected("lstDJPlayList"), 3);
    press("lstDJPlayList", Qt::Key_A); // a typed letter never moves the selection
    press("lstDJPlayList", Qt::Key_4);
    EXPECT_EQ(selected("lstDJPlayList"), 3);

    press("lstDJPlayList", Qt::Key_Space);
    EXPECT_EQ(calls.takeFirst(), "request lstDJPlayList 3");

    // Enter sends C to the Song Bin, once.
    press("lstDJPlayList", Qt::Key_Return);
    EXPECT_EQ(titles(dj), QStringList({"A", "B", "D"}));
    EXPECT_EQ(titles(lib->songBin()), QStringList({"C"}));
    EXPECT_EQ(selected("lstDJPlayList"), 3);
    EXPECT_EQ(caption("lblDJPlaylistClick"), "DJ Playlist - 3");
    EXPECT_EQ(caption("lblSongBinClick"), "Song Bin - 1");
    press("lstDJPlayList", Qt::Key_Enter, Qt::KeypadModifier); // the keypad's Enter is Enter too
    EXPECT_EQ(titles(dj), QStringList({"A", "B"}));

    // Numpad 7 / 9 swap only with a deck that holds a stopped song.
    keypad("lstDJPlayList", 7);
    EXPECT_TRUE(calls.isEmpty());
    deckState().PlayerBFilename = song("deckB");
    keypad("lstDJPlayList", 9);
    EXPECT_EQ(calls.takeFirst(), "swap lstDJPlayList B");
    deckState().ChannelB = 1; // playing
    keypad("lstDJPlayList", 9);
    EXPECT_TRUE(calls.isEmpty());
    deckState().ChannelB = 0;

    // Numpad 1 loads and removes the row only while the mark says so.
    checkMarks().removeWhenLoading = false;
    Library::selectRow(view("lstDJPlayList"), 1, false);
    keypad("lstDJPlayList", 1);
    EXPECT_EQ(deckState().PlayerAFilename, dj.cell(0, field::Filename));
    EXPECT_EQ(dj.count(), 2);
    checkMarks().removeWhenLoading = true;
    keypad("lstDJPlayList", 3);
    EXPECT_EQ(titles(dj), QStringList({"B"}));

    // Delete removes the selected row; with nothing selected Space and Delete do nothing.
    view("lstDJPlayList")->selectionModel()->clearSelection();
    press("lstDJPlayList", Qt::Key_Delete);
    press("lstDJPlayList", Qt::Key_Space);
    EXPECT_EQ(dj.count(), 1);
    EXPECT_TRUE(calls.isEmpty());
    Library::selectRow(view("lstDJPlayList"), 1, false);
    press("lstDJPlayList", Qt::Key_Delete);
    EXPECT_EQ(dj.count(), 0);
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, SongBinKeysAndTheArrowSwitchOfTheDJView)
{
    w->lblViewDJPlaylist_Click();
    fill(lib->songBin(), "lstSongBin", {"A", "B", "C"});
    QTreeView* dj = view("lstDJPlayList");
    QTreeView* bin = view("lstSongBin");

    press("lstDJPlayList", Qt::Key_Right);
    EXPECT_TRUE(dj->isHidden());
    EXPECT_FALSE(bin->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), bin);
    EXPECT_EQ(caption("lblViewDJPlaylist"), "&DJ Playlist");

    // A song loaded from the Song Bin always leaves it, whatever the mark.
    checkMarks().removeWhenLoading = false;
    keypad("lstSongBin", 1);
    EXPECT_EQ(titles(lib->songBin()), QStringList({"B", "C"}));
    keypad("lstSongBin", 7); // deck A now holds a stopped song
    EXPECT_EQ(calls.takeFirst(), "swap lstSongBin A");

    // Enter sends the row back to the DJ Playlist.
    press("lstSongBin", Qt::Key_Return);
    EXPECT_EQ(titles(lib->djPlaylist()), QStringList({"B"}));
    EXPECT_EQ(titles(lib->songBin()), QStringList({"C"}));

    press("lstSongBin", Qt::Key_Left);
    EXPECT_FALSE(dj->isHidden());
    EXPECT_TRUE(bin->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), dj);
    EXPECT_EQ(caption("lblViewDJPlaylist"), "Song &Bin");
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, FullPlaylistKeysAndTagReadOnDemand)
{
    SongListModel& full = lib->full();
    // Unread rows, as the media scan leaves them: the file name as title, no Edited mark.
    for (const char* t : {"a", "b", "c"})
        full.append(SongRow(QStringLiteral("%1.mp3").arg(t), {}, {}, {}, song(t)));
    const QString tagged = testutil::copyMedia("tagged.mp3", dir.path());
    full.setCell(1, field::Filename, tagged);
    Library::selectRow(view("lstFullPlaylist"), 1, false);

    // Down reads the row it lands on, before the view moves there.
    press("lstFullPlaylist", Qt::Key_Down);
    EXPECT_EQ(selected("lstFullPlaylist"), 2);
    EXPECT_EQ(full.cell(1, field::Title), "Test Title");
    EXPECT_EQ(full.cell(1, field::Artist), "Test Artist");
    EXPECT_EQ(full.cell(1, field::Genre), "Rock");
    EXPECT_EQ(full.cell(1, field::Edited), "SCANNED");
    EXPECT_EQ(full.cell(0, field::Edited), "");
    // Numpad 2 onto an unread row reads it; a file without a tag shows its base name.
    keypad("lstFullPlaylist", 2);
    EXPECT_EQ(full.cell(2, field::Title), "c");
    EXPECT_EQ(full.cell(2, field::Time), "0:10");
    keypad("lstFullPlaylist", 2); // last row: nothing
    EXPECT_EQ(selected("lstFullPlaylist"), 3);

    press("lstFullPlaylist", Qt::Key_Delete); // the library keeps its songs
    keypad("lstFullPlaylist", 1);
    keypad("lstFullPlaylist", 3);
    const QString c = full.cell(2, field::Filename);
    EXPECT_EQ(deckState().PlayerAFilename, c);
    EXPECT_EQ(deckState().PlayerBFilename, c);
    EXPECT_EQ(full.count(), 3);

    // Numpad 4: deck A's song to the DJ Playlist, the selected one into deck A.
    Library::selectRow(view("lstFullPlaylist"), 2, false);
    keypad("lstFullPlaylist", 4);
    ASSERT_EQ(lib->djPlaylist().count(), 1);
    EXPECT_EQ(lib->djPlaylist().cell(0, field::Filename), c);
    EXPECT_EQ(deckState().PlayerAFilename, tagged);

    // Enter queues, and makes the DJ Playlist the DJ view's shown list.
    view("lstDJPlayList")->hide();
    view("lstSongBin")->show();
    press("lstFullPlaylist", Qt::Key_Return);
    ASSERT_EQ(lib->djPlaylist().count(), 2);
    EXPECT_EQ(lib->djPlaylist().cell(1, field::Title), "Test Title");
    EXPECT_FALSE(view("lstDJPlayList")->isHidden());
    EXPECT_TRUE(view("lstSongBin")->isHidden());

    press("lstFullPlaylist", Qt::Key_Space);
    EXPECT_EQ(calls.takeFirst(), "request lstFullPlaylist 2");
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, MostPlayedKeys)
{
    w->lblMostPlayedClick_Click();
    SongListModel& mp = lib->mostPlayed();
    fill(mp, "lstMostPlayed", {"A", "B", "C"}, "7");
    keypad("lstMostPlayed", 2);
    press("lstMostPlayed", Qt::Key_Return);
    EXPECT_EQ(lib->djPlaylist().count(), 1);
    EXPECT_EQ(QApplication::focusWidget(), view("lstMostPlayed"));
    keypad("lstMostPlayed", 1);
    EXPECT_EQ(deckState().PlayerAFilename, mp.cell(1, field::Filename));
    EXPECT_EQ(mp.count(), 3); // loading never removes from Most Played
    press("lstMostPlayed", Qt::Key_Delete);
    EXPECT_EQ(titles(mp), QStringList({"A", "C"}));
    press("lstMostPlayed", Qt::Key_Space);
    EXPECT_EQ(calls.takeFirst(), "request lstMostPlayed 2");
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, SameSongRuleComparesTitleAndArtistApart)
{
    SongListModel& dj = lib->djPlaylist();
    SongListModel& bin = lib->songBin();
    auto row = [](const char* t, const char* a, const char* f) { return SongRow(t, a, "1:00", "Pop", f); };
    bin.append(row("A", "BC", "/m/1.mp3"));
    bin.append(row("Song", "Band", "/m/2.mp3"));
    dj.append(row("AB", "C", "/m/3.mp3"));     // not the same song as "A" / "BC"
    dj.append(row("Song", "Band", "/m/4.mp3")); // the same song, another file
    dj.append(row("song", "Band", "/m/5.mp3")); // letter case counts

    for (int i = 0; i < 3; ++i) {
        Library::selectRow(view("lstDJPlayList"), 1, false);
        lib->lstDJPlayList_DblClick();
    }
    EXPECT_EQ(dj.count(), 0);
    EXPECT_EQ(titles(bin), QStringList({"A", "Song", "AB", "song"}));
    EXPECT_EQ(bin.cell(2, field::Artist), "C");
    EXPECT_EQ(caption("lblSongBinClick"), "Song Bin - 4");

    // Back the other way: the last row moved selects the new last row.
    Library::selectRow(view("lstSongBin"), 4, false);
    lib->lstSongBin_DblClick();
    EXPECT_EQ(selected("lstSongBin"), 3);
    EXPECT_EQ(titles(dj), QStringList({"song"}));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, SongFromPlayerToDJList)
{
    SongListModel& full = lib->full();
    fill(full, "lstFullPlaylist", {"x"});
    DeckState& d = deckState();

    lv->SongFromPlayerToDJList(view("lstFullPlaylist"), "PlayerA"); // empty deck: nothing
    EXPECT_EQ(lib->djPlaylist().count(), 0);
    EXPECT_TRUE(d.PlayerAFilename.isEmpty());

    const QString held = song("held");
    d.PlayerATitle = "Held";
    d.PlayerAArtist = "Band";
    d.PlayerATime = "3:00";
    d.PlayerAGenre = "R&B";
    d.PlayerAFilename = held;
    for (const char* name : {"playera", "PlayerC", ""})
        lv->SongFromPlayerToDJList(view("lstFullPlaylist"), name);
    EXPECT_EQ(lib->djPlaylist().count(), 0);

    lv->SongFromPlayerToDJList(view("lstFullPlaylist"), "PlayerA");
    ASSERT_EQ(lib->djPlaylist().count(), 1);
    const SongRow& r = lib->djPlaylist().at(0);
    EXPECT_EQ(QStringList({r.cells[0], r.cells[1], r.cells[2], r.cells[3], r.cells[4]}),
              QStringList({"Held", "Band", "3:00", "R&B", held}));
    EXPECT_EQ(caption("lblDJPlaylistClick"), "DJ Playlist - 1");
    EXPECT_EQ(d.PlayerAFilename, full.cell(0, field::Filename));
    EXPECT_EQ(full.count(), 1);

    // A playing deck refuses the load: only the append happens.
    d.ChannelA = 1;
    d.PlayerAFilename = held;
    lv->SongFromPlayerToDJList(view("lstFullPlaylist"), "PlayerA");
    EXPECT_EQ(lib->djPlaylist().count(), 2);
    EXPECT_EQ(d.PlayerAFilename, held);
    d.ChannelA = 0;
}

TEST_F(ListViewsTest, HeaderSortAlternatesKeepsTheSelectionAndPlaysSortsByCount)
{
    SongListModel& full = lib->full();
    QTreeView* fv = view("lstFullPlaylist");
    for (const char* t : {"b", "C", "a", "10", "9", "\u00c9dith", "\u00c4rzte"})
        full.append(SongRow(QString::fromUtf8(t), {}, {}, {}, QStringLiteral("/m/%1.mp3").arg(QString::fromUtf8(t)), "SCANNED"));
    full.setCell(4, field::Edited, {});
    Library::selectRow(fv, 2, false); // "C"
    lib->bFullMP3 = false;

    lv->ColumnClick(fv, 1);
    // As text, alphabetically (accented letters among their plain ones), without letter case.
    EXPECT_EQ(titles(full), QStringList({"10", "9", "a", "\u00c4rzte", "b", "C", "\u00c9dith"}));
    EXPECT_EQ(full.cell(selected("lstFullPlaylist") - 1, field::Title), "C");
    // The tag scan goes on from the first unread row in the new order.
    EXPECT_TRUE(lib->bFullMP3);
    EXPECT_EQ(lib->iFullMP3LastIndex, 2);
    lv->ColumnClick(fv, 5); // another column continues the alternation: descending
    EXPECT_EQ(titles(full), QStringList({"\u00c9dith", "C", "b", "\u00c4rzte", "a", "9", "10"}));
    lv->ColumnClick(fv, 1);
    EXPECT_EQ(titles(full).first(), "10");

    SongListModel& mp = lib->mostPlayed();
    QTreeView* mv = view("lstMostPlayed");
    lv->ColumnClick(mv, 4); // an empty list ignores the click
    for (auto [t, p] : {std::pair{"A", "3"}, {"B", "5"}, {"C", "3"}, {"D", "5"}})
        mp.append(SongRow(t, {}, {}, p, QStringLiteral("/m/%1.mp3").arg(t)));
    lv->ColumnClick(mv, 4);
    lv->ColumnClick(mv, 4); // Plays always highest first
    EXPECT_EQ(titles(mp), QStringList({"B", "D", "A", "C"}));
    lv->ColumnClick(mv, 1); // the list's own first other sort is ascending
    EXPECT_EQ(titles(mp), QStringList({"A", "B", "C", "D"}));

    // Clicks on a heading as the mouse gives them: a second click within the double-click time
    // reaches the header as a double click, and must still sort the other way; so must a third.
    fill(lib->requests(), "lstRequests", {"q", "P", "r"});
    for (const char* name : {"lstFullPlaylist", "lstRequests"}) {
        SCOPED_TRACE(name);
        if (name == std::string_view("lstRequests"))
            w->lblRequestsClick_Click();
        QTreeView* v = view(name);
        QHeaderView* h = v->header();
        const QPoint title(h->sectionViewportPosition(1) + h->sectionSize(1) / 2, h->height() / 2);
        const SongListModel& m = lib->modelOf(v);
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, title);
        const QStringList once = titles(m);
        QStringList reversed = once;
        std::reverse(reversed.begin(), reversed.end());
        QTest::mouseDClick(h->viewport(), Qt::LeftButton, {}, title);
        QTest::mouseRelease(h->viewport(), Qt::LeftButton, {}, title);
        EXPECT_EQ(titles(m), reversed);
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, title);
        EXPECT_EQ(titles(m), once);
    }
}

TEST_F(ListViewsTest, RightClicksAndMenuButtonsOpenTheirPopupsThroughTheHook)
{
    w->lblViewDJPlaylist_Click();
    lv->list_MouseUp(view("lstDJPlayList"), 1); // the left button opens nothing
    lv->list_MouseUp(view("lstDJPlayList"), 2);
    EXPECT_EQ(QApplication::focusWidget(), view("lstDJPlayList"));
    emit ctl<SkinControl>(w.get(), "picDJPlaylistMenu")->MouseDown(1, 0, 0, 0);
    view("lstDJPlayList")->hide();
    view("lstSongBin")->show();
    emit ctl<SkinControl>(w.get(), "picDJPlaylistMenu")->MouseDown(2, 0, 0, 0);
    emit ctl<SkinControl>(w.get(), "Picture13")->MouseUp(1, 0, 0, 0);
    emit ctl<SkinControl>(w.get(), "picMostPlayedMenu")->MouseUp(1, 0, 0, 0);
    emit ctl<SkinControl>(w.get(), "picSearchMenu")->MouseUp(1, 0, 0, 0);
    lv->list_MouseUp(view("lstSearch"), 2);
    EXPECT_EQ(calls, QStringList({"popup lstDJPlayList right", "popup lstDJPlayList button", "popup lstSongBin button",
                                  "popup lstFullPlaylist button", "popup lstMostPlayed button",
                                  "popup lstSearch button", "popup lstSearch right"}));
}

TEST_F(ListViewsTest, DoubleClicksActOnARowOnly)
{
    w->lblViewDJPlaylist_Click();
    QTreeView* dj = view("lstDJPlayList");
    // A double click as the mouse gives it: a click, then the second press.
    auto dblClick = [dj](QPoint at) {
        QTest::mouseClick(dj->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(dj->viewport(), Qt::LeftButton, {}, at);
    };
    dblClick(QPoint(40, 10)); // an empty list
    fill(lib->djPlaylist(), "lstDJPlayList", {"A", "B"});
    const QRect second = dj->visualRect(dj->model()->index(1, 1));
    dblClick(second.center() + QPoint(0, 5 * second.height())); // below the last row
    EXPECT_EQ(lib->songBin().count(), 0);
    dblClick(second.center());
    EXPECT_EQ(titles(lib->djPlaylist()), QStringList({"A"}));
    EXPECT_EQ(titles(lib->songBin()), QStringList({"B"}));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, SearchListKeysAndThePlaceholder)
{
    w->lblSearchSongsClick_Click();
    auto* txt = ctl<QLineEdit>(w.get(), "txtSearch");
    lib->addSearchPlaceholder();
    EXPECT_TRUE(lib->searchShowsPlaceholder());
    Library::selectRow(view("lstSearch"), 1, false);

    // While the placeholder stands every command does nothing; the global keys and Left act.
    for (int k : {1, 3, 4, 6, 8, 2})
        keypad("lstSearch", k);
    for (Qt::Key k : {Qt::Key_Return, Qt::Key_Space, Qt::Key_Z})
        press("lstSearch", k);
    lv->lstSearch_DblClick();
    EXPECT_TRUE(deckState().PlayerAFilename.isEmpty());
    EXPECT_EQ(lib->djPlaylist().count(), 0);
    EXPECT_TRUE(calls.isEmpty());
    EXPECT_TRUE(dialogs.shown.empty());
    txt->setText("some text");
    press("lstSearch", Qt::Key_Left);
    EXPECT_EQ(QApplication::focusWidget(), txt);
    EXPECT_EQ(txt->selectedText(), "some text");
    press("lstSearch", Qt::Key_M); // a view letter from the list
    EXPECT_FALSE(ctl<QWidget>(w.get(), "ViewMostPlayed")->isHidden());
    w->lblSearchSongsClick_Click();

    // A real song titled like the placeholder is a hit like any other.
    SongListModel& s = lib->search();
    s.clear();
    fill(s, "lstSearch", {"No Songs Found!", "Two"}, "Jazz");
    EXPECT_FALSE(lib->searchShowsPlaceholder());
    press("lstSearch", Qt::Key_Z);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Jazz");
    keypad("lstSearch", 2);
    keypad("lstSearch", 1);
    EXPECT_EQ(deckState().PlayerAFilename, s.cell(1, field::Filename));
    press("lstSearch", Qt::Key_Return);
    EXPECT_EQ(lib->djPlaylist().count(), 1);
    press("lstSearch", Qt::Key_Space);
    EXPECT_EQ(calls.takeFirst(), "request lstSearch 2");
    EXPECT_EQ(s.count(), 2);

    // Down in the box goes to the list without searching.
    press("txtSearch", Qt::Key_Down);
    EXPECT_EQ(QApplication::focusWidget(), view("lstSearch"));
    EXPECT_EQ(s.count(), 2);
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, SearchMatchesAcrossCellsWithoutLetterCase)
{
    SongListModel& full = lib->full();
    const QString missing = dir.path() + "/gone/Lost One.mp3";
    full.append(SongRow("Night Song", "Blue Band", "3:05", "Rock", song("night"), "SCANNED"));
    full.append(SongRow("Überfall", "Ärzte", "2:10", "Punk", song("uber"), "SCANNED"));
    full.append(SongRow("Lost One.mp3", {}, {}, {}, missing));
    full.append(SongRow("a.*[(b", "x", "1:00", "Pop", song("regex"), "SCANNED"));
    full.append(SongRow("Tiny", {}, {}, {}, dir.path() + "/q")); // a name shorter than its cut
    LibrarySearch& search = lv->search();
    SongListModel& hits = lib->search();
    auto find = [&](const QString& text) -> QStringList {
        search.run(text);
        if (!QTest::qWaitFor([&] { return !search.matching() && !search.refreshing(); }))
            return {"still running"};
        return lib->searchShowsPlaceholder() ? QStringList{"-"} : titles(hits);
    };

    EXPECT_EQ(find(""), QStringList{"-"});
    EXPECT_EQ(find("N"), QStringList{"-"});
    EXPECT_EQ(find("üB"), QStringList{"uber"}); // two characters are enough
    EXPECT_EQ(find("zz"), QStringList{"-"});
    EXPECT_EQ(find(QString(1000, 'a')), QStringList{"-"});
    // Hits show the tag read afresh: these files have none, so the base name stands as title.
    EXPECT_EQ(find("ng Blue"), QStringList{"night"}); // title end, a blank, artist start
    EXPECT_EQ(find("band3:0"), QStringList{"night"}); // artist end straight into the time
    EXPECT_EQ(find("05Rock/"), QStringList{"night"}); // time, genre, path
    EXPECT_EQ(find("ÜBERFALL"), QStringList{"uber"});
    EXPECT_EQ(find("ärzte"), QStringList{"uber"});
    EXPECT_EQ(find(".*[("), QStringList{"regex"});
    // A file gone since the scan is listed all the same, titled by its name.
    EXPECT_EQ(find("lost"), QStringList{"Lost One"});
    EXPECT_EQ(hits.cell(0, field::Filename), missing);
    EXPECT_EQ(hits.cell(0, field::Edited), "");
    EXPECT_EQ(find("tiny"), QStringList{"q"});
    EXPECT_EQ(find(".mp3").size(), 4); // hits in Full Playlist order
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListViewsTest, ANewerSearchReplacesARunningOne)
{
    SongListModel& full = lib->full();
    std::vector<SongRow> rows;
    for (int i = 0; i < 20000; ++i)
        rows.emplace_back(i % 2 ? "even older" : "newer", "x", "1:00", "Pop", QStringLiteral("/m/%1.mp3").arg(i));
    full.appendRows(std::move(rows));
    LibrarySearch& search = lv->search();
    QSignalSpy listed(&search, &LibrarySearch::hitsListed);

    search.run("older");
    search.run("newer");
    QTRY_VERIFY(!search.matching() && !search.refreshing());
    EXPECT_EQ(listed.count(), 1);
    ASSERT_EQ(lib->search().count(), 10000);
    for (int i = 0; i < lib->search().count(); ++i)
        ASSERT_TRUE(lib->search().cell(i, field::Filename).endsWith(QStringLiteral("/%1.mp3").arg(2 * i)));
}

TEST(FileNameSplit, SuggestionsFromFileNames)
{
    EXPECT_EQ(songBaseName("/music/Blue Band - Night Song.mp3"), "Blue Band - Night Song");
    EXPECT_EQ(songBaseName("/music/x.mp3"), "x");
    EXPECT_EQ(songBaseName("/music/xmp3"), "");
    auto split = [](const char* name) {
        const auto s = splitFileName(QString::fromUtf8(name));
        return s ? s->left + "|" + s->right : QStringLiteral("none");
    };
    EXPECT_EQ(split("Blue Band - Night Song"), "Blue Band|Night Song");
    EXPECT_EQ(split("A - B - C"), "A - B|C");
    EXPECT_EQ(split("Artist-Title"), "Artist|Title");
    EXPECT_EQ(split("Artist -"), "Artist|");
    EXPECT_EQ(split("-X"), "none");
    EXPECT_EQ(split("- X"), "none");
    EXPECT_EQ(split("-Intro - Song"), "-Intro|Song"); // split at the last dash, whatever comes first
    EXPECT_EQ(split("--X"), "-|X");
    EXPECT_EQ(split("No Dash"), "none");
    EXPECT_EQ(split(""), "none");
}

} // namespace
