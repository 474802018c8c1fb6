#include "core/errorlog.h"
#include "core/vb.h"
#include "platform/ui/dialogs.h"
#include "support/testutil.h"

#include <QDateTime>
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
        ErrorTrapOn = true;
    }
    void TearDown() override
    {
        QLocale::setDefault(oldLocale);
        errorlog::setFolder({});
        errorlog::setErrorsLabel(nullptr);
        errorlog::setClock(nullptr);
        errorlog::setStopTimers(nullptr);
        ErrorTrapOn = false;
    }
    QByteArray log() const { return readAll(dir.filePath("QNLERRORS.log")); }
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

TEST_F(ErrorLog, CounterIs32BitAndGoesPast32767)
{
    static_assert(std::is_same_v<decltype(ErrorCount), std::int32_t>);
    ErrorCount = 32767;
    LogError(6, "Overflow", "B-4");
    EXPECT_EQ(ErrorCount, 32768);
    EXPECT_EQ(label.toolTip(), QString("32768") + kTail);
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

// The fatal path runs in a child process: it ends the program.
TEST_F(ErrorLog, UnwritableLogShowsOneBoxStopsTheTimersAndEnds)
{
    GTEST_FLAG_SET(death_test_style, "fast"); // the child must share this test's folder
    const QString marks = dir.filePath("marks.txt");
    auto mark = [marks](const QByteArray& what) {
        QFile f(marks);
        if (f.open(QIODevice::Append))
            f.write(what + '\n');
    };
    EXPECT_EXIT(
        {
            errorlog::setFolder(dir.filePath("no/such/folder"));
            ui::ScriptedDialogs d;
            // While the box is open a timer fails again: no second box may stack up.
            d.onShow = [&](const ui::ScriptedDialogs::Shown& s) {
                mark("box " + s.text.toUtf8() + " | " + s.title.toUtf8() + " | "
                     + QByteArray::number(s.flags == (vb::mb::OKOnly | vb::mb::Critical)));
                LogError(5, "again", "TimerPlayerA");
            };
            ui::setDialogs(&d);
            errorlog::setStopTimers([&] { mark("timers stopped, tooltip=" + label.toolTip().toUtf8()); });
            LogError(13, "Type mismatch", "B-126");
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(readAll(marks), "timers stopped, tooltip=\n"
                              "box There has been an error plus an error writing to the error log. Exiting program! | "
                              "Error! | 1\n"
                              "timers stopped, tooltip=\n");
}

TEST_F(ErrorLog, CounterOverflowEndsTheProgramAfterItsLine)
{
    GTEST_FLAG_SET(death_test_style, "fast"); // the child must share this test's folder
    EXPECT_EXIT(
        {
            ui::ScriptedDialogs d;
            ui::setDialogs(&d);
            ErrorCount = std::numeric_limits<std::int32_t>::max();
            LogError(6, "Overflow", "B-4");
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_TRUE(log().endsWith("Desc=Overflow, Funtion=B-4\r\n"));
}
