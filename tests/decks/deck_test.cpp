// The decks on manual-clock engines: loading, transport, the player timers, lamps, seek and
// pitch, and the function keys.
#include "deckfixture.h"

#include "core/errorlog.h"
#include "core/timerrest.h"
#include "decks/songlist.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "support/testutil.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QScrollBar>
#include <QSlider>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>
#include <utility>
#include <vector>

using namespace vb::key;

namespace {

QString text(DeckForm& f, const char* name)
{
    return f.get<QLabel>(name)->text();
}

void press(Decks& d, int code)
{
    d.GlobalKeyDown(code, 0);
}

// Waits in an event loop that sleeps between events, as the program's does (QTest's waits
// never let it sleep, and a resting timer looks round only when it is about to).
bool loopUntil(const std::function<bool()>& done, int ms)
{
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done() || waited.elapsed() > ms)
            loop.quit();
    });
    look.start(5);
    if (!done())
        loop.exec();
    return done();
}

} // namespace

// ---- loading

TEST_F(DecksTest, LoadCuesTheSongWithItsLabelsAndFields)
{
    EXPECT_TRUE(form->get<QProgressBar>("ProgPlayerAElapsed")->isHidden());
    cue('A', QStringLiteral("decks/rnb.mp3"), QStringLiteral("Rock & Roll"), QStringLiteral("Tom & Jerry"));
    ASSERT_NE(ds.StreamA, 0) << (dialogs.shown.empty() ? std::string() : dialogs.shown[0].text.toStdString());
    EXPECT_EQ(ds.ChannelA, 0); // cued, not playing
    EXPECT_EQ(text(*form, "lblPlayerATitle"), "Rock & Roll - Tom & Jerry"); // shown as it is
    EXPECT_EQ(form->get<QLabel>("lblPlayerATitle")->toolTip(), "Rock & Roll - Tom & Jerry");
    EXPECT_EQ(text(*form, "lblPlayerAGenre"), "Genre: R&B");
    EXPECT_EQ(text(*form, "lblPlayerAYear"), "Year: 1999");
    EXPECT_EQ(text(*form, "lblPlayerABitrate"), "Bitrate: 128 Kbps");
    EXPECT_TRUE(text(*form, "lblPlayerAOriginal").startsWith("Original: "));
    EXPECT_TRUE(text(*form, "lblPlayerAChannel").startsWith("Channel: "));
    EXPECT_EQ(text(*form, "lblPlayerATimeTotal"), "0:10");
    EXPECT_EQ(ds.PlayerATitle, "Rock & Roll");
    EXPECT_EQ(ds.PlayerAArtist, "Tom & Jerry");
    EXPECT_EQ(ds.PlayerAGenre, "R&B");
    EXPECT_EQ(ds.PlayerAFilename, testutil::media("decks/rnb.mp3"));
    auto* bar = form->get<QProgressBar>("ProgPlayerAElapsed");
    EXPECT_FALSE(bar->isHidden());
    EXPECT_EQ(bar->maximum(), 10);
    EXPECT_EQ(bar->value(), 0);
    // Deck B is untouched.
    EXPECT_EQ(ds.StreamB, 0);
    EXPECT_EQ(text(*form, "lblPlayerBTitle"), "Waiting for Song Cue...");
}

TEST_F(DecksTest, UntaggedSongTakesItsTitleFromTheRow)
{
    cue('B', QStringLiteral("tone10s.mp3"), QStringLiteral("A&B"), QStringLiteral("C"));
    EXPECT_EQ(ds.PlayerBTitle, "A&B - C");
    EXPECT_EQ(ds.PlayerBArtist, "");
    EXPECT_EQ(text(*form, "lblPlayerBGenre"), "Genre: ");
    EXPECT_EQ(text(*form, "lblPlayerBYear"), "Year: ");
}

TEST_F(DecksTest, SongFieldsReachTheDeckAsTheFileMeansThem)
{
    // NUL padding ends a field; UTF-8 reads as UTF-8. Most Played is counted from these fields.
    cue('A', QStringLiteral("nulpad.mp3"));
    EXPECT_EQ(ds.PlayerATitle.toStdString(), "Hello");
    EXPECT_EQ(ds.PlayerAArtist.toStdString(), "World");
    cue('B', QStringLiteral("utf8.mp3"));
    EXPECT_EQ(ds.PlayerBTitle.toStdString(), "Été à Paris");
    EXPECT_EQ(ds.PlayerBArtist.toStdString(), "Sigur Rós");

    // A song of variable bit rate is counted by its own length, not by its first frame's rate.
    cue('A', QStringLiteral("vbr_xing.mp3"));
    EXPECT_EQ(ds.PlayerATime.toStdString(), "0:30");

    // Any genre with an "&" shows it, not only R&B.
    cue('B', QStringLiteral("decks/drumbass.mp3"));
    EXPECT_EQ(text(*form, "lblPlayerBGenre").toStdString(), "Genre: Drum & Bass");
}

TEST_F(DecksTest, BusyDeckRefusesLoadsWhetherPlayingOrPaused)
{
    cue('A', QStringLiteral("tone10s.mp3"), QStringLiteral("First"));
    const long first = ds.StreamA;
    press(*decks, F2);
    ASSERT_NE(ds.ChannelA, 0);
    cue('A', QStringLiteral("tone30s.mp3"), QStringLiteral("Second"));
    EXPECT_EQ(ds.StreamA, first);
    press(*decks, F2); // pause
    ASSERT_TRUE(FMod.FSOUND_GetPaused(ds.ChannelA));
    cue('A', QStringLiteral("tone30s.mp3"), QStringLiteral("Third"));
    EXPECT_EQ(ds.StreamA, first);
    EXPECT_EQ(text(*form, "lblPlayerATitle"), "First - Artist");
}

