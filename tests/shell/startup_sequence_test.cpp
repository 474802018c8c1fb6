#include "core/errorlog.h"
#include "shell/frmStartUpProcess.h"
#include "shell/sessionend.h"
#include "startup_fixture.h"

#include <QFile>
#include <QTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString UpdateText = QStringLiteral(
    "I noticed you updated \"Quenlow\".  Would you like to review the changes made?\r\n\r\n"
    "You can always view the update list from the Full Playlist Menu.");
const QString NoMediaText = QStringLiteral("I didn't find any media paths! I will let you configure those.");

class StartupSequence : public StartupTest {
protected:
    int soundShown = 0;
    int mediaShown = 0;
    bool mediaStartup = false;
    QString musicFolder;
    std::function<void(frmConfigureSound&)> onSound;
    std::function<void(frmMediaPaths&)> onMedia;

    void SetUp() override
    {
        StartupTest::SetUp();
        musicFolder = tmp.path() + QStringLiteral("/Music");
        QDir().mkpath(musicFolder);
        // What a new user does: the silent device for both players, then one music folder.
        onSound = [](frmConfigureSound& d) {
            pick(d, "lstPlayerA", silentRow());
            pick(d, "lstPlayerB", silentRow());
            d.lblSaveDevices_Click();
        };
        onMedia = [this](frmMediaPaths& d) {
            boxes.folders.push_back(musicFolder);
            d.lblAdd_MouseUp(); // the box holds no choice yet: the chooser opens
            d.lblAdd_MouseUp();
            d.lblSaveDevices_Click();
        };
        startup::environment().runModal = [this](QDialog& d) {
            if (auto* s = qobject_cast<frmConfigureSound*>(&d)) {
                ++soundShown;
                onSound(*s);
            } else if (auto* m = qobject_cast<frmMediaPaths*>(&d)) {
                ++mediaShown;
                mediaStartup = m->bStartup;
                onMedia(*m);
            }
        };
    }

    // Runs the sequence in the current folder with a lock of its own.
    bool start(int* exitCode = nullptr)
    {
        startup::InstanceLock lock;
        frmStartUpProcess s(lock);
        const bool open = s.Form_Load();
        if (exitCode)
            *exitCode = s.exitCode();
        // The lock goes with the run, as it does when the process ends.
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
        return open;
    }

    void writeSettled()
    {
        WriteINI("PROG", "FIRSTRUN", "DONE", configFile());
        WriteINI("UPDATES", "NEWUPDATE", "FALSE", configFile());
        ASSERT_TRUE(medialist::write({{musicFolder, "Yes"}}));
    }

    QStringList boxTexts() const
    {
        QStringList t;
        for (const auto& b : boxes.shown)
            t << b.text;
        return t;
    }
};

} // namespace

