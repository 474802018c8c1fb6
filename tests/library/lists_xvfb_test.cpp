// The song lists on a real X server, driven by real key presses from xdotool: a search typed
// into the box, Down into the hits, Numpad 1 (Num Lock on) loading the hit into deck A; then
// Enter on a DJ Playlist row sending it to the Song Bin. Run by tests/e2e/lists_xvfb.sh; on any
// other platform these tests are skipped.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "library/listviews.h"
#include "library/search.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "shell/frmMain.h"
#include "support/engines.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QGuiApplication>
#include <QLineEdit>
#include <QProcess>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

bool xdotool(const QStringList& args) { return QProcess::execute(QStringLiteral("xdotool"), args) == 0; }

class ListsXvfb : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<frmMain> w;

    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs an X server (run by tests/e2e/lists_xvfb.sh)";
        startFreshRun(dir.path(), dialogs);
        ASSERT_TRUE(startBothEngines());
        w = std::make_unique<frmMain>();
    }

    void TearDown() override
    {
        if (!w)
            return;
        releaseDeckStreams();
        w.reset();
        resetDeckWorld();
        leaveProgramFolder();
    }

    QString song(const char* medium, const char* name)
    {
        return testutil::copyMedia(QLatin1String(medium), dir.path(), QLatin1String(name));
    }
    void keys(const QStringList& names)
    {
        ASSERT_TRUE(xdotool(QStringList{"key", "--delay", "80"} + names));
        QTest::qWait(150);
    }
};

} // namespace

TEST_F(ListsXvfb, SearchDownNumpad1LoadsDeckAAndEnterSendsToTheSongBin)
{
    Library& lib = *w->library;
    lib.full().append(SongRow("Alpha", "Someone", "0:10", "Pop", song("tone10s.mp3", "alpha.mp3"), "SCANNED"));
    lib.full().append(SongRow("Test Title", "Test Artist", "0:10", "Rock", song("tagged.mp3", "tagged.mp3"), "SCANNED"));
    lib.full().append(SongRow("Gamma", "Band", "0:10", "Pop", song("tone10s.mp3", "gamma.mp3"), "SCANNED"));
    lib.djPlaylist().append(SongRow("One", "Band", "0:10", "Pop", song("tone10s.mp3", "one.mp3")));
    lib.djPlaylist().append(SongRow("Two", "Band", "0:10", "Pop", song("tone10s.mp3", "two.mp3")));

    w->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    ctl<QTreeView>(w.get(), "lstFullPlaylist")->setFocus();
    QTest::qWait(100);

    // A DJ keeps Num Lock on: the keypad sends its digits.
    keys({"Num_Lock"});
    keys({"s"});
    auto* txt = ctl<QLineEdit>(w.get(), "txtSearch");
    ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == txt; }, 5000));
    ASSERT_TRUE(xdotool({"type", "--delay", "60", "test art"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return txt->text() == QLatin1String("test art"); }, 5000)) << txt->text().toStdString();
    // The letters went into the box; none of them switched the view.
    EXPECT_FALSE(ctl<QWidget>(w.get(), "ViewSearchSongs")->isHidden());

    keys({"Return"});
    LibrarySearch& search = w->listViews->search();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !search.matching() && !search.refreshing(); }, 10000));
    ASSERT_EQ(lib.search().count(), 1);
    EXPECT_EQ(lib.search().cell(0, field::Title), "Test Title");

    keys({"Down", "KP_1"});
    auto* title = ctl<SkinControl>(w.get(), "lblPlayerATitle");
    EXPECT_TRUE(QTest::qWaitFor([&] { return title->text() == QLatin1String("Test Title - Test Artist"); }, 5000))
        << title->text().toStdString();
    EXPECT_EQ(deckState().PlayerAFilename, lib.search().cell(0, field::Filename));
    EXPECT_EQ(lib.search().count(), 1); // the hit stays

    // The DJ Playlist: D shows it, Down to the second row, Enter sends that row to the Song Bin.
    keys({"d", "Down", "Return"});
    EXPECT_TRUE(QTest::qWaitFor([&] { return lib.songBin().count() == 1; }, 5000));
    ASSERT_EQ(lib.djPlaylist().count(), 1);
    EXPECT_EQ(lib.djPlaylist().cell(0, field::Title), "One");
    EXPECT_EQ(lib.songBin().cell(0, field::Title), "Two");
    EXPECT_EQ(ctl<SkinControl>(w.get(), "lblSongBinClick")->text(), "Song Bin - 1");
    EXPECT_EQ(ErrorCount, 0);
}
