// The auto-DJ in the real main window with the real decks, library and engines: a night's
// queue played unattended. On the manual clock a scheduler stands in for the window's timers, so
// minutes of music take seconds; under Xvfb (tests/e2e/autodj_realtime.sh) the same run goes in
// real time on the silent device with the window's own timers.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/autodjcontroller.h"
#include "decks/crossfader.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "platform/audio/soundengine.h"
#include "platform/ui/dialogs.h"
#include "shell/frmMain.h"
#include "support/engines.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>
#include <map>
#include <set>

namespace {

struct NightLog {
    std::vector<QString> started;  // songs in the order their decks started
    int fades = 0;                 // crossfades begun
    long long firstStartMs = -1;   // first moment a deck played
    long long lastEndMs = -1;      // last moment a deck played
    long long silentMs = 0;        // time between those with both outputs silent
    long long longestSilenceMs = 0;
};

class Unattended : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        startFreshRun(dir.path(), dialogs);
    }
    void TearDown() override
    {
        if (w) {
            w->stopTimers();
            releaseDeckStreams();
        }
        w.reset();
        resetDeckWorld();
        leaveProgramFolder();
    }

    // The main window with its controllers; the load's media scan is left out (no media
    // folders), the five songs queued and twenty more in the Full Playlist for the refill.
    void makeWindow()
    {
        w = std::make_unique<frmMain>();
        ASSERT_NE(w->library, nullptr);
        ASSERT_NE(w->autoDJ, nullptr);
        Library& lib = *w->library;
        for (int i = 1; i <= 5; ++i) {
            songs.push_back(testutil::copyMedia("tone30s.mp3", dir.path(), QStringLiteral("song%1.mp3").arg(i)));
            ASSERT_FALSE(songs.back().isEmpty());
            lib.ParseFiles(songs.back(), lib.djPlaylist(), false);
        }
        for (int i = 1; i <= 20; ++i)
            lib.ParseFiles(testutil::copyMedia("tone30s.mp3", dir.path(), QStringLiteral("fill%1.mp3").arg(i)),
                           lib.full(), false);
        Library::selectRow(ctl<QTreeView>(w.get(), "lstDJPlayList"), 1, false);
    }

    // Switches auto-DJ on and presses deck A's play button.
    void start()
    {
        ctl<SkinControl>(w.get(), "lblTurnAutoDJOffClick")->Click();
        ASSERT_TRUE(deckState().bAutoDJ);
        ASSERT_EQ(deckState().PlayerAFilename, songs[0]);
        ASSERT_EQ(deckState().PlayerBFilename, songs[1]);
        ASSERT_EQ(w->library->djPlaylist().count(), 3);
        w->decks->A().PlayPause_MouseUp();
        ASSERT_NE(deckState().ChannelA, 0);
    }

    // One observation of the decks at time ms (after step ms of playing).
    void observe(NightLog& r, long long ms, int step)
    {
        const DeckState& s = deckState();
        for (int d = 0; d < 2; ++d) {
            const int ch = d == 0 ? s.ChannelA : s.ChannelB;
            if (ch != 0 && lastChannel[d] == 0)
                r.started.push_back(d == 0 ? s.PlayerAFilename : s.PlayerBFilename);
            lastChannel[d] = ch;
        }
        if ((s.bFadeToA || s.bFadeToB) && !fading)
            ++r.fades;
        fading = s.bFadeToA || s.bFadeToB;

        const bool soundA = EngineA().outputLevel() > 0.001f;
        const bool soundB = EngineB().outputLevel() > 0.001f;
        if (soundA || soundB) {
            if (r.firstStartMs < 0)
                r.firstStartMs = ms;
            r.lastEndMs = ms;
            silence = 0;
        } else if (r.firstStartMs >= 0) {
            silence += step;
            r.silentMs += step;
            r.longestSilenceMs = std::max(r.longestSilenceMs, silence);
        }
    }

    // Every song is counted once in Most Played.
    std::map<QString, int> plays() const
    {
        std::map<QString, int> m;
        const SongListModel& mp = w->library->mostPlayed();
        for (int i = 0; i < mp.count(); ++i)
            m[mp.cell(i, field::Filename)] = mp.cell(i, field::Plays).toInt();
        return m;
    }

    bool refilled() const
    {
        // The fifth song started, the queue ran empty and nine songs came from the Full Playlist.
        const SongListModel& dj = w->library->djPlaylist();
        int fill = 0;
        for (int i = 0; i < dj.count(); ++i)
            fill += dj.cell(i, field::Filename).contains(QLatin1String("/fill"));
        const DeckState& s = deckState();
        const int inDecks = s.PlayerAFilename.contains(QLatin1String("/fill")) + s.PlayerBFilename.contains(QLatin1String("/fill"));
        return fill + inDecks == 9 && !s.bAutoFillDJ;
    }

    // The different songs among those the refill brought.
    size_t distinctFill() const
    {
        std::set<QString> fill;
        const SongListModel& dj = w->library->djPlaylist();
        for (int i = 0; i < dj.count(); ++i)
            fill.insert(dj.cell(i, field::Filename));
        for (const QString& f : {deckState().PlayerAFilename, deckState().PlayerBFilename})
            if (f.contains(QLatin1String("/fill")))
                fill.insert(f);
        return fill.size();
    }

    QTemporaryDir dir;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<frmMain> w;
    std::vector<QString> songs;
    int lastChannel[2] = {0, 0};
    bool fading = false;
    long long silence = 0;
};

