#include "libraryfixture.h"
#include "support/testutil.h"

#include <QTest>

namespace {
DeckSong song(const char* file) { return {"Title", "Artist", "3:30", QString::fromUtf8(file)}; }
} // namespace

class MostPlayedTest : public LibraryTest {
protected:
    void row(const char* title, const char* plays, const char* file = nullptr)
    {
        lib->mostPlayed().append(SongRow(title, "", "1:00", plays,
                                         file ? QString(file) : QStringLiteral("/m/") + title + ".mp3"));
    }
    QStringList plays()
    {
        QStringList out;
        for (int i = 0; i < lib->mostPlayed().count(); ++i)
            out << lib->mostPlayed().cell(i, field::Plays);
        return out;
    }
};

TEST_F(MostPlayedTest, CountingAddsOrRaisesTheFirstExactMatch)
{
    bool counted = false;
    lib->AddToMostPlayedA(song("/m/new.mp3"), counted);
    EXPECT_TRUE(counted);
    ASSERT_EQ(lib->mostPlayed().count(), 1);
    const SongRow& r = lib->mostPlayed().at(0);
    EXPECT_EQ(r.cells[field::Title], QStringLiteral("Title"));
    EXPECT_EQ(r.cells[field::Time], QStringLiteral("3:30"));
    EXPECT_EQ(r.cells[field::Plays], QStringLiteral("1"));

    row("x", "41", "/m/x.mp3");
    row("dup", "5", "/m/x.mp3");
    counted = false;
    lib->AddToMostPlayedB(song("/m/x.mp3"), counted);
    EXPECT_TRUE(counted);
    EXPECT_EQ(plays(), (QStringList{"1", "42", "5"}));
    EXPECT_EQ(lib->mostPlayed().cell(1, field::Title), QStringLiteral("x")); // keeps its cells

    lib->AddToMostPlayedA(song("/m/X.mp3"), counted); // another case is another song
    EXPECT_EQ(lib->mostPlayed().count(), 4);
}

TEST_F(MostPlayedTest, NonNumericAndOverflowingCountsAreNotCounted)
{
    row("word", "lots");
    row("max", "2147483647");
    bool counted = false;
    lib->AddToMostPlayedA(song("/m/word.mp3"), counted);
    EXPECT_FALSE(counted);
    EXPECT_EQ(ErrorCount, 0);
    lib->AddToMostPlayedA(song("/m/max.mp3"), counted);
    EXPECT_FALSE(counted);
    EXPECT_EQ(ErrorCount, 1);
    EXPECT_EQ(plays(), (QStringList{"lots", "2147483647"}));
    // Well past the old 16-bit limit counting goes on.
    row("big", "40000");
    lib->AddToMostPlayedA(song("/m/big.mp3"), counted);
    EXPECT_EQ(plays().last(), QStringLiteral("40001"));
}

TEST_F(MostPlayedTest, SortIsStableDescendingAndDropsNonNumericRows)
{
    row("A", "3");
    row("B", "5");
    row("W", "many");
    row("C", "03");
    row("N", "-2");
    row("Z", "0");
    row("D", "5");
    lib->SortMostPlayed_ByPlays();
    EXPECT_EQ(titles(lib->mostPlayed()), (QStringList{"B", "D", "A", "C", "Z", "N"}));
    EXPECT_EQ(plays(), (QStringList{"5", "5", "3", "03", "0", "-2"}));

    lib->mostPlayed().clear();
    row("a", "x");
    row("b", "y");
    lib->SortMostPlayed_ByPlays();
    EXPECT_EQ(lib->mostPlayed().count(), 0);
    lib->SortMostPlayed_ByPlays(); // empty stays empty
    EXPECT_EQ(ErrorCount, 0);

    // A count too big for the program leaves the list as it was, with one logged error.
    row("a", "1");
    row("b", "99999999999");
    row("c", "2");
    lib->SortMostPlayed_ByPlays();
    EXPECT_EQ(titles(lib->mostPlayed()), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(ErrorCount, 1);
}

TEST_F(MostPlayedTest, PeriodicSaveOnTick10802InOrderThenSorts)
{
    std::vector<QString> saved;
    int clockTicks = 0;
    lib->hooks.listSaved = [&](const QString& f) {
        saved.push_back(f);
        EXPECT_EQ(clockTicks, 10802); // the clock is updated before anything is saved
    };
    lib->hooks.updateClock = [&] { ++clockTicks; };
    row("A", "1");
    row("B", "9");
    // The DJ works in Most Played while it is saved and sorted.
    form->show();
    form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
    view("lstMostPlayed")->setFocus();
    for (int i = 0; i < 10801; ++i)
        lib->TimerSaveLists_Timer();
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(lib->iSaveCounter, 10801);
    lib->TimerSaveLists_Timer();
    EXPECT_EQ(saved, (std::vector<QString>{"DJPlaylist.qnl", "FullPlaylist.qnl", "MostPlayedPlaylist.qnl", "SongBin.qnl"}));
    EXPECT_EQ(lib->iSaveCounter, 0);
    EXPECT_EQ(titles(lib->mostPlayed()), (QStringList{"B", "A"}));
    EXPECT_FALSE(view("lstMostPlayed")->isHidden());
    EXPECT_TRUE(view("lstMostPlayed")->hasFocus());
    // The file holds the order from before the sort.
    EXPECT_TRUE(testutil::readAll(path("MostPlayedPlaylist.qnl")).startsWith("\"A\""));
    EXPECT_EQ(testutil::readAll(path("DJPlaylist.qnl")).size(), 0);
    lib->hooks.listSaved = nullptr;
    for (int i = 0; i < 10801; ++i)
        lib->TimerSaveLists_Timer();
    saved.clear();
    lib->hooks.listSaved = [&](const QString& f) { saved.push_back(f); };
    lib->TimerSaveLists_Timer(); // tick 21604
    EXPECT_EQ(saved.size(), 4u);

    // A save that fails while the music plays is said on the message line, the lists of one
    // reason together; the lists stay in memory for the next save, which clears the account.
    AppPath = path("gone");
    lib->iSaveCounter = 10801;
    lib->TimerSaveLists_Timer();
    EXPECT_EQ(label("lblMessages"),
              "Lists not saved: DJ Playlist, Full Playlist, Most Played, Song Bin (No such file or directory)");
    ASSERT_EQ(lib->unsavedLists().size(), 4u);
    EXPECT_EQ(lib->unsavedLists()[0].file, path("gone/DJPlaylist.qnl"));
    AppPath = dir.path();
    lib->iSaveCounter = 10801;
    lib->TimerSaveLists_Timer();
    EXPECT_TRUE(lib->unsavedLists().empty());
}