TEST_F(DecksTest, ReplacedStreamIsClosed)
{
    cue('A', QStringLiteral("tone10s.mp3"));
    const long first = ds.StreamA;
    ASSERT_GT(FMod.FSOUND_Stream_GetLengthMs(first), 0);
    cue('A', QStringLiteral("tone30s.mp3"));
    EXPECT_NE(ds.StreamA, first);
    EXPECT_EQ(FMod.FSOUND_Stream_GetLengthMs(first), 0); // released
    EXPECT_GT(length('A'), 29000);
}

TEST_F(DecksTest, RemovingRowsLeavesTheRightSelectionAndCaptions)
{
    QTreeView* dj = form->list("lstDJPlayList");
    for (const char* t : {"One", "Two", "Three"})
        form->addRow("lstDJPlayList", t, "X", "0:10", testutil::media("tone10s.mp3"));
    ViewSongList rows(dj);

    // The last row: the new last row is selected.
    rows.Select(3);
    decks->LoadSongA(dj, true, true, 0);
    EXPECT_EQ(rows.RowCount(), 2);
    EXPECT_EQ(rows.SelectedNum(), 2);
    EXPECT_EQ(text(*form, "lblPlayerATitle"), "Three - X");
    EXPECT_EQ(text(*form, "lblDJPlaylistClick"), "DJ Playlist - 2");
    EXPECT_EQ(text(*form, "lblSongBinClick"), "Song Bin - 0");

    // A middle row: the row that moved into its place is selected, rows renumbered.
    form->addRow("lstDJPlayList", "Four", "X", "0:10", testutil::media("tone10s.mp3"));
    rows.Select(2);
    decks->LoadSongB(dj, true, true, 0);
    EXPECT_EQ(text(*form, "lblPlayerBTitle"), "Two - X");
    ASSERT_EQ(rows.RowCount(), 2);
    EXPECT_EQ(rows.SubItem(2, 1), "Four");
    EXPECT_EQ(rows.SubItem(2, 0), "2");
    EXPECT_EQ(rows.SelectedNum(), 2);

    // AutoIndex 1 loads the first row whatever the selection.
    int f5 = F5;
    decks->GlobalKeyDown(f5, 0);
    decks->LoadSongB(dj, true, false, 1);
    EXPECT_EQ(text(*form, "lblPlayerBTitle"), "One - X");
    ASSERT_EQ(rows.RowCount(), 1);
    EXPECT_EQ(rows.SubItem(1, 0), "1");

    // The only row: an empty list.
    decks->LoadSongB(dj, true, true, 0);
    EXPECT_EQ(rows.RowCount(), 0);
    EXPECT_EQ(text(*form, "lblDJPlaylistClick"), "DJ Playlist - 0");
    EXPECT_TRUE(dialogs.shown.empty());
}

TEST_F(DecksTest, MissingFileShowsTheMessageOrDropsTheRowForAutomaticCallers)
{
    QTreeView* dj = form->list("lstDJPlayList");
    form->addRow("lstDJPlayList", "Gone", "X", "0:10", tmp->path() + "/gone.mp3");
    form->addRow("lstDJPlayList", "Folder", "X", "0:10", tmp->path());

    decks->LoadSongA(dj, false, true, 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Filepath is incorrect!");
    EXPECT_EQ(dialogs.shown[0].title, "File Not Found!");
    EXPECT_EQ(dialogs.shown[0].flags, 0);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 2);
    EXPECT_EQ(ds.StreamA, 0);
    EXPECT_EQ(ds.PlayerAFilename, "");

    // A folder counts as missing too; the automatic caller drops it without a box, and the log
    // names each song so dropped.
    decks->LoadSongA(dj, true, false, 2);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 1);
    decks->LoadSongA(dj, true, false, 1);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 0);
    EXPECT_EQ(text(*form, "lblPlayerATitle"), "Waiting for Song Cue...");
    const QString log = QString::fromUtf8(testutil::readAll(tmp->path() + "/QNLERRORS.log"));
    EXPECT_EQ(log.count("\r\n"), 2);
    EXPECT_TRUE(log.contains("File not found: " + tmp->path() + ", ") && log.contains("/gone.mp3, Funtion=B-269"))
        << log.toStdString();
}

