// A sound device that goes away while a deck plays, with real parts: a PulseAudio daemon of the
// test's own (user mode, a null sink, its own runtime folder), reached as the program reaches a
// sound server: the "pulse" device PortAudio lists, played through libpulse. The daemon is
// killed (or stopped) while engine A plays on it; engine B plays on the silent output meanwhile.
#include "platform/audio/pulseoutput.h"
#include "platform/audio/serveroutputs.h"
#include "platform/audio/soundengine.h"
#include "support/machinefaults.h"
#include "support/pulsedaemon.h"
#include "support/testutil.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <iostream>
#include <thread>

#include <pthread.h>
#include <sched.h>

using audio::SoundEngine;
using testutil::media;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
bool eventually(F done, std::chrono::seconds most = std::chrono::seconds(20))
{
    const auto deadline = Clock::now() + most;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The scheduling policy of this process's thread called `name`, or -1 when there is none.
int policyOfThread(const QByteArray& name)
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            return sched_getscheduler(tid.toInt());
    }
    return -1;
}

// Whether a thread of this process may run at real time here.
bool realtimeAllowed()
{
    bool allowed = false;
    std::thread([&] {
        sched_param param {};
        param.sched_priority = 1;
        allowed = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }).join();
    return allowed;
}

// A sound server of the test's own, and the engines' driver number of its device: PulseAudio, or
// PipeWire with its pulse server where it is installed.
class SoundDeviceLoss : public ::testing::Test {
protected:
    explicit SoundDeviceLoss(PulseDaemon::Kind kind = PulseDaemon::Kind::PulseAudio) : daemon(dir.path(), kind) {}
    void SetUp() override
    {
        if (!daemon.start())
            GTEST_SKIP() << "the sound server cannot start on this machine: " << daemon.log().toStdString();
        pulse = daemon.connectHere();
        ASSERT_GT(pulse, 0) << "PortAudio does not list ALSA's pulse device: "
                            << audio::outputDeviceNames().join(", ").toStdString();
    }
    // Decks A and B put on the drivers given, each playing the long tone from its start: deck A's
    // channel, or 0 (a failure told) where a deck does not play.
    static int playBoth(SoundEngine& a, int driverA, SoundEngine& b, int driverB, std::uint32_t& sa, std::uint32_t& sb)
    {
        a.setDriver(driverA);
        b.setDriver(driverB);
        if (a.init(44100, 32, 2) == 0 || b.init(44100, 32, 2) == 0) {
            ADD_FAILURE() << "an engine does not start: " << a.getError() << ", " << b.getError();
            return 0;
        }
        sa = a.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
        sb = b.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
        const int ca = a.streamPlay(-1, sa);
        if (ca == 0 || b.streamPlay(-1, sb) == 0) {
            ADD_FAILURE() << "a deck does not play: " << a.getError() << ", " << b.getError();
            return 0;
        }
        return ca;
    }
    QTemporaryDir dir;
    PulseDaemon daemon;
    int pulse = 0;
};

class SoundOnPipeWire : public SoundDeviceLoss {
protected:
    SoundOnPipeWire() : SoundDeviceLoss(PulseDaemon::Kind::PipeWire) {}
};

} // namespace

TEST_F(SoundDeviceLoss, KillingTheSoundServerStopsThatDeckAndTellsItOnceWhileTheOtherPlaysOn)
{
    const QStringList devices = audio::outputDeviceNames();

    SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    std::uint32_t sa = 0, sb = 0;
    const int ca = playBoth(a, pulse, b, int(devices.size()), sa, sb);
    ASSERT_NE(ca, 0);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(sa) >= 300 && b.streamGetTime(sb) >= 300; }))
        << "deck A at " << a.streamGetTime(sa) << " ms on the sound server";
    EXPECT_FALSE(a.takeOutputLost());

    daemon.kill();
    const auto killed = Clock::now();
    ASSERT_TRUE(eventually([&] { return a.takeOutputLost(); }, std::chrono::seconds(10)))
        << "the loss of the sound server was never reported";
    const auto reportedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed);
    RecordProperty("loss_reported_after_ms", int(reportedAfter.count()));
    std::printf("the loss was reported %d ms after the sound server was killed\n", int(reportedAfter.count()));

    EXPECT_FALSE(a.takeOutputLost()) << "told once";
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    EXPECT_EQ(a.getFrequency(ca), 0) << "deck A's channel is stopped";
    const int heldAt = a.streamGetTime(sa);
    EXPECT_GT(heldAt, 0) << "the stream keeps its place";

    // Deck B plays on.
    const int bAt = b.streamGetTime(sb);
    EXPECT_TRUE(eventually([&] { return b.streamGetTime(sb) >= bAt + 300; })) << "deck B stopped at " << bAt;
    EXPECT_FALSE(b.takeOutputLost());
    EXPECT_EQ(a.streamGetTime(sa), heldAt);

    // Without the server a play fails and says so, and the server has no outputs to list (none
    // is started for them); with it back the deck plays again.
    const auto t0 = Clock::now();
    EXPECT_TRUE(audio::serverOutputs().empty());
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500)) << "no server to wait for";
    EXPECT_EQ(a.streamPlay(-1, sa), 0);
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    ASSERT_TRUE(daemon.start()) << daemon.log().toStdString();
    const int again = a.streamPlay(-1, sa);
    ASSERT_NE(again, 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return a.streamGetTime(sa) >= heldAt + 300; }));
    EXPECT_FALSE(a.takeOutputLost());

    a.close();
    b.close();
}

