// The sound server's outputs in the device dialog and the start-up, with real parts: a PulseAudio
// daemon of the test's own with two outputs besides its own (null sinks described as a sound card
// would be), both engines on real outputs. Part of the sound-server program, run alone.
#include "core/errorlog.h"
#include "library/medialist.h"
#include "shell/frmStartUpProcess.h"
#include "startup_fixture.h"
#include "support/pulsedaemon.h"

#include <QFile>

#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

class ServerOutputs : public StartupTest {
protected:
    PulseDaemon daemon {tmp.path() + QStringLiteral("/server")};
    int speakers = -1;
    int phones = -1;

    void SetUp() override
    {
        StartupTest::SetUp();
        if (!daemon.start())
            GTEST_SKIP() << "a PulseAudio daemon cannot start on this machine: " << daemon.log().toStdString();
        daemon.connectHere();
        speakers = daemon.addSink(QStringLiteral("quenlow_speakers"), QStringLiteral("Quenlow Speakers"));
        phones = daemon.addSink(QStringLiteral("quenlow_phones"), QStringLiteral("Quenlow Phones"));
        ASSERT_TRUE(speakers >= 0 && phones >= 0) << daemon.log().toStdString();
        EngineA().setManualClock(false);
        EngineB().setManualClock(false);
        QFile::remove(file("testdevice.wav"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLOW_BINARY_DIR "/testdevice.wav"), file("testdevice.wav")));
    }

    static int rowOf(frmConfigureSound& d, const char* list, const QString& text)
    {
        const auto found = ctl<QListWidget>(&d, list)->findItems(text, Qt::MatchExactly);
        return found.size() == 1 ? ctl<QListWidget>(&d, list)->row(found.first()) : -1;
    }

    static bool heard(MonitorRecording& on, Clock::time_point since)
    {
        return on.waitFor([](float level) { return level > 0.05f; }, since, std::chrono::milliseconds(5000))
            .has_value();
    }

    // The start-up from a settled folder, the device dialog closed without a save (the stored
    // choice stands); `atMain` runs when the main window would open, both engines up.
    bool start(const std::function<void()>& atMain)
    {
        WriteINI("PROG", "FIRSTRUN", "DONE", configFile());
        WriteINI("UPDATES", "NEWUPDATE", "FALSE", configFile());
        QDir().mkpath(file("Music"));
        if (!medialist::write({{file("Music"), "Yes"}}))
            return false;
        auto& env = startup::environment();
        env.runModal = [](QDialog& d) { d.reject(); };
        env.showMain = atMain;
        startup::InstanceLock lock;
        frmStartUpProcess s(lock);
        const bool open = s.Form_Load();
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
        return open;
    }

    // Plays the test sound on the engine of a player set up by the start-up.
    static bool playsOn(SoundBinding& fmod, MonitorRecording& on)
    {
        const auto t0 = Clock::now();
        const long s = fmod.FSOUND_Stream_Open(AppPath + QStringLiteral("/testdevice.wav"), FSOUND_2D, 0, 0);
        return s != 0 && fmod.FSOUND_Stream_Play(-1, s) != 0 && heard(on, t0);
    }
};

} // namespace

