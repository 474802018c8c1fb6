// The main window's load, list font, stand-by, drag, clock, orderly close and small windows.
#include "mainwindow_fixture.h"

#include "core/soundbindings.h"
#include "core/windowdrag.h"
#include "decks/deckstate.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "shell/frmShowUpdates.h"
#include "shell/frmWait.h"
#include "shell/sessionend.h"

#include <QCursor>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSet>
#include <QTime>
#include <QTimer>
#include <QTreeView>
#include <csignal>

namespace {
const char* const kSongLists[] = {"lstDJPlayList", "lstFullPlaylist", "lstMostPlayed",
                                  "lstRequests",   "lstSearch",       "lstSongBin"};
}

// ---------------------------------------------------------------------------------------------
// Load

TEST_F(MainWindowTest, LoadRunsItsStepsInOrder)
{
    w->Form_Load();
    EXPECT_EQ(calls, (QStringList{"installKeyboardHook", "openRequestDatabase", "resetDecks", "addSearchPlaceholder",
                                  "loadStoredLists", "closeStartupWindows", "startMediaScanIfEmpty"}));
    EXPECT_EQ(c<SkinControl>("picClockColon1")->picture().cacheKey(), w->imgClock.ListImage(12).cacheKey());
    EXPECT_EQ(c<SkinControl>("picClockColon2")->picture().cacheKey(), w->imgClock.ListImage(12).cacheKey());
    for (const char* lamp : {"picPlayerABeatTop", "picPlayerBBeatTop"})
        EXPECT_EQ(c<SkinControl>(lamp)->picture().cacheKey(), w->imgBeatNeutral.ListImage(1).cacheKey());
    EXPECT_EQ(c<SkinControl>("picPlayerBBeatLeft")->picture().cacheKey(), w->imgBeatNeutral.ListImage(4).cacheKey());
    EXPECT_EQ(checkMarks().autoFillSource, CheckMarks::FillSource::FullPlaylist);
    EXPECT_EQ(c<SkinControl>("lblPlayerATitle")->foreColor(), vb::Black);

    calls.clear();
    w->Form_Load(); // once only
    EXPECT_TRUE(calls.isEmpty());
}

TEST_F(MainWindowTest, FontSizeSettingChoosesTheMarkAndTheListFonts)
{
    struct Case {
        const char* stored; // null: no config.ini at all
        CheckMarks::FontMark mark;
        double size;        // 0: the lists keep their design size
    };
    const Case cases[] = {
        {nullptr, CheckMarks::FontMark::Normal, 0},
        {"8.25", CheckMarks::FontMark::Normal, 8},
        {"12", CheckMarks::FontMark::Large, 12},
        {"15.75", CheckMarks::FontMark::Largest, 16},
        {"10", CheckMarks::FontMark::None, 10},
        {"8.5", CheckMarks::FontMark::Normal, 8}, // a half goes to the even number
        {"NULL", CheckMarks::FontMark::None, 0},  // not a number: logged, nothing set
        {"500", CheckMarks::FontMark::None, 0},   // no list is made unreadable
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.stored ? k.stored : "(none)");
        QFile::remove(dir.path() + QStringLiteral("/config.ini"));
        if (k.stored)
            writeConfig(QByteArray("[Playlists]\r\nFontSize=") + k.stored + "\r\n");
        checkMarks() = CheckMarks();
        calls.clear();
        w = std::make_unique<frmMain>();
        record(w->steps);
        const double design = c<QTreeView>("lstFullPlaylist")->font().pointSizeF();
        w->Form_Load();
        EXPECT_EQ(checkMarks().fontMark, k.mark);
        for (const char* list : kSongLists)
            EXPECT_DOUBLE_EQ(c<QTreeView>(list)->font().pointSizeF(), k.size ? k.size : design) << list;
        EXPECT_DOUBLE_EQ(c<QTreeView>("lstSortMostPlayed")->font().pointSizeF(), design);
        // A failing step is logged and the lists are still loaded.
        EXPECT_TRUE(calls.contains(QStringLiteral("loadStoredLists")));
    }
    EXPECT_TRUE(errorLog().contains(QStringLiteral("B-15")));
}

