#include "libraryfixture.h"

class TagScanTest : public LibraryTest {
protected:
    void bare(int n)
    {
        for (int i = 1; i <= n; ++i)
            lib->full().append(SongRow(QStringLiteral("%1.mp3").arg(i), {}, {}, {}, QStringLiteral("/m/%1.mp3").arg(i)));
    }
    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            lib->TimerReadMP3_Timer();
    }
    bool scanned(int row) { return lib->full().cell(row - 1, field::Edited) == QLatin1String("SCANNED"); }
};

TEST_F(TagScanTest, ReadsOneRowPerTickAndStopsWhenAllAreRead)
{
    bare(3);
    tags["/m/2.mp3"] = SongTag{"Two", "Band", "Jazz", 65};
    lib->iFullMP3LastIndex = 1;
    lib->bFullMP3 = true;
    tick();
    EXPECT_TRUE(scanned(1));
    EXPECT_FALSE(scanned(2));
    tick(2);
    EXPECT_FALSE(lib->bFullMP3);
    const SongListModel& m = lib->full();
    EXPECT_EQ(m.cell(0, field::Title), QStringLiteral("1"));
    EXPECT_EQ(m.cell(1, field::Title), QStringLiteral("Two"));
    EXPECT_EQ(m.cell(1, field::Artist), QStringLiteral("Band"));
    EXPECT_EQ(m.cell(1, field::Time), QStringLiteral("1:05"));
    EXPECT_EQ(m.cell(1, field::Genre), QStringLiteral("Jazz"));
    EXPECT_EQ(m.cell(1, field::Filename), QStringLiteral("/m/2.mp3"));
    EXPECT_EQ(label("lblFullPlaylistNumSongs"), QStringLiteral("3 Songs"));
    EXPECT_EQ(tagReads, 3);
}

TEST_F(TagScanTest, StopsOnEmptyListOrPositionPastTheEnd)
{
    lib->bFullMP3 = true;
    tick();
    EXPECT_FALSE(lib->bFullMP3);
    bare(2);
    lib->bFullMP3 = true;
    lib->iFullMP3LastIndex = 3;
    tick();
    EXPECT_FALSE(lib->bFullMP3);
    EXPECT_EQ(tagReads, 0);
}

TEST_F(TagScanTest, DeletionDuringScanWrapsBackToTheRowItPassed)
{
    // 200 unread rows, the scan at 120 when row 50 goes: the row now at 119 is passed by; after
    // the last row the scan returns to 119, reads it, passes 120..199 one per tick and stops.
    bare(200);
    for (int r = 1; r < 120; ++r)
        if (r != 50)
            lib->full().setCell(r - 1, field::Edited, "SCANNED");
    lib->iFullMP3LastIndex = 120;
    lib->bFullMP3 = true;
    lib->full().removeAt(49);
    tick(199 - 120 + 1); // reads 120..199
    EXPECT_TRUE(lib->bFullMP3);
    EXPECT_EQ(lib->iFullMP3LastIndex, 119);
    EXPECT_FALSE(scanned(119));
    tick();
    EXPECT_TRUE(scanned(119));
    EXPECT_EQ(lib->iFullMP3LastIndex, 120);
    tick(80); // passes the marked rows 120..199
    EXPECT_EQ(lib->iFullMP3LastIndex, 200);
    EXPECT_TRUE(lib->bFullMP3);
    tick();
    EXPECT_FALSE(lib->bFullMP3);
    EXPECT_EQ(tagReads, 81);
}

TEST_F(TagScanTest, LastRowAlreadyReadEndsTheScanThere)
{
    bare(3);
    lib->full().setCell(2, field::Edited, "SCANNED");
    lib->iFullMP3LastIndex = 2;
    lib->bFullMP3 = true;
    tick(3);
    EXPECT_FALSE(lib->bFullMP3);
    EXPECT_FALSE(scanned(1));
}

TEST_F(TagScanTest, UnreadableRowIsLoggedOnceAndPassedOver)
{
    bare(3);
    throwFor = "/m/3.mp3";
    lib->full().setCell(1, field::Filename, "/m/2.wav"); // an edited file can hold anything
    lib->iFullMP3LastIndex = 1;
    lib->bFullMP3 = true;
    tick(10);
    EXPECT_FALSE(lib->bFullMP3);
    EXPECT_TRUE(scanned(1));
    EXPECT_FALSE(scanned(2));
    EXPECT_FALSE(scanned(3));
    EXPECT_EQ(ErrorCount, 1);
    EXPECT_EQ(tagReads, 2);
}

TEST_F(TagScanTest, ColumnSortMovesRowsButReadsLandInTheRightRow)
{
    bare(3);
    tags["/m/3.mp3"] = SongTag{"Three", "", "", 10};
    lib->full().sortByColumn(5, Qt::DescendingOrder); // 3, 2, 1
    lib->iFullMP3LastIndex = 1;
    lib->bFullMP3 = true;
    tick();
    EXPECT_EQ(lib->full().cell(0, field::Title), QStringLiteral("Three"));
    EXPECT_EQ(lib->full().cell(0, field::Filename), QStringLiteral("/m/3.mp3"));
}
