// The hotkeys of the real main window on a real X server (Xvfb), pressed with xdotool while
// another X client has the keyboard focus. These tests run from tests/e2e/hotkeys_xvfb.sh; on
// any other platform they are skipped.
#include "mainwindow_fixture.h"
#include "x11keyrecorder.h"

#include "core/frmEditMP3.h"
#include "core/keyboardhook.h"
#include "core/soundbindings.h"
#include "decks/crossfader.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "support/engines.h"
#include "support/testutil.h"

#include <QGuiApplication>
#include <QProcess>
#include <QTreeView>

namespace {

bool onX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

bool xdotool(const QStringList& args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

bool xdotoolKey(const QStringList& keys)
{
    return xdotool(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("40")} + keys);
}

// Ctrl and a key as fingers press them: the key goes up while Ctrl is still held. (xdotool's
// "key ctrl+Right" lets go of Ctrl first.)
bool ctrlTap(const QString& key)
{
    return xdotool({"keydown", "ctrl", "keydown", key, "keyup", key, "keyup", "ctrl"});
}

class HotkeysXvfb : public MainWindowTest {
protected:
    ui::ScriptedDialogs dialogs;

    void SetUp() override
    {
        if (!onX11())
            GTEST_SKIP() << "needs an X server (run by tests/e2e/hotkeys_xvfb.sh)";
        ui::setDialogs(&dialogs);
        MainWindowTest::SetUp();
        ASSERT_TRUE(startBothEngines());
    }

    void TearDown() override
    {
        if (!onX11())
            return;
        releaseDeckStreams();
        MainWindowTest::TearDown();
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
        crossfader().setLeft(Crossfader::Centre);
        ui::setDialogs(nullptr);
    }

    // The main window with its real keyboard hook, both decks playing.
    void showWithHook()
    {
        w->steps.installKeyboardHook = [this] { w->keyboardHook->InstallKeyboardHook(); };
        w->steps.removeKeyboardHook = [this] { w->keyboardHook->RemoveKeyboardHook(); };
        w->showMain();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        ASSERT_TRUE(w->keyboardHook->HookInstalled);
        DeckState& d = deckState();
        const QString song = testutil::media(QStringLiteral("tone30s.mp3"));
        d.StreamA = FMod.FSOUND_Stream_Open(song, FSOUND_2D, 0, 0);
        d.StreamB = FMod2.FSOUND_Stream_Open(song, FSOUND_2D, 0, 0);
        d.ChannelA = FMod.FSOUND_Stream_Play(-1, d.StreamA);
        d.ChannelB = FMod2.FSOUND_Stream_Play(-1, d.StreamB);
        ASSERT_NE(d.ChannelA, 0);
        ASSERT_NE(d.ChannelB, 0);
    }

    static bool knobAt(double twips)
    {
        return QTest::qWaitFor([&] { return crossfader().Left() == twips; }, 5000);
    }

    static bool volumes(int a, int b)
    {
        return QTest::qWaitFor(
            [&] {
                const DeckState& d = deckState();
                return EngineA().getVolume(d.ChannelA) == a && EngineB().getVolume(d.ChannelB) == b;
            },
            5000);
    }
};

} // namespace

