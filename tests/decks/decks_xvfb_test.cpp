// The decks in the real main window on a real X server (Xvfb), with both engines playing in
// real time on the silent output: keys pressed and the knob dragged by xdotool. These tests
// run from tests/e2e/decks_xvfb.sh; on any other platform they are skipped.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/autodjcontroller.h"
#include "decks/crossfader.h"
#include "decks/decks.h"
#include "library/library.h"
#include "shell/frmMain.h"
#include "support/testutil.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>
#include <memory>

namespace {

bool onX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

bool xdotool(const QStringList& args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

bool pointAt(QWidget* control, QPoint local)
{
    const QPoint g = control->mapToGlobal(local);
    return xdotool({QStringLiteral("mousemove"), QString::number(g.x()), QString::number(g.y())});
}

// Both engines on the silent output, paced by the real clock.
void startEnginesInRealTime()
{
    const int silent = int(audio::outputDeviceNames().size());
    for (SoundBinding* b : {&FMod, &FMod2}) {
        audio::SoundEngine& e = b->engine();
        if (e.isInitialized())
            e.close();
        e.setManualClock(false);
        b->FSOUND_SetDriver(silent);
        ASSERT_NE(b->FSOUND_Init(44100, 32, 0), 0) << "error " << b->FSOUND_GetError();
        b->FSOUND_DSP_SetActive(b->FSOUND_DSP_GetFFTUnit(), 1);
    }
}

class DecksXvfb : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;

    void SetUp() override
    {
        if (!onX11())
            GTEST_SKIP() << "needs an X server (run by tests/e2e/decks_xvfb.sh)";
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        ErrorTrapOn = true;
        checkMarks() = CheckMarks();
        startEnginesInRealTime();
        w = std::make_unique<frmMain>();
        // Only the decks' own steps run; the library starts empty and scans nothing.
        for (auto* s : {&w->steps.installKeyboardHook, &w->steps.openRequestDatabase, &w->steps.loadStoredLists,
                        &w->steps.closeStartupWindows, &w->steps.startMediaScanIfEmpty, &w->steps.saveLists,
                        &w->steps.removeKeyboardHook, &w->steps.endProgram})
            *s = [] {};
        w->showMain();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
        QTest::qWait(100);
    }

    void TearDown() override
    {
        if (w) {
            w->steps.stopDecks();
            w->steps.closeStreams();
        }
        w.reset();
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
        ErrorTrapOn = false;
        errorlog::setFolder(QString());
    }

    // A fixture song queued in the DJ Playlist and cued into a deck.
    void cue(char deck, const QString& name)
    {
        SongListModel& dj = w->library->djPlaylist();
        dj.append(SongRow(QStringLiteral("Tone"), QStringLiteral("Test"), QStringLiteral("0:30"), QString(),
                          testutil::media(name)));
        auto* view = ctl<QTreeView>(w.get(), "lstDJPlayList");
        if (deck == 'A')
            w->decks->LoadSongA(view, false, true, dj.count());
        else
            w->decks->LoadSongB(view, false, true, dj.count());
    }

    // A click on a picture of the window gives it the keyboard focus, as a user would.
    void focusWindow()
    {
        auto* target = ctl<QWidget>(w.get(), "picClockSec1");
        ASSERT_TRUE(pointAt(target, QPoint(4, 4)));
        ASSERT_TRUE(xdotool({"click", "1"}));
        ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == target; }, 3000));
    }
};

} // namespace

TEST_F(DecksXvfb, F2PlaysForThreeSecondsOfRealTimeAndF1Stops)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    ASSERT_NE(deckState().StreamA, 0);
    focusWindow();
    auto* elapsed = ctl<QLabel>(w.get(), "lblPlayerATimeElapsed");
    auto* bar = ctl<QProgressBar>(w.get(), "ProgPlayerAElapsed");
    EXPECT_EQ(elapsed->text(), "0:00");

    ASSERT_TRUE(xdotool({"key", "F2"}));
    ASSERT_TRUE(QTest::qWaitFor([] { return deckState().ChannelA != 0; }, 3000));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return elapsed->text() == QLatin1String("0:03"); }, 8000))
        << "elapsed reads " << elapsed->text().toStdString();
    EXPECT_GE(clock.elapsed(), 2800) << "the deck ran ahead of the real clock";
    EXPECT_GE(bar->value(), 3);
    const QString remaining = ctl<QLabel>(w.get(), "lblPlayerATimeRemaining")->text();
    EXPECT_TRUE(remaining == "- 0:27" || remaining == "- 0:26") << remaining.toStdString();

    ASSERT_TRUE(xdotool({"key", "F1"}));
    ASSERT_TRUE(QTest::qWaitFor([] { return deckState().ChannelA == 0; }, 3000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return elapsed->text() == QLatin1String("0:00"); }, 3000));
    EXPECT_EQ(bar->value(), 0);
    const int stoppedAt = FMod.FSOUND_Stream_GetTime(deckState().StreamA);
    QTest::qWait(300);
    EXPECT_EQ(FMod.FSOUND_Stream_GetTime(deckState().StreamA), stoppedAt);
}

