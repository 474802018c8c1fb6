#include "core/errorlog.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "support/smalldisk.h"
#include "support/testutil.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLocale>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <limits>
#include <type_traits>

using testutil::readAll;

namespace {

// A temporary log folder, a pinned clock and the US English locale for one test.
class ErrorLog : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QLabel label;
    QLocale oldLocale;

    void SetUp() override
    {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        errorlog::setFolder(dir.path());
        errorlog::setErrorsLabel(&label);
        errorlog::setClock([] { return QDateTime(QDate(2005, 3, 14), QTime(21, 5, 7)); });
        ErrorCount = 0;
        ErrorMsgShown = false;
        ErrorTrapOn = true;
        ui::setDialogs(&boxes);
    }
    void TearDown() override
    {
        QLocale::setDefault(oldLocale);
        errorlog::setFolder({});
        errorlog::setErrorsLabel(nullptr);
        errorlog::setClock(nullptr);
        ui::setDialogs(nullptr);
        ErrorTrapOn = false;
        errorlog::setClosing(false);
    }
    QByteArray log() const { return readAll(dir.filePath("QNLERRORS.log")); }
    void setTime(const QTime& t)
    {
        errorlog::setClock([t] { return QDateTime(QDate(2005, 3, 14), t); });
    }

    ui::ScriptedDialogs boxes;
};

const char* const kTail = " errors logged!  Please contact Morbrec Solutions to send the error log for analysis!";

} // namespace

TEST_F(ErrorLog, LinesAreWrittenByteForByteAndCounted)
{
    EXPECT_FALSE(QFile::exists(dir.filePath("QNLERRORS.log")));
    LogError(13, "Type mismatch", "B-126");
    EXPECT_EQ(log(), "Error: Num=13, Date=3/14/2005 9:05:07 PM, Desc=Type mismatch, Funtion=B-126\r\n");
    EXPECT_EQ(label.toolTip(), QString("1") + kTail);

    LogError(-5, "", "C-29");
    LogError(75, "Path, or file\r\naccess error", "lblScanYesNo_MousUp");
    EXPECT_EQ(log(), "Error: Num=13, Date=3/14/2005 9:05:07 PM, Desc=Type mismatch, Funtion=B-126\r\n"
                     "Error: Num=-5, Date=3/14/2005 9:05:07 PM, Desc=, Funtion=C-29\r\n"
                     "Error: Num=75, Date=3/14/2005 9:05:07 PM, Desc=Path, or file\r\naccess error, "
                     "Funtion=lblScanYesNo_MousUp\r\n");
    EXPECT_EQ(ErrorCount, 3);
    EXPECT_EQ(label.toolTip(), QString("3") + kTail);
}

TEST_F(ErrorLog, DateFieldFollowsTheLocaleAndDropsMidnight)
{
    EXPECT_EQ(errorlog::formatDate(QDateTime(QDate(2005, 3, 14), QTime(0, 0, 0))), "3/14/2005");
    EXPECT_EQ(errorlog::formatDate(QDateTime(QDate(2005, 3, 14), QTime(0, 0, 1))), "3/14/2005 12:00:01 AM");
    EXPECT_EQ(errorlog::formatDate(QDateTime(QDate(1999, 12, 1), QTime(13, 0, 0))), "12/1/1999 1:00:00 PM");
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(errorlog::formatDate(QDateTime(QDate(2005, 3, 14), QTime(21, 5, 7))), "14.03.2005 21:05:07");
}