TEST_F(DecksTest, UnopenableSongKeepsItsRowForTheUserAndIsDroppedAndLoggedForAutoDJ)
{
    cue('A', QStringLiteral("tone10s.mp3"), QStringLiteral("Good"));
    QTreeView* dj = form->list("lstDJPlayList");
    form->addRow("lstDJPlayList", "Junk", "X", "0:10", testutil::media("junk.mp3"));
    form->addRow("lstDJPlayList", "Empty", "X", "0:10", testutil::media("empty.mp3"));

    decks->LoadSongA(dj, true, true, 2);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "There was an error loading song!");
    EXPECT_EQ(dialogs.shown[0].title, "Error Loading");
    EXPECT_EQ(dialogs.shown[0].flags, 16);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 3);
    EXPECT_EQ(ds.StreamA, 0);
    EXPECT_EQ(text(*form, "lblPlayerATitle"), "Good - Artist"); // labels describe the song before
    // The box cannot name the song; its log line does.
    EXPECT_TRUE(testutil::readAll(tmp->path() + "/QNLERRORS.log").contains("loading song! " + testutil::media("junk.mp3").toUtf8()));

    // Auto-DJ's own loads: no box, the song leaves the head of the queue and the log says why.
    ds.bAutoDJ = true;
    decks->LoadSongA(dj, true, false, 3);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 2);
    const QByteArray log = testutil::readAll(tmp->path() + "/QNLERRORS.log");
    EXPECT_TRUE(log.contains("empty.mp3")) << log.constData();
    EXPECT_TRUE(log.contains("B-269")) << log.constData();

    // An interactive load with auto-DJ on shows nothing and keeps the row.
    decks->LoadSongA(dj, true, true, 2);
    EXPECT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 2);
}

TEST_F(DecksTest, LoadBeyondTheListOrFromAnEmptyListDoesNothing)
{
    QTreeView* dj = form->list("lstDJPlayList");
    decks->LoadSongA(dj, true, true, 0);
    form->addRow("lstDJPlayList", "One", "X", "0:10", testutil::media("tone10s.mp3"));
    decks->LoadSongA(dj, true, true, 5);
    EXPECT_EQ(ds.StreamA, 0);
    EXPECT_EQ(form->model("lstDJPlayList")->rowCount(), 1);
    EXPECT_TRUE(dialogs.shown.empty());
}

// ---- transport

TEST_F(DecksTest, PlayPauseResumeStopWithTheButtons)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    auto* play = form->get<SkinControl>("picPlayPlayerAPause");
    form->get<QSlider>("sldAFreq")->setValue(45000);
    decks->A().PlayPause_MouseDown();
    EXPECT_EQ(play->picture().cacheKey(), decks->images().playerControls.ListImage(4).cacheKey());
    decks->A().PlayPause_MouseUp();
    EXPECT_EQ(play->picture().cacheKey(), decks->images().playerControls.ListImage(3).cacheKey());
    const int ch = ds.ChannelA;
    ASSERT_NE(ch, 0);
    EXPECT_EQ(FMod.FSOUND_GetFrequency(ch), 45000);
    advanceMs(2000);
    const int t = time('A');
    EXPECT_GT(t, 1900);

    decks->A().PlayPause_MouseUp(); // pause
    EXPECT_EQ(ds.ChannelA, ch);
    EXPECT_TRUE(FMod.FSOUND_GetPaused(ch));
    advanceMs(1000);
    EXPECT_EQ(time('A'), t);
    decks->A().PlayPause_MouseUp(); // resume where it paused
    EXPECT_FALSE(FMod.FSOUND_GetPaused(ch));
    advanceMs(500);
    EXPECT_GT(time('A'), t);

    ds.bCountedA = true;
    decks->A().Stop_MouseUp();
    EXPECT_EQ(ds.ChannelA, 0);
    EXPECT_FALSE(ds.bCountedA);
    EXPECT_NE(ds.StreamA, 0);
    EXPECT_EQ(form->get<SkinControl>("picPlayerABeatTop")->picture().cacheKey(),
              decks->images().beatNeutral.ListImage(1).cacheKey());
    EXPECT_EQ(form->get<SkinControl>("picPlayerABeatLeft")->picture().cacheKey(),
              decks->images().beatNeutral.ListImage(4).cacheKey());

    decks->A().PlayPause_MouseUp(); // starts the song again
    EXPECT_NE(ds.ChannelA, 0);
    EXPECT_LT(time('A'), 100);
}

TEST_F(DecksTest, LostSoundDeviceStopsThatDeckAndIsToldOnce)
{
    QStringList posted;
    decks->postMessage = [&](const QString& m) { posted << m; };
    cue('A', QStringLiteral("tone30s.mp3"));
    cue('B', QStringLiteral("tone30s.mp3"));
    decks->A().PlayPause_MouseUp();
    decks->B().PlayPause_MouseUp();
    advanceMs(2000);
    ds.bCountedA = true;

    EngineA().simulateOutputLoss();
    decks->A().TimerPlayer_Timer();
    decks->B().TimerPlayer_Timer();
    EXPECT_EQ(ds.ChannelA, 0) << "deck A stops";
    EXPECT_FALSE(ds.bCountedA);
    EXPECT_NE(ds.ChannelB, 0) << "deck B plays on";
    ASSERT_EQ(posted.size(), 1);
    EXPECT_EQ(posted[0], "Player A lost its sound device: Playing the sound failed.");
    const QByteArray log = testutil::readAll(tmp->path() + "/QNLERRORS.log");
    EXPECT_TRUE(log.contains("Player A lost its sound device: Playing the sound failed.")) << log.constData();
    EXPECT_TRUE(log.contains("B-300")) << log.constData();
    EXPECT_TRUE(dialogs.shown.empty()) << "no box in the middle of a set";

    const int b = time('B');
    for (int i = 0; i < 10; ++i) {
        advanceMs(10);
        decks->A().TimerPlayer_Timer();
        decks->B().TimerPlayer_Timer();
    }
    EXPECT_EQ(posted.size(), 1) << "told once";
    EXPECT_GT(time('B'), b);

    // The next play opens the device again.
    decks->A().PlayPause_MouseUp();
    EXPECT_NE(ds.ChannelA, 0);
    advanceMs(500);
    EXPECT_GT(time('A'), 400);
}