TEST_F(DecksXvfb, KnobDraggedToTheRightEndSilencesDeckA)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    cue('B', QStringLiteral("tone30s.mp3"));
    focusWindow();
    ASSERT_TRUE(xdotool({"key", "F2"}));
    ASSERT_TRUE(xdotool({"key", "F6"}));
    ASSERT_TRUE(QTest::qWaitFor([] { return deckState().ChannelA != 0 && deckState().ChannelB != 0; }, 3000));
    EXPECT_TRUE(QTest::qWaitFor([] { return EngineA().outputLevel() > 0.05f && EngineB().outputLevel() > 0.05f; }, 5000))
        << "output levels " << EngineA().outputLevel() << ", " << EngineB().outputLevel();

    // Grab the knob and throw it right in one move of more than the whole track.
    auto* knob = ctl<QWidget>(w.get(), "picSlider");
    ASSERT_TRUE(pointAt(knob, QPoint(knob->width() / 2, knob->height() / 2)));
    ASSERT_TRUE(xdotool({"mousedown", "1"}));
    QTest::qWait(100);
    ASSERT_TRUE(xdotool({"mousemove_relative", "--", "150", "0"}));
    QTest::qWait(100);
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    ASSERT_TRUE(QTest::qWaitFor([] { return crossfader().Left() == 1890; }, 3000)) << crossfader().Left();

    // Deck A's output falls silent once the volume ramp is done; deck B plays on.
    EXPECT_TRUE(QTest::qWaitFor([] { return EngineA().outputLevel() < 0.001f; }, 3000))
        << "deck A's output level " << EngineA().outputLevel();
    EXPECT_GT(EngineB().outputLevel(), 0.05f);
    EXPECT_NE(deckState().ChannelA, 0) << "deck A still plays, silently";
}

// A double click with the real mouse on a skinned button acts once, as one click.
TEST_F(DecksXvfb, DoubleClicksOnAutoDJAndOnALoadButtonActOnce)
{
    SongListModel& dj = w->library->djPlaylist();
    auto queue = [&](int songs) {
        for (int i = 0; i < songs; ++i)
            dj.append(SongRow(QStringLiteral("Tone %1").arg(i + 1), QStringLiteral("Test"), QStringLiteral("0:30"),
                              QString(), testutil::media(QStringLiteral("tone30s.mp3"))));
    };
    auto doubleClick = [&](const char* name) {
        auto* target = ctl<QWidget>(w.get(), name);
        ASSERT_FALSE(target->isHidden()) << name;
        ASSERT_TRUE(pointAt(target, QPoint(target->width() / 2, target->height() / 2)));
        ASSERT_TRUE(xdotool({"click", "--repeat", "2", "--delay", "80", "1"}));
        // Long enough for both clicks to arrive, and past the double-click interval.
        QTest::qWait(QApplication::doubleClickInterval() + 300);
    };

    // "Auto DJ" with both decks waiting and three songs queued: on, two songs cued, and on it stays.
    queue(3);
    doubleClick("lblTurnAutoDJOffClick");
    EXPECT_TRUE(deckState().bAutoDJ) << "the double click switched the auto-DJ on and off again";
    EXPECT_EQ(dj.count(), 1);
    if (deckState().bAutoDJ)
        w->autoDJ->autoDJ().lblTurnAutoDJOffClick_Click();
    ASSERT_FALSE(deckState().bAutoDJ);

    // The DJ Playlist's deck A button loads the selected song once and removes only it.
    dj.clear();
    queue(3);
    w->lblViewDJPlaylist_Click();
    auto* view = ctl<QTreeView>(w.get(), "lstDJPlayList");
    view->setCurrentIndex(dj.index(0, 0));
    doubleClick("picDJPlaylistAddA");
    EXPECT_EQ(dj.count(), 2) << "more than one song left the queue";
    EXPECT_EQ(dj.cell(0, field::Title).toStdString(), "Tone 2");
}
