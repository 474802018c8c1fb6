// The popup menus in the real main window: their structure against the design written down by
// hand, the check marks, what every way of opening them prepares, and the commands that are the
// menus' own (swap with a deck, auto-tag, permanent delete, the list commands).
#include "menufixture.h"

#include "core/clsMP3.h"
#include "library/listkeys.h"
#include "library/listviews.h"
#include "platform/ui/skin.h"
#include "shell/frmMediaPaths.h"
#include "shell/frmShowUpdates.h"
#include "shell/startup.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <sys/mount.h>

namespace {

QString dump(const QMenu* m, int depth)
{
    QString out;
    for (const QAction* a : m->actions()) {
        QString line(depth * 2, QLatin1Char(' '));
        if (a->isSeparator()) {
            line += QStringLiteral("---");
        } else {
            line += a->objectName() + QStringLiteral(" \"") + a->text() + QLatin1Char('"');
            if (a->isCheckable())
                line += a->isChecked() ? QStringLiteral(" [x]") : QStringLiteral(" [ ]");
            if (a->menu())
                line += QStringLiteral(" >");
            if (!a->isEnabled())
                line += QStringLiteral(" (disabled)");
        }
        out += line + QLatin1Char('\n');
        if (a->menu())
            out += dump(a->menu(), depth + 1);
    }
    return out;
}

// The ID3v1 title and artist bytes of a file ("" when it has no tag).
std::pair<QByteArray, QByteArray> tagBytes(const QString& path)
{
    const QByteArray all = testutil::readAll(path);
    const QByteArray tag = all.right(128);
    if (all.size() < 128 || !tag.startsWith("TAG"))
        return {};
    return {tag.mid(3, 30), tag.mid(33, 30)};
}

QByteArray padded(const char* text)
{
    QByteArray b(text);
    return b + QByteArray(30 - b.size(), ' ');
}

} // namespace

TEST_F(MenuWindowTest, TheSevenMenusMatchTheirDesign)
{
    // A fresh run after its load: no font size stored marks "Normal".
    checkMarks().fontMark = CheckMarks::FontMark::Normal;
    makeWindow();
    QString built;
    for (const QMenu* m : menus().menus())
        built += m->objectName() + QStringLiteral(" \"") + m->title() + QStringLiteral("\"\n") + dump(m, 1);

    QString design;
    for (const QString& line :
         QString::fromUtf8(testutil::readAll(QStringLiteral(QUENLOW_SOURCE_DIR "/tests/menus/popup-menus.txt")))
             .split(QLatin1Char('\n'))) {
        if (!line.isEmpty() && !line.startsWith(QLatin1Char('#')))
            design += line + QLatin1Char('\n');
    }
    ASSERT_FALSE(design.isEmpty());
    EXPECT_EQ(built.toStdString(), design.toStdString());
    // The one menu object serves the whole run: the crossfader, the lists and their buttons.
    EXPECT_EQ(w->findChildren<QMenu*>(QStringLiteral("mnuAutoDJ")).size(), 1);
}

