#include "startup_fixture.h"

#include <QFile>

namespace {

class ConfigureSound : public StartupTest {
protected:
    void withTestSound()
    {
        QFile::remove(file("testdevice.wav"));
        ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLOW_BINARY_DIR "/testdevice.wav"), file("testdevice.wav")));
    }
    static QString caption(frmConfigureSound& d, const char* name) { return ctl<SkinControl>(&d, name)->text(); }
};

} // namespace

TEST_F(ConfigureSound, BothListsShowTheEnginesDevicesInOrderWithNothingChosen)
{
    // Whatever config.ini says, nothing is preselected.
    WriteINI("SoundDevices", "PADEVICENUM", "1", configFile());
    frmConfigureSound d;
    const QStringList names = audio::outputDeviceNames();
    ASSERT_FALSE(names.isEmpty());
    EXPECT_EQ(names.last(), "No sound (silent)") << "a machine without a sound card can still run";
    for (const char* list : {"lstPlayerA", "lstPlayerB"}) {
        auto* l = ctl<QListWidget>(&d, list);
        QStringList shown;
        for (int i = 0; i < l->count(); ++i)
            shown << l->item(i)->text();
        EXPECT_EQ(shown, names) << list;
        EXPECT_EQ(frmConfigureSound::selectedRow(l), -1) << list;
    }
    EXPECT_EQ(caption(d, "lblPlayerASel"), "Sel:");
    EXPECT_EQ(caption(d, "lblPlayerBSel"), "Sel:");
    EXPECT_EQ(caption(d, "lblPlayerATest"), "Test Me!");
    EXPECT_EQ(caption(d, "lblSaveDevices"), "Ok, I Think I Got It!");
    EXPECT_EQ(caption(d, "lblNoClose"), "Not Right Now Please");
    EXPECT_EQ(d.windowTitle(), "Configure Your Sound Devices");
}

TEST_F(ConfigureSound, ChoosingADeviceSetsUpThatPlayersEngineAndChoosingAgainSwitchesQuietly)
{
    frmConfigureSound d;
    pick(d, "lstPlayerA", silentRow());
    EXPECT_EQ(caption(d, "lblPlayerASel"), "Sel: No sound (silent)");
    EXPECT_TRUE(EngineA().isInitialized());
    EXPECT_FALSE(EngineB().isInitialized());

    // A second choice on a running engine moves it over without an error.
    auto* a = ctl<QListWidget>(&d, "lstPlayerA");
    a->clearSelection();
    pick(d, "lstPlayerA", silentRow());
    EXPECT_TRUE(boxes.shown.empty()) << boxes.shown.front().text.toStdString();
    EXPECT_TRUE(EngineA().isInitialized());

    // The same device may serve both players.
    pick(d, "lstPlayerB", silentRow());
    EXPECT_TRUE(EngineB().isInitialized());
    EXPECT_EQ(caption(d, "lblPlayerBSel"), "Sel: No sound (silent)");
}

TEST_F(ConfigureSound, TestDoesNothingUntilADeviceIsChosenAndAgainAfterRefresh)
{
    withTestSound();
    frmConfigureSound d;
    d.lblPlayerATest_Click();
    d.lblPlayerBTest_Click();
    EXPECT_FALSE(EngineA().isInitialized());
    EXPECT_EQ(deckState().StreamA, 0);
    EXPECT_TRUE(boxes.shown.empty());

    pick(d, "lstPlayerA", silentRow());
    d.lblRefresh_Click();
    EXPECT_EQ(caption(d, "lblPlayerASel"), "Sel:");
    EXPECT_EQ(ctl<QListWidget>(&d, "lstPlayerA")->count(), audio::outputDeviceNames().size());
    EXPECT_TRUE(EngineA().isInitialized()) << "Refresh leaves the engines alone";
    d.lblPlayerATest_Click();
    EXPECT_EQ(deckState().StreamA, 0);
}