TEST_F(SoundDeviceLoss, TheServersOutputsAreListedAndADeckOnOneIsNeverMovedItsLossIsALostDevice)
{
    // Outputs of the server (a second card, a headphone socket) are devices of their own, by the
    // server's description; two described alike are told apart by their sinks' names.
    const int speakers = daemon.addSink("quenlow_speakers", "Quenlow Speakers");
    ASSERT_GE(speakers, 0) << daemon.log().toStdString();
    int phones = daemon.addSink("quenlow_phones", "Quenlow Phones");
    ASSERT_GE(phones, 0) << daemon.log().toStdString();
    const int phones2 = daemon.addSink("quenlow_phones2", "Quenlow Phones");
    ASSERT_GE(phones2, 0) << daemon.log().toStdString();
    const std::vector<audio::DeviceEntry> devices = audio::outputDevices();
    QStringList names, sinks;
    for (const auto& d : devices) {
        names << d.name;
        if (!d.sink.isEmpty())
            sinks << d.name + QStringLiteral(" = ") + d.sink;
    }
    EXPECT_EQ(sinks, QStringList({"Null Output = quenlow_test", "Quenlow Speakers = quenlow_speakers",
                                  "Quenlow Phones (quenlow_phones) = quenlow_phones",
                                  "Quenlow Phones (quenlow_phones2) = quenlow_phones2"}));
    EXPECT_EQ(names, audio::outputDeviceNames());
    EXPECT_EQ(names.last(), "No sound (silent)");
    EXPECT_LT(pulse, names.indexOf("Null Output") + 1) << "the system's devices come first";
    const int phonesDriver = int(names.indexOf("Quenlow Phones (quenlow_phones)")) + 1;

    // An output gone since the list was shown: a deck put on it fails, where the number would now
    // mean the silent output in a list made afresh.
    ASSERT_TRUE(daemon.unloadModule(phones2)) << daemon.log().toStdString();
    SoundEngine gone(QStringLiteral("C"));
    gone.setDriver(int(names.indexOf("Quenlow Phones (quenlow_phones2)")) + 1);
    EXPECT_EQ(gone.init(44100, 32, 2), 0);
    EXPECT_EQ(gone.getError(), audio::ErrInit);

    // Deck A on the headphones, deck B on the server's default output, the speakers.
    ASSERT_TRUE(daemon.setDefaultSink("quenlow_speakers")) << daemon.log().toStdString();
    MonitorRecording onPhones("quenlow_phones"), onSpeakers("quenlow_speakers");
    ASSERT_TRUE(onPhones.recording() && onSpeakers.recording());
    SoundEngine a(QStringLiteral("A")), b(QStringLiteral("B"));
    std::uint32_t sa = 0, sb = 0;
    const int ca = playBoth(a, phonesDriver, b, pulse, sa, sb);
    ASSERT_NE(ca, 0);
    const auto loud = [](float level) { return level > 0.15f; };
    EXPECT_TRUE(onPhones.waitFor(loud, Clock::now(), std::chrono::milliseconds(5000))) << "deck A on the headphones";
    EXPECT_TRUE(onSpeakers.waitFor(loud, Clock::now(), std::chrono::milliseconds(5000))) << "deck B on the speakers";
    EXPECT_EQ(daemon.streamSinks(), QStringList({"quenlow_phones", "quenlow_speakers"}));

    // The headphones pulled out while deck A plays: the server does not carry deck A onto the
    // speakers; it is a lost device, told once, and deck B plays on.
    ASSERT_TRUE(daemon.unloadModule(phones)) << daemon.log().toStdString();
    ASSERT_TRUE(eventually([&] { return a.takeOutputLost(); }, std::chrono::seconds(10)))
        << "deck A's output went and nothing was told; the server plays its streams on "
        << daemon.streamSinks().join(", ").toStdString();
    EXPECT_FALSE(a.takeOutputLost()) << "told once";
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    EXPECT_EQ(a.getFrequency(ca), 0) << "deck A's channel is stopped";
    EXPECT_EQ(daemon.streamSinks(), QStringList({"quenlow_speakers"})) << "deck A plays nowhere else";
    const int heldAt = a.streamGetTime(sa);
    const int bAt = b.streamGetTime(sb);
    EXPECT_TRUE(eventually([&] { return b.streamGetTime(sb) >= bAt + 300; })) << "deck B stopped at " << bAt;
    EXPECT_FALSE(b.takeOutputLost());

    // A play while the headphones are out fails and says so, a start paused (as the decks start)
    // too; plugged in again, they play.
    EXPECT_EQ(a.streamPlay(-1, sa), 0);
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    EXPECT_EQ(a.streamPlay(-1, sa, true), 0);
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    phones = daemon.addSink("quenlow_phones", "Quenlow Phones");
    ASSERT_GE(phones, 0) << daemon.log().toStdString();
    MonitorRecording onPhonesAgain("quenlow_phones");
    ASSERT_TRUE(onPhonesAgain.recording());
    const int again = a.streamPlay(-1, sa);
    ASSERT_NE(again, 0) << a.getError();
    EXPECT_TRUE(onPhonesAgain.waitFor(loud, Clock::now(), std::chrono::milliseconds(5000)));
    EXPECT_TRUE(eventually([&] { return a.streamGetTime(sa) >= heldAt + 300; }));
    EXPECT_FALSE(a.takeOutputLost());

    // Pulled out while deck A rests (paused): the resume finds them gone (at once, or a moment
    // later), told as any lost device; plugged in again, they play.
    a.setPaused(again, 1);
    ASSERT_TRUE(eventually([&] { return a.outputRests(); }));
    ASSERT_TRUE(daemon.unloadModule(phones)) << daemon.log().toStdString();
    a.setPaused(again, 0);
    ASSERT_TRUE(eventually([&] { return a.takeOutputLost(); }, std::chrono::seconds(10)));
    EXPECT_EQ(a.getFrequency(again), 0) << "deck A's channel is stopped";
    EXPECT_EQ(daemon.streamSinks(), QStringList({"quenlow_speakers"}));
    ASSERT_GE(daemon.addSink("quenlow_phones", "Quenlow Phones"), 0) << daemon.log().toStdString();
    ASSERT_NE(a.streamPlay(-1, sa), 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return daemon.streamSinks().contains("quenlow_phones"); }));

    // Deck B is on the server's default output, not on the speakers by name: with the speakers
    // gone it follows the server onto another output and plays on.
    ASSERT_TRUE(daemon.unloadModule(speakers)) << daemon.log().toStdString();
    const int bThen = b.streamGetTime(sb);
    EXPECT_TRUE(eventually([&] { return b.streamGetTime(sb) >= bThen + 500; })) << "deck B stopped at " << bThen;
    EXPECT_FALSE(b.takeOutputLost());
    EXPECT_EQ(daemon.streamSinks().size(), 2) << daemon.streamSinks().join(", ").toStdString();
    a.close();
    b.close();
}