TEST_F(StartupSequence, FirstStartWalksThroughEveryStepAndWritesTheKeysInOrder)
{
    boxes.answers = {vb::mb::OK, vb::mb::No};
    bool enginesUp = false;
    startup::environment().showMain = [&] {
        ++mainShown;
        enginesUp = EngineA().isInitialized() && EngineB().isInitialized();
    };
    ASSERT_TRUE(start());

    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_TRUE(boxes.shown[0].text.startsWith("Welcome to Quenlow!"));
    EXPECT_EQ(boxes.shown[0].flags, vb::mb::OKOnly);
    EXPECT_EQ(boxes.shown[0].title, "Quenlow");
    EXPECT_EQ(boxes.shown[1].text, UpdateText);
    EXPECT_EQ(boxes.shown[1].flags, vb::mb::YesNo);
    EXPECT_EQ(boxes.shown[1].title, "Update Detected");
    EXPECT_EQ(boxes.shown[2].text, NoMediaText);
    EXPECT_EQ(boxes.shown[2].flags, vb::mb::Critical);
    EXPECT_EQ(boxes.shown[2].title, "No Media Paths Found");
    EXPECT_EQ(updatesShown, 0);
    EXPECT_EQ(soundShown, 1);
    EXPECT_EQ(mediaShown, 1);
    EXPECT_TRUE(mediaStartup) << "a missing list opens the dialog in start-up mode";
    EXPECT_EQ(mainShown, 1);
    EXPECT_TRUE(enginesUp) << "both engines run when the main window opens";
    EXPECT_FALSE(startup::splashLoaded());
    EXPECT_TRUE(ErrorTrapOn);
    EXPECT_EQ(AppPath, dir);

    const QString cfg = QString::fromUtf8(bytes("config.ini"));
    const auto prog = cfg.indexOf("[PROG]"), upd = cfg.indexOf("[UPDATES]"), snd = cfg.indexOf("[SoundDevices]");
    EXPECT_TRUE(prog == 0 && prog < upd && upd < snd) << cfg.toStdString();
    const QString device = QString::number(silentRow() + 1);
    EXPECT_EQ(ini("PROG", "FIRSTRUN"), "DONE");
    EXPECT_EQ(ini("UPDATES", "NEWUPDATE"), "FALSE");
    EXPECT_EQ(ini("SoundDevices", "Configure"), "False");
    EXPECT_EQ(ini("SoundDevices", "PADEVICENUM"), device);
    EXPECT_EQ(ini("SoundDevices", "PBDEVICENUM"), device);
    EXPECT_EQ(ini("SoundDevices", "PADEVICENAME"), audio::outputDeviceNames().last());
    EXPECT_EQ(deckState().DeviceA, device.toInt());
    EXPECT_EQ(deckState().DeviceB, device.toInt());
    EXPECT_EQ(bytes("MediaList.qnl"), "\"" + musicFolder.toUtf8() + "\",\"Yes\"\r\n");
}

TEST_F(StartupSequence, LaterStartsAskOnlyForTheSoundDevices)
{
    writeSettled();
    ASSERT_TRUE(start());
    EXPECT_TRUE(boxes.shown.empty()) << boxTexts().join(" / ").toStdString();
    EXPECT_EQ(soundShown, 1) << "the device dialog opens on every start";
    EXPECT_EQ(mediaShown, 0);
    EXPECT_EQ(mainShown, 1);
}

TEST_F(StartupSequence, GarbageInTheSettingsFileIsKeptAndDoesNotStopTheStart)
{
    const QByteArray junk = QByteArray("\xff\xfe garbage line\r\n=no key\r\n[unclosed\r\n") + QByteArray(3, '\0')
                            + "\r\n[PROG]\r\nFIRSTRUN = DONE \r\n[UPDATES]\r\nNEWUPDATE=FALSE\r\nNEWUPDATE=TRUE\r\n";
    ASSERT_TRUE(testutil::writeAll(file("config.ini"), junk));
    ASSERT_TRUE(medialist::write({{musicFolder, "Yes"}}));
    ASSERT_TRUE(start());
    EXPECT_TRUE(boxes.shown.empty()) << boxTexts().join(" / ").toStdString();
    EXPECT_EQ(mainShown, 1);
    EXPECT_TRUE(bytes("config.ini").startsWith(junk)) << "every other line stays as it was";
    EXPECT_EQ(ini("SoundDevices", "Configure"), "False");
}

TEST_F(StartupSequence, UpdatePromptOnlyForAnAbsentOrExactlyUpperCaseTrueKey)
{
    const struct {
        const char* stored; // nullptr: no key at all
        bool prompts;
    } cases[] = {{nullptr, true}, {"TRUE", true}, {"NULL", true}, {"True", false}, {"true", false}, {"", false},
                 {"FALSE", false}};
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(absent)");
        useFolder(tmp.path() + QStringLiteral("/case%1").arg(++n));
        WriteINI("PROG", "FIRSTRUN", "DONE", configFile());
        if (c.stored)
            WriteINI("UPDATES", "NEWUPDATE", c.stored, configFile());
        ASSERT_TRUE(medialist::write({{musicFolder, "Yes"}}));
        boxes.shown.clear();
        boxes.answers = {vb::mb::Yes};
        updatesShown = 0;
        ASSERT_TRUE(start());
        EXPECT_EQ(boxes.shown.size(), c.prompts ? 1u : 0u);
        EXPECT_EQ(updatesShown, c.prompts ? 1 : 0) << "Yes opens the update notes";
        EXPECT_EQ(ini("UPDATES", "NEWUPDATE"), c.prompts ? "FALSE" : (c.stored ? c.stored : "NULL"));
    }
}

