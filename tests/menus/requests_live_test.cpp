// Requests arriving while the program runs: the outside writer (the sqlite3 tool) adds a request
// and the main window's housekeeping timer shows it in the Requests list.
#include "core/errorlog.h"
#include "core/settings.h"
#include "decks/autodjcontroller.h"
#include "library/library.h"
#include "menus/checkmarks.h"
#include "menus/requestdb.h"
#include "shell/frmMain.h"
#include "support/testutil.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {
const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

int writer(const QStringList& args)
{
    int code = -1;
    testutil::run(QStringLiteral("bash"), QStringList{Writer} + args, &code);
    return code;
}
} // namespace

TEST(RequestsLive, ARequestWrittenWhileTheProgramRunsIsListedWithinTwoSeconds)
{
    QTemporaryDir dir;
    AppPath = dir.path();
    errorlog::setFolder(dir.path());
    ErrorTrapOn = true;
    ErrorCount = 0;
    checkMarks() = CheckMarks();
    const QString db = dir.filePath("requests.db");
    ASSERT_EQ(writer({"create", db}), 0);
    const QString waiting = testutil::copyMedia("tone10s.mp3", dir.path(), "waiting.mp3");
    const QString fresh = testutil::copyMedia("tone10s.mp3", dir.path(), "it's new.mp3");
    ASSERT_EQ(writer({"add", db, waiting, "2"}), 0);
    // Taken requests look like this: the flag is down after the writer's last reload.
    ASSERT_EQ(writer({"flag", db, "False"}), 0);
    ASSERT_TRUE(WriteINI("Requests", "RequestDB", db, configFile()));

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
    RequestDBPath = requestdb::NoDatabasePath;
    NewRequests = false;
    ErrorTrapOn = false;
    errorlog::setFolder({});
}
