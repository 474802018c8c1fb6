#include "libraryfixture.h"
#include "library/listfile.h"
#include "platform/ui/dialogs.h"
#include "support/testutil.h"

#include <QFileInfo>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

using testutil::readAll;
using testutil::writeAll;

TEST_F(LibraryTest, SavedRowsAreExactBytesInDisplayOrder)
{
    lib->full().append(SongRow("Say \"Hi\"", "A & B", "3:05", "R&B", "/m/Say.mp3", "SCANNED"));
    lib->full().append(SongRow("x.mp3", "", "", "", "/m/x.mp3"));
    lib->SaveFullPlaylist();
    EXPECT_EQ(readAll(path("FullPlaylist.qnl")),
              QByteArray("\"Say CHR(34)HiCHR(34)\",\"A & B\",\"3:05\",\"R&B\",\"/m/Say.mp3\",\"SCANNED\"\r\n"
                         "\"x.mp3\",\"\",\"\",\"\",\"/m/x.mp3\",\"\"\r\n"));

    lib->mostPlayed().append(SongRow("T", "A", "1:00", "7", "/m/t.mp3"));
    lib->SaveMostPlayed();
    EXPECT_EQ(readAll(path("MostPlayedPlaylist.qnl")), QByteArray("\"T\",\"A\",\"1:00\",\"7\",\"/m/t.mp3\"\r\n"));

    // A sorted list is stored sorted; an empty list leaves an empty file.
    fill(lib->djPlaylist(), {"b", "a"});
    lib->djPlaylist().sortByColumn(1, Qt::AscendingOrder);
    lib->SaveDJPlaylist();
    EXPECT_TRUE(readAll(path("DJPlaylist.qnl")).startsWith("\"a\""));
    lib->SaveSongBin();
    EXPECT_TRUE(QFileInfo::exists(path("SongBin.qnl")));
    EXPECT_EQ(readAll(path("SongBin.qnl")).size(), 0);
    EXPECT_EQ(ErrorCount, 0);

    // A file that cannot be written is logged, and the one before it stays.
    AppPath = path("missing-folder");
    lib->SaveDJPlaylist();
    EXPECT_EQ(ErrorCount, 1);
    AppPath = dir.path();
    EXPECT_TRUE(readAll(path("DJPlaylist.qnl")).startsWith("\"a\""));
}

TEST_F(LibraryTest, RoundTripKeepsQuotesCommasAccentsMarksAndTurnsLiteralMarkIntoQuote)
{
    const SongRow rows[] = {
        SongRow("\"Live\", 1999", "Bj\u00f6rk", "4:01", "Pop", "/m/\"odd\", name.mp3", "SCANNED"),
        SongRow("Text CHR(34) here", "", "0:01", "", "/m/b.mp3", ""),
        // A field may begin with U+FEFF (it looks like a byte-order mark, but it is text).
        SongRow("\ufeffIntro", "\ufeff", "\ufeff\ufeff1:00", "Pop\ufeff", "/m/\ufeffc.mp3", ""),
    };
    for (const SongRow& r : rows)
        lib->full().append(r);
    lib->SaveFullPlaylist();
    lib->full().clear();
    lib->LoadFullPlaylist(path("FullPlaylist.qnl"));
    ASSERT_EQ(lib->full().count(), 3);
    for (int f = 0; f < 6; ++f) {
        EXPECT_EQ(lib->full().cell(0, f), rows[0].cells[f]) << f;
        EXPECT_EQ(lib->full().cell(2, f), rows[2].cells[f]) << f;
    }
    EXPECT_EQ(lib->full().cell(1, field::Title), QStringLiteral("Text \" here"));
    EXPECT_EQ(label("lblFullPlaylistNumSongs"), QStringLiteral("3 Songs"));
}

TEST_F(LibraryTest, TruncatedLastRowKeepsCompleteRowsAndLogsOnce)
{
    ASSERT_TRUE(writeAll(path("DJPlaylist.qnl"), "\"a\",\"\",\"1:00\",\"\",\"/m/a.mp3\"\r\n"
                                                 "\"b\",\"\",\"1:00\",\"\",\"/m/b.mp3\"\r\n"
                                                 "\"c\",\"\",\"1:0"));
    lib->LoadDJPlaylist();
    EXPECT_EQ(titles(lib->djPlaylist()), (QStringList{"a", "b"}));
    EXPECT_EQ(label("lblDJPlaylistClick"), QStringLiteral("DJ Playlist - 2"));
    EXPECT_EQ(ErrorCount, 1);
    EXPECT_TRUE(readAll(path("QNLERRORS.log")).contains("LoadDJPlaylist"));
}