TEST_F(DecksTest, APlayWhileTheOutputIsGoneIsToldAtOnceAndTheFirstPlayOnceItIsBackPlays)
{
    // Deck B rests and its output goes. Every way of starting it says so at once, on the message
    // line and in the log, with the engine's own reason, and nothing plays. Once the output is
    // back the first play plays, and nothing told late stops it.
    QStringList posted;
    decks->postMessage = [&](const QString& m) { posted << m; };
    cue('A', QStringLiteral("tone30s.mp3"));
    cue('B', QStringLiteral("tone30s.mp3"));
    EngineB().simulateOutputLoss(true);
    int f6 = F6;
    const std::vector<std::pair<const char*, std::function<void()>>> starts = {
        {"B-302", [&] { decks->GlobalKeyDown(f6, 0); }},
        {"B-247", [&] { decks->B().PlayPause_MouseUp(); }},
        {"B-295", [&] { ds.ChannelB = decks->B().startStream("B-295"); }}, // the auto-DJ's start
        {"B-300", [&] { // the hand-over from deck A
             ds.bStartBAfterA = true;
             decks->TimerPlayerA_Timer();
             ds.bStartAAfterB = false;
             ds.bLoadNextA = false;
         }},
    };
    const QString told = QStringLiteral("Player B cannot play, its sound device is gone: Playing the sound failed.");
    for (const auto& [location, start] : starts) {
        posted.clear();
        start();
        EXPECT_EQ(ds.ChannelB, 0) << location;
        EXPECT_EQ(posted, QStringList{told}) << location;
        const QByteArray log = testutil::readAll(tmp->path() + "/QNLERRORS.log");
        EXPECT_TRUE(log.contains(told.toUtf8()) && log.contains(location)) << location << "\n" << log.constData();
        decks->TimerPlayerB_Timer();
        EXPECT_EQ(posted.size(), 1) << location << ": told once";
    }
    EXPECT_TRUE(dialogs.shown.empty()) << "no box in the middle of a set";

    EngineB().simulateOutputBack();
    posted.clear();
    decks->GlobalKeyDown(f6, 0);
    ASSERT_NE(ds.ChannelB, 0);
    for (int i = 0; i < 20; ++i) {
        advanceMs(10);
        decks->TimerPlayerB_Timer();
    }
    EXPECT_NE(ds.ChannelB, 0) << "the first play on the output back goes on";
    EXPECT_GT(time('B'), 150);
    EXPECT_TRUE(posted.isEmpty()) << posted.join(", ").toStdString();
}

TEST_F(DecksTest, PlayButtonUnderAutoDJ)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    cue('B', QStringLiteral("tone30s.mp3"));
    ds.bAutoDJ = true;
    int resets = 0;
    decks->resetMessages = [&] { ++resets; };

    // Both idle: deck A starts and the hand-over to B is armed.
    decks->A().PlayPause_MouseUp();
    EXPECT_NE(ds.ChannelA, 0);
    EXPECT_TRUE(ds.bStartBAfterA);
    EXPECT_EQ(resets, 1);
    // Neither button pauses or stops under auto-DJ.
    decks->A().PlayPause_MouseUp();
    EXPECT_FALSE(FMod.FSOUND_GetPaused(ds.ChannelA));
    decks->A().Stop_MouseUp();
    EXPECT_NE(ds.ChannelA, 0);
    // The idle deck's button asks for a crossfade towards it.
    decks->B().PlayPause_MouseUp();
    EXPECT_TRUE(ds.bFadeToB);
    EXPECT_EQ(ds.ChannelB, 0);
    // While a fade is pending the buttons do nothing.
    ds.bFadeToB = false;
    ds.bLoadNextA = true;
    decks->B().PlayPause_MouseUp();
    EXPECT_FALSE(ds.bFadeToB);
}

TEST_F(DecksTest, FunctionKeysPlayPauseBackStop)
{
    int f2 = F2;
    decks->GlobalKeyDown(f2, 0); // nothing loaded: nothing starts
    EXPECT_EQ(ds.ChannelA, 0);
    EXPECT_EQ(f2, F2);

    cue('A', QStringLiteral("tone30s.mp3"));
    press(*decks, F2);
    ASSERT_NE(ds.ChannelA, 0);
    advanceMs(3000);
    press(*decks, F2);
    EXPECT_TRUE(FMod.FSOUND_GetPaused(ds.ChannelA));
    const int t = time('A');
    press(*decks, F3); // back one second, paused too
    EXPECT_NEAR(time('A'), t - 1000, 1);
    press(*decks, F2);
    EXPECT_FALSE(FMod.FSOUND_GetPaused(ds.ChannelA));

    // Under auto-DJ F2 only re-applies the pitch and F1 is ignored.
    ds.bAutoDJ = true;
    form->get<QSlider>("sldAFreq")->blockSignals(true);
    form->get<QSlider>("sldAFreq")->setValue(43000);
    form->get<QSlider>("sldAFreq")->blockSignals(false);
    press(*decks, F2);
    EXPECT_FALSE(FMod.FSOUND_GetPaused(ds.ChannelA));
    EXPECT_EQ(FMod.FSOUND_GetFrequency(ds.ChannelA), 43000);
    press(*decks, F1);
    EXPECT_NE(ds.ChannelA, 0);
    ds.bAutoDJ = false;

    ds.bCountedA = true;
    press(*decks, F1);
    EXPECT_EQ(ds.ChannelA, 0);
    EXPECT_FALSE(ds.bCountedA);
    // F3 on an idle deck does nothing.
    press(*decks, F3);
    EXPECT_EQ(ds.ChannelA, 0);
}