TEST_F(MainWindowTest, ListFontIsSavedAndChangedForAllSixLists)
{
    w->SaveINISettings();
    EXPECT_EQ(ReadINI("Playlists", "FontSize", "x", configFile()), QStringLiteral("8.25"));
    w->ChangePlaylistFont(QStringLiteral("Large"));
    for (const char* list : kSongLists)
        EXPECT_DOUBLE_EQ(c<QTreeView>(list)->font().pointSizeF(), 12) << list;
    w->ChangePlaylistFont(QStringLiteral("largest")); // names are compared exactly
    EXPECT_DOUBLE_EQ(c<QTreeView>("lstRequests")->font().pointSizeF(), 12);
    w->SaveINISettings();
    EXPECT_EQ(ReadINI("Playlists", "FontSize", "x", configFile()), QStringLiteral("12"));
}

// ---------------------------------------------------------------------------------------------
// Resize and stand-by

TEST_F(MainWindowTest, ResizeCentresTheFaceAndKeepsTheWindowMaximised)
{
    const QRect area(0, 0, 1280, 900);
    w->workArea = [&] { return area; };
    w->showMain();
    EXPECT_TRUE(w->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(c("picAll")->pos(), QPoint((w->width() - 1024) / 2, (w->height() - 741) / 2));

    // Restored by other means: maximised again at once. Minimising is allowed.
    w->setWindowState(Qt::WindowNoState);
    EXPECT_TRUE(w->windowState() & Qt::WindowMaximized);
    w->setWindowState(Qt::WindowMinimized);
    EXPECT_TRUE(w->windowState() & Qt::WindowMinimized);

    // A window smaller than the face: the face is centred all the same.
    w->resize(800, 600);
    EXPECT_EQ(c("picAll")->pos(), QPoint((w->width() - 1024) / 2, (w->height() - 741) / 2));
}

TEST_F(MainWindowTest, StandbyShrinksToTheDeckStripCentredInTheWorkArea)
{
    const QRect area(100, 50, 1400, 900); // a taskbar at the top and left
    w->workArea = [&] { return area; };
    w->showMain();
    auto* stby = c<SkinControl>("lblStbyClick");

    QTest::mousePress(stby, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(stby->backColor(), vb::White);
    QTest::mouseRelease(stby, Qt::LeftButton, {}, QPoint(2, 2));
    ASSERT_TRUE(w->StandbyMode);
    EXPECT_FALSE(w->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(w->size(), QSize(1024, vb::px(2475)));
    EXPECT_EQ(c("picAll")->pos(), QPoint(0, 0));
    EXPECT_EQ(w->pos(), QPoint((1500 - 1024 + 100) / 2, (950 - 165 + 50) / 2));

    // Other resizes leave the strip alone in stand-by.
    w->resize(1024, 300);
    EXPECT_FALSE(w->windowState() & Qt::WindowMaximized);
    EXPECT_EQ(c("picAll")->pos(), QPoint(0, 0));

    // Off again: maximised, grey.
    QTest::mousePress(stby, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(stby->backColor(), vb::LightGrey);
    QTest::mouseRelease(stby, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_FALSE(w->StandbyMode);
    EXPECT_TRUE(w->windowState() & Qt::WindowMaximized);

    // Dragged elsewhere in stand-by, the strip comes back there the next time.
    w->lblStbyClick_MouseUp();
    ASSERT_TRUE(w->StandbyMode);
    w->move(640, 20);
    w->lblStbyClick_MouseUp();
    ASSERT_FALSE(w->StandbyMode);
    w->lblStbyClick_MouseUp();
    EXPECT_EQ(w->pos(), QPoint(640, 20));
    w->lblStbyClick_MouseUp();

    // A window that stands elsewhere keeps its place.
    QWidget other;
    other.resize(200, 100);
    other.move(333, 222);
    w->move(10, 10);
    w->CenterForm(&other);
    EXPECT_EQ(other.pos(), QPoint(333, 222));
}

// ---------------------------------------------------------------------------------------------
// Drag

namespace {
void sendMouse(QWidget* target, QEvent::Type type, QPoint global, Qt::MouseButton button)
{
    const QPointF local = target->mapFromGlobal(global);
    QMouseEvent e(type, local, local, global, button, type == QEvent::MouseButtonRelease ? Qt::NoButton : button,
                  Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}
} // namespace

TEST_F(MainWindowTest, DragMovesTheWindowOnlyInStandby)
{
    w->show();
    w->move(0, 0);
    auto* deck = c<SkinControl>("picPlayerA");
    const QPoint grab = deck->mapToGlobal(QPoint(40, 20));
    QCursor::setPos(grab);

    // Outside stand-by: the window stays; the release still clears the flag.
    sendMouse(deck, QEvent::MouseButtonPress, grab, Qt::LeftButton);
    EXPECT_EQ(DragOn, 0);
    sendMouse(deck, QEvent::MouseMove, grab + QPoint(100, 0), Qt::LeftButton);
    sendMouse(deck, QEvent::MouseButtonRelease, grab + QPoint(100, 0), Qt::LeftButton);
    EXPECT_EQ(w->pos(), QPoint(0, 0));

    w->StandbyMode = true;
    const QPoint start = w->pos();
    QCursor::setPos(grab);
    if (QCursor::pos() != grab)
        GTEST_SKIP() << "this platform cannot place the cursor";
    sendMouse(deck, QEvent::MouseButtonPress, grab, Qt::RightButton); // any button drags
    EXPECT_EQ(DragOn, 1);
    sendMouse(deck, QEvent::MouseMove, grab + QPoint(100, 0), Qt::RightButton);
    EXPECT_EQ(w->pos(), start + QPoint(100, 0)); // 1500 twips to the right, grab point fixed
    sendMouse(deck, QEvent::MouseMove, grab + QPoint(130, 25), Qt::RightButton);
    sendMouse(deck, QEvent::MouseButtonRelease, grab + QPoint(130, 25), Qt::RightButton);
    EXPECT_EQ(DragOn, 0);
    EXPECT_EQ(w->pos(), start + QPoint(130, 25));
    // After the release the window no longer follows.
    sendMouse(deck, QEvent::MouseMove, grab + QPoint(300, 300), Qt::NoButton);
    EXPECT_EQ(w->pos(), start + QPoint(130, 25));

    // A press and release without a move leaves the window where it was.
    const QPoint here = w->pos();
    const QPoint grab2 = c("picClockSec2")->mapToGlobal(QPoint(3, 3));
    QCursor::setPos(grab2);
    sendMouse(c("picClockSec2"), QEvent::MouseButtonPress, grab2, Qt::LeftButton);
    sendMouse(c("picClockSec2"), QEvent::MouseButtonRelease, grab2, Qt::LeftButton);
    EXPECT_EQ(w->pos(), here);
}

// ---------------------------------------------------------------------------------------------
// Clock and random pick

TEST_F(MainWindowTest, ClockGlyphs)
{
    auto glyphs = [&] {
        QList<qint64> keys;
        for (const char* name : {"picClockHour1", "picClockHour2", "picClockMin1", "picClockMin2", "picClockSec1",
                                 "picClockSec2", "picClockAMPM"})
            keys << c<SkinControl>(name)->picture().cacheKey();
        return keys;
    };
    auto expected = [&](std::initializer_list<int> images) {
        QList<qint64> keys;
        for (int i : images)
            keys << w->imgClock.ListImage(i).cacheKey();
        return keys;
    };
    EXPECT_EQ(frmMain::clockText(QTime(21, 5, 7)), QStringLiteral("9:05:07 PM"));
    EXPECT_EQ(frmMain::clockText(QTime(0, 0, 0)), QStringLiteral("12:00:00 AM"));
    EXPECT_EQ(frmMain::clockText(QTime(12, 30, 59)), QStringLiteral("12:30:59 PM"));
    EXPECT_EQ(frmMain::clockText(QTime(11, 5, 7)), QStringLiteral("11:05:07 AM"));

    w->showClockText(QStringLiteral("9:05:07 PM"));
    EXPECT_EQ(glyphs(), expected({13, 9, 14, 5, 14, 7, 11}));
    w->showClockText(QStringLiteral("12:00:00 AM"));
    EXPECT_EQ(glyphs(), expected({1, 2, 14, 14, 14, 14, 10}));
    w->showClockText(QStringLiteral("21:05:07")); // AM/PM left as it was
    EXPECT_EQ(glyphs(), expected({2, 1, 14, 5, 14, 7, 10}));
    w->showClockText(QStringLiteral("9:05:07"));
    EXPECT_EQ(glyphs(), expected({13, 9, 14, 5, 14, 7, 10}));

    // A text that is no time: the error is logged, the glyphs set so far stay.
    EXPECT_EQ(ErrorCount, 0);
    w->showClockText(QStringLiteral("9.05.07 PM"));
    EXPECT_EQ(ErrorCount, 1);
    EXPECT_TRUE(errorLog().contains(QStringLiteral("UpdateClock")));

    // The real clock never logs, whatever the language settings.
    w->UpdateClock();
    EXPECT_EQ(ErrorCount, 1);
}

TEST_F(MainWindowTest, RandomNumberCoversZeroToNForAnyListSize)
{
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(w->RandomNumber(0), 0);
    QSet<int> seen;
    for (int i = 0; i < 200; ++i)
        seen.insert(w->RandomNumber(1));
    EXPECT_EQ(seen, (QSet<int>{0, 1}));
    int maxSeen = 0;
    for (int i = 0; i < 2000; ++i) {
        const int r = w->RandomNumber(100000); // far beyond 16 bits
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 100000);
        maxSeen = std::max(maxSeen, r);
    }
    EXPECT_GT(maxSeen, 32767);
    EXPECT_EQ(w->RandomNumber(-5), 0);
}

// ---------------------------------------------------------------------------------------------
// Close

TEST_F(MainWindowTest, CloseAllStopsTimersFirstAndRunsEveryStepInOrder)
{
    // Before the load has read the lists, nothing is written back: the files hold the lists.
    w->CloseAll();
    EXPECT_EQ(calls, (QStringList{"stopDecks", "closeStreams", "closeEngines", "removeKeyboardHook", "endProgram"}));
    EXPECT_EQ(ReadINI("Playlists", "FontSize", "x", configFile()), QStringLiteral("x"));
    w = std::make_unique<frmMain>();
    record(w->steps);
    calls.clear();

    w->Form_Load();
    w->show();
    calls.clear();
    bool timersStopped = false;
    w->steps.stopDecks = [&] {
        timersStopped = true;
        for (QTimer* t : w->findChildren<QTimer*>())
            timersStopped = timersStopped && !t->isActive();
        calls << "stopDecks";
    };
    // A failing step is logged; the rest still run, so the lists are saved and the program ends.
    w->steps.closeEngines = [&] {
        calls << "closeEngines";
        raiseError(5, QStringLiteral("Invalid procedure call"));
    };
    w->CloseAll();
    EXPECT_TRUE(timersStopped);
    EXPECT_TRUE(w->isHidden());
    EXPECT_EQ(calls, (QStringList{"stopDecks", "closeStreams", "closeEngines", "saveLists", "removeKeyboardHook",
                                  "endProgram"}));
    EXPECT_EQ(ReadINI("Playlists", "FontSize", "x", configFile()), QStringLiteral("8.25"));
    EXPECT_EQ(ErrorCount, 1);

    calls.clear();
    w->CloseAll(); // once only
    EXPECT_TRUE(calls.isEmpty());
}

TEST_F(MainWindowTest, CloseAllStopsPlayingAndPausedDecksAndClosesTheirStreams)
{
    // The main window's own deck steps, with the other subsystems still recorded.
    frmMain::Steps own;
    w = std::make_unique<frmMain>();
    own = w->steps;
    record(w->steps);
    w->steps.stopDecks = own.stopDecks;
    w->steps.closeStreams = own.closeStreams;
    w->steps.closeEngines = own.closeEngines;
    w->steps.resetDecks = own.resetDecks;

    DeckState& d = deckState();
    d.reset();
    d.ChannelA = 7; // playing
    d.ChannelB = 9; // paused: a paused deck keeps its channel
    d.StreamA = 3;
    d.bFadeToA = true;
    w->Form_Load();
    EXPECT_EQ(d.ChannelA, 0); // the load starts with both decks idle
    EXPECT_FALSE(d.bFadeToA);
    d.ChannelA = 7;
    d.ChannelB = 9;
    d.StreamB = 4;
    w->CloseAll();
    EXPECT_EQ(d.ChannelA, 0);
    EXPECT_EQ(d.ChannelB, 0);
    EXPECT_EQ(d.StreamA, 0);
    EXPECT_EQ(d.StreamB, 0);
    EXPECT_EQ(calls.last(), QStringLiteral("endProgram"));
    EXPECT_EQ(ErrorCount, 0);
    d.reset();
}

TEST_F(MainWindowTest, LoadLeavesTheEnginesAsStartUpLeftThem)
{
    // The decks' own reset step, as the window wires it; the other subsystems still recorded.
    w = std::make_unique<frmMain>();
    const std::function<void()> resetDecks = w->steps.resetDecks;
    record(w->steps);
    w->steps.resetDecks = resetDecks;
    for (SoundBinding* b : {&FMod, &FMod2}) {
        b->engine().setManualClock(true);
        ASSERT_NE(b->FSOUND_Init(44100, 32, 2), 0);
    }
    DeckState& d = deckState();
    d.reset();
    // Start-up found deck B's output missing: the message line says so, and keeps it.
    d.OutputNotice = QStringLiteral("Player B's sound output \"Phones\" is missing: the player plays once it is back.");
    w->Form_Load();
    // No stream was left behind, so no engine was asked to close one: no error is pending.
    EXPECT_EQ(FMod.FSOUND_GetError(), 0);
    EXPECT_EQ(FMod2.FSOUND_GetError(), 0);
    EXPECT_EQ(d.StreamA, 0);
    EXPECT_EQ(c<SkinControl>("lblMessages")->text(), d.OutputNotice);
    EXPECT_TRUE(w->messages.bKeepMessageDisplayed);
    FMod.FSOUND_Close();
    FMod2.FSOUND_Close();
    d.reset();
}

TEST_F(MainWindowTest, ClosingTheWindowRunsTheOrderlyClose)
{
    w->Form_Load();
    w->show();
    calls.clear();
    w->close(); // Alt+F4, the window manager's close button, the session ending
    EXPECT_TRUE(calls.contains(QStringLiteral("saveLists")));
    EXPECT_EQ(calls.last(), QStringLiteral("endProgram"));
}

TEST_F(MainWindowTest, ExitLabelLooksPressedThenCloses)
{
    w->Form_Load();
    calls.clear();
    auto* exitLabel = c<SkinControl>("lblExitClick");
    QTest::mousePress(exitLabel, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_EQ(exitLabel->backColor(), vb::White);
    EXPECT_TRUE(calls.isEmpty());
    QTest::mouseRelease(exitLabel, Qt::LeftButton, {}, QPoint(2, 2));
    EXPECT_TRUE(calls.contains(QStringLiteral("saveLists")));
}

TEST_F(MainWindowTest, MessagePanelPostAndReset)
{
    MessagePanel& m = w->messages;
    m.post(QStringLiteral("Refreshing..."), true);
    EXPECT_EQ(c<SkinControl>("lblMessages")->text(), QStringLiteral("Refreshing..."));
    EXPECT_TRUE(m.bNewMessages);
    EXPECT_TRUE(m.bKeepMessageDisplayed);
    m.iMessagesCounter = 5;
    m.iMessageLoops = 7;
    m.setForeColor(vb::Yellow);
    m.reset();
    EXPECT_EQ(m.caption(), QStringLiteral("Messages Will Appear Here"));
    EXPECT_EQ(m.foreColor(), vb::Black);
    EXPECT_FALSE(m.bNewMessages);
    EXPECT_EQ(m.iMessagesCounter, 0);
    EXPECT_EQ(m.iMessageLoops, 0);
    // The reset also ends the hold, so a later message is not kept for ever.
    EXPECT_FALSE(m.bKeepMessageDisplayed);
}

// ---------------------------------------------------------------------------------------------
// Small windows

TEST(SmallWindows, WaitWindowClosesItselfAfterFourSeconds)
{
    frmWait::Unload(); // none open: nothing happens
    frmWait* wait = frmWait::Show();
    ASSERT_NE(wait, nullptr);
    EXPECT_EQ(frmWait::Show(), wait); // one at a time
    EXPECT_EQ(wait->windowTitle(), QStringLiteral("Wait..."));
    EXPECT_EQ(wait->lblMessage->text(), QStringLiteral("Message"));
    EXPECT_EQ(wait->ProgWait->minimum(), 0);
    EXPECT_EQ(wait->ProgWait->maximum(), 100);
    EXPECT_EQ(wait->TimerClose->interval(), 4000);
    EXPECT_TRUE(wait->TimerClose->isActive());
    QPointer<frmWait> alive(wait);
    // Bring the tick forward rather than wait four seconds.
    wait->TimerClose->start(0);
    EXPECT_TRUE(QTest::qWaitFor([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return alive.isNull();
    }));
    EXPECT_EQ(frmWait::instance(), nullptr);
    frmWait::Unload();
}

TEST(SmallWindows, UpdateNotesText)
{
    const QString text = frmShowUpdates::historyText();
    const QString rule(33, QLatin1Char('-'));
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_TRUE(text.endsWith(rule + QStringLiteral("\r\n")));
    EXPECT_EQ(lines.first(), rule);
    EXPECT_EQ(lines[1], QStringLiteral("UPDATE VERSION: 1.4"));
    EXPECT_TRUE(lines.contains(QStringLiteral("2. Added Pitch Control.")));
    const int second = lines.indexOf(QStringLiteral("UPDATE VERSION: 1.3.3"));
    ASSERT_GT(second, 0);
    EXPECT_EQ(lines[second - 1], rule);
    EXPECT_EQ(lines[second - 2], rule); // two rules stand together between the blocks
    // Release 1.4: items 1 to 10 with 3 twice; then an empty line and the contact line.
    QStringList numbers;
    for (int i = 2; i < second - 4; ++i)
        numbers << lines[i].section(QLatin1Char('.'), 0, 0);
    EXPECT_EQ(numbers, (QStringList{"1", "2", "3", "3", "4", "5", "6", "7", "8", "9", "10"}));
    EXPECT_TRUE(lines[second - 4].isEmpty());
    EXPECT_TRUE(lines[second - 3].startsWith(
        QStringLiteral("If you have ideas or problems with this update please email: ")));
    EXPECT_EQ(text.count(QLatin1Char('\n')), text.count(QStringLiteral("\r\n")));

    auto* notes = frmShowUpdates::open();
    QPointer<frmShowUpdates> alive(notes);
    EXPECT_EQ(notes->txtUpdates->toPlainText(), QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    EXPECT_EQ(notes->lblDoneClose->text(), QStringLiteral("Ok I'm Done Looking"));
    QTest::mouseClick(notes->lblDoneClose, Qt::LeftButton, {}, QPoint(3, 3));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(alive.isNull());
}

TEST_F(MainWindowTest, TheSessionEndingClosesInOrder)
{
    // As showMain() sets it up for the running program.
    closeOnSessionEnd([this] { w->Form_Unload(); });
    w->Form_Load();
    calls.clear();
    ::raise(SIGTERM);
    EXPECT_TRUE(QTest::qWaitFor([&] { return calls.contains(QStringLiteral("endProgram")); }));
    EXPECT_TRUE(calls.contains(QStringLiteral("saveLists")));
    EXPECT_EQ(w->exitStatus(), 0);

    // Exit's box of the lists not saved is open when the session ends: nobody answers it, and
    // the program ends with the status of a close that lost lists.
    w = std::make_unique<frmMain>();
    record(w->steps);
    w->steps.unsavedLists = [] { return QStringList{"DJ Playlist (/p/DJPlaylist.qnl): Permission denied"}; };
    ui::ScriptedDialogs boxes;
    boxes.onShow = [](const ui::ScriptedDialogs::Shown&) {
        ::raise(SIGTERM);
        EXPECT_TRUE(QTest::qWaitFor([] { return session::ending(); }));
    };
    ui::setDialogs(&boxes);
    w->Form_Load();
    calls.clear();
    w->CloseAll(); // the Exit label
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(session::exitStatus(), 1);
    EXPECT_EQ(calls.last(), QStringLiteral("endProgram"));
    ui::setDialogs(nullptr);
    session::reset();
    closeOnSessionEnd(nullptr);
}

TEST_F(MainWindowTest, TheSessionEndingDuringTheLoadSavesOnlyWhatWasLoaded)
{
    // A box of the load is open (the keyboard hook's) when the session ends: the lists were not
    // read yet, so the program ends at once (start-up's action) and nothing is saved or shown.
    endOnSessionEnd([this] { calls << "endAtOnce"; });
    w->steps.installKeyboardHook = [this] {
        calls << "installKeyboardHook";
        ::raise(SIGHUP);
        EXPECT_TRUE(QTest::qWaitFor([] { return session::ending(); }));
    };
    w->showMain();
    EXPECT_EQ(calls, (QStringList{"installKeyboardHook", "endAtOnce"}));
    EXPECT_TRUE(w->isHidden());
    EXPECT_FALSE(w->listsLoaded());
    session::reset();

    // A box after the lists were read (the media scan's): the session's end saves them as Exit
    // does, and the window never shows.
    w = std::make_unique<frmMain>();
    record(w->steps);
    calls.clear();
    w->steps.startMediaScanIfEmpty = [this] {
        calls << "startMediaScanIfEmpty";
        ::raise(SIGTERM);
        EXPECT_TRUE(QTest::qWaitFor([this] { return calls.contains(QStringLiteral("endProgram")); }));
    };
    w->showMain();
    EXPECT_TRUE(calls.contains(QStringLiteral("saveLists")));
    EXPECT_FALSE(calls.contains(QStringLiteral("endAtOnce")));
    EXPECT_TRUE(w->isHidden());
    closeOnSessionEnd(nullptr);
}
