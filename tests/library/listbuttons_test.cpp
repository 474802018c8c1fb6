// The load and queue buttons beside the lists, in the real main window with both engines on
// the manual clock: which list they act on, whether the loaded row leaves its list, and the
// search list's "no hits" row.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/crossfader.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "library/listbuttons.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "shell/frmMain.h"
#include "support/engines.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QTemporaryDir>
#include <QTreeView>
#include <gtest/gtest.h>

class ListButtonsTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<frmMain> w;
    QString song;

    void SetUp() override
    {
        startFreshRun(dir.path(), dialogs);
        ASSERT_TRUE(startBothEngines());
        w = std::make_unique<frmMain>();
        ASSERT_NE(w->listButtons, nullptr);
        song = testutil::copyMedia("tone10s.mp3", dir.path(), QStringLiteral("song.mp3"));
        ASSERT_FALSE(song.isEmpty());
    }

    void TearDown() override
    {
        releaseDeckStreams();
        w.reset();
        resetDeckWorld();
        leaveProgramFolder();
    }

    void click(const char* button) { emit ctl<SkinControl>(w.get(), button)->Click(); }
    QTreeView* view(const char* name) { return ctl<QTreeView>(w.get(), name); }
    void fill(SongListModel& list, const char* viewName, int rows)
    {
        for (int i = 0; i < rows; ++i)
            w->library->ParseFiles(song, list, false);
        Library::selectRow(view(viewName), 1, false);
    }
};

TEST_F(ListButtonsTest, FullPlaylistButtonsLoadWithoutRemovingAndQueue)
{
    fill(w->library->full(), "lstFullPlaylist", 2);
    click("picFullPlaylistAddA");
    EXPECT_EQ(deckState().PlayerAFilename, song);
    EXPECT_NE(deckState().StreamA, 0);
    click("picFullPlaylistAddB");
    EXPECT_EQ(deckState().PlayerBFilename, song);
    EXPECT_EQ(w->library->full().count(), 2);

    click("picFullQInDJPlaylist");
    EXPECT_EQ(w->library->djPlaylist().count(), 1);
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(ListButtonsTest, DjViewRemovesFromTheQueueOnlyWhileMarkedAndAlwaysFromTheBin)
{
    fill(w->library->djPlaylist(), "lstDJPlayList", 3);
    checkMarks().removeWhenLoading = false;
    click("picDJPlaylistAddA");
    EXPECT_EQ(deckState().PlayerAFilename, song);
    EXPECT_EQ(w->library->djPlaylist().count(), 3);

    checkMarks().removeWhenLoading = true;
    click("picDJPlaylistAddB");
    EXPECT_EQ(deckState().PlayerBFilename, song);
    EXPECT_EQ(w->library->djPlaylist().count(), 2);

    // The Song Bin shown in place of the queue: its loads always remove the row.
    fill(w->library->songBin(), "lstSongBin", 2);
    view("lstDJPlayList")->hide();
    view("lstSongBin")->show();
    checkMarks().removeWhenLoading = false;
    click("picDJPlaylistAddA");
    EXPECT_EQ(w->library->songBin().count(), 1);
    EXPECT_EQ(w->library->djPlaylist().count(), 2);
}

TEST_F(ListButtonsTest, SearchButtonsDoNothingWhileTheListShowsNoHits)
{
    w->library->addSearchPlaceholder();
    ASSERT_TRUE(w->listButtons->searchShowsNoHits());
    click("picSearchPlaylistAddA");
    click("picQInDJPlaylistSearch");
    EXPECT_TRUE(deckState().PlayerAFilename.isEmpty());
    EXPECT_EQ(w->library->djPlaylist().count(), 0);

    w->library->search().clear();
    fill(w->library->search(), "lstSearch", 1);
    EXPECT_FALSE(w->listButtons->searchShowsNoHits());
    click("picSearchPlaylistAddA");
    click("picQInDJPlaylistSearch");
    EXPECT_EQ(deckState().PlayerAFilename, song);
    EXPECT_EQ(w->library->djPlaylist().count(), 1);
    EXPECT_EQ(w->library->search().count(), 1);
}