TEST_F(SoundDeviceLoss, ADeviceRestsWhileNothingPlaysAndALossMeanwhileIsToldAtTheNextPlay)
{
    // With nothing to play the device stream stops (no callbacks, no wakeups) and the next play
    // or resume starts it again. Nothing the decks read or set changes for it: the position holds
    // through the rest, pitch, volume and a move set meanwhile read back and hold, the song
    // ends exactly at its length. A sound server gone while the deck rests is found at the next
    // play, which fails and tells it once; a server back by then simply plays.

    SoundEngine a(QStringLiteral("A"));
    a.setDriver(pulse);
    ASSERT_NE(a.init(44100, 32, 2), 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return a.outputRests(); })) << "nothing plays after the init";
    const auto s = a.streamOpen(media("tone10s.mp3"), 8192, 0, 0);
    const int len = a.streamGetLengthMs(s);
    const int ch = a.streamPlay(-1, s);
    ASSERT_NE(ch, 0);
    EXPECT_FALSE(a.outputRests());
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= 300; }));

    a.setPaused(ch, 1);
    ASSERT_TRUE(eventually([&] { return a.outputRests(); })) << "a paused deck plays nothing";
    const int held = a.streamGetTime(s);
    EXPECT_EQ(a.setFrequency(ch, 55125), 1);
    EXPECT_EQ(a.setVolume(ch, 100), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(a.streamGetTime(s), held);
    EXPECT_EQ(a.getFrequency(ch), 55125);
    EXPECT_EQ(a.getVolume(ch), 100);
    EXPECT_EQ(a.getPaused(ch), 1);
    EXPECT_EQ(a.streamGetLengthMs(s), len);
    EXPECT_FALSE(a.takeOutputLost());
    EXPECT_TRUE(a.outputRests());
    EXPECT_EQ(a.streamSetTime(s, 5000), 1);
    EXPECT_EQ(a.streamGetTime(s), 5000);
    EXPECT_TRUE(a.outputRests()) << "a move of a paused song needs no callbacks";

    // The resume plays on from there, from a decoder slowed as by a busy machine (some forty times
    // faster than the sound, where the start asks for a third of a second at once): the output
    // waits for it, and the sound never runs dry. The end meets the length and the device rests
    // again.
    a.slowDecoderThread(std::chrono::milliseconds(2));
    EXPECT_EQ(a.setPaused(ch, 0), 1);
    EXPECT_FALSE(a.outputRests());
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= 5300; }));
    EXPECT_EQ(a.underruns(), 0u);
    a.slowDecoderThread({});
    EXPECT_EQ(a.getFrequency(ch), 55125);
    a.streamSetTime(s, len - 300);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) == len; }));
    ASSERT_TRUE(eventually([&] { return a.outputRests(); }));
    EXPECT_EQ(a.streamGetTime(s), len);
    EXPECT_EQ(a.getFrequency(ch), 0) << "the channel is over";
    EXPECT_EQ(a.underruns(), 0u);

    // The server restarted while the deck rests: the next play just plays.
    daemon.kill();
    ASSERT_TRUE(daemon.start()) << daemon.log().toStdString();
    a.streamStop(s);
    const int again = a.streamPlay(-1, s);
    ASSERT_NE(again, 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return a.streamGetTime(s) >= 300; }));
    EXPECT_FALSE(a.takeOutputLost());

    // The server gone while the deck rests: the resume fails, the loss is told once and the
    // stream keeps its place; with the server back the deck plays again.
    a.setPaused(again, 1);
    ASSERT_TRUE(eventually([&] { return a.outputRests(); }));
    const int restedAt = a.streamGetTime(s);
    daemon.kill();
    EXPECT_EQ(a.setPaused(again, 0), 0);
    EXPECT_EQ(a.getError(), audio::ErrPlay);
    EXPECT_TRUE(a.takeOutputLost());
    EXPECT_FALSE(a.takeOutputLost()) << "told once";
    EXPECT_EQ(a.getFrequency(again), 0) << "the deck's channel is stopped";
    EXPECT_EQ(a.streamGetTime(s), restedAt);
    EXPECT_EQ(a.streamPlay(-1, s), 0);
    ASSERT_TRUE(daemon.start()) << daemon.log().toStdString();
    ASSERT_NE(a.streamPlay(-1, s), 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return a.streamGetTime(s) >= restedAt + 300; }));
    EXPECT_FALSE(a.takeOutputLost());
    a.close();
}