TEST_F(HotkeysXvfb, CrossfaderKeysAreTakenFromTheFocusedProgram)
{
    // A desktop that switches workspaces with Ctrl+Alt+Left keeps that key.
    X11KeyRecorder desktop;
    ASSERT_TRUE(desktop.ok());
    ASSERT_TRUE(desktop.grab("Left", X11KeyRecorder::controlMask() | X11KeyRecorder::mod1Mask()));
    showWithHook();
    X11KeyRecorder other;
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.focus());
    auto* knob = c("picSlider");

    // Three times xdotool's Ctrl+Right: three steps of 15 twips (its releases come after
    // Ctrl's, so they do not count).
    ASSERT_TRUE(xdotoolKey({"ctrl+Right", "ctrl+Right", "ctrl+Right"}));
    EXPECT_TRUE(knobAt(945 + 3 * 15)) << crossfader().Left();
    EXPECT_EQ(knob->x(), vb::px(990));
    EXPECT_TRUE(volumes(234, 255));
    // A tap with Ctrl held through the release: press and release each move the knob.
    ASSERT_TRUE(ctrlTap("Right"));
    EXPECT_TRUE(knobAt(990 + 30)) << crossfader().Left();
    EXPECT_TRUE(volumes(220, 255));
    // A plain key after them arrives, and none of the arrows did before it; plain arrows
    // still reach the focused program and leave the knob alone.
    ASSERT_TRUE(xdotoolKey({"x", "Right", "Left"}));
    ASSERT_TRUE(other.waitForPress("Left"));
    EXPECT_EQ(other.presses("x"), 1);
    EXPECT_EQ(other.presses("Right"), 1) << "Ctrl+Right reached the focused program";
    EXPECT_EQ(crossfader().Left(), 1020);

    // With Num Lock on the keys are still taken.
    other.clear();
    ASSERT_TRUE(xdotoolKey({"Num_Lock", "ctrl+Left", "x"}));
    ASSERT_TRUE(other.waitForPress("x"));
    EXPECT_TRUE(knobAt(1005)) << crossfader().Left();
    EXPECT_EQ(other.presses("Left"), 0) << "Ctrl+Left reached the focused program with Num Lock on";
    bool numLocked = false;
    for (const auto& k : other.keys())
        numLocked |= k.name == "x" && !k.release && (k.state & X11KeyRecorder::mod2Mask()) != 0;
    EXPECT_TRUE(numLocked) << "Num Lock did not lock";
    ASSERT_TRUE(xdotoolKey({"Num_Lock"}));

    // Control with Shift, Alt or Super held as well is still Control and the key; only the
    // desktop's Ctrl+Alt+Left passes the hook by (the last step shows it did not move the knob).
    other.clear();
    ASSERT_TRUE(xdotoolKey({"ctrl+shift+Right", "ctrl+alt+Right", "ctrl+super+Right", "ctrl+alt+Left", "ctrl+Right", "x"}));
    ASSERT_TRUE(other.waitForPress("x"));
    EXPECT_TRUE(knobAt(1005 + 4 * 15)) << crossfader().Left();
    EXPECT_EQ(other.presses("Right"), 0) << "Ctrl with another modifier and Right reached the focused program";
    EXPECT_EQ(other.presses("Left"), 0);

    // Ctrl+Down centres the knob with both decks at full volume.
    other.clear();
    ASSERT_TRUE(xdotoolKey({"ctrl+Down", "x"}));
    ASSERT_TRUE(other.waitForPress("x"));
    EXPECT_TRUE(knobAt(945)) << crossfader().Left();
    EXPECT_TRUE(volumes(255, 255));
    EXPECT_EQ(other.presses("Down"), 0);

    // Once the hook is removed, Ctrl+Right belongs to the focused program again.
    w->keyboardHook->RemoveKeyboardHook();
    other.clear();
    ASSERT_TRUE(xdotoolKey({"ctrl+Right"}));
    ASSERT_TRUE(other.waitForPress("Right"));
    EXPECT_EQ(crossfader().Left(), 945);
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(HotkeysXvfb, CtrlEOpensTheSelectedSongAndStillReachesTheFocusedProgram)
{
    const QString one = testutil::copyMedia(QStringLiteral("tone30s.mp3"), dir.path(), QStringLiteral("one.mp3"));
    const QString two = testutil::copyMedia(QStringLiteral("tone30s.mp3"), dir.path(), QStringLiteral("two.mp3"));
    w->library->full().append(SongRow("One", "A", "0:30", "Dance", one));
    w->library->full().append(SongRow("Two", "B", "0:30", "Dance", two));
    showWithHook();
    Library::selectRow(c<QTreeView>("lstFullPlaylist"), 2, false);
    QStringList opened; // the tag editor, answered at once
    w->runTagEditor = [&](QDialog&) { opened << frmEditMP3::EditFilePath; };
    X11KeyRecorder other;
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.focus());

    ASSERT_TRUE(ctrlTap("e"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, 5000));
    EXPECT_EQ(opened, QStringList{two});
    EXPECT_TRUE(other.waitForPress("e")) << "Ctrl+E was taken from the focused program";
}

TEST_F(HotkeysXvfb, InstallFailsCleanlyWhenAnotherProgramHoldsAKey)
{
    X11KeyRecorder other;
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(other.grab("Right", X11KeyRecorder::controlMask()));

    w->steps.installKeyboardHook = [this] { w->keyboardHook->InstallKeyboardHook(); };
    w->Form_Load();
    EXPECT_FALSE(w->keyboardHook->HookInstalled);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Failed to install Keyboard Hook");
    // Nothing of the hook stays grabbed, and the program runs on.
    EXPECT_TRUE(other.grab("Left", X11KeyRecorder::controlMask()));
    EXPECT_TRUE(other.grab("Down", X11KeyRecorder::controlMask() | X11KeyRecorder::mod2Mask()));
    EXPECT_TRUE(errorLog().isEmpty()) << errorLog().toStdString();
}
