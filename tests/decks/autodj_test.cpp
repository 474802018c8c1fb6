// The auto-DJ switch and crossfade over a stand-in main window whose decks play on a test clock.
#include "core/errorlog.h"
#include "decks/autodj_fakehost.h"
#include "support/testutil.h"

#include <gtest/gtest.h>

namespace {

struct Tick {
    long long ms;
    double knob;
    int chA, chB;
    bool fadeToA, fadeToB;
    CrossfaderVolumes vol;
};

// Runs the timers until cond holds (or a limit passes), recording every crossfade tick.
std::vector<Tick> runUntil(Rig& r, const std::function<bool()>& cond, int limitMs = 120000)
{
    std::vector<Tick> ticks;
    auto& h = r.host;
    for (int t = 0; t < limitMs && !cond(); t += 10)
        h.run(10, [&] {
            ticks.push_back({h.now, h.knob.Left(), h.state.ChannelA, h.state.ChannelB, h.state.bFadeToA,
                             h.state.bFadeToB, crossfaderVolumes(h.knob.Left())});
        });
    return ticks;
}

// Index of the first tick that satisfies pred, or -1.
int first(const std::vector<Tick>& ticks, const std::function<bool(const Tick&)>& pred, size_t from = 0)
{
    for (size_t i = from; i < ticks.size(); ++i)
        if (pred(ticks[i]))
            return int(i);
    return -1;
}

} // namespace

TEST(AutoDJSwitch, AnEmptyQueueKeepsItOffWithAMessageThatStays)
{
    Rig r;
    auto& h = r.host;
    h.song("a.mp3", 30000);
    h.state.ChannelA = 7; // deck A plays
    h.panel.post(QStringLiteral("Old news"), false);
    r.autoDJ.lblTurnAutoDJOffClick_Click();
    EXPECT_FALSE(h.state.bAutoDJ);
    EXPECT_FALSE(h.state.bStartBAfterA);
    EXPECT_EQ(h.lamp, 1);
    EXPECT_EQ(h.panel.text, AutoDJ::needSongsText());
    EXPECT_TRUE(h.panel.bNewMessages);
    EXPECT_TRUE(h.panel.bKeepMessageDisplayed);
    // It is not replaced by the idle text after two minutes.
    for (int i = 0; i < 400; ++i)
        MessagePanelTick(h.panel);
    EXPECT_EQ(h.panel.text, AutoDJ::needSongsText());
}

TEST(AutoDJSwitch, CuesBothFreshDecksOnlyWithThreeOrMoreQueued)
{
    for (int queued : {1, 2, 3, 4}) {
        Rig r;
        auto& h = r.host;
        for (int i = 1; i <= queued; ++i)
            h.queue(h.song(QStringLiteral("s%1.mp3").arg(i), 30000));
        h.selected = queued >= 3 ? 2 : 1;
        h.panel.post(QStringLiteral("Old news"), true);
        h.knob.setLeft(1300);
        r.autoDJ.lblTurnAutoDJOffClick_Click();

        EXPECT_TRUE(h.state.bAutoDJ) << queued;
        EXPECT_EQ(h.lamp, 3);
        EXPECT_EQ(h.knob.Left(), 945);
        // The switch resets the message line completely, the hold included.
        EXPECT_EQ(h.panel.text, QStringLiteral("Messages Will Appear Here"));
        EXPECT_FALSE(h.panel.bKeepMessageDisplayed);
        if (queued < 3) {
            EXPECT_TRUE(h.loads.empty()) << queued;
            EXPECT_EQ(h.djRowCount(), queued);
        } else {
            // The selected row goes to deck A, the row selected after that removal to deck B.
            EXPECT_EQ(h.deckA.title, "s2");
            EXPECT_EQ(h.deckB.title, "s3");
            EXPECT_EQ(h.djRowCount(), queued - 2);
        }
        // Nothing plays until a play button is pressed.
        EXPECT_EQ(h.state.ChannelA, 0);
        EXPECT_EQ(h.state.ChannelB, 0);
    }
}