TEST_F(LibraryTest, BadFilesNeverCrashOrInventRows)
{
    struct Case {
        QByteArray bytes;
        int rows;
        int errors;
    };
    const Case cases[] = {
        {"", 0, 0},
        {"\"a\",\"b\",\"c\",\"d\",\"e\"", 1, 0},                          // no CR LF after the last line
        {"\"a\",\"b\",\"c\",\"d\",\"e\"\r\"f\",\"g\",\"h\",\"i\",\"j\"\r", 2, 0}, // CR only
        {"\"a\",\"b\",\"c\",\"d\",\"e\"\n\"f\",\"g\",\"h\",\"i\",\"j\"\n", 2, 0}, // LF only
        {"\"a\",\"b\",\"c\",\"d\",\"e\"\r\n\r\n\r\n", 1, 0},                // blank lines after the last row
        {"\"a\",\"b\",\"c\",\"d\",\"e\",\"x\"\r\n\"f\",\"g\",\"h\",\"i\",\"j\"\r\n", 2, 1}, // a long line
        // Rows without a file name are no songs: skipped, and logged once for the file. A short
        // line lacks the file name as well.
        {"\"a\",\"b\",\"c\",\"d\"\r\n\"f\",\"g\",\"h\",\"i\",\"j\"\r\n", 1, 1},
        {",,,,\r\n\"\",\"\",\"\",\"\",\"\"\r\n\"f\",\"g\",\"h\",\"i\",\"j\"\r\n\"t\",\"\",\"\",\"\",\" \"\r\n,,,,", 1, 1},
        {",,,,\r\n,,,,\r\n", 0, 1},
        {"\r\n\r\n", 0, 0},
        {QByteArray(30 * 1024 * 1024, 'a'), 0, 1},                       // one 30 MB field, cut off
        {QByteArray("\xff\xfe\x00\x01garbage", 9), 0, 1},
    };
    for (const Case& c : cases) {
        lib->songBin().clear();
        ErrorCount = 0;
        ASSERT_TRUE(writeAll(path("SongBin.qnl"), c.bytes));
        lib->LoadSongBin();
        EXPECT_EQ(lib->songBin().count(), c.rows) << c.bytes.left(80).toStdString();
        EXPECT_EQ(ErrorCount, c.errors) << c.bytes.left(80).toStdString();
        if (c.rows > 0 && c.bytes.contains("\"j\"")) { // the lines around a damaged one are whole
            EXPECT_EQ(lib->songBin().cell(c.rows - 1, field::Filename), QStringLiteral("j"));
        }
    }
    EXPECT_TRUE(readAll(path("QNLERRORS.log")).contains("4 row(s) without a file name skipped in " + path("SongBin.qnl").toUtf8()));
    // A missing file is no error and changes nothing.
    QFile::remove(path("SongBin.qnl"));
    ErrorCount = 0;
    lib->LoadSongBin();
    EXPECT_EQ(ErrorCount, 0);
}

// A damaged or hostile list file of millions of rows would take gigabytes as a list: it is
// refused whole before that, with a message, and no save writes over it while it is there.
TEST_F(LibraryTest, AListFileTooLargeForMemoryIsRefusedAndNeverSavedOver)
{
    ui::ScriptedDialogs dialogs;
    ui::setDialogs(&dialogs);
    lib->listMemoryBudget = 8 << 20; // a list may take 8 MB here: some 10,000 short rows
    const QByteArray row = "\"a\",\"\",\"3:00\",\"\",\"/m/a.mp3\",\"SCANNED\"\r\n";
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"empty rows", QByteArray("\"\"\r\n").repeated(100000)},
        {"rows split by lone CRs", row + QByteArray("\"\",\"\",\"\",\"\",\"\",\"\"\r").repeated(100000)},
        {"more bytes than a list may take", QByteArray(3 << 20, 'x')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ErrorCount = 0;
        dialogs.shown.clear();
        lib->full().clear();
        ASSERT_TRUE(writeAll(path("FullPlaylist.qnl"), c.bytes));
        lib->LoadFullPlaylist(path("FullPlaylist.qnl"));
        EXPECT_EQ(lib->full().count(), 0);
        ASSERT_EQ(dialogs.shown.size(), 1u);
        EXPECT_TRUE(dialogs.shown[0].text.startsWith("The list file " + path("FullPlaylist.qnl") + " is too large"));
        EXPECT_EQ(ErrorCount, 1);
        // Whatever the list holds later, the file stays as it is.
        fill(lib->full(), {"new"});
        lib->SaveFullPlaylist();
        EXPECT_EQ(readAll(path("FullPlaylist.qnl")), c.bytes);
        EXPECT_EQ(ErrorCount, 2);
    }
    // Once the user moved it away (or replaced it), the list is saved again.
    ASSERT_TRUE(QFile::remove(path("FullPlaylist.qnl")));
    lib->SaveFullPlaylist();
    EXPECT_TRUE(readAll(path("FullPlaylist.qnl")).startsWith("\"new\""));
    // A list within the budget loads whole.
    ASSERT_TRUE(writeAll(path("SongBin.qnl"), QByteArray("\"b\",\"\",\"\",\"\",\"/m/b.mp3\"\r\n").repeated(5000)));
    lib->LoadSongBin();
    EXPECT_EQ(lib->songBin().count(), 5000);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    ui::setDialogs(nullptr);
}