TEST_F(ErrorLog, CounterIs32BitGoesPast32767AndStopsAtItsTop)
{
    static_assert(std::is_same_v<decltype(ErrorCount), std::int32_t>);
    ErrorCount = 32767;
    LogError(6, "Overflow", "B-4");
    EXPECT_EQ(ErrorCount, 32768);
    EXPECT_EQ(label.toolTip(), QString("32768") + kTail);

    // At the top the line is still written and the count stays; the program goes on.
    ErrorCount = std::numeric_limits<std::int32_t>::max();
    LogError(6, "Overflow", "B-5");
    EXPECT_TRUE(log().endsWith("Desc=Overflow, Funtion=B-5\r\n"));
    EXPECT_EQ(ErrorCount, std::numeric_limits<std::int32_t>::max());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(ErrorLog, TrapLogsWhileOnAndPassesFailuresOnWhileOff)
{
    bool after = false;
    trap("B-99", [&] {
        raiseError(9, "Subscript out of range");
        after = true;
    });
    EXPECT_FALSE(after);
    EXPECT_TRUE(log().endsWith("Desc=Subscript out of range, Funtion=B-99\r\n"));
    EXPECT_EQ(trapResult("B-98", 7, [] () -> int { raiseError(5, "Invalid procedure call or argument"); }), 7);
    EXPECT_EQ(trapResult("B-98", 7, [] { return 3; }), 3);
    EXPECT_EQ(ErrorCount, 2);

    ErrorTrapOn = false;
    EXPECT_THROW(trap("B-99", [] { raiseError(91, "Object variable or With block variable not set"); }), RuntimeError);
    EXPECT_EQ(ErrorCount, 2);
}

// A log that cannot be written no longer ends the program (and the music with it): the user is
// told once, logging pauses, and it resumes by itself once the log can be written again.
TEST_F(ErrorLog, UnwritableLogTellsOncePausesAndResumes)
{
    const QString later = dir.filePath("later");
    errorlog::setFolder(later); // not there yet
    setTime(QTime(21, 0, 0));
    // While the box is open a timer fails again: no second box may stack up.
    int nested = 0;
    boxes.onShow = [&](const ui::ScriptedDialogs::Shown&) {
        ++nested;
        LogError(5, "again", "TimerPlayerA");
    };
    LogError(13, "Type mismatch", "B-126");
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "There has been an error plus an error writing to the error log (No such file or "
                                   "directory). Quenlow keeps playing; errors are not logged until the log can be "
                                   "written again.");
    EXPECT_EQ(boxes.shown[0].title, "Error!");
    EXPECT_EQ(boxes.shown[0].flags, vb::mb::OKOnly | vb::mb::Critical);
    EXPECT_EQ(nested, 1);
    EXPECT_TRUE(ErrorMsgShown);
    EXPECT_TRUE(errorlog::paused());
    EXPECT_EQ(ErrorCount, 0);
    EXPECT_EQ(label.toolTip(), "");

    // The folder is back, but the pause holds: nothing is tried for RetrySeconds.
    ASSERT_TRUE(QDir().mkpath(later));
    setTime(QTime(21, 0, errorlog::RetrySeconds - 1));
    LogError(9, "during the pause", "B-7");
    EXPECT_FALSE(QFile::exists(later + "/QNLERRORS.log"));

    // After it the next error is written, counted and shown; logging goes on as before.
    setTime(QTime(21, 0, errorlog::RetrySeconds));
    LogError(9, "after the pause", "B-7");
    LogError(9, "and on", "B-8");
    EXPECT_FALSE(errorlog::paused());
    EXPECT_EQ(readAll(later + "/QNLERRORS.log"),
              "Error: Num=9, Date=3/14/2005 9:00:30 PM, Desc=after the pause, Funtion=B-7\r\n"
              "Error: Num=9, Date=3/14/2005 9:00:30 PM, Desc=and on, Funtion=B-8\r\n");
    EXPECT_EQ(ErrorCount, 2);
    EXPECT_EQ(label.toolTip(), QString("2") + kTail);

    // A later failure pauses again without a second box in the same run.
    ASSERT_TRUE(QDir(later).removeRecursively());
    LogError(9, "gone again", "B-9");
    EXPECT_TRUE(errorlog::paused());
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(ErrorCount, 2);
    EXPECT_EQ(errorlog::lastFailure(), "No such file or directory");

    // While the program closes, no box says it keeps playing (not even the first of a run): every
    // line is tried, pause or not, one that fails goes to the standard error, and the close
    // learns why.
    ErrorMsgShown = false;
    errorlog::setClosing(true);
    testing::internal::CaptureStderr();
    LogError(75, "Path/File access error: Permission denied", "SaveDJPlaylist");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(err, "Error: Num=75, Date=3/14/2005 9:00:30 PM, Desc=Path/File access error: Permission denied, "
                   "Funtion=SaveDJPlaylist\n");
    EXPECT_EQ(errorlog::lastFailure(), "No such file or directory");
    ASSERT_TRUE(QDir().mkpath(later));
    LogError(75, "written", "SaveSongBin");
    EXPECT_TRUE(readAll(later + "/QNLERRORS.log").endsWith("Desc=written, Funtion=SaveSongBin\r\n"));
    EXPECT_EQ(errorlog::lastFailure(), "");
    EXPECT_EQ(ErrorCount, 3);
}

// On a real full disk: a line that does not fit is not left half written, and the reason is the
// system's own.
TEST_F(ErrorLog, FullDiskLeavesNoHalfLine)
{
    SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    errorlog::setFolder(disk.path());
    LogError(13, "Type mismatch", "B-126");
    const QByteArray before = readAll(disk.filePath("QNLERRORS.log"));
    ASSERT_FALSE(before.isEmpty());
    disk.fill();
    // Longer than the rest of the log's last page, which still takes the first part of it.
    LogError(5, QString(6000, QChar('x')), "B-127");
    EXPECT_EQ(readAll(disk.filePath("QNLERRORS.log")), before);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.contains("(No space left on device)")) << boxes.shown[0].text.toStdString();
    EXPECT_EQ(ErrorCount, 1);
    EXPECT_EQ(label.toolTip(), QString("1") + kTail);
}