void expectTheNight(const NightLog& r, const std::vector<QString>& songs, const std::map<QString, int>& plays)
{
    ASSERT_GE(r.started.size(), 5u);
    for (size_t i = 0; i < 5; ++i)
        EXPECT_EQ(r.started[i], songs[i]) << "song " << i + 1;
    EXPECT_GE(r.fades, 4) << "a crossfade between each pair";
    for (const QString& s : songs) {
        auto it = plays.find(s);
        EXPECT_TRUE(it != plays.end() && it->second == 1) << s.toStdString() << " counted "
                                                          << (it == plays.end() ? 0 : it->second);
    }
}

} // namespace

TEST_F(Unattended, FiveSongsPlayInOrderWithCrossfadesThenTheQueueIsRefilled)
{
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        GTEST_SKIP() << "the manual-clock run; the real-time run is AutoDJRealTime";
    ASSERT_TRUE(startBothEngines(true, 0));
    makeWindow();
    start();

    // The window's timers, stood in for by a scheduler on the manual clock: the players and the
    // volume law every 10 ms, the crossfade every 300 ms, the housekeeping every second.
    NightLog r;
    long long now = 0;
    const int step = 10;
    for (; now < 10 * 60 * 1000; now += step) {
        EngineA().advanceMs(step);
        EngineB().advanceMs(step);
        w->decks->TimerPlayerA_Timer();
        w->decks->TimerPlayerB_Timer();
        w->decks->TimerLoadSongB_Timer();
        if (now % 300 == 0)
            w->autoDJ->autoDJ().TimerAutoDJCrossfade_Timer();
        if (now % 1000 == 0)
            w->autoDJ->housekeeping().TimerMessages_Timer();
        observe(r, now, step);
        if (r.started.size() >= 5 && refilled() && !deckState().bFadeToA && !deckState().bFadeToB)
            break;
    }
    expectTheNight(r, songs, plays());
    EXPECT_TRUE(refilled());
    EXPECT_GE(distinctFill(), 2u) << "nine draws of one seeded generator, not nine copies of one song";
    std::printf("manual-clock run: %lld ms of music, %d fades, silent %lld ms\n", r.lastEndMs - r.firstStartMs,
                r.fades, r.silentMs);
    EXPECT_EQ(r.silentMs, 0) << "longest silence " << r.longestSilenceMs << " ms";
    EXPECT_EQ(ErrorCount, 0) << testutil::readAll(dir.filePath("QNLERRORS.log")).toStdString();
}