TEST(AutoDJSwitch, CuesOnlyTheDeckStillWaitingAndRemembersPlayingDecks)
{
    Rig r;
    auto& h = r.host;
    h.queue(h.song("a.mp3", 30000));
    h.queue(h.song("b.mp3", 30000));
    h.loadFromDJList(Side::A, 1);
    h.pressPlay(Side::A);
    h.loads.clear();
    r.autoDJ.lblTurnAutoDJOffClick_Click();
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_EQ(h.loads[0].first, Side::B);
    EXPECT_EQ(h.deckB.title, "b");
    EXPECT_TRUE(h.state.bStartBAfterA);
    EXPECT_FALSE(h.state.bStartAAfterB);

    // Switching off clears every auto-DJ flag and leaves the decks and the knob alone.
    h.state.bFadeToB = true;
    h.state.bLoadNextA = h.state.bAutoFillDJ = true;
    h.knob.setLeft(1345);
    r.autoDJ.lblTurnAutoDJOffClick_Click();
    const DeckState& s = h.state;
    EXPECT_FALSE(s.bAutoDJ || s.bFadeToA || s.bFadeToB || s.bLoadNextA || s.bLoadNextB || s.bAutoFillDJ
                 || s.bStartBAfterA || s.bStartAAfterB);
    EXPECT_EQ(h.knob.Left(), 1345);
    EXPECT_NE(s.ChannelA, 0);
    EXPECT_EQ(h.lamp, 1);

    // Off, the crossfade timer does nothing at all.
    h.volumeUpdates = 0;
    r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_EQ(h.volumeUpdates, 0);
}

TEST(AutoDJCrossfade, CrossfadeTimeComesFromTheMarks)
{
    Rig r;
    EXPECT_EQ(r.autoDJ.crossfadeSeconds(), 15);
    for (int t : {10, 20, 25}) {
        r.host.marks.setCrossfadeSeconds(t);
        EXPECT_EQ(r.autoDJ.crossfadeSeconds(), t);
    }
    r.host.marks.crossfadeSeconds = 12; // not a choice of the menu
    EXPECT_EQ(r.autoDJ.crossfadeSeconds(), 15);
}

TEST(AutoDJCrossfade, ElapsedAndLengthAreRoundedSeparately)
{
    Rig r;
    auto& h = r.host;
    h.marks.setCrossfadeSeconds(10);
    h.queue(h.song("a.mp3", 110000));
    h.loadFromDJList(Side::A, 1);
    h.state.bAutoDJ = true;
    h.pressPlay(Side::A);
    h.deckA.posMs = 100400; // 100 - 110 = -10: not yet
    r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_FALSE(h.state.bFadeToB);
    h.deckA.posMs = 100600; // 101 - 110 = -9
    r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_TRUE(h.state.bFadeToB);
    EXPECT_EQ(h.knob.Left(), 945) << "the tick that sets the flag does not move the knob";
}

TEST(AutoDJCrossfade, TimelineOfAFadeEachWay)
{
    Rig r;
    auto& h = r.host;
    for (const char* n : {"one.mp3", "two.mp3", "three.mp3"})
        h.queue(h.song(n, 30000));
    h.deckB.pitch = 46000;
    r.autoDJ.lblTurnAutoDJOffClick_Click();
    h.pressPlay(Side::A);

    // --- A to B
    std::vector<Tick> t = runUntil(r, [&] { return h.state.bLoadNextA == false && h.deckA.file.endsWith("three.mp3"); });
    const int flag = first(t, [](const Tick& k) { return k.fadeToB; });
    ASSERT_GE(flag, 0);
    // 15 s chosen: 15.3 s elapsed rounds to 15 (30 - 15 = 15 left, not fewer); 15.6 s to 16.
    EXPECT_EQ(t[size_t(flag)].ms, 15600);
    EXPECT_EQ(t[size_t(flag)].knob, 945);
    auto at = [&](int n) { return t[size_t(flag + n)]; };
    EXPECT_EQ(at(10).knob, 1195);
    EXPECT_EQ(at(10).chB, 0);
    EXPECT_EQ(at(11).knob, 1220);
    EXPECT_NE(at(11).chB, 0) << "deck B starts at tick 11";
    EXPECT_EQ(at(11).vol.a, 122);
    EXPECT_EQ(h.deckB.played.front(), h.deckB.file);
    EXPECT_EQ(first(t, [](const Tick& k) { return k.vol.a == 0; }, size_t(flag)), flag + 22);
    EXPECT_NE(at(26).chA, 0);
    EXPECT_EQ(at(26).knob, 1595);
    EXPECT_EQ(at(27).chA, 0) << "deck A stops at tick 27";
    EXPECT_EQ(at(27).knob, 945);
    EXPECT_FALSE(at(27).fadeToB);
    EXPECT_EQ(h.stops.size(), 1u);
    EXPECT_EQ(h.stops[0], Side::A);
    // The incoming deck plays at its pitch slider's speed.
    EXPECT_EQ(h.deckB.frequency, 46000);

    // --- B to A: deck A was marked free and got the last queued song meanwhile.
    h.deckA.pitch = 40000;
    t = runUntil(r, [&] { return h.state.ChannelB == 0 && h.state.ChannelA != 0; });
    const int flag2 = first(t, [](const Tick& k) { return k.fadeToA; });
    ASSERT_GE(flag2, 0);
    auto at2 = [&](int n) { return t[size_t(flag2 + n)]; };
    EXPECT_EQ(at2(10).chA, 0);
    EXPECT_EQ(at2(11).knob, 670);
    EXPECT_NE(at2(11).chA, 0);
    EXPECT_EQ(at2(11).vol.b, 150);
    EXPECT_EQ(first(t, [](const Tick& k) { return k.vol.b == 0; }, size_t(flag2)), flag2 + 24);
    EXPECT_EQ(at2(27).chB, 0);
    EXPECT_EQ(at2(27).knob, 945);
    EXPECT_EQ(h.deckA.frequency, 40000);
    EXPECT_TRUE(h.state.bLoadNextB);
    // The queue is empty now: the refill is asked for.
    EXPECT_TRUE(h.state.bAutoFillDJ);
}

