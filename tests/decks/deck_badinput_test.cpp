// Songs and input a deck must survive: other sample rates and mono, files deleted while they
// play, keys held for a long time, seeks past both ends.
#include "deckfixture.h"

#include "platform/ui/vb.h"
#include "support/testutil.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QSlider>

using namespace vb::key;

TEST_F(DecksTest, MonoAnd48kSongsPlayToTheirEnd)
{
    for (const char* name : {"rate48k.mp3", "mono.mp3", "rate22k_mono.mp3"}) {
        SCOPED_TRACE(name);
        int f1 = F1, f2 = F2;
        decks->GlobalKeyDown(f1, 0);
        cue('A', QString::fromLatin1(name));
        ASSERT_NE(ds.StreamA, 0);
        EXPECT_NEAR(length('A'), 10000, 100);
        EXPECT_EQ(form->get<QProgressBar>("ProgPlayerAElapsed")->maximum(), 10);
        decks->GlobalKeyDown(f2, 0);
        advanceMs(4000);
        decks->TimerPlayerA_Timer();
        EXPECT_EQ(form->get<QLabel>("lblPlayerATimeElapsed")->text(), "0:04");
        advanceMs(7000);
        ASSERT_EQ(time('A'), length('A'));
        decks->TimerPlayerA_Timer();
        EXPECT_EQ(ds.ChannelA, 0);
    }
}

TEST_F(DecksTest, SongDeletedWhilePlayingPlaysOnAndEnds)
{
    const QString copy = testutil::copyMedia(QStringLiteral("tone10s.mp3"), tmp->path());
    form->addRow("lstDJPlayList", "Doomed", "X", "0:10", copy);
    decks->LoadSongA(form->list("lstDJPlayList"), true, true, 1);
    int f2 = F2;
    decks->GlobalKeyDown(f2, 0);
    ASSERT_TRUE(QFile::remove(copy));
    for (int i = 0; i < 12; ++i) {
        advanceMs(1000);
        decks->TimerPlayerA_Timer();
    }
    EXPECT_EQ(ds.ChannelA, 0);
    EXPECT_FALSE(QFile::exists(tmp->path() + "/QNLERRORS.log")) << "it played to its end: nothing to tell";
    // Playing it again from the still open stream works; a new load of the row fails cleanly.
    decks->GlobalKeyDown(f2, 0);
    EXPECT_NE(ds.ChannelA, 0);
}

TEST_F(DecksTest, SongCutShortOrWrittenOverWhilePlayingStopsTheDeckAndSaysWhy)
{
    // The deck stops where the file now ends (or its sound does: random bytes written over it in
    // place), as at any end of a song, and the log names the file and why; the message line says
    // why.
    const std::pair<const char*, const char*> cases[] = {
        {"cut.mp3", "its file was cut short while it played"},
        {"written_over.mp3", "the rest of its file could not be decoded"},
    };
    for (const auto& [name, reason] : cases) {
        SCOPED_TRACE(name);
        const QString copy = testutil::copyMedia(QStringLiteral("tone30s.mp3"), tmp->path(), QLatin1String(name));
        QStringList posted;
        decks->postMessage = [&](const QString& m) { posted << m; };
        form->addRow("lstDJPlayList", "Cut", "X", "0:30", copy);
        decks->LoadSongA(form->list("lstDJPlayList"), true, true, 1);
        int f2 = F2;
        decks->GlobalKeyDown(f2, 0);
        advanceMs(1000);
        decks->TimerPlayerA_Timer();
        if (QLatin1String(name) == QLatin1String("cut.mp3")) {
            ASSERT_TRUE(QFile::resize(copy, 40000));
        } else {
            QFile f(copy);
            ASSERT_TRUE(f.open(QIODevice::ReadWrite));
            const QByteArray junk = testutil::readAll(testutil::media(QStringLiteral("junk.mp3")));
            ASSERT_EQ(f.write(junk.repeated(int(f.size() / junk.size() + 1)).left(int(f.size()))), f.size());
        }
        for (int i = 0; i < 32 && ds.ChannelA != 0; ++i) {
            advanceMs(1000);
            decks->TimerPlayerA_Timer();
        }
        EXPECT_EQ(ds.ChannelA, 0);
        EXPECT_LT(time('A'), 5000) << "stopped where the sound ended, not after the song's 30 s";
        const QString why = QStringLiteral("Player A stopped before the end of the song: ") + QLatin1String(reason);
        EXPECT_EQ(posted, QStringList {why});
        const QString log = QString::fromUtf8(testutil::readAll(tmp->path() + "/QNLERRORS.log"));
        EXPECT_TRUE(log.contains(why + ": " + copy)) << log.toStdString();
        QFile::remove(tmp->path() + "/QNLERRORS.log");
    }
}