// ---- player timers

TEST_F(DecksTest, NeverLoadedDeckShowsIdleTexts)
{
    decks->TimerPlayerA_Timer();
    decks->TimerPlayerB_Timer();
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:00");
    EXPECT_EQ(text(*form, "lblPlayerBTimeRemaining"), "- 0:00");
}

TEST_F(DecksTest, TimerShowsElapsedRemainingAndBar)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    press(*decks, F2);
    setTime('A', 3600);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:03");
    EXPECT_EQ(form->get<QProgressBar>("ProgPlayerAElapsed")->value(), 4); // nearest second
    // Halves away from zero on the bar: 2.5 s shows 3.
    setTime('A', 2500);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(form->get<QProgressBar>("ProgPlayerAElapsed")->value(), 3);
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:02");
    // A label written by someone else is brought back on the next tick.
    form->get<QLabel>("lblPlayerATimeElapsed")->setText("0:00");
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:02");
}

TEST_F(DecksTest, RemainingTimeRoundsDifferentlyOnTheTwoDecks)
{
    cue('A', QStringLiteral("decks/tone200_6s.mp3"));
    cue('B', QStringLiteral("decks/tone200_6s.mp3"));
    ASSERT_EQ(length('A'), 200600);
    press(*decks, F2);
    press(*decks, F6);
    setTime('A', 10400);
    setTime('B', 10400);
    decks->TimerPlayerA_Timer();
    decks->TimerPlayerB_Timer();
    EXPECT_EQ(text(*form, "lblPlayerATimeRemaining"), "- 3:10");
    EXPECT_EQ(text(*form, "lblPlayerBTimeRemaining"), "- 3:11");
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:10");
    EXPECT_EQ(text(*form, "lblPlayerBTimeElapsed"), "0:10");
}

TEST_F(DecksTest, EndOfSongIsSeenInTheTickThePositionReachesTheLength)
{
    cue('A', QStringLiteral("tone10s.mp3"));
    press(*decks, F2);
    const int len = length('A');
    setTime('A', len - 1);
    ds.bCountedA = true;
    decks->TimerPlayerA_Timer();
    EXPECT_NE(ds.ChannelA, 0) << "one millisecond short is not the end";
    EXPECT_TRUE(ds.bCountedA);
    // Play on until the engine reports the end.
    for (int i = 0; i < 20 && time('A') != len; ++i)
        advanceMs(1);
    ASSERT_EQ(time('A'), len);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(ds.ChannelA, 0);
    EXPECT_FALSE(ds.bCountedA);
    EXPECT_EQ(form->get<QProgressBar>("ProgPlayerAElapsed")->value(), 0);
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:00");
    EXPECT_EQ(text(*form, "lblPlayerATimeRemaining"), "- 0:00");
}

TEST_F(DecksTest, SongIsCountedOnceInItsLastMinute)
{
    cue('A', QStringLiteral("tone200_4s.mp3"));
    ASSERT_EQ((length('A') + 500) / 1000, 200);
    form->addRow("lstMostPlayed", "x", "y", "0:01", "/a.mp3");
    form->model("lstMostPlayed")->item(0, 0)->setText("7");
    press(*decks, F2);
    setTime('A', 140499);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(countedA, 0);
    setTime('A', 140500);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(countedA, 1);
    EXPECT_EQ(form->model("lstMostPlayed")->item(0, 0)->text(), "1"); // renumbered
    press(*decks, F2); // paused: still ticking, but counted already
    decks->TimerPlayerA_Timer();
    setTime('A', 190000);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(countedA, 1);

    // After the end of the song the next play counts again.
    press(*decks, F2);
    setTime('A', length('A'));
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(ds.ChannelA, 0);
    press(*decks, F2);
    setTime('A', 150000);
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(countedA, 2);
}

TEST_F(DecksTest, ShortSongIsCountedOnItsFirstTickOnceItPlays)
{
    cue('B', QStringLiteral("tone30s.mp3"));
    press(*decks, F6);
    decks->TimerPlayerB_Timer();
    EXPECT_EQ(countedB, 1);
    EXPECT_EQ(countedA, 0);

    // Songs cut short so that they show 0:00: one with nothing playable left ends without being
    // counted, one with a quarter of a second of sound counts once some of it was heard.
    const QByteArray whole = testutil::readAll(testutil::media("tone30s.mp3"));
    const std::pair<int, int> cuts[] = {{900, 0}, {5000, 1}};
    for (const auto& [bytes, counts] : cuts) {
        const QString cut = tmp->path() + QStringLiteral("/cut%1.mp3").arg(bytes);
        ASSERT_TRUE(testutil::writeAll(cut, whole.left(bytes)));
        form->addRow("lstDJPlayList", "Cut", "X", "0:00", cut);
        press(*decks, F1);
        decks->LoadSongA(form->list("lstDJPlayList"), true, true, form->model("lstDJPlayList")->rowCount());
        ASSERT_NE(ds.StreamA, 0) << bytes;
        ASSERT_LT(length('A'), 500) << bytes;
        countedA = 0;
        press(*decks, F2);
        for (int tick = 0; tick < 20; ++tick) {
            decks->TimerPlayerA_Timer();
            advanceMs(20);
        }
        EXPECT_EQ(ds.ChannelA, 0) << bytes;
        EXPECT_EQ(countedA, counts) << bytes;
    }
}