// Puts the engine on the server's "pulse" device as at start-up: an idle null sink takes up the
// stream's latency at the end of its 2 s block, which is waited out before anything plays.
static bool startAsAtStartUp(SoundEngine& a, int pulse)
{
    a.setDriver(pulse);
    if (a.init(44100, 32, 2) == 0)
        return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return true;
}

static void startsAreWhole(int pulse, MachineFaults& faults)
{
    // A play and a resume on an output at rest, recorded from the sink's monitor: the 5 ms fade-in
    // is whole and nothing of the song's start is lost, whatever the sink's period was doing when
    // the start came; heard at once. The sink is kept running meanwhile by a program recording it
    // at a long latency (as a set is recorded or streamed), which lets the sink run far ahead of
    // what it plays wherever nothing asks for less: a start is heard at once all the same, the
    // first play after the init and a start after a long rest as much as any other.
    MonitorRecording recorder("quenlow_test", std::chrono::seconds(2));
    MonitorRecording monitor;
    ASSERT_TRUE(recorder.recording() && monitor.recording());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    SoundEngine a(QStringLiteral("A"));
    a.setDriver(pulse);
    ASSERT_NE(a.init(44100, 32, 2), 0) << a.getError();
    const MachineFaultsWatch watch(faults, {&a}, &monitor);
    const auto heardSoon = [](const StartsFromRest& starts, const char* what) {
        EXPECT_EQ(starts.stepped, 0) << what << ": steepest step " << starts.steepest << ", " << starts.steepestAtMs
                                     << " ms past the onset";
        EXPECT_EQ(starts.lost, 0) << what << ": most frames lost " << starts.mostLost;
        EXPECT_EQ(starts.unheard, 0) << what;
        ASSERT_FALSE(starts.heardMs.empty());
        EXPECT_LT(starts.heardMs.back(), 30.0) << what << ": the slowest start";
        std::cout << what << ": heard after";
        for (const double ms : starts.heardMs)
            std::cout << ' ' << ms;
        std::cout << " ms\n";
    };
    const StartsFromRest first = startFromRest(a, media("tone100hz_half.mp3"), monitor, 1);
    heardSoon(first, "the first play after the init");
    const StartsFromRest soon = startFromRest(a, media("tone100hz_half.mp3"), monitor, 15);
    heardSoon(soon, "starts as soon as the output rests");
    EXPECT_LT(soon.heardMs[soon.heardMs.size() / 2], 25.0);
    const StartsFromRest late =
        startFromRest(a, media("tone100hz_half.mp3"), monitor, 3, std::chrono::milliseconds(6500));
    heardSoon(late, "starts after 6.5 s of rest");
    EXPECT_EQ(a.underruns(), 0u);
    if (first.dropouts + soon.dropouts + late.dropouts > 0)
        std::cout << "The server dropped its sound " << first.dropouts + soon.dropouts + late.dropouts
                  << " times, for a moment each\n";
    a.close();
}