TEST_F(StartupSequence, ScreenSmallBothWaysEndsTheProgramBeforeTheDialogs)
{
    writeSettled();
    const struct {
        QSize size;
        bool passes;
    } cases[] = {{{800, 600}, false}, {{1023, 767}, false}, {{1024, 600}, true}, {{800, 1024}, true},
                 {{1024, 768}, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1x%2").arg(c.size.width()).arg(c.size.height()).toStdString());
        startup::environment().screenSize = [&] { return c.size; };
        boxes.shown.clear();
        soundShown = mainShown = 0;
        int code = -1;
        EXPECT_EQ(start(&code), c.passes);
        EXPECT_EQ(soundShown, c.passes ? 1 : 0);
        EXPECT_EQ(mainShown, c.passes ? 1 : 0);
        if (!c.passes) {
            ASSERT_EQ(boxes.shown.size(), 1u);
            EXPECT_EQ(boxes.shown[0].text, "1024x768 needed to operate 'Quenlow' correctly!,  Exiting program");
            EXPECT_EQ(boxes.shown[0].title, "Screen Resolution");
            EXPECT_EQ(boxes.shown[0].flags, vb::mb::Critical);
            EXPECT_NE(code, 0);
        }
    }
    startup::InstanceLock lock;
    frmStartUpProcess s(lock);
    startup::environment().screenSize = [] { return QSize(1024, 600); };
    EXPECT_EQ(s.ScreenResolution(), "1024 X 600");
}

TEST_F(StartupSequence, SecondInstanceIsRefusedBeforeItShowsOrWritesAnything)
{
    startup::InstanceLock first;
    ASSERT_TRUE(first.tryLock(dir));
    int code = 0;
    EXPECT_FALSE(start(&code));
    EXPECT_NE(code, 0);
    // Not even the first-run notice: its answer would go into the running copy's settings.
    ASSERT_EQ(boxes.shown.size(), 1u) << boxTexts().join(" / ").toStdString();
    EXPECT_EQ(boxes.shown[0].text, "Quenlow is already running!");
    EXPECT_EQ(boxes.shown[0].title, "Exiting");
    EXPECT_EQ(boxes.shown[0].flags, vb::mb::Critical);
    EXPECT_FALSE(QFile::exists(file("config.ini")));
    EXPECT_EQ(soundShown, 0);
    EXPECT_EQ(mainShown, 0);
    EXPECT_FALSE(startup::splashLoaded());

    // Once the first instance is gone the folder is free again.
    first.unlock();
    writeSettled();
    boxes.shown.clear();
    EXPECT_TRUE(start());
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(StartupSequence, LockOfACrashedInstanceDoesNotKeepTheNextOneOut)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The other instance: takes the lock, says so, and waits to be killed.
        startup::InstanceLock lock;
        const char ok = lock.tryLock(dir) ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        for (;;)
            pause();
    }
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    {
        startup::InstanceLock mine;
        EXPECT_FALSE(mine.tryLock(dir)) << "the other instance runs";
    }
    kill(child, SIGKILL); // a crash: nothing is unlocked or removed in order
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_TRUE(QFile::exists(file(startup::InstanceLock::fileName())));
    startup::InstanceLock mine;
    EXPECT_TRUE(mine.tryLock(dir));
}