TEST_F(ServerOutputs, TwoOutputsAreListedTestedStoredAndFoundAgainAtTheNextStart)
{
    MonitorRecording onSpeakers("quenlow_speakers"), onPhones("quenlow_phones");
    ASSERT_TRUE(onSpeakers.recording() && onPhones.recording());
    int numA = 0, numB = 0;
    {
        // Listed by their descriptions in both lists; "Test Me!" plays on each player's own output.
        frmConfigureSound d;
        const int a = rowOf(d, "lstPlayerA", "Quenlow Speakers");
        const int b = rowOf(d, "lstPlayerB", "Quenlow Phones");
        ASSERT_GE(a, 0);
        ASSERT_GE(b, 0);
        EXPECT_EQ(rowOf(d, "lstPlayerB", "Quenlow Speakers"), a);
        pick(d, "lstPlayerA", a);
        pick(d, "lstPlayerB", b);
        EXPECT_TRUE(boxes.shown.empty());
        auto t0 = Clock::now();
        d.lblPlayerATest_Click();
        EXPECT_TRUE(heard(onSpeakers, t0)) << "Player A's test on the speakers";
        t0 = Clock::now();
        d.lblPlayerBTest_Click();
        EXPECT_TRUE(heard(onPhones, t0)) << "Player B's test on the headphones";
        EXPECT_EQ(daemon.streamSinks(), QStringList({"quenlow_speakers", "quenlow_phones"}));
        d.lblSaveDevices_Click();
        ASSERT_TRUE(d.saved());
        numA = a + 1;
        numB = b + 1;
    }
    EXPECT_EQ(ini("SoundDevices", "PADEVICENUM"), QString::number(numA));
    EXPECT_EQ(ini("SoundDevices", "PADEVICENAME"), "Quenlow Speakers");
    EXPECT_EQ(ini("SoundDevices", "PADEVICESINK"), "quenlow_speakers");
    EXPECT_EQ(ini("SoundDevices", "PBDEVICENAME"), "Quenlow Phones");
    EXPECT_EQ(ini("SoundDevices", "PBDEVICESINK"), "quenlow_phones");

    // Before the next start the speakers are plugged out and in again, described otherwise now,
    // and a card of the same make as before is plugged in: the list numbers and names them all
    // anew. Each player still finds its own output, and the log says where it is now.
    ASSERT_TRUE(daemon.unloadModule(speakers));
    ASSERT_GE(daemon.addSink(QStringLiteral("quenlow_other"), QStringLiteral("Quenlow Speakers")), 0);
    speakers = daemon.addSink(QStringLiteral("quenlow_speakers"), QStringLiteral("Front Speakers"));
    ASSERT_GE(speakers, 0);
    MonitorRecording onSpeakersAgain("quenlow_speakers");
    ASSERT_TRUE(onSpeakersAgain.recording());
    const QStringList now = audio::outputDeviceNames();
    const int frontAt = int(now.indexOf("Front Speakers")) + 1;
    const int phonesAt = int(now.indexOf("Quenlow Phones")) + 1;
    ASSERT_NE(frontAt, numA);
    ASSERT_NE(phonesAt, numB);
    bool played = false;
    ASSERT_TRUE(start([&] {
        EXPECT_EQ(deckState().DeviceA, frontAt);
        EXPECT_EQ(deckState().DeviceB, phonesAt);
        EXPECT_TRUE(playsOn(FMod, onSpeakersAgain)) << "deck A on the speakers";
        EXPECT_TRUE(playsOn(FMod2, onPhones)) << "deck B on the headphones";
        played = true;
    }));
    EXPECT_TRUE(played);
    EXPECT_TRUE(errorLog().contains(QStringLiteral("Player A: Sound output \"Quenlow Speakers\" (quenlow_speakers) "
                                                   "is now number %1")
                                        .arg(frontAt)))
        << errorLog().toStdString();

    // The headphones gone by the next start (the dialog left with Escape): deck B is never carried
    // onto another output, where its pre-listen would reach the crowd. It waits for its own: a
    // play fails and nothing of it plays anywhere, the log and the message line say so; plugged in
    // again, the headphones play at the next play.
    ASSERT_TRUE(daemon.unloadModule(phones));
    const int frontNow = int(audio::outputDeviceNames().indexOf("Front Speakers")) + 1;
    played = false;
    ASSERT_TRUE(start([&] {
        EXPECT_EQ(deckState().DeviceA, frontNow);
        EXPECT_EQ(deckState().DeviceB, -1);
        EXPECT_EQ(deckState().OutputNotice,
                  "Player B's sound output \"Quenlow Phones\" is missing: the player plays once it is back.");
        EXPECT_TRUE(playsOn(FMod, onSpeakersAgain)) << "deck A on the speakers";
        const long s = FMod2.FSOUND_Stream_Open(AppPath + QStringLiteral("/testdevice.wav"), FSOUND_2D, 0, 0);
        ASSERT_NE(s, 0);
        EXPECT_EQ(FMod2.FSOUND_Stream_Play(-1, s), 0);
        EXPECT_EQ(FMod2.FSOUND_GetError(), audio::ErrPlay);
        EXPECT_EQ(daemon.streamSinks(), QStringList({"quenlow_speakers"})) << "deck B plays nowhere";
        phones = daemon.addSink(QStringLiteral("quenlow_phones"), QStringLiteral("Quenlow Phones"));
        ASSERT_GE(phones, 0);
        MonitorRecording onPhonesBack("quenlow_phones");
        ASSERT_TRUE(onPhonesBack.recording());
        EXPECT_TRUE(playsOn(FMod2, onPhonesBack)) << "deck B on the headphones back";
        EXPECT_EQ(daemon.streamSinks(), QStringList({"quenlow_speakers", "quenlow_phones"}));
        played = true;
    }));
    EXPECT_TRUE(played);
    EXPECT_TRUE(errorLog().contains("Player B: Sound output \"Quenlow Phones\" (quenlow_phones) is not listed"))
        << errorLog().toStdString();
    EXPECT_TRUE(errorLog().contains("the player waits for it and plays on no other output")) << errorLog().toStdString();
}