// Where a tone first sounds after `from`, having been silent for at least `quietFrames` before:
// the frame, or the recording's length when it does not.
static std::size_t toneStartAfter(const std::vector<float>& sound, std::size_t from, std::size_t quietFrames)
{
    std::size_t quiet = 0;
    for (std::size_t f = from; f < sound.size() / 2; ++f) {
        const bool loud = std::fabs(sound[f * 2]) > 0.02f;
        if (loud && quiet >= quietFrames)
            return f;
        quiet = loud ? 0 : quiet + 1;
    }
    return sound.size() / 2;
}

// The tone's frequency over `frames` from `at`, from its rising zero crossings.
static double toneHzAt(const std::vector<float>& sound, std::size_t at, std::size_t frames)
{
    std::vector<double> rising;
    for (std::size_t f = std::max<std::size_t>(at, 1); f < at + frames && f < sound.size() / 2; ++f) {
        const float x0 = sound[(f - 1) * 2], x1 = sound[f * 2];
        if (x0 < 0.0f && x1 >= 0.0f)
            rising.push_back(double(f - 1) + double(-x0 / (x1 - x0)));
    }
    if (rising.size() < 2)
        return 0.0;
    return 44100.0 * double(rising.size() - 1) / (rising.back() - rising.front());
}

static void startsAtTheDecksVolumeAndSpeed(int pulse, MachineFaults& faults)
{
    // A deck starts its song paused, sets its crossfader volume and its pitch, then lets it go, so
    // the first sample heard is at both (a play at once would start at full volume and normal
    // speed, heard before a change a moment later could be). Recorded from the sink's monitor:
    // with the volume at 0 (the crossfader at the other deck's end) five plays from stop are never
    // heard; at pitch 40600 five plays of the 440 Hz tone sound at 405 Hz from their first 10 ms.
    // Some from an output at rest, some from one still running after the last stop.
    using std::chrono::milliseconds;
    MonitorRecording monitor;
    ASSERT_TRUE(monitor.recording());
    SoundEngine a(QStringLiteral("A"));
    ASSERT_TRUE(startAsAtStartUp(a, pulse)) << a.getError();
    const MachineFaultsWatch watch(faults, {&a}, &monitor);
    const auto s = a.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
    ASSERT_NE(s, 0u);
    const auto playFromStop = [&](int round, int volume, int hz) {
        if (round % 2 == 0)
            ASSERT_TRUE(eventually([&] { return a.outputRests(); }));
        else
            std::this_thread::sleep_for(milliseconds(100)); // still running, well apart from the last
        const int ch = a.streamPlay(-1, s, true);
        ASSERT_NE(ch, 0) << a.getError();
        EXPECT_EQ(a.setVolume(ch, volume), 1);
        EXPECT_EQ(a.setFrequency(ch, hz), 1);
        EXPECT_EQ(a.setPaused(ch, 0), 1);
        EXPECT_TRUE(eventually([&] { return a.streamGetTime(s) >= 150; }));
        a.streamStop(s);
    };
    for (int round = 0; round < 5; ++round)
        playFromStop(round, 0, 44100);
    std::this_thread::sleep_for(milliseconds(400)); // the last of it through the server
    const std::size_t quietUntil = monitor.sound().size() / 2;
    for (int round = 0; round < 5; ++round)
        playFromStop(round, 255, 40600);
    std::this_thread::sleep_for(milliseconds(400));
    a.close();

    const std::vector<float> sound = monitor.sound();
    float loudest = 0.0f;
    for (std::size_t i = 0; i < quietUntil * 2; ++i)
        loudest = std::max(loudest, std::fabs(sound[i]));
    EXPECT_LT(loudest, 0.001f) << "a play at volume 0 was heard";
    std::cout << "Plays at volume 0: the loudest sample " << loudest << " of full scale\n";
    int starts = 0;
    for (std::size_t at = toneStartAfter(sound, quietUntil, 2205); at < sound.size() / 2;
         at = toneStartAfter(sound, at + 4410, 2205)) {
        ++starts;
        const double hz = toneHzAt(sound, at, 441);
        EXPECT_NEAR(hz, 440.0 * 40600 / 44100, 6.0) << "the first 10 ms of start " << starts;
        std::cout << "Start " << starts << " at 40600: the first 10 ms at " << hz * 44100 / 440 << " Hz\n";
    }
    EXPECT_EQ(starts, 5);
}

