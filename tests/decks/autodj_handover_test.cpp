// The auto-DJ's hand-over without crossfade on the real decks and manual-clock engines.
#include "deckfixture.h"

#include <QSlider>

TEST_F(DecksTest, HandOverStartsTheOtherDeckAtItsPitchAndCountsItFromThere)
{
    cue('A', QStringLiteral("tone10s.mp3"));
    cue('B', QStringLiteral("tone10s.mp3"));
    form->get<QSlider>("sldBFreq")->setValue(47000);
    ds.bCountedB = true; // left over from the deck's previous song
    ds.bAutoDJ = true;
    decks->A().PlayPause_MouseUp();
    setTime('A', length('A'));
    decks->TimerPlayerA_Timer(); // the end
    decks->TimerPlayerA_Timer(); // the hand-over
    ASSERT_NE(ds.ChannelB, 0);
    EXPECT_EQ(FMod2.FSOUND_GetFrequency(ds.ChannelB), 47000);
    EXPECT_FALSE(ds.bCountedB);
    decks->TimerPlayerB_Timer();
    EXPECT_EQ(countedB, 1);
}

TEST_F(DecksTest, HandOverLeavesADeckThatAlreadyPlaysAlone)
{
    // A crossfade started deck B and stopped deck A: the hand-over that follows must neither
    // restart B, change its speed, nor let its short song be counted again.
    cue('A', QStringLiteral("tone10s.mp3"));
    cue('B', QStringLiteral("tone10s.mp3"));
    ds.bAutoDJ = true;
    decks->A().PlayPause_MouseUp();
    ASSERT_TRUE(ds.bStartBAfterA);
    ds.ChannelB = FMod2.FSOUND_Stream_Play(-1, ds.StreamB);
    FMod2.FSOUND_SetFrequency(ds.ChannelB, 40000);
    advanceMs(500);
    decks->TimerPlayerB_Timer();
    ASSERT_EQ(countedB, 1);
    const int channelB = ds.ChannelB;
    const int posB = time('B');
    FMod.FSOUND_Stream_Stop(ds.StreamA);
    ds.ChannelA = 0;
    decks->TimerPlayerA_Timer(); // the hand-over
    EXPECT_EQ(ds.ChannelB, channelB);
    EXPECT_EQ(time('B'), posB);
    EXPECT_EQ(FMod2.FSOUND_GetFrequency(ds.ChannelB), 40000);
    decks->TimerPlayerB_Timer();
    EXPECT_EQ(countedB, 1);
}
