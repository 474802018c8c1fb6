// The X hotkeys when their X server goes away: the program is told and runs on, and giving the
// keys back on the way out does not hang even before the loss was noticed. Private Xvfbs of the
// test's own are started and killed.
#include "platform/hotkeys/globalhotkeys.h"

#include "support/childprocess.h"

#include <QTest>
#include <gtest/gtest.h>

#include <csignal>

// libXtst keeps the state of a record stream until the stream's end, which a lost server never
// sends: that memory is the library's, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:XRecordEnableContextAsync\n"; }

TEST(GlobalHotkeys, ALostXServerStopsTheHotkeysAndTheProgramRunsOn)
{
    // The server picks a free display number itself and tells it on its output.
    testutil::ChildProcess xvfb;
    auto startServer = [&]() -> QString {
        if (!xvfb.start(QStringLiteral("Xvfb"),
                        {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                         QStringLiteral("tcp")})
            || !QTest::qWaitFor([&] { return xvfb.output().contains('\n') || !xvfb.running(); }, 10000))
            return {};
        const QByteArray told = xvfb.output();
        if (!told.contains('\n'))
            return {};
        return QStringLiteral(":") + QString::fromLatin1(told.left(told.indexOf('\n'))).trimmed();
    };
    auto endServer = [&] {
        xvfb.signal(SIGTERM); // the server ends and closes every connection, and removes its lock file
        return xvfb.waitForFinished(std::chrono::seconds(5));
    };
    QString display = startServer();
    if (!xvfb.running())
        GTEST_SKIP() << "Xvfb cannot be started";
    ASSERT_FALSE(display.isEmpty()) << "Xvfb told no display";

    hotkeys::GlobalHotkeys keys;
    bool lost = false;
    keys.onLost = [&] { lost = true; };
    QString why;
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.start(display, &why); }, 5000)) << why.toStdString();
    EXPECT_TRUE(keys.watchesCtrlE());
    ASSERT_TRUE(endServer());
    EXPECT_TRUE(QTest::qWaitFor([&] { return lost; }, 5000));
    EXPECT_FALSE(keys.running());
    keys.stop(); // harmless now

    // Given back before anything has read of the loss, as when the program saves and ends the
    // moment Qt finds its display gone.
    display = startServer();
    ASSERT_FALSE(display.isEmpty()) << "the second Xvfb told no display";
    ASSERT_TRUE(QTest::qWaitFor([&] { return keys.start(display, &why); }, 5000)) << why.toStdString();
    ASSERT_TRUE(endServer());
    keys.stop();
    EXPECT_FALSE(keys.running());
}