TEST_F(SoundDeviceLoss, AStartIsAtTheDecksVolumeAndSpeedFromItsFirstSample)
{
    measureAgain([&](MachineFaults& faults) { startsAtTheDecksVolumeAndSpeed(pulse, faults); });
}

TEST_F(SoundOnPipeWire, AStartIsAtTheDecksVolumeAndSpeedFromItsFirstSample)
{
    measureAgain([&](MachineFaults& faults) { startsAtTheDecksVolumeAndSpeed(pulse, faults); });
}

TEST_F(SoundDeviceLoss, AServerThatHangsIsALostDeviceAndHoldsNoCallLong)
{
    // A sound server that stops answering (stopped, swapped out, deadlocked) fails no connection:
    // the deck's output hears nothing more from it. Every call returns at once meanwhile; the loss
    // is told once the output has gone quiet for a while, and a play waits for the server only a
    // few seconds before it fails. The server going on again, the deck plays again.
    using std::chrono::milliseconds;
    // Only the devices a pulse server serves go to it; sound cards and unknown names do not.
    EXPECT_TRUE(audio::pulseRouteOf(QStringLiteral("pulse")).has_value());
    for (const char* other : {"", "hw:0,0", "plughw:0", "no such device"})
        EXPECT_FALSE(audio::pulseRouteOf(QString::fromLatin1(other)).has_value()) << other;

    SoundEngine a(QStringLiteral("A"));
    a.setDriver(pulse);
    ASSERT_NE(a.init(44100, 32, 2), 0) << a.getError();
    const auto s = a.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
    const int ch = a.streamPlay(-1, s);
    ASSERT_NE(ch, 0);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= 300; }));

    daemon.freeze(true);
    const auto within = [](milliseconds most, auto call) {
        const auto t0 = Clock::now();
        call();
        return Clock::now() - t0 < most;
    };
    EXPECT_TRUE(within(milliseconds(100), [&] { a.setVolume(ch, 100); }));
    EXPECT_TRUE(within(milliseconds(100), [&] { a.setPaused(ch, 1); }));
    EXPECT_TRUE(within(milliseconds(100), [&] { a.setPaused(ch, 0); }));
    EXPECT_TRUE(within(milliseconds(100), [&] { a.streamSetTime(s, 5000); }));
    // The list of the server's outputs waits for it a couple of seconds at most, then has none.
    EXPECT_TRUE(within(milliseconds(audio::kServerOutputsWaitMs + 1000),
                       [&] { EXPECT_TRUE(audio::serverOutputs().empty()); }));
    ASSERT_TRUE(eventually([&] { return a.takeOutputLost(); }, std::chrono::seconds(10)))
        << "a server that hangs was never taken for lost";
    EXPECT_FALSE(a.takeOutputLost()) << "told once";
    EXPECT_EQ(a.getFrequency(ch), 0) << "the deck's channel is stopped";
    EXPECT_TRUE(within(milliseconds(6000), [&] { EXPECT_EQ(a.streamPlay(-1, s), 0); }))
        << "a play waits for a hung server only a few seconds";
    EXPECT_EQ(a.getError(), audio::ErrPlay);

    daemon.freeze(false);
    const int heldAt = a.streamGetTime(s);
    ASSERT_NE(a.streamPlay(-1, s), 0) << a.getError();
    EXPECT_TRUE(eventually([&] { return a.streamGetTime(s) >= heldAt + 300; }));
    EXPECT_FALSE(a.takeOutputLost());
    EXPECT_TRUE(within(milliseconds(100), [&] { a.close(); }));
}

