#include "libraryfixture.h"
#include "library/medialist.h"
#include "library/songtag.h"
#include "platform/ui/dialogs.h"
#include "support/testutil.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

namespace {
void touch(const QString& p)
{
    QDir().mkpath(QFileInfo(p).path());
    ASSERT_TRUE(testutil::writeAll(p, "x"));
}
} // namespace

class MediaScanTest : public LibraryTest {
protected:
    // Runs the refresh to its end on the event loop, as the program does.
    void refresh()
    {
        QEventLoop loop;
        QObject::connect(lib.get(), &Library::refreshFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        lib->mnuFullRefreshSongs_Click();
        if (lib->refreshing())
            loop.exec();
    }
    QStringList paths()
    {
        QStringList out;
        for (int i = 0; i < lib->full().count(); ++i)
            out << lib->full().cell(i, field::Filename).mid(dir.path().size());
        return out;
    }
};

TEST_F(MediaScanTest, WalkOrderSubFolderTreesFirstThenOwnFilesByName)
{
    for (const char* f : {"/music/x.mp3", "/music/B/b1.mp3", "/music/A/a2.mp3", "/music/A/Deep/d.mp3",
                          "/music/A/a1.MP3", "/music/song.xmp3", "/music/song.mp3.bak", "/music/.hidden.mp3",
                          "/music/cover.jpg", "/music/mp3", "/other/o.mp3", "/skipped/s.mp3"})
        touch(dir.path() + QLatin1String(f));
    ASSERT_TRUE(medialist::write({{dir.path() + "/music/", "Yes"},
                                  {dir.path() + "/skipped", "No"},
                                  {dir.path() + "/gone", "Yes"},
                                  {dir.path() + "/music/x.mp3", "Yes"}, // a file, not a folder
                                  {dir.path() + "/other", ""}}));
    refresh();
    EXPECT_EQ(paths(), (QStringList{"/music/A/Deep/d.mp3", "/music/A/a1.MP3", "/music/A/a2.mp3", "/music/B/b1.mp3",
                                    "/music/mp3", "/music/song.xmp3", "/music/x.mp3", "/other/o.mp3"}));
    // Bare rows: the file name as title, nothing else until the tag is read.
    const SongListModel& m = lib->full();
    EXPECT_EQ(m.cell(0, field::Title), QStringLiteral("d.mp3"));
    for (int f : {field::Artist, field::Time, field::Genre, field::Edited})
        EXPECT_TRUE(m.cell(0, f).isEmpty());
    EXPECT_EQ(label("lblFullPlaylistNumSongs"), QStringLiteral("8 Songs"));
    EXPECT_FALSE(view("lstFullPlaylist")->isHidden());
    EXPECT_TRUE(lib->bFullMP3);
    EXPECT_EQ(lib->iFullMP3LastIndex, 1);
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MediaScanTest, SymlinkLoopIsWalkedOnce)
{
    touch(dir.path() + "/music/a/song.mp3");
    ASSERT_TRUE(QFile::link(dir.path() + "/music", dir.path() + "/music/a/loop"));
    ASSERT_TRUE(QFile::link(dir.path() + "/music/a", dir.path() + "/music/b"));
    ASSERT_TRUE(medialist::write({{dir.path() + "/music", "Yes"}, {dir.path() + "/music/a", "Yes"}}));
    refresh();
    EXPECT_EQ(paths(), QStringList{"/music/a/song.mp3"});
}

TEST_F(MediaScanTest, NoMediaListMeansEmptyListAndNoMessage)
{
    ui::ScriptedDialogs d;
    ui::setDialogs(&d);
    refresh();
    EXPECT_EQ(lib->full().count(), 0);
    EXPECT_EQ(label("lblFullPlaylistNumSongs"), QStringLiteral("0 Songs"));
    EXPECT_TRUE(d.shown.empty());
    ui::setDialogs(nullptr);
}

TEST_F(MediaScanTest, EmptyMediaListTellsTheUserAndEndsTheProgram)
{
    ASSERT_TRUE(testutil::writeAll(path("MediaList.qnl"), ""));
    ui::ScriptedDialogs d;
    ui::setDialogs(&d);
    bool ended = false;
    lib->hooks.endProgramAtOnce = [&] { ended = true; };
    lib->mnuFullRefreshSongs_Click();
    EXPECT_TRUE(ended);
    ASSERT_EQ(d.shown.size(), 1u);
    EXPECT_EQ(d.shown[0].text, QStringLiteral("No Media Paths! Please restart the program and reconfigure!"));
    EXPECT_EQ(d.shown[0].title, QStringLiteral("Error"));
    EXPECT_EQ(ReadINI("Configured", "Configured", "NULL", configFile()), QStringLiteral("False"));
    ui::setDialogs(nullptr);
}

TEST_F(MediaScanTest, ParseFilesReadsTagAndFallsBackToFileName)
{
    tags["/m/Tagged.mp3"] = SongTag{"Title", "Artist", "Rock", 185};
    EXPECT_TRUE(lib->ParseFiles("/m/Tagged.mp3", view("lstRequests"), false));
    EXPECT_TRUE(lib->ParseFiles("/m/NoTag.Mp3", view("lstRequests"), false));
    EXPECT_TRUE(lib->ParseFiles("/m/mp3", view("lstRequests"), false)); // too short to cut an extension
    EXPECT_FALSE(lib->ParseFiles("/m/song.wav", view("lstRequests"), false));
    const SongListModel& r = lib->requests();
    ASSERT_EQ(r.count(), 3);
    EXPECT_EQ(r.cell(0, field::Title), QStringLiteral("Title"));
    EXPECT_EQ(r.cell(0, field::Time), QStringLiteral("3:05"));
    EXPECT_EQ(r.cell(1, field::Title), QStringLiteral("NoTag"));
    EXPECT_EQ(r.cell(1, field::Time), QStringLiteral("0:00")); // no length read: not the "0:01" of |-1|
    EXPECT_EQ(r.cell(2, field::Title), QStringLiteral("mp3"));
    // The Full Playlist's caption is written whichever list got the row.
    EXPECT_EQ(label("lblFullPlaylistNumSongs"), QStringLiteral("0 Songs"));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MediaScanTest, RealTagsThroughTheMp3Object)
{
    tagReader() = savedReader;
    const QString f = testutil::media("tone10s.mp3");
    if (!QFile::exists(f))
        GTEST_SKIP() << "test media not made";
    EXPECT_TRUE(lib->ParseFiles(f, lib->djPlaylist(), false));
    EXPECT_EQ(lib->djPlaylist().cell(0, field::Time), QStringLiteral("0:10"));
    EXPECT_EQ(lib->djPlaylist().cell(0, field::Title), QStringLiteral("tone10s"));

    // Empty and junk files are songs without a tag or a length, not errors.
    ASSERT_TRUE(testutil::writeAll(path("empty.mp3"), ""));
    ASSERT_TRUE(testutil::writeAll(path("junk.mp3"), QByteArray(5000, '\x5a')));
    EXPECT_TRUE(lib->ParseFiles(path("empty.mp3"), lib->djPlaylist(), false));
    EXPECT_TRUE(lib->ParseFiles(path("junk.mp3"), lib->djPlaylist(), false));
    EXPECT_TRUE(lib->ParseFiles(path("gone.mp3"), lib->djPlaylist(), false));
    EXPECT_EQ(lib->djPlaylist().cell(1, field::Title), QStringLiteral("empty"));
    for (int row : {1, 2, 3}) // no length: 0:00
        EXPECT_EQ(lib->djPlaylist().cell(row, field::Time), QStringLiteral("0:00")) << row;
    EXPECT_EQ(lib->djPlaylist().cell(3, field::Title), QStringLiteral("gone"));
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MediaScanTest, NoSaveWhileARefreshRebuildsTheList)
{
    touch(dir.path() + "/music/a.mp3");
    ASSERT_TRUE(medialist::write({{dir.path() + "/music", "Yes"}}));
    std::vector<QString> saved;
    lib->hooks.listSaved = [&](const QString& f) { saved.push_back(f); };
    lib->iSaveCounter = 10801;
    lib->mnuFullRefreshSongs_Click();
    ASSERT_TRUE(lib->refreshing());
    lib->TimerSaveLists_Timer(); // the save waits for the refresh
    EXPECT_TRUE(saved.empty());
    EXPECT_EQ(lib->iSaveCounter, 10801);
    QEventLoop loop;
    QObject::connect(lib.get(), &Library::refreshFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    lib->TimerSaveLists_Timer();
    EXPECT_EQ(saved.size(), 4u);
    EXPECT_EQ(lib->iSaveCounter, 0);
    EXPECT_TRUE(testutil::readAll(path("FullPlaylist.qnl")).contains("a.mp3"));
}

TEST_F(MediaScanTest, FortyThousandRowsLoadScanAndSaveWholePastTheOld16BitLimit)
{
    QByteArray bytes;
    for (int i = 1; i <= 40000; ++i)
        bytes += QStringLiteral("\"%1\",\"\",\"\",\"\",\"/m/%1.mp3\",\"%2\"\r\n")
                     .arg(i)
                     .arg(i < 39990 ? QStringLiteral("SCANNED") : QString())
                     .toUtf8();
    ASSERT_TRUE(testutil::writeAll(path("FullPlaylist.qnl"), bytes));
    lib->loadStoredLists();
    EXPECT_EQ(lib->full().count(), 40000);
    EXPECT_EQ(label("lblFullPlaylistNumSongs"), QStringLiteral("40000 Songs"));
    EXPECT_EQ(lib->iFullMP3LastIndex, 39990);
    for (int i = 0; i < 11; ++i)
        lib->TimerReadMP3_Timer();
    EXPECT_FALSE(lib->bFullMP3);
    EXPECT_EQ(lib->full().cell(39999, field::Edited), QStringLiteral("SCANNED"));
    lib->SaveFullPlaylist();
    const QByteArray saved = testutil::readAll(path("FullPlaylist.qnl"));
    EXPECT_EQ(saved.count('\n'), 40000);
    EXPECT_TRUE(saved.endsWith("\"/m/40000.mp3\",\"SCANNED\"\r\n"));
}
