// The main window's global key procedures: the function keys reach the decks once, the view
// letters switch views except from the search box.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "decks/decks.h"
#include "platform/ui/vb.h"
#include "shell/frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

class GlobalKeys : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;

    void SetUp() override
    {
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        checkMarks() = CheckMarks();
        deckState().reset();
        w = std::make_unique<frmMain>();
    }
    void TearDown() override
    {
        w.reset();
        deckState().reset();
        errorlog::setFolder(QString());
    }
    bool shown(const char* view) { return !ctl<QWidget>(w.get(), view)->isHidden(); }
    void down(int code, int shift = 0) { w->GlobalKeyDown(code, shift); }
};

} // namespace

TEST_F(GlobalKeys, ViewLettersSwitchViewsButNotFromTheSearchBox)
{
    down('D');
    EXPECT_TRUE(shown("ViewDJPlaylist"));
    down('M');
    EXPECT_TRUE(shown("ViewMostPlayed"));
    EXPECT_FALSE(shown("ViewDJPlaylist"));
    down('R');
    EXPECT_TRUE(shown("ViewRequests"));
    down('F', 1); // typed into the search box
    EXPECT_TRUE(shown("ViewRequests"));
    down('F');
    EXPECT_TRUE(shown("ViewFullPlaylist"));
    down('S');
    EXPECT_TRUE(shown("ViewSearchSongs"));
    // S again while the Search view shows: the whole search text is selected.
    auto* search = ctl<QLineEdit>(w.get(), "txtSearch");
    search->setText(QStringLiteral("old words"));
    search->deselect();
    down('S');
    EXPECT_EQ(search->selectedText(), "old words");
    // Other letters do nothing.
    down('Q');
    EXPECT_TRUE(shown("ViewSearchSongs"));
}

TEST_F(GlobalKeys, FunctionKeysReachTheDecksAndKeyUpClearsTheHeldFlags)
{
    auto* a = ctl<QSlider>(w.get(), "sldAFreq");
    a->setValue(44100);
    int f10 = vb::key::F10;
    w->GlobalKeyDown(f10, 0);
    EXPECT_EQ(a->value(), 44200);
    EXPECT_EQ(f10, vb::key::F10); // the key is not changed
    EXPECT_TRUE(deckState().bF10Down);
    w->GlobalKeyUp(f10);
    EXPECT_FALSE(deckState().bF10Down);
    // F5 stops deck B; on an idle deck it still clears the counted flag.
    deckState().bCountedB = true;
    down(vb::key::F5);
    EXPECT_FALSE(deckState().bCountedB);
}

TEST_F(GlobalKeys, TheLoadStartsBothDecksWithoutAStream)
{
    // What the sound device dialog's test may leave behind.
    deckState().StreamA = 77;
    deckState().StreamB = 78;
    deckState().ChannelA = 5;
    w->steps.resetDecks();
    EXPECT_EQ(deckState().StreamA, 0);
    EXPECT_EQ(deckState().StreamB, 0);
    EXPECT_EQ(deckState().ChannelA, 0);
}

TEST_F(GlobalKeys, PitchArrowsOnTheSliderNeverGoAgainstTheirDirection)
{
    // The whole path of a key on the slider: the window's keys, the deck's arrow rule, then the
    // slider's own step of 50 in the arrow's direction.
    w->show();
    w->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    auto* a = ctl<QSlider>(w.get(), "sldAFreq");
    a->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), a);
    struct Case {
        int from;
        Qt::Key key;
        int to;
    };
    const Case cases[] = {
        {35000, Qt::Key_Left, 34950},  {41250, Qt::Key_Left, 41150},  {44100, Qt::Key_Left, 43950},
        {50000, Qt::Key_Right, 50050}, {46950, Qt::Key_Right, 47050}, {44100, Qt::Key_Right, 44250},
    };
    for (const Case& c : cases) {
        a->setValue(c.from);
        QTest::keyClick(a, c.key);
        EXPECT_EQ(a->value(), c.to) << c.from << (c.key == Qt::Key_Left ? " Left" : " Right");
    }
}