TEST_F(DecksTest, PitchKeyHeldForAMinuteStopsAtTheEndOfTheRange)
{
    auto* a = form->get<QSlider>("sldAFreq");
    for (int i = 0; i < 60 * 30; ++i) { // the keyboard repeats about 30 times a second
        int f9 = F9;
        decks->GlobalKeyDown(f9, 0);
        if (i % 25 == 0)
            decks->TimerSeek_Timer();
    }
    EXPECT_EQ(a->value(), 33200);
    for (int i = 0; i < 60 * 30; ++i) {
        int f12 = F12;
        decks->GlobalKeyDown(f12, 0);
    }
    EXPECT_EQ(form->get<QSlider>("sldBFreq")->value(), 55000);
    EXPECT_TRUE(ds.bF9Down);
    EXPECT_TRUE(ds.bF12Down);
}

TEST_F(DecksTest, FastForwardHeldForAMinuteNeverReaches100000)
{
    cue('B', QStringLiteral("tone200_4s.mp3"));
    int f6 = F6, f8 = F8;
    decks->GlobalKeyDown(f6, 0);
    setTime('B', 3000);
    decks->TimerPlayerB_Timer();
    decks->GlobalKeyDown(f8, 0);
    ASSERT_TRUE(ds.bSeekFwdB);
    for (int i = 0; i < 20 * 60; ++i) {
        decks->TimerSeek_Timer();
        if (i % 20 == 0) {
            advanceMs(50);
            decks->GlobalKeyDown(f8, 0); // auto-repeat
            ASSERT_LT(FMod2.FSOUND_GetFrequency(ds.ChannelB), 100000);
        }
    }
    EXPECT_EQ(FMod2.FSOUND_GetFrequency(ds.ChannelB), 98100);
    decks->GlobalKeyUp(f8);
    while (decks->B().glideStep()) {
    }
    EXPECT_EQ(FMod2.FSOUND_GetFrequency(ds.ChannelB), 44100);
}

TEST_F(DecksTest, KeysSeekPastBothEnds)
{
    cue('A', QStringLiteral("tone10s.mp3"));
    int f2 = F2, f3 = F3;
    decks->GlobalKeyDown(f2, 0);
    setTime('A', 500); // less than a second played: back to the start, never before it
    decks->GlobalKeyDown(f3, 0);
    EXPECT_EQ(time('A'), 0);
    setTime('A', 8);
    decks->GlobalKeyDown(f3, 0); // 10 ms or less: nothing
    EXPECT_EQ(time('A'), 8);

    // The bar clamps a press far beyond its right end to the song's end, which ends the song.
    decks->A().ProgElapsed_Mouse(1, 1e9, 200);
    EXPECT_EQ(time('A'), length('A'));
    decks->TimerPlayerA_Timer();
    EXPECT_EQ(ds.ChannelA, 0);
    decks->A().ProgElapsed_Mouse(1, -1e9, 200);
    EXPECT_EQ(time('A'), 0);
}

TEST_F(DecksTest, SongWhoseHeaderClaimsAnUnplayableSampleRateIsRefusedAndLogged)
{
    // A damaged WAV header (here named .mp3) claiming 16,785,216 Hz: refused like any song that
    // cannot be played, the log names the file and its rate, and the deck's next load and play
    // are those of a sound deck.
    const QString bad = testutil::media(QStringLiteral("rate16785216_wav.mp3"));
    form->addRow("lstDJPlayList", "Damaged", "X", "0:02", bad);
    decks->LoadSongA(form->list("lstDJPlayList"), false, true, 1);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "There was an error loading song!");
    EXPECT_EQ(ds.StreamA, 0);
    const QString log = QString::fromUtf8(testutil::readAll(tmp->path() + "/QNLERRORS.log"));
    EXPECT_TRUE(log.contains("loading song! " + bad + ": its sample rate of 16785216 Hz")) << log.toStdString();

    cue('A', QStringLiteral("tone10s.mp3"));
    ASSERT_NE(ds.StreamA, 0);
    int f2 = F2;
    decks->GlobalKeyDown(f2, 0);
    advanceMs(1000);
    EXPECT_NEAR(time('A'), 1000, 30);
}