TEST_F(MenuWindowTest, RadioGroupsAndTogglesKeepTheRunsMarks)
{
    CheckMarks& marks = checkMarks();
    // Crossfade time: the checked one stays checked when chosen again; exactly one is checked.
    auto checkedTimes = [&] {
        QStringList on;
        for (const char* n : {"mnuAutoDJCrossTime10", "mnuAutoDJCrossTime15", "mnuAutoDJCrossTime20", "mnuAutoDJCrossTime25"})
            if (item(n)->isChecked())
                on << QLatin1String(n);
        return on;
    };
    trigger("mnuAutoDJCrossTime15");
    EXPECT_EQ(marks.crossfadeSeconds, 15);
    EXPECT_EQ(checkedTimes(), QStringList{"mnuAutoDJCrossTime15"});
    trigger("mnuAutoDJCrossTime25");
    EXPECT_EQ(marks.crossfadeSeconds, 25);
    EXPECT_EQ(checkedTimes(), QStringList{"mnuAutoDJCrossTime25"});

    // Auto-fill source: Most Played only from 11 songs on, however the item is reached.
    const QString s = song(QStringLiteral("played.mp3"));
    add(lib().mostPlayed(), QStringList(10, s));
    menus().prepare(menus().menu("DJPlaylist"));
    EXPECT_FALSE(item("mnuDJPlaylistAddFromMostPlayed")->isEnabled());
    trigger("mnuDJPlaylistAddFromMostPlayed");
    EXPECT_EQ(marks.autoFillSource, CheckMarks::FillSource::FullPlaylist);
    EXPECT_TRUE(item("mnuDJPlaylistAddFromFullPlaylist")->isChecked());
    add(lib().mostPlayed(), {s});
    menus().prepare(menus().menu("DJPlaylist"));
    EXPECT_TRUE(item("mnuDJPlaylistAddFromMostPlayed")->isEnabled());
    trigger("mnuDJPlaylistAddFromMostPlayed");
    EXPECT_EQ(marks.autoFillSource, CheckMarks::FillSource::MostPlayed);
    EXPECT_FALSE(item("mnuDJPlaylistAddFromFullPlaylist")->isChecked());
    trigger("mnuDJPlaylistAddFromFullPlaylist");
    EXPECT_EQ(marks.autoFillSource, CheckMarks::FillSource::FullPlaylist);

    // The remove-when-loading toggle.
    trigger("mnuDJPlaylistRemoveFromList");
    EXPECT_FALSE(marks.removeWhenLoading);
    EXPECT_FALSE(item("mnuDJPlaylistRemoveFromList")->isChecked());
    trigger("mnuDJPlaylistRemoveFromList");
    EXPECT_TRUE(marks.removeWhenLoading);
    EXPECT_TRUE(item("mnuDJPlaylistRemoveFromList")->isChecked());

    // Font: the lists change first, the marks after.
    QStringList calls;
    menus().hooks.ChangePlaylistFont = [&](const QString& size) {
        calls << size + (marks.fontMark == CheckMarks::FontMark::Large ? QStringLiteral(" marked") : QString());
        w->ChangePlaylistFont(size);
    };
    trigger("mnuFullFontLarge");
    EXPECT_EQ(calls, QStringList{"Large"});
    EXPECT_EQ(marks.fontMark, CheckMarks::FontMark::Large);
    EXPECT_TRUE(item("mnuFullFontLarge")->isChecked());
    EXPECT_FALSE(item("mnuFullFontNormal")->isChecked());
    EXPECT_EQ(view("lstSearch")->font().pointSizeF(), 12.0);

    // Take Requests without a request database: nothing to switch, the mark stays.
    trigger("mnuRequestsEnabled");
    EXPECT_TRUE(marks.takeRequests);
    EXPECT_TRUE(item("mnuRequestsEnabled")->isChecked());
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MenuWindowTest, EveryRoutePreparesTheMenuFromTheMomentItOpens)
{
    ListViews& lv = *w->listViews;
    const QString onDeck = song(QStringLiteral("Deck Song - Loaded.mp3"));
    const QString other = song(QStringLiteral("Tom & Jerry - It's Rock.mp3"));
    const QString plain = song(QStringLiteral("nodash.mp3"));
    add(lib().full(), {onDeck, other, plain});
    load('B', "lstFullPlaylist", 1);
    ASSERT_EQ(decks().PlayerBFilename, onDeck);

    // The song on deck B cannot be deleted, by right-click or by the menu button.
    QAction* del = item("mnuFullPlaylistSendToRecycleBin");
    lv.list_MouseUp(view("lstFullPlaylist"), 2);
    EXPECT_FALSE(del->isEnabled());
    select("lstFullPlaylist", 2);
    lv.menuButton(view("lstFullPlaylist"));
    EXPECT_TRUE(del->isEnabled());
    // Captions made from the file name show its "&" as one.
    EXPECT_EQ(item("mnuFullAutoTitleArtist")->text(), "Title: It's Rock --  Artist: Tom && Jerry");
    EXPECT_EQ(item("mnuFullAutoArtistTitle")->text(), "Title: Tom && Jerry -- Artist: It's Rock");
    // The stale popup: the button after the selection moved back to the deck's song.
    select("lstFullPlaylist", 1);
    lv.menuButton(view("lstFullPlaylist"));
    EXPECT_FALSE(del->isEnabled());
    EXPECT_EQ(item("mnuFullAutoTitleArtist")->text(), "Title: Loaded --  Artist: Deck Song");
    select("lstFullPlaylist", 3);
    lv.list_MouseUp(view("lstFullPlaylist"), 2);
    EXPECT_EQ(item("mnuFullAutoTitleArtist")->text(), "No Suggestions");
    EXPECT_EQ(item("mnuFullAutoArtistTitle")->text(), "No Suggestions");
    view("lstFullPlaylist")->selectionModel()->clearSelection();
    lv.menuButton(view("lstFullPlaylist"));
    EXPECT_FALSE(del->isEnabled());
    EXPECT_EQ(item("mnuFullAutoTitleArtist")->text(), "No Suggestions");

    // Swap items: a list with rows and a deck with a stopped song, on every route.
    add(lib().djPlaylist(), {plain});
    select("lstDJPlayList", 1);
    lv.list_MouseUp(view("lstDJPlayList"), 2);
    EXPECT_FALSE(item("mnuDJPlaylistSwapPlayerA")->isEnabled()); // deck A empty
    EXPECT_TRUE(item("mnuDJPlaylistSwapPlayerB")->isEnabled());  // deck B stopped
    w->decks->B().keyPlayPause();
    ASSERT_NE(decks().ChannelB, 0);
    lv.menuButton(view("lstDJPlayList"));
    EXPECT_FALSE(item("mnuDJPlaylistSwapPlayerB")->isEnabled()); // playing
    w->decks->B().keyPlayPause();
    lv.list_MouseUp(view("lstDJPlayList"), 2);
    EXPECT_FALSE(item("mnuDJPlaylistSwapPlayerB")->isEnabled()); // paused
    lv.list_MouseUp(view("lstSongBin"), 2);
    EXPECT_FALSE(item("mnuSongBinSwapPlayerA")->isEnabled()); // empty Song Bin
    EXPECT_FALSE(item("mnuSongBinSwapPlayerB")->isEnabled());

    // The crossfader, the Requests button and the Requests list open their menus too.
    w->decks->picSliderBack_MouseUp(2, 0, 0, 0);
    emit ctl<SkinControl>(w.get(), "Picture12")->MouseDown(1, 0, 0, 0);
    w->requests->lstRequests_MouseUp(2);
    w->requests->lstRequests_MouseUp(1);
    EXPECT_EQ(shown, (QStringList{"mnuFull", "mnuFull", "mnuFull", "mnuFull", "mnuFull", "DJPlaylist", "DJPlaylist",
                                  "DJPlaylist", "SongBin", "mnuAutoDJ", "mnuRequests", "mnuRequests"}));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MenuWindowTest, SwapTradesARowWithAStoppedDeckAndNeverLosesEither)
{
    QStringList queue;
    for (int i = 1; i <= 5; ++i)
        queue << song(QStringLiteral("queued %1.mp3").arg(i));
    const QString cued = song(QStringLiteral("cued.mp3"));
    add(lib().djPlaylist(), queue);
    add(lib().full(), {cued});
    load('A', "lstFullPlaylist", 1);
    const QString deckTitle = decks().PlayerATitle, deckTime = decks().PlayerATime;

    // Row 3 and deck A change places; the other rows stay as they were.
    select("lstDJPlayList", 3);
    trigger("mnuDJPlaylistSwapPlayerA");
    EXPECT_EQ(decks().PlayerAFilename, queue[2]);
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{queue[0], queue[1], cued, queue[3], queue[4]}));
    EXPECT_EQ(lib().djPlaylist().cell(2, field::Title), deckTitle);
    EXPECT_EQ(lib().djPlaylist().cell(2, field::Time), deckTime);

    // A row whose file is gone: the deck says so and keeps its song; the row keeps its own.
    ASSERT_TRUE(QFile::remove(queue[1]));
    select("lstDJPlayList", 2);
    trigger("mnuDJPlaylistSwapPlayerA");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Filepath is incorrect!");
    EXPECT_EQ(decks().PlayerAFilename, queue[2]);
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{queue[0], queue[1], cued, queue[3], queue[4]}));

    // A playing deck, an empty deck or no selection: nothing changes.
    w->decks->A().keyPlayPause();
    select("lstDJPlayList", 1);
    trigger("mnuDJPlaylistSwapPlayerA");
    trigger("mnuDJPlaylistSwapPlayerB");
    view("lstDJPlayList")->selectionModel()->clearSelection();
    w->decks->A().keyStop();
    trigger("mnuDJPlaylistSwapPlayerA");
    EXPECT_EQ(decks().PlayerAFilename, queue[2]);
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{queue[0], queue[1], cued, queue[3], queue[4]}));

    // The Song Bin swaps the same way.
    add(lib().songBin(), {queue[4]});
    select("lstSongBin", 1);
    trigger("mnuSongBinSwapPlayerA");
    EXPECT_EQ(decks().PlayerAFilename, queue[4]);
    EXPECT_EQ(files(lib().songBin()), QStringList{queue[2]});
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MenuWindowTest, AutoTagSplitsTheFileNameAndWritesBothFieldsInOneTag)
{
    const struct {
        const char* name;
        const char* item;
        const char* title; // nullptr: no suggestion, the file is left alone
        const char* artist;
    } cases[] = {
        {"Blue Band - Night Song", "mnuFullAutoArtistTitle", "Blue Band", "Night Song"},
        {"Blue Band - Night Song", "mnuFullAutoTitleArtist", "Night Song", "Blue Band"},
        {"A - B - C", "mnuFullAutoTitleArtist", "C", "A - B"},
        {"Artist-Title", "mnuFullAutoTitleArtist", "Title", "Artist"},
        {"Rock 'n' Roll - Caf\u00e9", "mnuFullAutoTitleArtist", "Caf\u00e9", "Rock 'n' Roll"},
        {"Tail -", "mnuFullAutoArtistTitle", "Tail", ""},
        {"-Intro - Song", "mnuFullAutoTitleArtist", "Song", "-Intro"},
        {"-X", "mnuFullAutoTitleArtist", nullptr, nullptr},
        {"No Dash", "mnuFullAutoArtistTitle", nullptr, nullptr},
        {"x", "mnuFullAutoTitleArtist", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lib().full().clear();
        QFile::remove(dir.filePath(QString::fromUtf8(c.name) + ".mp3"));
        const QString path = song(QString::fromUtf8(c.name) + ".mp3");
        const QByteArray before = testutil::readAll(path);
        add(lib().full(), {path});
        select("lstFullPlaylist", 1);
        w->listViews->list_MouseUp(view("lstFullPlaylist"), 2);
        trigger(c.item);
        if (!c.title) {
            EXPECT_EQ(item(c.item)->text(), "No Suggestions");
            EXPECT_EQ(testutil::readAll(path), before);
            continue;
        }
        clsMP3 tag;
        tag.setFullName(path);
        tag.ReadMP3Info();
        // The caption showed exactly what was written.
        const QString dashes = QLatin1String(c.item) == "mnuFullAutoTitleArtist" ? " --  Artist: " : " -- Artist: ";
        EXPECT_EQ(item(c.item)->text(), "Title: " + QString::fromUtf8(c.title) + dashes + QString::fromUtf8(c.artist));
        EXPECT_EQ(tag.Title(), QString::fromUtf8(c.title));
        EXPECT_EQ(tag.Artist(), QString::fromUtf8(c.artist));
        EXPECT_EQ(lib().full().cell(0, field::Title), QString::fromUtf8(c.title));
        EXPECT_EQ(lib().full().cell(0, field::Artist), QString::fromUtf8(c.artist));
    }
    // The tag's bytes: Windows-1252, blank-padded to 30.
    const auto [title, artist] = tagBytes(dir.filePath("Blue Band - Night Song.mp3"));
    EXPECT_EQ(title, padded("Night Song"));
    EXPECT_EQ(artist, padded("Blue Band"));
    EXPECT_EQ(tagBytes(dir.filePath(QStringLiteral("Rock 'n' Roll - Caf\u00e9.mp3"))).first, padded("Caf\xe9"));

    // Letters the tag cannot hold are named, and nothing is written or shown: the tag would
    // hold "?wi?tek".
    lib().full().clear();
    const QString polish = song(QStringLiteral("Świątek - Łódź.mp3"));
    const QByteArray untouched = testutil::readAll(polish);
    add(lib().full(), {polish});
    select("lstFullPlaylist", 1);
    w->listViews->list_MouseUp(view("lstFullPlaylist"), 2);
    dialogs.shown.clear();
    trigger("mnuFullAutoTitleArtist");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    const QString told = dialogs.shown[0].text;
    EXPECT_TRUE(told.startsWith("The tag cannot hold these characters:\r\n\r\nTitle: Ł ź\nArtist: Ś ą\r\n"))
        << told.toStdString();
    EXPECT_EQ(testutil::readAll(polish), untouched);
    EXPECT_EQ(lib().full().cell(0, field::Artist), QString());

    // Every list row of the file shows the new texts, the Requests list keeps its own, and a
    // deck holding the file shows them in its title, "&" and all.
    lib().full().clear();
    const QString amp = song(QStringLiteral("Tom & Jerry - Rock.mp3"));
    const QString other = song(QStringLiteral("other.mp3"));
    add(lib().full(), {amp, other});
    add(lib().djPlaylist(), {amp, other, amp});
    add(lib().songBin(), {amp});
    add(lib().requests(), {amp});
    load('B', "lstDJPlayList", 1);
    select("lstFullPlaylist", 1);
    menus().prepare(menus().menu("mnuFull"));
    trigger("mnuFullAutoTitleArtist");
    for (const SongListModel* l : {&lib().full(), &lib().djPlaylist(), &lib().songBin()})
        for (int i = 0; i < l->count(); ++i)
            EXPECT_EQ(l->cell(i, field::Title), l->cell(i, field::Filename) == amp ? "Rock" : "other");
    EXPECT_EQ(lib().requests().cell(0, field::Title), "Tom & Jerry - Rock");
    EXPECT_EQ(ctl<QLabel>(w.get(), "lblPlayerBTitle")->text(), "Rock - Tom & Jerry");

    // A tag that cannot be written is told and logged, and no list changes.
    ASSERT_TRUE(QFile::remove(amp));
    ASSERT_TRUE(QDir().mkdir(amp));
    lib().full().setCell(0, field::Title, QStringLiteral("kept"));
    dialogs.shown.clear();
    trigger("mnuFullAutoTitleArtist");
    EXPECT_EQ(lib().full().cell(0, field::Title), "kept");
    EXPECT_EQ(lib().djPlaylist().cell(0, field::Title), "Rock");
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_TRUE(dialogs.shown[0].text.contains(amp));
    EXPECT_EQ(errorLines(), 1);
}

TEST_F(MenuWindowTest, PermanentDeleteRemovesOnlyTheConfirmedFileOrLink)
{
    const QString a = song(QStringLiteral("a.mp3"));
    const QString b = song(QStringLiteral("b.mp3"));
    const QString c = song(QStringLiteral("c.mp3"));
    add(lib().full(), {a, b, c});
    auto caption = [&] { return ctl<QLabel>(w.get(), "lblFullPlaylistNumSongs")->text(); };

    // No: nothing happens.
    select("lstFullPlaylist", 3);
    dialogs.answers = {vb::mb::No};
    trigger("mnuFullPlaylistSendToRecycleBin");
    EXPECT_TRUE(QFile::exists(c));
    EXPECT_EQ(lib().full().count(), 3);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Are you sure you want to PERMANENTLY DELETE this file?\r\n\r\n" + c);
    EXPECT_EQ(dialogs.shown[0].title, "Delete File");
    EXPECT_EQ(dialogs.shown[0].flags, vb::mb::YesNo);

    // Yes on the last row: the file goes, the row above is selected.
    dialogs.answers = {vb::mb::Yes};
    trigger("mnuFullPlaylistSendToRecycleBin");
    EXPECT_FALSE(QFile::exists(c));
    EXPECT_EQ(files(lib().full()), (QStringList{a, b}));
    EXPECT_EQ(listkeys::selectedRow(view("lstFullPlaylist")), 2);
    EXPECT_EQ(caption(), "2 Songs");

    // While the question stood the list was sorted and the song put on deck A: nothing goes.
    select("lstFullPlaylist", 1);
    dialogs.answers = {vb::mb::Yes};
    dialogs.onShow = [&](const ui::ScriptedDialogs::Shown& box) {
        if (box.title == "Delete File" && box.flags == vb::mb::YesNo)
            load('A', "lstFullPlaylist", 1);
    };
    trigger("mnuFullPlaylistSendToRecycleBin");
    EXPECT_TRUE(QFile::exists(a));
    EXPECT_EQ(lib().full().count(), 2);
    // ... or a row removed above it: exactly the confirmed file and its row go.
    dialogs.onShow = [&](const ui::ScriptedDialogs::Shown&) { lib().full().removeAt(0); };
    dialogs.answers = {vb::mb::Yes};
    select("lstFullPlaylist", 2);
    trigger("mnuFullPlaylistSendToRecycleBin");
    dialogs.onShow = nullptr;
    EXPECT_FALSE(QFile::exists(b));
    EXPECT_TRUE(QFile::exists(a));
    EXPECT_EQ(lib().full().count(), 0);
    EXPECT_EQ(caption(), "0 Songs");

    // A folder named like a song is never removed; its row stays and the reason is shown.
    const QString folder = dir.filePath(QStringLiteral("x.mp3"));
    ASSERT_TRUE(QDir().mkdir(folder));
    ASSERT_TRUE(testutil::writeAll(folder + QStringLiteral("/inside.mp3"), "keep"));
    // A link goes, what it points to stays; a file already gone just leaves the list.
    const QString target = song(QStringLiteral("target.mp3"));
    const QString link = dir.filePath(QStringLiteral("link.mp3"));
    ASSERT_TRUE(QFile::link(target, link));
    const QString gone = dir.filePath(QStringLiteral("gone.mp3"));
    lib().full().append(SongRow(QStringLiteral("x"), {}, {}, {}, folder));
    lib().full().append(SongRow(QStringLiteral("link"), {}, {}, {}, link));
    lib().full().append(SongRow(QStringLiteral("gone"), {}, {}, {}, gone));
    lib().full().append(SongRow(QStringLiteral("no path"), {}, {}, {}, {}));
    dialogs.shown.clear();
    for (int row : {1, 2, 2, 2}) {
        dialogs.answers = {vb::mb::Yes};
        select("lstFullPlaylist", row);
        trigger("mnuFullPlaylistSendToRecycleBin");
    }
    EXPECT_TRUE(QFile::exists(folder + QStringLiteral("/inside.mp3")));
    EXPECT_FALSE(QFileInfo::exists(link));
    EXPECT_TRUE(QFile::exists(target));
    EXPECT_EQ(files(lib().full()), (QStringList{folder, QString()}));
    // The folder: asked, then refused with the reason; the link and the gone file: asked only;
    // the row without a path: not even asked.
    ASSERT_EQ(dialogs.shown.size(), 4u);
    EXPECT_TRUE(dialogs.shown[1].text.contains(folder) && dialogs.shown[1].text.contains("Is a directory"));
    EXPECT_EQ(dialogs.shown[1].title, "Delete File");

    // The deleted song leaves every list that holds its exact path (a name in other letters is
    // another file), a list whose selected row went selects the row in its place, and the
    // stored lists are written without it at once.
    const QString doomed = song(QStringLiteral("Hit.mp3"));
    const QString other = song(QStringLiteral("hit.mp3"));
    lib().full().clear();
    SongListModel* lists[] = {&lib().full(),       &lib().djPlaylist(), &lib().songBin(),
                              &lib().mostPlayed(), &lib().search(),     &lib().requests()};
    for (SongListModel* m : lists)
        add(*m, {other, doomed, other, doomed});
    select("lstFullPlaylist", 2);
    select("lstMostPlayed", 4);
    select("lstSongBin", 3);
    dialogs.answers = {vb::mb::Yes};
    trigger("mnuFullPlaylistSendToRecycleBin");
    EXPECT_FALSE(QFile::exists(doomed));
    for (SongListModel* m : lists)
        EXPECT_EQ(files(*m), (QStringList{other, other}));
    EXPECT_EQ(listkeys::selectedRow(view("lstFullPlaylist")), 2);
    EXPECT_EQ(listkeys::selectedRow(view("lstMostPlayed")), 2);
    EXPECT_EQ(listkeys::selectedRow(view("lstSongBin")), 2);
    EXPECT_EQ(caption(), "2 Songs");
    EXPECT_EQ(ctl<QLabel>(w.get(), "lblDJPlaylistClick")->text(), "DJ Playlist - 2");
    EXPECT_EQ(ctl<QLabel>(w.get(), "lblNumRequestSongs")->text(), "2");
    for (const char* name : {"FullPlaylist.qnl", "MostPlayedPlaylist.qnl", "DJPlaylist.qnl", "SongBin.qnl"}) {
        const QByteArray stored = testutil::readAll(dir.filePath(QLatin1String(name)));
        EXPECT_EQ(stored.count(QFile::encodeName(other)), 2) << name;
        EXPECT_FALSE(stored.contains(QFile::encodeName(doomed))) << name;
    }
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MenuWindowTest, ADeleteOnAReadOnlyDiskKeepsTheRowAndSaysWhy)
{
    const QString mnt = dir.filePath(QStringLiteral("ro"));
    ASSERT_TRUE(QDir().mkdir(mnt));
    const QByteArray where = QFile::encodeName(mnt);
    if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (tests run as root in CI)";
    const QString path = song(QStringLiteral("ro/locked.mp3"));
    const bool readOnly =
        ::mount("tmpfs", where.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=1m") == 0;
    if (readOnly) {
        add(lib().full(), {path});
        select("lstFullPlaylist", 1);
        dialogs.answers = {vb::mb::Yes};
        trigger("mnuFullPlaylistSendToRecycleBin");
        EXPECT_TRUE(QFile::exists(path));
        EXPECT_EQ(lib().full().count(), 1);
        ASSERT_EQ(dialogs.shown.size(), 2u);
        EXPECT_TRUE(dialogs.shown[1].text.contains("Read-only file system"));
    }
    ::umount2(where.constData(), MNT_DETACH);
    if (!readOnly)
        GTEST_SKIP() << "cannot make the tmpfs read-only";
}

TEST_F(MenuWindowTest, ListCommandsActOnTheirOwnListOnly)
{
    const QString s = song(QStringLiteral("s.mp3"));
    // Rows but none chosen (the menu opened from its button): the row commands do nothing.
    add(lib().djPlaylist(), {s, s});
    view("lstDJPlayList")->selectionModel()->clearSelection();
    for (const char* n : {"mnuDJPlaylistRemove", "mnuDJPlaylistSendToTop", "mnuDJPlaylistMoveUp1", "mnuDJPlaylistLoadA"})
        trigger(n);
    EXPECT_EQ(lib().djPlaylist().count(), 2);
    EXPECT_TRUE(decks().PlayerAFilename.isEmpty());
    EXPECT_EQ(ErrorCount, 0);
    // Remove-all empties its list and shows the count 0, also for an empty list.
    add(lib().songBin(), {s});
    trigger("mnuDJPlaylistClear");
    trigger("mnuDJPlaylistClear");
    EXPECT_EQ(lib().djPlaylist().count(), 0);
    EXPECT_EQ(lib().songBin().count(), 1);
    EXPECT_EQ(ctl<QLabel>(w.get(), "lblDJPlaylistClick")->text(), "DJ Playlist - 0");
    trigger("mnuSongBinRemoveAll");
    EXPECT_EQ(ctl<QLabel>(w.get(), "lblSongBinClick")->text(), "Song Bin - 0");
    // Send To Top on an empty Song Bin does nothing at all.
    trigger("mnuSongBinSendToTop");

    // Add to request: nothing from an empty list; Most Played's plays land in the Genre column.
    trigger("mnuDJAddToRequestList");
    EXPECT_FALSE(NewRequests);
    lib().mostPlayed().append(SongRow(QStringLiteral("t"), QStringLiteral("a"), QStringLiteral("0:10"),
                                      QStringLiteral("7"), s));
    select("lstMostPlayed", 1);
    trigger("mnuMostPlayedRequestList");
    EXPECT_TRUE(NewRequests);
    ASSERT_EQ(lib().requests().count(), 1);
    EXPECT_EQ(lib().requests().cell(0, field::Genre), "7");
    EXPECT_EQ(ctl<QLabel>(w.get(), "lblNumRequestSongs")->text(), "1");

    // Search: only a new search while the list shows its placeholder or nothing.
    lib().search().clear();
    lib().addSearchPlaceholder();
    select("lstSearch", 1);
    trigger("mnuSearchAddRequest");
    trigger("mnuSearchAddDJPlaylist");
    EXPECT_EQ(lib().requests().count(), 1);
    EXPECT_EQ(lib().djPlaylist().count(), 0);
    lib().search().clear();
    add(lib().search(), {s});
    select("lstSearch", 1);
    trigger("mnuSearchAddDJPlaylist");
    EXPECT_EQ(lib().djPlaylist().count(), 1);

    // The key map shows and hides with its close button.
    trigger("mnuFullViewKeyMap");
    EXPECT_FALSE(ctl<QWidget>(w.get(), "txtKeyMap")->isHidden());
    EXPECT_FALSE(ctl<QWidget>(w.get(), "cmdCloseKeyMap")->isHidden());
    trigger("mnuFullViewKeyMap");
    EXPECT_TRUE(ctl<QWidget>(w.get(), "txtKeyMap")->isHidden());

    // The media folder dialog as the menu opens it: no way to quit the program from there.
    bool seen = false;
    startup::environment().runModal = [&](QDialog& d) {
        auto& paths = static_cast<frmMediaPaths&>(d);
        seen = true;
        EXPECT_FALSE(paths.bStartup);
        EXPECT_TRUE(ctl<QWidget>(&paths, "lblNoClose")->isHidden());
    };
    trigger("mnuFullViewMediaPaths");
    startup::resetEnvironment();
    EXPECT_TRUE(seen);
    // The update notes open over the window.
    trigger("mnuFullViewUpdateList");
    auto* notes = w->findChild<frmShowUpdates*>();
    ASSERT_NE(notes, nullptr);
    EXPECT_FALSE(notes->isHidden());
    notes->close();

    // Cancel only closes the menu.
    trigger("mnuFullCancel");
    EXPECT_EQ(lib().djPlaylist().count(), 1);
    EXPECT_EQ(ErrorCount, 0);
}
