// The X hotkeys when their X server goes away: the program is told and runs on. A private Xvfb
// of the test's own is started and killed.
#include "platform/hotkeys/globalhotkeys.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <gtest/gtest.h>
#include <unistd.h>

// libXtst keeps the state of a record stream until the stream's end, which a lost server never
// sends: that memory is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:XRecordEnableContextAsync\n"; }

TEST(GlobalHotkeys, ALostXServerStopsTheHotkeysAndTheProgramRunsOn)
{
    // A display number no other test uses.
    const int number = 600 + int(getpid() % 300);
    const QString display = QStringLiteral(":%1").arg(number);
    QProcess xvfb;
    xvfb.start(QStringLiteral("Xvfb"), {display, QStringLiteral("-nolisten"), QStringLiteral("tcp")});
    if (!xvfb.waitForStarted(5000))
        GTEST_SKIP() << "Xvfb cannot be started";
    const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(number);
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(socket); }, 10000));

    hotkeys::GlobalHotkeys keys;
    bool lost = false;
    keys.onLost = [&] { lost = true; };
    QString why;
    // The server may still be setting up its listener when the socket appears.
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.start(display, &why); }, 5000)) << why.toStdString();
    EXPECT_TRUE(keys.watchesCtrlE());

    xvfb.kill();
    xvfb.waitForFinished(5000);
    EXPECT_TRUE(QTest::qWaitFor([&] { return lost; }, 5000));
    EXPECT_FALSE(keys.running());
    keys.stop(); // harmless now
}
