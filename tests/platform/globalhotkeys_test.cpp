// The X hotkeys when their X server goes away: the program is told and runs on. A private Xvfb
// of the test's own is started and killed.
#include "platform/hotkeys/globalhotkeys.h"

#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>

// libXtst keeps the state of a record stream until the stream's end, which a lost server never
// sends: that memory is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:XRecordEnableContextAsync\n"; }

TEST(GlobalHotkeys, ALostXServerStopsTheHotkeysAndTheProgramRunsOn)
{
    // The server picks a free display number itself and tells it on its output.
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"),
               {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(5000))
        GTEST_SKIP() << "Xvfb cannot be started";
    ASSERT_TRUE(QTest::qWaitFor([&] { return xvfb.canReadLine(); }, 10000)) << "Xvfb told no display";
    const QString display = QStringLiteral(":") + QString::fromLatin1(xvfb.readLine()).trimmed();

    hotkeys::GlobalHotkeys keys;
    bool lost = false;
    keys.onLost = [&] { lost = true; };
    QString why;
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.start(display, &why); }, 5000)) << why.toStdString();
    EXPECT_TRUE(keys.watchesCtrlE());

    xvfb.terminate(); // the server ends and closes every connection, and removes its lock file
    ASSERT_TRUE(xvfb.waitForFinished(5000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lost; }, 5000));
    EXPECT_FALSE(keys.running());
    keys.stop(); // harmless now
}