TEST_F(Unattended, SwitchingOnWithNothingSelectedCuesTheHeadOfTheQueue)
{
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        GTEST_SKIP() << "a manual-clock test";
    ASSERT_TRUE(startBothEngines(true, 0));
    makeWindow();
    auto* queue = ctl<QTreeView>(w.get(), "lstDJPlayList");
    queue->selectionModel()->clear();
    queue->selectionModel()->setCurrentIndex({}, QItemSelectionModel::NoUpdate);
    ctl<SkinControl>(w.get(), "lblTurnAutoDJOffClick")->Click();
    EXPECT_TRUE(deckState().bAutoDJ);
    EXPECT_EQ(deckState().PlayerAFilename, songs[0]);
    EXPECT_EQ(deckState().PlayerBFilename, songs[1]);
    EXPECT_EQ(w->library->djPlaylist().count(), 3);
    EXPECT_EQ(ErrorCount, 0) << testutil::readAll(dir.filePath("QNLERRORS.log")).toStdString();
}

// Real time under Xvfb: the window's own timers, the default 15-second crossfade over 30-second
// songs, both engines' output levels sampled every 10 ms. On the silent device it plays the first
// five songs and the refill (tests/e2e/autodj_realtime.sh). QUENLOW_AUTODJ_DEVICE names another
// device for both decks and QUENLOW_AUTODJ_SECONDS plays for that long from the first start
// instead (tests/e2e/autodj_soundserver.sh records a sound server's output meanwhile).
TEST_F(Unattended, AutoDJRealTime)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs an X server (run by tests/e2e/autodj_realtime.sh)";
    const QString device = qEnvironmentVariable("QUENLOW_AUTODJ_DEVICE");
    const int seconds = qEnvironmentVariableIntValue("QUENLOW_AUTODJ_SECONDS");
    const QStringList devices = audio::outputDeviceNames();
    // The last driver is the silent output.
    const int driver = device.isEmpty() ? int(devices.size()) : int(devices.indexOf(device)) + 1;
    ASSERT_GT(driver, 0) << device.toStdString() << " is not listed: " << devices.join(", ").toStdString();
    ASSERT_TRUE(startBothEngines(false, driver));
    makeWindow();
    w->show();
    w->startTimers();
    start();

    NightLog r;
    QElapsedTimer clock;
    clock.start();
    QTimer sampler;
    long long last = 0;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const long long now = clock.elapsed();
        observe(r, now, int(now - last));
        last = now;
    });
    sampler.start(10);
    if (seconds > 0) {
        QTest::qWait(seconds * 1000);
        sampler.stop();
        std::printf("real-time run on %s: %lld ms from first start, %zu songs started, silent %lld ms (longest %lld ms)\n",
                    qPrintable(devices[driver - 1]), r.lastEndMs - r.firstStartMs, r.started.size(), r.silentMs,
                    r.longestSilenceMs);
        EXPECT_GE(r.firstStartMs, 0) << "nothing played";
        EXPECT_EQ(r.silentMs, 0) << "longest silence " << r.longestSilenceMs << " ms";
        return;
    }
    // Five songs of 30 s overlapping by about 8 s each: a little over two minutes.
    const bool done = QTest::qWaitFor([&] { return r.started.size() >= 5 && refilled(); }, 200000);
    // The fifth song's first seconds, so its start is inside the measured stretch.
    QTest::qWait(3000);
    sampler.stop();
    ASSERT_TRUE(done);
    expectTheNight(r, songs, plays());
    std::printf("real-time run: %lld ms from first start, silent %lld ms (longest %lld ms)\n",
                r.lastEndMs - r.firstStartMs, r.silentMs, r.longestSilenceMs);
    EXPECT_EQ(r.silentMs, 0) << "longest silence " << r.longestSilenceMs << " ms";
}