TEST_F(StartupSequence, EmptyMediaListOpensTheDialogOutsideStartUpMode)
{
    writeSettled();
    ASSERT_TRUE(testutil::writeAll(file("MediaList.qnl"), ""));
    ASSERT_TRUE(start());
    EXPECT_EQ(mediaShown, 1);
    EXPECT_FALSE(mediaStartup);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, NoMediaText);
}

TEST_F(StartupSequence, MediaListWithRecordsIsCountedWithoutOpeningTheDialog)
{
    writeSettled();
    // Blank lines, a folder that is gone, an empty flag and a truncated last record.
    ASSERT_TRUE(testutil::writeAll(file("MediaList.qnl"),
                                   "\"" + musicFolder.toUtf8() + "\",\"Yes\"\r\n\r\n\"/gone/away\",\"\"\r\n\"/half"));
    startup::InstanceLock lock;
    frmStartUpProcess s(lock);
    ASSERT_TRUE(s.Form_Load());
    EXPECT_EQ(mediaShown, 0);
    ASSERT_EQ(s.lstMediaPaths().size(), 2u);
    EXPECT_EQ(s.lstMediaPaths()[1].path, "/gone/away");
    EXPECT_EQ(s.lstMediaPaths()[1].scan, "Yes");
}

TEST_F(StartupSequence, QuittingEitherDialogEndsTheProgramAtOnce)
{
    writeSettled();
    onSound = [](frmConfigureSound& d) {
        pick(d, "lstPlayerA", silentRow());
        d.lblNoClose_Click();
    };
    int code = -1;
    EXPECT_FALSE(start(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(mediaShown, 0);
    EXPECT_EQ(mainShown, 0);
    EXPECT_FALSE(EngineA().isInitialized());
    EXPECT_EQ(ini("SoundDevices", "PADEVICENUM"), "NULL") << "nothing is saved";

    QFile::remove(file("MediaList.qnl"));
    onSound = [](frmConfigureSound& d) {
        pick(d, "lstPlayerA", silentRow());
        pick(d, "lstPlayerB", silentRow());
        d.lblSaveDevices_Click();
    };
    onMedia = [](frmMediaPaths& d) { d.lblNoClose_Click(); };
    EXPECT_FALSE(start(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(mainShown, 0);
    EXPECT_FALSE(EngineA().isInitialized()) << "the engines are not set up";
    EXPECT_FALSE(QFile::exists(file("MediaList.qnl")));
}

TEST_F(StartupSequence, TheSessionEndingInADialogEndsTheProgramAtOnce)
{
    // SIGTERM while the sound device dialog is open: the sequence goes no further, nothing is
    // saved, and the status is that of a session end.
    writeSettled();
    auto endSession = [](int sig) {
        ::raise(sig);
        EXPECT_TRUE(QTest::qWaitFor([] { return session::ending(); }));
    };
    onSound = [&](frmConfigureSound& d) {
        pick(d, "lstPlayerA", silentRow());
        endSession(SIGTERM);
    };
    int code = -1;
    EXPECT_FALSE(start(&code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(mainShown, 0);
    EXPECT_EQ(ini("SoundDevices", "PADEVICENUM"), "NULL");
    EXPECT_FALSE(startup::splashLoaded());
    session::reset();

    // SIGHUP while a box of the main window's load is open: both engines are closed first.
    onSound = [](frmConfigureSound& d) {
        pick(d, "lstPlayerA", silentRow());
        pick(d, "lstPlayerB", silentRow());
        d.lblSaveDevices_Click();
    };
    bool enginesWereUp = false;
    startup::environment().showMain = [&] {
        ++mainShown;
        enginesWereUp = EngineA().isInitialized() && EngineB().isInitialized();
        endSession(SIGHUP);
    };
    startup::InstanceLock lock;
    frmStartUpProcess s(lock);
    EXPECT_FALSE(s.Form_Load());
    EXPECT_EQ(s.exitCode(), 0);
    EXPECT_EQ(mainShown, 1);
    EXPECT_TRUE(enginesWereUp);
    EXPECT_FALSE(EngineA().isInitialized());
    EXPECT_FALSE(EngineB().isInitialized());
    session::reset();

    // The session ends while the first start's welcome, or the update question, is open: the
    // box was never answered, so it is asked again at the next start (the settings untouched).
    // While a box that ends the program anyway is open (a screen too small): the status is still
    // that of a session end.
    for (const char* box : {"Welcome", "Update", "Screen"}) {
        useFolder(tmp.path() + QStringLiteral("/fresh-") + QLatin1String(box));
        if (QLatin1String(box) != QLatin1String("Welcome"))
            WriteINI("PROG", "FIRSTRUN", "DONE", configFile());
        if (QLatin1String(box) == QLatin1String("Screen")) {
            WriteINI("UPDATES", "NEWUPDATE", "FALSE", configFile());
            startup::environment().screenSize = [] { return QSize(800, 600); };
        }
        const QByteArray settings = bytes(QStringLiteral("config.ini"));
        boxes.shown.clear();
        boxes.onShow = [&](const ui::ScriptedDialogs::Shown&) { endSession(SIGTERM); };
        EXPECT_FALSE(start(&code)) << box;
        boxes.onShow = nullptr;
        EXPECT_EQ(code, 0) << box;
        EXPECT_EQ(boxes.shown.size(), 1u) << box;
        EXPECT_EQ(bytes(QStringLiteral("config.ini")), settings) << box;
        session::reset();
    }
    closeOnSessionEnd(nullptr);
}

TEST_F(StartupSequence, MissingOrUnusableDeviceNumbersFallBackToTheDefaultDevice)
{
    writeSettled();
    WriteINI("SoundDevices", "PADEVICENUM", "NULL", configFile());
    WriteINI("SoundDevices", "PBDEVICENUM", "99", configFile());
    // The dialog closed by the window manager: nothing saved, engines left closed.
    onSound = [](frmConfigureSound& d) {
        pick(d, "lstPlayerA", silentRow());
        d.reject();
    };
    bool enginesUp = false;
    startup::environment().showMain = [&] {
        ++mainShown;
        enginesUp = EngineA().isInitialized() && EngineB().isInitialized();
    };
    ASSERT_TRUE(start());
    EXPECT_EQ(deckState().DeviceA, 0);
    EXPECT_EQ(deckState().DeviceB, 0);
    EXPECT_TRUE(enginesUp);
    EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(StartupSequence, StoredDeviceWhoseNameMovedOrVanishedIsFoundByNameOrLeftToTheDefault)
{
    // Saved while a sound card was position 1; it is gone now and position 1 is another device.
    writeSettled();
    WriteINI("SoundDevices", "PADEVICENUM", "1", configFile());
    WriteINI("SoundDevices", "PADEVICENAME", "USB Audio CODEC", configFile());
    WriteINI("SoundDevices", "PBDEVICENUM", "1", configFile());
    WriteINI("SoundDevices", "PBDEVICENAME", audio::outputDeviceNames().first(), configFile());
    onSound = [](frmConfigureSound& d) { d.reject(); };
    ASSERT_TRUE(start());
    EXPECT_EQ(deckState().DeviceA, 0) << "the system's default, not whatever is at position 1 now";
    EXPECT_EQ(deckState().DeviceB, 1) << "still at its place";
    const QByteArray log = testutil::readAll(errorlog::folder() + "/QNLERRORS.log");
    EXPECT_TRUE(log.contains("Player A: Sound device \"USB Audio CODEC\" is not listed")) << log.constData();
    EXPECT_FALSE(log.contains("Player B")) << log.constData();
}

TEST(StartupDeviceNumber, StoredNumberStandsOnlyWhileItsDeviceIsStillTheStoredOne)
{
    // The system's devices, then the sound server's outputs (two of them described alike), then
    // the silent output.
    const std::vector<audio::DeviceEntry> now = {
        {"HDA Intel PCH: ALC3246 Analog (hw:0,0)", ""},
        {"pulse", ""},
        {"default", ""},
        {"USB Audio Analog Stereo", "alsa_output.usb-1"},
        {"Headphones (alsa_output.usb-2)", "alsa_output.usb-2"},
        {"Headphones (alsa_output.pci-3)", "alsa_output.pci-3"},
        {"No sound (silent)", ""},
    };
    struct Case {
        const char* number;
        const char* name;
        const char* sink;
        int expected;
        bool logged;
    };
    const Case cases[] = {
        // Stored before server outputs were listed (no sink key), or a device that is none.
        {"2", "pulse", "NULL", 2, false},                     // unchanged
        {"1", "pulse", "NULL", 2, true},                      // moved: found by its name
        {"1", "USB Audio CODEC", "NULL", 0, true},            // gone: the system's default
        {"9", "No sound (silent)", "NULL", 7, true},          // a number past the list, the name still there
        {"NULL", "default", "NULL", 3, true},                 // no number, a name
        {"3", "NULL", "NULL", 3, false},                      // nothing else stored: the number alone
        {"3", "", "", 3, false},
        {"NULL", "NULL", "NULL", 0, false},
        {"2", "pulse", "", 2, false},
        {"1", "USB Audio Analog Stereo", "", 0, true},        // a card of that name, not the server's output
        // A server output, known by its sink.
        {"4", "USB Audio Analog Stereo", "alsa_output.usb-1", 4, false},
        {"6", "USB Audio Analog Stereo", "alsa_output.usb-1", 4, true}, // moved
        {"4", "Old description", "alsa_output.usb-1", 4, false},         // described otherwise now
        {"NULL", "NULL", "alsa_output.usb-1", 4, true},
        {"6", "Headphones (alsa_output.usb-2)", "alsa_output.usb-2", 5, true}, // alike, kept apart
        {"5", "Headphones", "alsa_output.pci-3", 6, true},
        // Gone, another of that name there: waited for, never replaced.
        {"4", "USB Audio Analog Stereo", "alsa_output.usb-9", -1, true},
        {"NULL", "NULL", "alsa_output.usb-9", -1, true},
    };
    for (const Case& c : cases) {
        QString change, sink;
        EXPECT_EQ(startup::deviceNumberFor(c.number, c.name, c.sink, now, &change, &sink), c.expected)
            << c.number << " " << c.name << " " << c.sink;
        EXPECT_EQ(!change.isEmpty(), c.logged) << c.number << " " << c.name << ": " << change.toStdString();
        const QString stored = QString::fromLatin1(c.sink);
        EXPECT_EQ(sink, stored == "NULL" ? QString() : stored) << "a server output is opened by its sink";
    }
    QString change;
    startup::deviceNumberFor("4", "USB Audio Analog Stereo", "alsa_output.usb-9", now, &change);
    EXPECT_EQ(change, "Sound output \"USB Audio Analog Stereo\" (alsa_output.usb-9) is not listed (number 4 is now "
                      "\"USB Audio Analog Stereo\"): the player waits for it and plays on no other output");
}

TEST(StartupDeviceNumber, WholeNumbersOfListedDevicesOnly)
{
    EXPECT_EQ(startup::deviceNumberFromSetting("3", 5), 3);
    EXPECT_EQ(startup::deviceNumberFromSetting(" 2 ", 5), 2);
    EXPECT_EQ(startup::deviceNumberFromSetting("2.5", 5), 2) << "halves go to the even neighbour";
    EXPECT_EQ(startup::deviceNumberFromSetting("3.5", 5), 4);
    EXPECT_EQ(startup::deviceNumberFromSetting("5", 5), 5);
    for (const char* bad : {"0", "6", "-1", "NULL", "", "abc", "1e9", "nan", "inf", "0.4"})
        EXPECT_EQ(startup::deviceNumberFromSetting(bad, 5), 0) << bad;
}