TEST_F(DecksTest, AutoDJHandOverStartsTheOtherDeckTheTickAfterTheEnd)
{
    cue('A', QStringLiteral("tone10s.mp3"));
    cue('B', QStringLiteral("tone10s.mp3"));
    ds.bAutoDJ = true;
    decks->A().PlayPause_MouseUp();
    ASSERT_TRUE(ds.bStartBAfterA);
    setTime('A', length('A'));
    decks->TimerPlayerA_Timer(); // the end
    EXPECT_EQ(ds.ChannelA, 0);
    EXPECT_EQ(ds.ChannelB, 0);
    decks->TimerPlayerA_Timer(); // the hand-over
    EXPECT_NE(ds.ChannelB, 0);
    EXPECT_TRUE(ds.bLoadNextA);
    EXPECT_FALSE(ds.bStartBAfterA);
    EXPECT_TRUE(ds.bStartAAfterB);
}

TEST_F(DecksTest, TimersRestWhileNothingPlaysAndTickAgainForTheNextChange)
{
    cue('A', QStringLiteral("tone200_4s.mp3"));
    cue('B', QStringLiteral("tone30s.mp3"));
    press(*decks, F2);
    press(*decks, F6);
    advanceMs(1500);
    press(*decks, F2); // both paused
    press(*decks, F6);
    decks->playerRest().setSettleMs(50);
    auto timer = [&](const char* name) { return form->get<QTimer>(name); };
    const char* const timers[] = {"TimerPlayerA", "TimerPlayerB", "TimerLoadSongB", "TimerSeek"};
    for (const char* name : timers) {
        timer(name)->setInterval(name == QLatin1String("TimerSeek") ? 50 : 10);
        timer(name)->start();
    }
    auto resting = [&] {
        return !timer("TimerPlayerA")->isActive() && !timer("TimerPlayerB")->isActive()
               && !timer("TimerLoadSongB")->isActive();
    };
    // The ticks bring the paused decks up to date, then nothing changes and the timers rest;
    // the seek timer at once, with no key held.
    ASSERT_TRUE(loopUntil(resting, 5000));
    EXPECT_FALSE(timer("TimerSeek")->isActive());
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "0:01");

    // A seek on a paused deck shows on the next tick, and so does a row queued meanwhile.
    decks->A().ProgElapsed_Mouse(1, 100, 200);
    EXPECT_TRUE(loopUntil([&] { return text(*form, "lblPlayerATimeElapsed") == "1:40"; }, 2000));
    form->addRow("lstDJPlayList", QStringLiteral("Next"), QStringLiteral("Band"), QStringLiteral("0:10"),
                 QStringLiteral("/m/next.mp3"));
    const QString queued = QString::number(form->model("lstDJPlayList")->rowCount());
    EXPECT_TRUE(loopUntil([&] { return text(*form, "lblNumDJPlaylist") == queued; }, 2000)) << queued.toStdString();
    EXPECT_TRUE(loopUntil(resting, 5000));

    // Playing: the timers tick for as long as the deck plays.
    press(*decks, F6);
    loopUntil([] { return false; }, 100);
    EXPECT_FALSE(resting());
    advanceMs(2000);
    EXPECT_TRUE(loopUntil([&] { return text(*form, "lblPlayerBTimeElapsed") == "0:03"; }, 2000));
    // A held fast-forward key wakes the seek timer; its release lets it rest again.
    press(*decks, F8);
    EXPECT_TRUE(loopUntil([&] { return timer("TimerSeek")->isActive(); }, 2000));
    int up = F8;
    decks->GlobalKeyUp(up);
    EXPECT_TRUE(loopUntil([&] { return !timer("TimerSeek")->isActive(); }, 2000));

    // Stopped by the window for good: no change starts them again.
    press(*decks, F6);
    for (const char* name : timers)
        TimerRest::stop(timer(name));
    decks->A().ProgElapsed_Mouse(1, 50, 200);
    loopUntil([] { return false; }, 100);
    EXPECT_TRUE(resting());
    EXPECT_EQ(text(*form, "lblPlayerATimeElapsed"), "1:40");
}

// ---- beat lamps

TEST(BeatLamps, StepsAtTheirStrictBoundaries)
{
    const double h = 420;
    auto at = [&](double y) { return Deck::lampStep((h - y) / h, h); };
    EXPECT_EQ(Deck::lampStep(0, h), 1); // silence
    EXPECT_EQ(Deck::lampStep(0, 795), 1);
    EXPECT_EQ(at(52), 1);
    EXPECT_EQ(at(51), 1);
    EXPECT_EQ(at(45.5), 1);
    EXPECT_EQ(at(45), 1); // on an edge: step 1
    EXPECT_EQ(at(44), 2);
    EXPECT_EQ(at(35), 1);
    EXPECT_EQ(at(34), 3);
    EXPECT_EQ(at(25), 1);
    EXPECT_EQ(at(24), 4);
    EXPECT_EQ(at(15), 1);
    EXPECT_EQ(at(14), 5);
    EXPECT_EQ(Deck::lampStep(1.5, h), 5); // above full scale
    // The same level lights the two decks differently: 0.9 is loud for A's box, not for B's.
    EXPECT_EQ(Deck::lampStep(0.9, 420), 2);
    EXPECT_EQ(Deck::lampStep(0.9, 795), 1);
}

