#include "libraryfixture.h"

#include <QScrollBar>

class QueueTest : public LibraryTest {
protected:
    void select(const char* list, int k) { Library::selectRow(view(list), k, false); }
    int selected(const char* list) { return Library::selectedRow(view(list)); }
};

TEST_F(QueueTest, AddToDJListReadsTheFileAfreshAndQueuesRepeats)
{
    fill(lib->full(), {"A", "B"});
    tags["/m/B.mp3"] = SongTag{"New B", "New Artist", "Pop", 200};
    select("lstFullPlaylist", 2);
    lib->AddToDJList(view("lstFullPlaylist"), 0);
    lib->AddToDJList(view("lstFullPlaylist"), 2);
    lib->AddToDJList(view("lstFullPlaylist"), 1);
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"New B", "New B", "A"}));
    EXPECT_EQ(lib->djPlaylist().cell(0, field::Time), QStringLiteral("3:20"));
    EXPECT_EQ(label("lblDJPlaylistClick"), QStringLiteral("DJ Playlist - 3"));

    // A row that is not an MP3 by name adds nothing; the caption is still written.
    lib->full().setCell(0, field::Filename, "/m/A.wav");
    form->findChild<QLabel*>("lblDJPlaylistClick")->setText("x");
    lib->AddToDJList(view("lstFullPlaylist"), 1);
    EXPECT_EQ(lib->djPlaylist().count(), 3);
    EXPECT_EQ(label("lblDJPlaylistClick"), QStringLiteral("DJ Playlist - 3"));
}

TEST_F(QueueTest, AddToDJListClearsOnlyTheAutoDJHint)
{
    QLabel* msg = form->findChild<QLabel*>("lblMessages");
    msg->setText("Need Songs In DJ Playlist To Use Auto-DJ!");
    lib->AddToDJList(view("lstFullPlaylist"), 1); // empty source: nothing at all
    EXPECT_EQ(msg->text(), QStringLiteral("Need Songs In DJ Playlist To Use Auto-DJ!"));
    fill(lib->full(), {"A"});
    lib->AddToDJList(view("lstFullPlaylist"), 1);
    EXPECT_EQ(msg->text(), QStringLiteral("Messages Will Appear Here"));
    msg->setText("Other");
    lib->AddToDJList(view("lstFullPlaylist"), 1);
    EXPECT_EQ(msg->text(), QStringLiteral("Other"));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(QueueTest, RemoveFromListRenumbersAndSelectsTheNeighbour)
{
    fill(lib->djPlaylist(), {"A", "B", "C", "D", "E"});
    select("lstDJPlayList", 5);
    lib->RemoveFromList(view("lstDJPlayList"));
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"A", "B", "C", "D"}));
    EXPECT_EQ(selected("lstDJPlayList"), 4);
    select("lstDJPlayList", 2);
    lib->RemoveFromList(view("lstDJPlayList"));
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"A", "C", "D"}));
    EXPECT_EQ(selected("lstDJPlayList"), 2);
    EXPECT_EQ(lib->djPlaylist().data(lib->djPlaylist().index(2, 0), Qt::DisplayRole).toString(), QStringLiteral("3"));
    EXPECT_EQ(label("lblDJPlaylistClick"), QStringLiteral("DJ Playlist - 3"));

    fill(lib->mostPlayed(), {"M"});
    select("lstMostPlayed", 1);
    lib->RemoveFromList(view("lstMostPlayed"));
    EXPECT_EQ(lib->mostPlayed().count(), 0);
    EXPECT_EQ(label("lblSongBinClick"), QStringLiteral("Song Bin - 0"));

    // Rows but no selection: logged, nothing removed.
    view("lstDJPlayList")->selectionModel()->clear();
    lib->RemoveFromList(view("lstDJPlayList"));
    EXPECT_EQ(lib->djPlaylist().count(), 3);
    EXPECT_EQ(ErrorCount, 1);
}

TEST_F(QueueTest, SendToTopUpAndDown)
{
    fill(lib->djPlaylist(), {"A", "B", "C", "D", "E", "F"});
    select("lstDJPlayList", 4);
    lib->SendSongToTopList();
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"D", "A", "B", "C", "E", "F"}));
    EXPECT_EQ(selected("lstDJPlayList"), 1);
    lib->SendSongToTopList(); // already at the top: only reselects
    EXPECT_EQ(titles(lib->djPlaylist()).first(), QStringLiteral("D"));

    lib->djPlaylist().clear();
    fill(lib->djPlaylist(), {"A", "B", "C", "D"});
    select("lstDJPlayList", 3);
    lib->picDJPlaylistUp_Click();
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"A", "C", "B", "D"}));
    EXPECT_EQ(selected("lstDJPlayList"), 2);
    select("lstDJPlayList", 3);
    lib->picDJPlaylistDown_Click();
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"A", "C", "D", "B"}));
    EXPECT_EQ(selected("lstDJPlayList"), 4);
    lib->picDJPlaylistDown_Click(); // last row stays
    select("lstDJPlayList", 1);
    lib->picDJPlaylistUp_Click(); // first row stays
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"A", "C", "D", "B"}));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(QueueTest, SongBinTabMovesSongBinRows)
{
    view("lstDJPlayList")->hide();
    fill(lib->songBin(), {"A", "B"});
    select("lstSongBin", 2);
    lib->picDJPlaylistUp_Click();
    EXPECT_EQ(titles(lib->songBin()), (QStringList{"B", "A"}));
    lib->picDJPlaylistDown_Click();
    EXPECT_EQ(titles(lib->songBin()), (QStringList{"A", "B"}));
    EXPECT_EQ(lib->djPlaylist().count(), 0);
    // With the DJ Playlist tab chosen and empty, nothing happens.
    view("lstDJPlayList")->show();
    lib->picDJPlaylistUp_Click();
    lib->SendSongToTopList();
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(QueueTest, RemoveFromListLeavesTheScrollPositionAlone)
{
    // The user may have scrolled away from the selection; removing it selects the neighbour
    // without dragging the list back to it.
    form->resize(400, 200);
    QTreeView* dj = view("lstDJPlayList");
    dj->setGeometry(0, 0, 400, 200);
    form->show();
    QStringList many;
    for (int i = 1; i <= 300; ++i)
        many << QString::number(i);
    fill(lib->djPlaylist(), many);
    Library::selectRow(dj, 250, true);
    dj->scrollToTop();
    ASSERT_EQ(dj->verticalScrollBar()->value(), 0);
    lib->RemoveFromList(dj);
    EXPECT_EQ(selected("lstDJPlayList"), 250);
    EXPECT_EQ(lib->djPlaylist().cell(249, field::Title), QStringLiteral("251"));
    EXPECT_EQ(dj->verticalScrollBar()->value(), 0);
    // Scrolling stays on for the user's own moves.
    EXPECT_TRUE(dj->hasAutoScroll());
}
