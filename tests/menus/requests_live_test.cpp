// Requests arriving while the program runs: the outside writer (the sqlite3 tool) adds a request
// and the main window's housekeeping timer shows it in the Requests list.
#include "core/checkmarks.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "decks/autodjcontroller.h"
#include "library/library.h"
#include "library/requestdb.h"
#include "menus/frmMenu.h"
#include "menus/requestlist.h"
#include "shell/frmMain.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>
#include <algorithm>

namespace {
const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

int writer(const QStringList& args)
{
    int code = -1;
    testutil::run(QStringLiteral("bash"), QStringList{Writer} + args, &code);
    return code;
}

// The real main window in a temporary program folder, with the request database configured.
class RequestsLive : public ::testing::Test {
protected:
    void SetUp() override
    {
        enterProgramFolder(dir.path());
        checkMarks() = CheckMarks();
        ASSERT_EQ(writer({"create", db}), 0);
        ASSERT_TRUE(WriteINI("Requests", "RequestDB", db, configFile()));
    }
    void TearDown() override
    {
        RequestDBPath = requestdb::NoDatabasePath;
        NewRequests = false;
        leaveProgramFolder();
    }

    QTemporaryDir dir;
    const QString db = dir.filePath("requests.db");
};

} // namespace

TEST_F(RequestsLive, ARequestWrittenWhileTheProgramRunsIsListedWithinTwoSeconds)
{
    const QString waiting = testutil::copyMedia("tone10s.mp3", dir.path(), "waiting.mp3");
    const QString fresh = testutil::copyMedia("tone10s.mp3", dir.path(), "it's new.mp3");
    ASSERT_EQ(writer({"add", db, waiting, "2"}), 0);
    // Taken requests look like this: the flag is down after the writer's last reload.
    ASSERT_EQ(writer({"flag", db, "False"}), 0);

    {
        frmMain w;
        ASSERT_NE(w.library, nullptr);
        SongListModel& requests = w.library->requests();
        // The load's database step raises the flag: the first tick lists what was waiting.
        w.steps.openRequestDatabase();
        EXPECT_EQ(RequestDBPath, db);
        w.TimerMessages->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return requests.count() == 1; }, 5000));
        EXPECT_EQ(requests.cell(0, field::Filename), waiting);

        QElapsedTimer since;
        ASSERT_EQ(writer({"add", db, fresh, "5"}), 0);
        since.start();
        const bool listed = QTest::qWaitFor([&] { return requests.count() == 2; }, 2000);
        const qint64 took = since.elapsed();
        ASSERT_TRUE(listed) << "not listed after " << took << " ms";
        std::printf("request listed %lld ms after the writer finished\n", static_cast<long long>(took));
        // Most requested first.
        EXPECT_EQ(requests.cell(0, field::Filename), fresh);
        EXPECT_EQ(requests.cell(1, field::Filename), waiting);
        EXPECT_TRUE(NewRequests);
        w.TimerMessages->stop();
    }
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(RequestsLive, ADatabaseThatNeverAnswersHoldsTheWindowNoLongerThanItsTimeLimit)
{
    // Every table a view over a query that never ends, and every edit a trigger running it: the
    // load's database step, the polls and the Requests commands are each stopped by the time
    // limit, logged, and the window goes on.
    const QString song = testutil::copyMedia("tone10s.mp3", dir.path(), "asked.mp3");
    ASSERT_EQ(writer({"add", db, song}), 0);
    ASSERT_EQ(writer({"endless", db, "Config"}), 0);
    ASSERT_EQ(writer({"endless", db, "UserRequests"}), 0);

    qint64 longest = 0;
    auto timed = [&](const std::function<void()>& step) {
        QElapsedTimer t;
        t.start();
        step();
        longest = std::max(longest, t.elapsed());
    };
    {
        frmMain w;
        ASSERT_NE(w.library, nullptr);
        SongListModel& requests = w.library->requests();
        timed([&] { w.steps.openRequestDatabase(); });
        EXPECT_EQ(RequestDBPath, db);
        EXPECT_EQ(ErrorCount, 1);

        // Three seconds of polls: a 1 ms timer sees every block of the window as a gap.
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer watch;
        watch.setInterval(1);
        QObject::connect(&watch, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
        watch.start();
        sinceTick.restart();
        w.TimerMessages->start();
        QTest::qWait(3000);
        w.TimerMessages->stop();
        watch.stop();
        EXPECT_EQ(ErrorCount, 2) << "the failing poll is logged once";

        // The Requests commands on that database.
        w.library->ParseFiles(song, requests, false);
        w.library->ParseFiles(song, requests, false);
        Library::selectRow(w.requests->view(), 1, false);
        timed([&] { w.requests->lstRequests_DblClick(); });
        EXPECT_EQ(w.library->djPlaylist().count(), 1);
        EXPECT_EQ(requests.count(), 2) << "records that could not be deleted keep the request listed";
        Library::selectRow(w.requests->view(), 1, false);
        timed([&] { w.menus->item("mnuRequestRemoveSel")->trigger(); });
        timed([&] { w.menus->item("mnuRequestsClear")->trigger(); });
        timed([&] { w.menus->item("mnuRequestsEnabled")->trigger(); });
        EXPECT_TRUE(checkMarks().takeRequests);
        EXPECT_EQ(ErrorCount, 6);
    }
    const QString log = QString::fromUtf8(testutil::readAll(dir.filePath("QNLERRORS.log")));
    EXPECT_EQ(log.count("Num=3234"), 6) << log.toStdString();
    std::printf("longest block of the window by a database that never answers: %lld ms\n",
                static_cast<long long>(longest));
}
