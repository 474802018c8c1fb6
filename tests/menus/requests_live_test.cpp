// Requests arriving while the program runs: the outside writer (the sqlite3 tool) adds a request
// and the main window's housekeeping timer shows it in the Requests list.
#include "core/checkmarks.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "decks/autodjcontroller.h"
#include "library/library.h"
#include "library/requestlink.h"
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

TEST_F(RequestsLive, TwoHundredThousandPendingRequestsAreAllListed)
{
    const int n = 200000;
    ASSERT_EQ(writer({"many", db, QString::number(n), "2000"}), 0);
    {
        frmMain w;
        ASSERT_NE(w.library, nullptr);
        SongListModel& requests = w.library->requests();
        QElapsedTimer since;
        since.start();
        w.steps.openRequestDatabase();
        w.TimerMessages->start();
        // Far more than the program needs; a loaded machine running the suite is slow.
        ASSERT_TRUE(QTest::qWaitFor([&] { return requests.count() == n; }, 120000)) << requests.count();
        std::printf("%d requests listed %lld ms after the start\n", n, static_cast<long long>(since.elapsed()));
        w.TimerMessages->stop();
        EXPECT_EQ(requests.cell(0, field::Filename), QStringLiteral("/m/song 6.mp3"));
        EXPECT_EQ(requests.cell(n - 1, field::Filename), QStringLiteral("/m/song %1.mp3").arg(n - n % 7));
        EXPECT_TRUE(NewRequests);
    }
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(RequestsLive, ADatabaseThatNeverAnswersNeverHoldsTheWindow)
{
    // Every table a view over a query that never ends, and every edit a trigger running it: the
    // load's database step, the polls and the Requests commands are each stopped by the time
    // limit on the database's thread and logged, and the window goes on meanwhile.
    const QString song = testutil::copyMedia("tone10s.mp3", dir.path(), "asked.mp3");
    ASSERT_EQ(writer({"add", db, song}), 0);
    ASSERT_EQ(writer({"endless", db, "Config"}), 0);
    ASSERT_EQ(writer({"endless", db, "UserRequests"}), 0);
    const int limitMs = 1500; // the program's is seconds longer

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
        requestdb::RequestLink& link = w.library->requestLink();
        link.setTimeLimitMs(limitMs);
        SongListModel& requests = w.library->requests();
        timed([&] { w.steps.openRequestDatabase(); });
        EXPECT_EQ(RequestDBPath, db);

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

        // The Requests commands on that database.
        w.library->ParseFiles(song, requests, false);
        w.library->ParseFiles(song, requests, false);
        Library::selectRow(w.requests->view(), 1, false);
        timed([&] { w.requests->lstRequests_DblClick(); });
        EXPECT_EQ(w.library->djPlaylist().count(), 1);
        Library::selectRow(w.requests->view(), 1, false);
        timed([&] { w.menus->item("mnuRequestRemoveSel")->trigger(); });
        w.library->ParseFiles(song, requests, false);
        timed([&] { w.menus->item("mnuRequestsClear")->trigger(); });
        timed([&] { w.menus->item("mnuRequestsEnabled")->trigger(); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return link.idle(); }, 60000));
        watch.stop();
        EXPECT_TRUE(checkMarks().takeRequests) << "the writer could not be told: the mark is as it was";
        // The load's step, the poll (once, however often it failed) and three commands: Clear had
        // nothing of the database to delete, as no reload ever listed a request.
        EXPECT_EQ(ErrorCount, 5);
    }
    const QString log = QString::fromUtf8(testutil::readAll(dir.filePath("QNLERRORS.log")));
    EXPECT_EQ(log.count("Num=3234"), 5) << log.toStdString();
    std::printf("longest block of the window by a database that never answers: %lld ms\n",
                static_cast<long long>(longest));
    // Had the window waited for the database, it would have been held for the time limit.
    EXPECT_LT(longest, limitMs);
}
