// The library inside the real main window: the load reads the stored lists into the views and
// resumes the tag scan, or refreshes an empty library; the orderly close writes the four files.
#include "core/errorlog.h"
#include "core/genres.h"
#include "core/settings.h"
#include "library/library.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "shell/frmMain.h"
#include "shell/sessionend.h"
#include "support/testutil.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

class MainWindowLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        ErrorTrapOn = true;
        ErrorCount = 0;
    }
    void TearDown() override
    {
        w.reset();
        ErrorTrapOn = false;
        errorlog::setFolder({});
        errorlog::setClosing(false);
    }
    void open()
    {
        w = std::make_unique<frmMain>();
        for (auto* s : {&w->steps.installKeyboardHook, &w->steps.openRequestDatabase, &w->steps.closeStartupWindows,
                        &w->steps.stopDecks, &w->steps.closeStreams, &w->steps.closeEngines,
                        &w->steps.removeKeyboardHook, &w->steps.endProgram})
            *s = [] {};
    }
    QTreeView* view(const char* name) { return w->findChild<QTreeView*>(QLatin1String(name)); }
    QString caption(const char* name) { return w->findChild<QLabel*>(QLatin1String(name))->text(); }
    QString file(const char* name) { return dir.filePath(QLatin1String(name)); }

    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;
};

TEST_F(MainWindowLibraryTest, LoadFillsTheViewsAndCloseWritesTheFiles)
{
    const QByteArray full = "\"One\",\"A\",\"3:00\",\"Rock\",\"/m/1.mp3\",\"SCANNED\"\r\n"
                            "\"2.mp3\",\"\",\"\",\"\",\"/m/2.mp3\",\"\"\r\n";
    const QByteArray dj = "\"Q\",\"B\",\"1:00\",\"Pop\",\"/m/q.mp3\"\r\n";
    const QByteArray most = "\"M\",\"C\",\"2:00\",\"4\",\"/m/m.mp3\"\r\n";
    ASSERT_TRUE(testutil::writeAll(file("FullPlaylist.qnl"), full));
    ASSERT_TRUE(testutil::writeAll(file("DJPlaylist.qnl"), dj));
    ASSERT_TRUE(testutil::writeAll(file("MostPlayedPlaylist.qnl"), most));
    open();
    w->showMain();
    ASSERT_NE(w->library, nullptr);
    // The keys start on the list the window opens with, not on a deck's pitch slider.
    EXPECT_EQ(w->focusWidget(), view("lstFullPlaylist"));
    EXPECT_EQ(view("lstFullPlaylist")->model()->rowCount(), 2);
    EXPECT_EQ(view("lstFullPlaylist")->model()->index(1, 5).data().toString(), QStringLiteral("/m/2.mp3"));
    EXPECT_EQ(caption("lblFullPlaylistNumSongs"), QStringLiteral("2 Songs"));
    EXPECT_EQ(caption("lblDJPlaylistClick"), QStringLiteral("DJ Playlist - 1"));
    EXPECT_EQ(view("lstMostPlayed")->model()->rowCount(), 1);
    EXPECT_EQ(view("lstSearch")->model()->index(0, 1).data().toString(), QStringLiteral("No Songs Found!"));
    EXPECT_TRUE(w->library->bFullMP3);
    EXPECT_EQ(w->library->iFullMP3LastIndex, 2);
    EXPECT_FALSE(w->library->refreshing());

    // Up and Down buttons of the DJ view act on the visible list.
    w->library->djPlaylist().append(SongRow("R", "", "", "", "/m/r.mp3"));
    Library::selectRow(view("lstDJPlayList"), 2, false);
    emit w->findChild<SkinControl*>("picDJPlaylistUp")->Click();
    EXPECT_EQ(w->library->djPlaylist().cell(0, field::Title), QStringLiteral("R"));

    QFile::remove(file("FullPlaylist.qnl"));
    w->CloseAll();
    EXPECT_EQ(testutil::readAll(file("FullPlaylist.qnl")), full);
    EXPECT_EQ(testutil::readAll(file("MostPlayedPlaylist.qnl")), most);
    EXPECT_TRUE(testutil::readAll(file("DJPlaylist.qnl")).startsWith("\"R\""));
    EXPECT_TRUE(QFile::exists(file("SongBin.qnl")));
    EXPECT_EQ(ErrorCount, 0);
}