TEST(AutoDJCrossfade, OnlyDeckAIsWatchedWhileBothPlay)
{
    Rig r;
    auto& h = r.host;
    h.queue(h.song("a.mp3", 200000));
    h.queue(h.song("b.mp3", 20000));
    h.loadFromDJList(Side::A, 1);
    h.loadFromDJList(Side::B, 1);
    h.state.bAutoDJ = true;
    h.pressPlay(Side::A);
    h.pressPlay(Side::B);
    h.deckB.posMs = 19000;
    r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_FALSE(h.state.bFadeToA || h.state.bFadeToB);
    EXPECT_EQ(h.volumeUpdates, 1) << "volumes follow the knob on every tick";
}

TEST(AutoDJCrossfade, AFadeWithNoDeckToFadeToIsGivenUpAndThatDeckFed)
{
    // Deck B never got a song (one or two queued at switch-on cue nothing).
    Rig r;
    auto& h = r.host;
    h.queue(h.song("a.mp3", 30000));
    h.queue(h.song("b.mp3", 30000));
    r.autoDJ.lblTurnAutoDJOffClick_Click();
    h.loadFromDJList(Side::A, 1);
    h.pressPlay(Side::A);
    h.deckA.posMs = 16000;
    r.autoDJ.TimerAutoDJCrossfade_Timer(); // flag
    ASSERT_TRUE(h.state.bFadeToB);
    r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_FALSE(h.state.bFadeToB);
    EXPECT_EQ(h.knob.Left(), 945) << "the knob never leaves the centre";
    EXPECT_NE(h.state.ChannelA, 0) << "deck A plays on";
    EXPECT_TRUE(h.state.bLoadNextB);

    // The housekeeping timer loads deck B; the next fade then runs through.
    std::vector<Tick> t = runUntil(r, [&] { return h.state.ChannelA == 0; }, 15000);
    EXPECT_EQ(h.deckB.title, "b");
    EXPECT_NE(h.state.ChannelB, 0);
    for (const Tick& k : t)
        EXPECT_LE(k.knob, 1620);
    EXPECT_LT(h.deckA.posMs, 30000) << "deck A was faded out before its end";
}

