#include "core/errorlog.h"
#include "core/timetext.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

TEST(SecondsToTime, MinutesColonTwoDigitSeconds)
{
    const std::pair<double, const char*> cases[] = {
        {0, "0:00"}, {5, "0:05"}, {59.9, "0:59"}, {65, "1:05"}, {600, "10:00"}, {3725, "62:05"}, {-65.5, "1:05"},
        {-1, "0:01"}, {1966079, "32767:59"},
    };
    for (const auto& [sec, text] : cases)
        EXPECT_EQ(SecondsToTime(sec), QString::fromLatin1(text)) << sec;
    // A song's play time: -1 (a missing, empty or unreadable file) has no length and shows 0:00.
    const std::pair<double, const char*> playTimes[] = {{-1, "0:00"}, {-0.5, "0:00"}, {0, "0:00"}, {0.99, "0:00"},
                                                        {1, "0:01"}, {250.05, "4:10"}};
    for (const auto& [sec, text] : playTimes)
        EXPECT_EQ(PlayTimeText(sec), QString::fromLatin1(text)) << sec;
}

TEST(SecondsToTime, OverflowIsLoggedAndGivesEmptyText)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    ErrorTrapOn = true;
    const int before = ErrorCount;
    EXPECT_EQ(SecondsToTime(1966080), QString());
    EXPECT_EQ(ErrorCount, before + 1);
    ErrorTrapOn = false;
    errorlog::setFolder({});
}