TEST_F(DecksTest, LampsShowTheStepOfSpectrumIndexTwoOnly)
{
    std::vector<float> s(301, 0.0f);
    s[1] = 1.0f;
    s[3] = 1.0f;
    decks->CalcBPM(s);
    EXPECT_EQ(form->get<SkinControl>("picPlayerABeatTop")->picture().cacheKey(),
              decks->images().beatStep[0].ListImage(1).cacheKey());
    s[2] = 0.99f;
    decks->CalcBPM(s);
    decks->CalcBPM2(s);
    const char* lamps[] = {"Top", "Right", "Bottom", "Left"};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(form->get<SkinControl>(QStringLiteral("picPlayerABeat%1").arg(lamps[i]).toLatin1())
                      ->picture()
                      .cacheKey(),
                  decks->images().beatStep[4].ListImage(i + 1).cacheKey());
        EXPECT_EQ(form->get<SkinControl>(QStringLiteral("picPlayerBBeat%1").arg(lamps[i]).toLatin1())
                      ->picture()
                      .cacheKey(),
                  decks->images().beatStep[4].ListImage(i + 1).cacheKey());
    }
}

// ---- seek and pitch

TEST_F(DecksTest, SeekOnTheBar)
{
    cue('A', QStringLiteral("tone200_4s.mp3"));
    auto* bar = form->get<QProgressBar>("ProgPlayerAElapsed");
    ASSERT_EQ(bar->maximum(), 200);
    decks->A().ProgElapsed_Mouse(1, 100, 200);
    EXPECT_EQ(bar->value(), 100);
    EXPECT_EQ(time('A'), 100000);
    decks->A().ProgElapsed_Mouse(1, -30, 200); // left of the bar
    EXPECT_EQ(time('A'), 0);
    decks->A().ProgElapsed_Mouse(1, 500, 200); // far right of it
    EXPECT_EQ(bar->value(), 200);
    EXPECT_EQ(time('A'), 200000);
    // Right button, both buttons: nothing.
    decks->A().ProgElapsed_Mouse(2, 50, 200);
    decks->A().ProgElapsed_Mouse(3, 50, 200);
    EXPECT_EQ(time('A'), 200000);
    // No song on deck B: nothing.
    const int before = form->get<QProgressBar>("ProgPlayerBElapsed")->value();
    decks->B().ProgElapsed_Mouse(1, 50, 200);
    EXPECT_EQ(form->get<QProgressBar>("ProgPlayerBElapsed")->value(), before);
}

TEST_F(DecksTest, SongShorterThanHalfASecondHasABarThatIgnoresSeeks)
{
    cue('A', QStringLiteral("decks/tone0_3s.mp3"));
    ASSERT_NE(ds.StreamA, 0);
    auto* bar = form->get<QProgressBar>("ProgPlayerAElapsed");
    EXPECT_EQ(decks->A().barSeconds(), 0);
    EXPECT_GE(bar->maximum(), 1); // never a busy indicator
    decks->A().ProgElapsed_Mouse(1, 100, 200);
    decks->A().ProgElapsed_Mouse(1, 250, 200);
    EXPECT_EQ(time('A'), 0);
    EXPECT_EQ(bar->value(), 0);
}

TEST_F(DecksTest, PitchSliderArrowKeysAndReset)
{
    auto* sld = form->get<QSlider>("sldAFreq");
    Deck& a = decks->A();
    struct Case {
        int from, key, to;
    };
    const Case cases[] = {
        {41400, Left, 41300},  {41300, Left, 41300}, {41250, Left, 41200}, {41200, Left, 41200},
        {46800, Right, 46900}, {46900, Right, 46900}, {46950, Right, 47000}, {41200, Right, 41300},
        // Outside the window an arrow never moves the pitch against its own direction.
        {35000, Left, 35000},  {41150, Left, 41150}, {47000, Right, 47000}, {50000, Right, 50000},
        {35000, Right, 35100}, {50000, Left, 49900},
    };
    for (const Case& c : cases) {
        sld->setValue(c.from);
        a.Freq_Arrow(c.key); // the handler's part; the slider's own step is the widget's
        EXPECT_EQ(sld->value(), c.to) << c.from << " " << c.key;
    }
    cue('A', QStringLiteral("tone10s.mp3"));
    press(*decks, F2);
    sld->setValue(50000);
    EXPECT_EQ(FMod.FSOUND_GetFrequency(ds.ChannelA), 50000);
    a.FreqReset_Click();
    EXPECT_EQ(sld->value(), 44100);
    EXPECT_EQ(FMod.FSOUND_GetFrequency(ds.ChannelA), 44100);
}

TEST_F(DecksTest, PitchKeysClampToTheSliderRange)
{
    auto* a = form->get<QSlider>("sldAFreq");
    auto* b = form->get<QSlider>("sldBFreq");
    a->setValue(33250);
    press(*decks, F9);
    EXPECT_EQ(a->value(), 33200);
    EXPECT_TRUE(ds.bF9Down);
    press(*decks, F9);
    EXPECT_EQ(a->value(), 33200);
    b->setValue(54950);
    press(*decks, F12);
    EXPECT_EQ(b->value(), 55000);
    int f12 = F12;
    decks->GlobalKeyUp(f12);
    press(*decks, F11);
    EXPECT_EQ(b->value(), 54900);

    // Both pitch keys of deck A held: the seek timer puts it back to normal speed.
    press(*decks, F10);
    decks->TimerSeek_Timer();
    EXPECT_EQ(a->value(), 44100);
    EXPECT_EQ(b->value(), 54900); // only one of B's keys held
    int up = F9;
    decks->GlobalKeyUp(up);
    EXPECT_FALSE(ds.bF9Down);
    a->setValue(40000);
    decks->TimerSeek_Timer();
    EXPECT_EQ(a->value(), 40000);
}