// Lists that cannot be saved at the close are not lost without a word: Exit names them and the
// reason in one box (the log's own box, which would say the program plays on, is not shown), a
// session end says so in the log, and either way the program ends with status 1.
TEST_F(MainWindowLibraryTest, ListsNotSavedAtTheCloseAreNamedAndTheStatusIsNotZero)
{
    ui::ScriptedDialogs boxes;
    ui::setDialogs(&boxes);
    const QString gone = dir.filePath("gone");
    for (const bool exitLabel : {true, false}) {
        SCOPED_TRACE(exitLabel ? "Exit" : "the session's end");
        boxes.shown.clear();
        ErrorMsgShown = false;
        errorlog::setClosing(false);
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        QFile::remove(file("QNLERRORS.log"));
        ASSERT_TRUE(testutil::writeAll(file("FullPlaylist.qnl"), "\"F\",\"A\",\"3:00\",\"Rock\",\"/m/f.mp3\",\"SCANNED\"\r\n"));
        ASSERT_TRUE(testutil::writeAll(file("DJPlaylist.qnl"), "\"Q\",\"B\",\"1:00\",\"Pop\",\"/m/q.mp3\"\r\n"));
        open();
        w->showMain();
        ASSERT_TRUE(w->listsLoaded());
        w->library->djPlaylist().append(SongRow("R", "", "", "", "/m/r.mp3"));
        // The program folder (and at Exit the log's folder too) cannot be written any more.
        AppPath = gone;
        if (exitLabel) {
            errorlog::setFolder(gone);
            w->CloseAll();
        } else {
            session::closeUnattended([this] { w->Form_Unload(); });
        }
        EXPECT_EQ(w->exitStatus(), 1);
        const QStringList lists = {"Full Playlist (FullPlaylist.qnl): No such file or directory",
                                   "Most Played (MostPlayedPlaylist.qnl): No such file or directory",
                                   "DJ Playlist (DJPlaylist.qnl): No such file or directory",
                                   "Song Bin (SongBin.qnl): No such file or directory"};
        if (exitLabel) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].title, "Lists Not Saved");
            EXPECT_EQ(boxes.shown[0].flags, vb::mb::OKOnly | vb::mb::Critical);
            EXPECT_EQ(boxes.shown[0].text,
                      "These song lists could not be saved in " + gone + ":\r\n\r\n" + lists.join("\r\n")
                          + "\r\n\r\nTheir files keep what was last saved in them; the changes since are lost."
                            "\r\n\r\nThe error log could not be written either (No such file or directory)."
                            "\r\n\r\nQuenlow ends now.");
        } else {
            EXPECT_TRUE(boxes.shown.empty());
            const QString log = QString::fromUtf8(testutil::readAll(file("QNLERRORS.log")));
            EXPECT_TRUE(log.contains("Desc=The session ended and these song lists could not be saved in " + gone + ": "
                                     + lists.join("; ")
                                     + ". Their files keep what was last saved in them; the changes since are lost., "
                                       "Funtion=CloseAll\r\n"))
                << log.toStdString();
        }
        EXPECT_EQ(testutil::readAll(file("DJPlaylist.qnl")), QByteArray("\"Q\",\"B\",\"1:00\",\"Pop\",\"/m/q.mp3\"\r\n"));
        w.reset();
    }
    errorlog::setClosing(false);
    ui::setDialogs(nullptr);
}

