// Saves on a real full disk: every file the program keeps stays as it was, and the failure is
// logged with the system's reason.
#include "libraryfixture.h"
#include "library/medialist.h"
#include "support/smalldisk.h"
#include "support/testutil.h"

#include <QDir>

using testutil::readAll;

TEST_F(LibraryTest, FullDiskKeepsEveryFileAsItWasAndSaysWhy)
{
    SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    AppPath = disk.path(); // settings and lists on the small disk, the error log beside the test
    const QStringList lists = {"FullPlaylist.qnl", "DJPlaylist.qnl", "SongBin.qnl", "MostPlayedPlaylist.qnl"};
    auto saveAll = [&] {
        lib->SaveFullPlaylist();
        lib->SaveDJPlaylist();
        lib->SaveSongBin();
        lib->SaveMostPlayed();
    };
    auto addRow = [&](const QString& title) {
        for (SongListModel* m : {&lib->full(), &lib->djPlaylist(), &lib->songBin(), &lib->mostPlayed()})
            fill(*m, {title});
    };

    ASSERT_TRUE(WriteINI("PROG", "FIRSTRUN", "DONE", configFile()));
    addRow("Old");
    saveAll();
    ASSERT_TRUE(medialist::write({{"/music/old", "Yes"}}));
    QStringList names = lists;
    names << "config.ini" << "MediaList.qnl";
    std::map<QString, QByteArray> before;
    for (const QString& n : names) {
        before[n] = readAll(disk.filePath(n));
        ASSERT_FALSE(before[n].isEmpty()) << n.toStdString();
    }
    ASSERT_EQ(ErrorCount, 0);

    disk.fill();
    addRow("New");
    saveAll();
    EXPECT_FALSE(WriteINI("PROG", "FontSize", "12", configFile()));
    QString why;
    EXPECT_FALSE(medialist::write({{"/music/old", "Yes"}, {"/music/new", "Yes"}}, medialist::fileName(), &why));
    EXPECT_EQ(why, "No space left on device");

    for (const QString& n : names)
        EXPECT_EQ(readAll(disk.filePath(n)), before[n]) << n.toStdString();
    QStringList left = QDir(disk.path()).entryList(QDir::Files);
    left.sort();
    EXPECT_EQ(left, QStringList({"DJPlaylist.qnl", "FullPlaylist.qnl", "MediaList.qnl", "MostPlayedPlaylist.qnl",
                                 "SongBin.qnl", "config.ini", "config.ini.lock", "filler"}))
        << "no half-written file is left behind";
    const QString log = QString::fromUtf8(readAll(path("QNLERRORS.log")));
    for (const char* where : {"SaveFullPlaylist", "SaveDJPlaylist", "SaveSongBin", "SaveMostPlayed", "WriteINI"})
        EXPECT_TRUE(log.contains(QStringLiteral("No space left on device, Funtion=") + where)) << where << "\n"
                                                                                               << log.toStdString();
    EXPECT_EQ(ErrorCount, 5);
    // The lists not saved are known, with the reason, for the exit to name them.
    ASSERT_EQ(lib->unsavedLists().size(), 4u);
    for (const Library::UnsavedList& u : lib->unsavedLists())
        EXPECT_EQ(u.why, "No space left on device") << u.name.toStdString();

    // With room again the same saves go through.
    disk.makeRoom();
    saveAll();
    EXPECT_TRUE(lib->unsavedLists().empty());
    for (const QString& n : lists)
        EXPECT_TRUE(readAll(disk.filePath(n)).contains("\"New\"")) << n.toStdString();
}