TEST_F(DecksTest, HeldFastForwardRisesUnder100000AndTheReleaseGlidesBack)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    press(*decks, F4); // elapsed still reads 0:00: no fast forward
    EXPECT_FALSE(ds.bSeekFwdA);
    press(*decks, F2);
    setTime('A', 5000);
    decks->TimerPlayerA_Timer();
    press(*decks, F4);
    ASSERT_TRUE(ds.bSeekFwdA);
    for (int i = 0; i < 60; ++i) // three seconds held
        decks->TimerSeek_Timer();
    EXPECT_EQ(FMod.FSOUND_GetFrequency(ds.ChannelA), 98100);

    int up = F4;
    decks->GlobalKeyUp(up);
    EXPECT_FALSE(ds.bSeekFwdA);
    EXPECT_TRUE(decks->A().gliding());
    int steps = 0;
    int last = FMod.FSOUND_GetFrequency(ds.ChannelA);
    while (decks->A().glideStep()) {
        const int f = FMod.FSOUND_GetFrequency(ds.ChannelA);
        ASSERT_LT(f, last);
        last = f;
        ++steps;
        ASSERT_LT(steps, 10000);
    }
    EXPECT_GT(steps, 100); // a glide, not a jump
    EXPECT_EQ(FMod.FSOUND_GetFrequency(ds.ChannelA), 44100);
    EXPECT_FALSE(decks->A().gliding());

    // A new press cancels a glide that is still running.
    press(*decks, F4);
    decks->TimerSeek_Timer();
    decks->GlobalKeyUp(up);
    ASSERT_TRUE(decks->A().gliding());
    press(*decks, F4);
    EXPECT_FALSE(decks->A().gliding());
    EXPECT_TRUE(ds.bSeekFwdA);
}

TEST_F(DecksTest, FastForwardReleaseOnAnIdleDeckOnlySetsThePitch)
{
    int up = F8;
    decks->GlobalKeyUp(up);
    EXPECT_FALSE(decks->B().gliding());
}

TEST_F(DecksTest, LoudBassLightsTheTwoDecksAtDifferentSteps)
{
    // A full-scale 86 Hz tone fills spectrum band 2 to about 0.95: near the top of deck A's
    // lower box, still low in deck B's taller one.
    cue('A', QStringLiteral("tone86hz_full.mp3"));
    cue('B', QStringLiteral("tone86hz_full.mp3"));
    press(*decks, F2);
    press(*decks, F6);
    decks->TimerLoadSongB_Timer();
    advanceMs(500);
    decks->TimerPlayerA_Timer();
    decks->TimerPlayerB_Timer();
    EXPECT_EQ(form->get<SkinControl>("picPlayerABeatTop")->picture().cacheKey(),
              decks->images().beatStep[3].ListImage(1).cacheKey());
    EXPECT_EQ(form->get<SkinControl>("picPlayerBBeatTop")->picture().cacheKey(),
              decks->images().beatStep[1].ListImage(1).cacheKey());
    // Stopped by key, the lamps rest.
    press(*decks, F1);
    EXPECT_EQ(form->get<SkinControl>("picPlayerABeatRight")->picture().cacheKey(),
              decks->images().beatNeutral.ListImage(2).cacheKey());
}

TEST_F(DecksTest, ALoadThatTakesARowLeavesTheListWhereTheDJScrolledIt)
{
    // The DJ browses far down the queue while the auto-DJ takes its head, and while he loads a
    // row he selected earlier: neither load drags the list back to the row it selects.
    QTreeView* dj = form->list("lstDJPlayList");
    form->resize(400, 200);
    dj->setGeometry(0, 0, 400, 200);
    form->show();
    for (int i = 1; i <= 300; ++i)
        form->addRow("lstDJPlayList", QString::number(i), "X", "0:10", testutil::media("tone10s.mp3"));
    ViewSongList rows(dj);
    rows.Select(5);
    dj->scrollTo(form->model("lstDJPlayList")->index(200, 0), QAbstractItemView::PositionAtTop);
    const int scrolled = dj->verticalScrollBar()->value();
    ASSERT_GT(scrolled, 100);

    decks->LoadSongA(dj, true, false, 1); // the auto-DJ's feed: the head of the queue
    EXPECT_EQ(text(*form, "lblPlayerATitle"), "1 - X");
    EXPECT_EQ(rows.SelectedNum(), 1);
    EXPECT_EQ(dj->verticalScrollBar()->value(), scrolled);

    rows.Select(4);
    decks->LoadSongB(dj, true, false, 0); // the selected row
    EXPECT_EQ(text(*form, "lblPlayerBTitle"), "5 - X");
    EXPECT_EQ(rows.SelectedNum(), 4);
    EXPECT_EQ(dj->verticalScrollBar()->value(), scrolled);
    EXPECT_TRUE(dj->hasAutoScroll()); // the DJ's own moves still scroll
}