TEST(AutoDJCrossfade, APausedOrUnplayableIncomingDeckEndsTheFadeWithoutSilence)
{
    // Paused by the DJ: the knob does not move and the playing deck is not stopped.
    {
        Rig r;
        auto& h = r.host;
        r.startNight({"a.mp3", "b.mp3", "c.mp3"});
        h.pressPlay(Side::B);
        h.deckB.paused = true;
        h.deckA.posMs = 20000;
        for (int i = 0; i < 40; ++i) {
            r.autoDJ.TimerAutoDJCrossfade_Timer();
            EXPECT_EQ(h.knob.Left(), 945);
        }
        EXPECT_NE(h.state.ChannelA, 0);
        EXPECT_TRUE(h.stops.empty());
        EXPECT_FALSE(h.state.bLoadNextB) << "a paused deck keeps its song";
    }
    // A song that cannot be started: given up at the start threshold, deck marked free.
    {
        Rig r;
        auto& h = r.host;
        r.startNight({"a.mp3", "b.mp3", "c.mp3"});
        h.failPlay = true;
        h.deckA.posMs = 20000;
        for (int i = 0; i < 12; ++i)
            r.autoDJ.TimerAutoDJCrossfade_Timer();
        EXPECT_EQ(h.state.ChannelB, 0);
        EXPECT_FALSE(h.state.bFadeToB);
        EXPECT_EQ(h.knob.Left(), 945);
        EXPECT_NE(h.state.ChannelA, 0);
        EXPECT_TRUE(h.state.bLoadNextB);
        // The same song is not tried again: the knob stays put until the deck gets another.
        for (int i = 0; i < 20; ++i) {
            r.autoDJ.TimerAutoDJCrossfade_Timer();
            EXPECT_EQ(h.knob.Left(), 945);
        }
        h.failPlay = false;
        h.loadFromDJList(Side::B, 1); // the next queued song, c
        for (int i = 0; i < 12; ++i)
            r.autoDJ.TimerAutoDJCrossfade_Timer();
        EXPECT_NE(h.state.ChannelB, 0);
        EXPECT_EQ(h.deckB.title, "c");
    }
    // The incoming deck's output is gone: the fade is given up once, the deck keeps its song
    // (nothing of the queue is used up while the output is away), and once the deck was seen
    // playing its songs are faded to again.
    {
        Rig r;
        auto& h = r.host;
        r.startNight({"a.mp3", "b.mp3", "c.mp3"});
        h.noOutput = true;
        h.deckA.posMs = 20000;
        for (int i = 0; i < 40; ++i)
            r.autoDJ.TimerAutoDJCrossfade_Timer();
        EXPECT_EQ(h.state.ChannelB, 0);
        EXPECT_EQ(h.knob.Left(), 945) << "the playing deck is not faded out towards a deck that cannot play";
        EXPECT_NE(h.state.ChannelA, 0);
        EXPECT_FALSE(h.state.bLoadNextB) << "deck B keeps its song";
        EXPECT_EQ(h.deckB.title, "b");
        EXPECT_EQ(h.djRowCount(), 1);
        h.noOutput = false;
        h.pressPlay(Side::B); // the output is back and the DJ starts deck B
        r.autoDJ.TimerAutoDJCrossfade_Timer();
        h.stopStream(Side::B);
        h.state.ChannelB = 0;
        for (int i = 0; i < 12; ++i)
            r.autoDJ.TimerAutoDJCrossfade_Timer();
        EXPECT_NE(h.state.ChannelB, 0) << "deck B is faded to again";
    }
}

TEST(AutoDJCrossfade, ShortSongsAreCountedOncePerPlay)
{
    // Songs shorter than a minute are counted on their first playing tick; the fade must not
    // clear that count after the start.
    Rig r;
    auto& h = r.host;
    r.startNight({"s1.mp3", "s2.mp3", "s3.mp3", "s4.mp3"});
    runUntil(r, [&] { return h.started.size() == 4 && h.state.bLoadNextA + h.state.bLoadNextB > 0; });
    ASSERT_EQ(h.started.size(), 4u);
    for (const char* n : {"s1.mp3", "s2.mp3", "s3.mp3", "s4.mp3"})
        EXPECT_EQ(h.mostPlayed[h.folder + "/" + n], 1) << n;
}

TEST(AutoDJCrossfade, AnOutgoingDeckThatStopsByItselfEndsTheFade)
{
    Rig r;
    auto& h = r.host;
    r.startNight({"a.mp3", "b.mp3", "c.mp3"});
    h.deckA.posMs = 20000;
    for (int i = 0; i < 5; ++i)
        r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_EQ(h.knob.Left(), 945 + 4 * 25);
    h.state.ChannelA = 0; // stopped by other means
    r.autoDJ.TimerAutoDJCrossfade_Timer();
    EXPECT_FALSE(h.state.bFadeToB);
    EXPECT_TRUE(h.state.bLoadNextA);
    EXPECT_EQ(h.knob.Left(), 945);
    EXPECT_EQ(h.state.ChannelB, 0) << "deck B was not yet past its start";
}

TEST(AutoDJCrossfade, AFailingTickIsLoggedAndTheNextRuns)
{
    struct Throwing : FakeHost {
        bool fail = true;
        int streamTimeMs(Side s) const override
        {
            if (fail)
                raiseError(6, "Overflow");
            return FakeHost::streamTimeMs(s);
        }
    };
    QTemporaryDir logDir;
    errorlog::setFolder(logDir.path());
    const bool trapWas = ErrorTrapOn;
    ErrorTrapOn = true;
    Throwing h;
    AutoDJ a(h.state, h.knob, h.marks, h);
    h.queue(h.song("a.mp3", 30000));
    h.loadFromDJList(Side::A, 1);
    h.state.bAutoDJ = true;
    h.pressPlay(Side::A);
    h.deckA.posMs = 20000;
    a.TimerAutoDJCrossfade_Timer();
    EXPECT_FALSE(h.state.bFadeToB);
    h.fail = false;
    a.TimerAutoDJCrossfade_Timer();
    EXPECT_TRUE(h.state.bFadeToB);
    ErrorTrapOn = trapWas;
    errorlog::setFolder({});
    EXPECT_TRUE(testutil::readAll(logDir.filePath("QNLERRORS.log")).contains("B-295"));
}