TEST_F(LibraryTest, LoadedRowsFollowRowsAlreadyThere)
{
    fill(lib->mostPlayed(), {"x"});
    ASSERT_TRUE(writeAll(path("MostPlayedPlaylist.qnl"), "\"a\",\"\",\"1:00\",\"3\",\"/m/a.mp3\"\r\n"));
    lib->LoadMostPlayedPlaylist();
    EXPECT_EQ(titles(lib->mostPlayed()), (QStringList{"x", "a"}));
    EXPECT_EQ(lib->mostPlayed().data(lib->mostPlayed().index(1, 0), Qt::DisplayRole).toString(), QStringLiteral("2"));
}

TEST_F(LibraryTest, StartupLoadResumesTagScanAtFirstUnreadRow)
{
    QByteArray bytes;
    for (int i = 1; i <= 200; ++i) {
        const QString f[6] = {QString::number(i), "", "", "", QStringLiteral("/m/%1.mp3").arg(i),
                              i <= 100 ? QStringLiteral("SCANNED") : QString()};
        listfile::appendLine(bytes, f, 6);
    }
    ASSERT_TRUE(writeAll(path("FullPlaylist.qnl"), bytes));
    ASSERT_TRUE(writeAll(path("SongBin.qnl"), "\"s\",\"\",\"\",\"\",\"/m/s.mp3\"\r\n"));
    lib->loadStoredLists();
    EXPECT_EQ(lib->full().count(), 200);
    EXPECT_TRUE(lib->bFullMP3);
    EXPECT_EQ(lib->iFullMP3LastIndex, 101);
    EXPECT_EQ(lib->songBin().count(), 1);
    EXPECT_EQ(label("lblSongBinClick"), QStringLiteral("Song Bin - 1"));

    // Only while the Full Playlist is empty.
    lib->loadStoredLists();
    EXPECT_EQ(lib->full().count(), 200);
}

TEST_F(LibraryTest, KillDuringSaveLeavesAWholeFile)
{
    // The child saves two different big lists over and over; whenever it is killed, the file
    // on disk is one of the two, whole.
    for (int i = 0; i < 20000; ++i)
        lib->full().append(SongRow(QStringLiteral("Song %1").arg(i), "Artist", "3:00", "Rock",
                                   QStringLiteral("/music/folder/%1.mp3").arg(i), "SCANNED"));
    lib->SaveFullPlaylist();
    const QByteArray first = readAll(path("FullPlaylist.qnl"));
    lib->full().setCell(0, field::Title, QStringLiteral("Changed"));
    lib->SaveFullPlaylist();
    const QByteArray second = readAll(path("FullPlaylist.qnl"));
    ASSERT_NE(first, second);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        for (int i = 0;; ++i) {
            lib->full().setCell(0, field::Title, i % 2 ? QStringLiteral("Changed") : QStringLiteral("Song 0"));
            lib->SaveFullPlaylist();
        }
    }
    usleep(300 * 1000);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    const QByteArray now = readAll(path("FullPlaylist.qnl"));
    EXPECT_TRUE(now == first || now == second) << now.size();
}

// Another program cuts a list file short while it loads (a copy over it, a sync tool, a network
// share), here while the rows are being parsed: a loader that mapped the file would lose its
// pages and die of SIGBUS; ours has read the bytes and loads every row.
TEST_F(LibraryTest, ListCutShortByAnotherProgramWhileItsRowsAreParsedLoadsWhatWasRead)
{
    QByteArray big;
    for (int i = 0; i < 50000; ++i)
        big += QStringLiteral("\"Song %1\",\"Artist\",\"3:00\",\"Rock\",\"/music/%1.mp3\"\r\n").arg(i).toUtf8();
    ASSERT_TRUE(writeAll(path("DJPlaylist.qnl"), big));
    lib->hooks.listRead = [](const QString& file) {
        const pid_t child = fork();
        if (child == 0)
            _exit(::truncate(QFile::encodeName(file).constData(), 1000) == 0 ? 0 : 1);
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_EQ(QFileInfo(file).size(), 1000);
    };
    lib->LoadDJPlaylist();
    EXPECT_EQ(lib->djPlaylist().count(), 50000);
    EXPECT_EQ(lib->djPlaylist().cell(49999, field::Title), QStringLiteral("Song 49999"));
    EXPECT_EQ(ErrorCount, 0);
}