static void changesAreRewritten(int pulse, MachineFaults& faults)
{
    // The server holds about 0.3 s of the deck's sound, so the output wakes seldom; a change at
    // the deck (volume, pause, resume, pitch, a move) is written over what the server has not
    // read yet. Each is heard within a few hundredths of a second (the queue alone would take
    // far longer), the sound has no click at any seam, and the position read is that of what
    // the server has read: held while paused, at the new speed after a pitch change, exactly the
    // length at the end.
    using std::chrono::milliseconds;
    MonitorRecording monitor;
    ASSERT_TRUE(monitor.recording());
    SoundEngine a(QStringLiteral("A"));
    // As at start-up: the starts themselves are looked at in startsAreWhole.
    ASSERT_TRUE(startAsAtStartUp(a, pulse)) << a.getError();
    const MachineFaultsWatch watch(faults, {&a}, &monitor);
    const auto s = a.streamOpen(media("tone30s.mp3"), 8192, 0, 0);
    const int len = a.streamGetLengthMs(s);
    const int ch = a.streamPlay(-1, s);
    ASSERT_NE(ch, 0);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= 500; }));
    // The output's own thread mixes at real time where the system allows it; the thread that
    // called play (the interface's, in the program) keeps its own priority.
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);
    if (realtimeAllowed()) {
        EXPECT_EQ(policyOfThread("qn-pulse A"), SCHED_FIFO);
    }

    const auto silent = [](float level) { return level < 0.005f; };
    const auto loud = [](float level) { return level > 0.15f; };
    const auto heardWithin = [&](milliseconds most, auto change,
                                 const std::function<bool(float)>& test) -> testing::AssertionResult {
        const auto t0 = Clock::now();
        change();
        const auto at = monitor.waitFor(test, t0, milliseconds(1000));
        if (at && *at - t0 < most)
            return testing::AssertionSuccess();
        if (!at)
            return testing::AssertionFailure() << "not heard within a second";
        return testing::AssertionFailure()
               << "heard after " << std::chrono::duration<double, std::milli>(*at - t0).count() << " ms";
    };
    const milliseconds prompt(50);
    EXPECT_TRUE(heardWithin(prompt, [&] { a.setVolume(ch, 0); }, silent));
    EXPECT_TRUE(heardWithin(prompt, [&] { a.setVolume(ch, 255); }, loud));
    // A crossfader moved through its whole way in small steps.
    for (int v = 255; v >= 0; v -= 5) {
        a.setVolume(ch, v);
        std::this_thread::sleep_for(milliseconds(3 + v % 7));
    }
    for (int v = 0; v <= 255; v += 15) {
        a.setVolume(ch, v);
        std::this_thread::sleep_for(milliseconds(5));
    }
    EXPECT_TRUE(heardWithin(prompt, [&] { a.setPaused(ch, 1); }, silent));
    std::this_thread::sleep_for(milliseconds(300));
    const int held = a.streamGetTime(s);
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_EQ(a.streamGetTime(s), held) << "a paused deck holds its place";
    EXPECT_TRUE(heardWithin(prompt, [&] { a.setPaused(ch, 0); }, loud));

    // A quarter faster: the position runs at that speed from where the server reads.
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= held + 300; }));
    a.setFrequency(ch, 55125);
    std::this_thread::sleep_for(milliseconds(200));
    const int from = a.streamGetTime(s);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(milliseconds(600));
    const double wall = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    EXPECT_NEAR(a.streamGetTime(s) - from, 1.25 * wall, 40);

    // A move is heard at once and read back as set; the end is met exactly, a change just before
    // it notwithstanding, and stays.
    EXPECT_EQ(a.streamSetTime(s, 20000), 1);
    EXPECT_GE(a.streamGetTime(s), 20000);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= 20200; }, std::chrono::seconds(2)));
    EXPECT_LT(a.streamGetTime(s), 20600);
    a.streamSetTime(s, len - 500);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) >= len - 300; }));
    a.setVolume(ch, 200);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(s) == len; }));
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(a.streamGetTime(s), len);
    EXPECT_EQ(a.getFrequency(ch), 0) << "the channel is over";
    EXPECT_EQ(a.underruns(), 0u);

    // No click anywhere: a 440 Hz tone at half scale (550 Hz a quarter faster) bends by 0.005
    // from one sample to the next at most, by 0.008 where the speed changes; a seam of two
    // sounds that do not meet by far more.
    // The song's own last frame, where the tone stops, is not a seam: the look ends there, and
    // 3 ms before on a server that plays the stream through its resampler (PipeWire's sink runs at
    // 48 kHz), which rings around that stop. Nor are the server's own dropouts (see Dropout).
    const std::vector<float> sound = monitor.sound();
    const std::vector<Dropout> dropouts = serverDropouts(sound);
    std::size_t last = sound.size();
    while (last > 0 && std::fabs(sound[last - 1]) < 1e-4f)
        --last;
    last = last > 2 * 132 ? last - 2 * 132 : 0;
    float worst = 0.0f;
    std::size_t at = 0;
    for (std::size_t i = 4; i < last; i += 2) {
        const float bend = std::fabs(sound[i] - 2 * sound[i - 2] + sound[i - 4]);
        if (bend > worst && !inDropout(dropouts, i / 2)) {
            worst = bend;
            at = i / 2;
        }
    }
    EXPECT_LT(worst, 0.02f) << "a click at frame " << at << " of " << sound.size() / 2;
    if (!dropouts.empty())
        std::cout << "The server dropped its sound " << dropouts.size() << " times, for a moment each\n";

    // Fast forward on a 48 kHz song, 2.72 source frames to each output frame: the ring still
    // holds all of it the server has queued, so a change is heard at once, nothing runs dry and
    // the position runs at 2.5 times the clock.
    const auto f = a.streamOpen(media("rate48k.mp3"), 8192, 0, 0);
    const int fch = a.streamPlay(-1, f);
    ASSERT_NE(fch, 0);
    a.setFrequency(fch, 110250);
    ASSERT_TRUE(eventually([&] { return a.streamGetTime(f) >= 2000; }));
    EXPECT_TRUE(heardWithin(prompt, [&] { a.setVolume(fch, 0); }, silent));
    EXPECT_TRUE(heardWithin(prompt, [&] { a.setVolume(fch, 255); }, loud));
    const int ffFrom = a.streamGetTime(f);
    const auto ff0 = Clock::now();
    std::this_thread::sleep_for(milliseconds(800));
    const double ffWall = std::chrono::duration<double, std::milli>(Clock::now() - ff0).count();
    EXPECT_NEAR(a.streamGetTime(f) - ffFrom, 2.5 * ffWall, 60);
    EXPECT_EQ(a.underruns(), 0u);
    a.close();
}

TEST_F(SoundDeviceLoss, AChangeRewritesWhatTheServerHoldsHeardAtOnceWithoutAClickPositionsExact)
{
    measureAgain([&](MachineFaults& faults) { changesAreRewritten(pulse, faults); });
}

// PipeWire's pulse server says its sink takes ten times what its graph does at a time: a change is
// heard as soon all the same.
TEST_F(SoundOnPipeWire, AChangeRewritesWhatTheServerHoldsHeardAtOnceWithoutAClickPositionsExact)
{
    measureAgain([&](MachineFaults& faults) { changesAreRewritten(pulse, faults); });
}

TEST_F(SoundDeviceLoss, StartsFromRestNeitherClickNorLoseTheSongsBeginning)
{
    measureAgain([&](MachineFaults& faults) { startsAreWhole(pulse, faults); });
}

TEST_F(SoundOnPipeWire, StartsFromRestNeitherClickNorLoseTheSongsBeginning)
{
    measureAgain([&](MachineFaults& faults) { startsAreWhole(pulse, faults); });
}