TEST_F(ConfigureSound, TestPlaysTheTestSoundOnThatPlayersEngineAndSaveStopsIt)
{
    withTestSound();
    frmConfigureSound d;
    pick(d, "lstPlayerA", silentRow());
    pick(d, "lstPlayerB", silentRow());
    d.lblPlayerBTest_Click();
    EXPECT_NE(deckState().StreamB, 0);
    EXPECT_NE(deckState().ChannelB, 0);
    EXPECT_EQ(deckState().StreamA, 0);
    EngineB().advanceMs(200);
    EXPECT_GT(EngineB().outputLevel(), 0.0f) << "the tone is heard";
    EXPECT_EQ(EngineA().outputLevel(), 0.0f);

    d.lblPlayerATest_Click();
    EXPECT_NE(deckState().ChannelA, 0);
    const long first = deckState().StreamA;
    d.lblPlayerATest_Click(); // a second test starts the sound over on a fresh engine
    EXPECT_NE(deckState().StreamA, 0);
    EXPECT_NE(deckState().StreamA, first);

    d.lblSaveDevices_Click();
    EXPECT_TRUE(d.saved());
    EXPECT_FALSE(EngineA().isInitialized());
    EXPECT_FALSE(EngineB().isInitialized());
    // Closing the engines forgot the handles that pointed into them.
    EXPECT_EQ(deckState().StreamA, 0);
    EXPECT_EQ(deckState().ChannelA, 0);
    EXPECT_EQ(deckState().StreamB, 0);
    EXPECT_EQ(deckState().ChannelB, 0);
}

TEST_F(ConfigureSound, MissingTestSoundIsReportedAndNothingPlays)
{
    frmConfigureSound d;
    pick(d, "lstPlayerA", silentRow());
    d.lblPlayerATest_Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_TRUE(boxes.shown[0].text.contains("testdevice.wav"));
    EXPECT_EQ(boxes.shown[0].flags, vb::mb::OKOnly);
    EXPECT_EQ(deckState().StreamA, 0);
    EXPECT_EQ(deckState().ChannelA, 0);
}

TEST_F(ConfigureSound, SaveNeedsADeviceForEachPlayerAndNamesPlayerAFirst)
{
    frmConfigureSound d;
    d.lblSaveDevices_Click();
    pick(d, "lstPlayerB", silentRow());
    d.lblSaveDevices_Click();
    ctl<QListWidget>(&d, "lstPlayerB")->clearSelection();
    pick(d, "lstPlayerA", silentRow());
    d.lblSaveDevices_Click();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[0].text, "You need to select a sound device for Player A!");
    EXPECT_EQ(boxes.shown[1].text, "You need to select a sound device for Player A!");
    EXPECT_EQ(boxes.shown[2].text, "You need to select a sound device for Player B!");
    for (const auto& b : boxes.shown) {
        EXPECT_EQ(b.title, "Error");
        EXPECT_EQ(b.flags, vb::mb::Critical);
    }
    EXPECT_FALSE(d.saved());
    EXPECT_FALSE(QFile::exists(file("config.ini"))) << "nothing is written";
}

TEST_F(ConfigureSound, SaveWritesTheFiveKeysInOrderThenTheSinksAndClosesBothEngines)
{
    WriteINI("PROG", "FIRSTRUN", "DONE", configFile());
    frmConfigureSound d;
    const int silent = silentRow();
    pick(d, "lstPlayerA", silent);
    pick(d, "lstPlayerB", 0);
    EngineB().close(); // whatever the first device did, the save must work
    boxes.shown.clear();
    d.lblSaveDevices_Click();
    ASSERT_TRUE(d.saved());
    const QByteArray n = QByteArray::number(silent + 1);
    const QByteArray firstName = audio::outputDeviceNames().first().toUtf8();
    EXPECT_EQ(bytes("config.ini"), "[PROG]\r\nFIRSTRUN=DONE\r\n[SoundDevices]\r\nConfigure=False\r\nPADEVICENUM=" + n
                                       + "\r\nPADEVICENAME=No sound (silent)\r\nPBDEVICENUM=1\r\nPBDEVICENAME="
                                       + firstName + "\r\nPADEVICESINK=\r\nPBDEVICESINK=\r\n")
        << "neither is an output of a sound server";
    EXPECT_FALSE(EngineA().isInitialized());
    EXPECT_FALSE(EngineB().isInitialized());
}

TEST_F(ConfigureSound, QuitAndWindowCloseBothLeaveTheEnginesClosedWithoutSaving)
{
    {
        frmConfigureSound d;
        pick(d, "lstPlayerA", silentRow());
        pick(d, "lstPlayerB", silentRow());
        d.lblNoClose_Click();
        EXPECT_TRUE(d.quitRequested());
        EXPECT_FALSE(EngineA().isInitialized());
        EXPECT_FALSE(EngineB().isInitialized());
    }
    {
        frmConfigureSound d;
        pick(d, "lstPlayerA", silentRow());
        d.reject();
        EXPECT_FALSE(d.quitRequested()) << "closing the window is not a request to quit";
        EXPECT_FALSE(EngineA().isInitialized());
    }
    EXPECT_FALSE(QFile::exists(file("config.ini")));
}