TEST_F(MainWindowLibraryTest, EmptyLibraryIsRefreshedAndAnExitMidRefreshKeepsTheOldFile)
{
    QDir().mkpath(dir.filePath("music/a"));
    ASSERT_TRUE(testutil::writeAll(dir.filePath("music/a/song.mp3"), "x"));
    ASSERT_TRUE(testutil::writeAll(file("MediaList.qnl"), "\"" + dir.filePath("music").toUtf8() + "\",\"Yes\"\r\n"));
    ASSERT_TRUE(testutil::writeAll(file("FullPlaylist.qnl"), ""));
    open();
    w->showMain();
    EXPECT_TRUE(w->library->refreshing());
    EXPECT_TRUE(view("lstFullPlaylist")->isHidden());
    EXPECT_EQ(w->focusWidget(), w.get()); // the window holds the keys until the list is back
    EXPECT_EQ(w->messages.caption(), QStringLiteral("Refreshing Full Playlist From Media Root In Background..."));

    // Saving while the walk runs keeps the file of the last whole list.
    ASSERT_TRUE(testutil::writeAll(file("FullPlaylist.qnl"), "old"));
    w->library->SaveFullPlaylist();
    EXPECT_EQ(testutil::readAll(file("FullPlaylist.qnl")), QByteArray("old"));

    QEventLoop loop;
    QObject::connect(w->library, &Library::refreshFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_FALSE(w->library->refreshing());
    EXPECT_FALSE(view("lstFullPlaylist")->isHidden());
    EXPECT_EQ(w->focusWidget(), view("lstFullPlaylist"));
    EXPECT_EQ(caption("lblFullPlaylistNumSongs"), QStringLiteral("1 Songs"));
    EXPECT_EQ(w->messages.caption(), QStringLiteral("Messages Will Appear Here"));
    EXPECT_TRUE(w->library->bFullMP3);
}

TEST_F(MainWindowLibraryTest, ViewsShowEveryColumnAndCountWholeAtEveryFontSizeButNeitherNumNorEdited)
{
    open();
    w->resize(1024, 768);
    w->show();
    w->library->full().append(SongRow("Title", "Artist", "3:05", "R&B", "/m/a.mp3", "SCANNED"));
    QTreeView* v = view("lstFullPlaylist");
    EXPECT_EQ(v->model()->columnCount(), 7);
    EXPECT_EQ(v->columnWidth(0), 0);
    EXPECT_LE(v->columnWidth(6), 1);
    EXPECT_GT(v->columnWidth(1), 50);
    EXPECT_EQ(v->model()->index(0, 0).data().toString(), QStringLiteral("1"));
    EXPECT_EQ(v->model()->index(0, 4).data().toString(), QStringLiteral("R&B"));
    EXPECT_EQ(v->model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Genre"));
    EXPECT_EQ(view("lstMostPlayed")->model()->headerData(4, Qt::Horizontal).toString(), QStringLiteral("Plays"));
    EXPECT_EQ(view("lstSortMostPlayed")->model()->columnCount(), 6);
    EXPECT_EQ(view("lstDJPlayList")->model()->columnCount(), 6);

    // The count beside a view button shows a library of 100,000 songs whole.
    std::vector<SongRow> many(100000);
    w->library->full().appendRows(std::move(many));
    w->library->updateCountLabels();
    for (const char* name : {"lblNumFullPlaylist", "lblNumDJPlaylist", "lblNumMostPlayed", "lblNumRequestSongs"}) {
        auto* box = w->findChild<QLabel*>(QLatin1String(name));
        EXPECT_LE(box->fontMetrics().horizontalAdvance(QStringLiteral("100000")), box->contentsRect().width()) << name;
    }
    EXPECT_EQ(caption("lblNumFullPlaylist"), QStringLiteral("100001"));
    w->library->full().clear();

    // At every list font size a time up to 59:59, every genre name, a six-digit play count and
    // every heading fit their columns whole (as the view's own cells measure them), and the
    // Filename column takes the rest of the list's width.
    const char* lists[] = {"lstFullPlaylist", "lstDJPlayList", "lstSongBin", "lstMostPlayed", "lstSearch", "lstRequests"};
    for (const char* name : lists) {
        SongListModel& m = w->library->modelOf(view(name));
        const bool plays = m.kind() == SongListModel::Kind::MostPlayed;
        for (int g = 0; g < GenreCount; ++g)
            m.append(SongRow("Title", "Artist", "59:59", plays ? QStringLiteral("123456") : GenreName(g), "/m/a.mp3"));
    }
    for (const char* size : {"Normal", "Large", "Largest"}) {
        SCOPED_TRACE(size);
        w->ChangePlaylistFont(QLatin1String(size));
        QCoreApplication::processEvents();
        for (const char* name : lists) {
            QTreeView* lv = view(name);
            for (int c = 1; c <= 5; ++c) {
                EXPECT_GE(lv->columnWidth(c), lv->header()->sectionSizeHint(c)) << name << " heading " << c;
                EXPECT_GE(lv->columnWidth(c), static_cast<QAbstractItemView*>(lv)->sizeHintForColumn(c)) << name << " cells " << c;
            }
        }
        int used = 0;
        for (int c = 0; c < v->model()->columnCount(); ++c)
            used += v->columnWidth(c);
        EXPECT_EQ(used, v->viewport()->width());
        EXPECT_EQ(v->horizontalScrollBar()->maximum(), 0);
    }
    // The designed widths stand at the normal size wherever their texts fit.
    w->ChangePlaylistFont(QStringLiteral("Normal"));
    EXPECT_EQ(v->columnWidth(1), 220);
    EXPECT_EQ(v->columnWidth(2), 160);
    EXPECT_EQ(v->columnWidth(3), 50);
}
