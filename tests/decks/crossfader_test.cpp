// The crossfader's volume law, the knob drag and menu, and what the law does to the engines'
// output.
#include "deckfixture.h"

#include "core/checkmarks.h"
#include "decks/crossfader.h"
#include "platform/ui/vb.h"

#include <QLabel>
#include <QSlider>
#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

namespace {

// The law written the other way: 7 volume steps per 15 twips, with the left side's wide band
// and its seven values one below the line.
CrossfaderVolumes referenceLaw(double p)
{
    if (p >= 945) {
        if (p == 945)
            return {255, 255};
        if (p > 1485)
            return {0, 255};
        const int k = int(std::ceil((p - 945) / 15));
        return {255 - 7 * k, 255};
    }
    if (p >= 930)
        return {255, 255};
    if (p >= 810)
        return {255, 255 - 7 * int(std::ceil((930 - p) / 15))};
    if (p >= 755)
        return {255, 192};
    if (p < 350)
        return {255, 0};
    const int q = int(std::ceil((755 - p) / 15));
    return {255, 192 - 7 * q - (q >= 8 && q <= 14 ? 1 : 0)};
}

} // namespace

TEST(VolumeLaw, NamedPoints)
{
    struct Point {
        double p;
        int a, b;
    };
    const Point points[] = {
        {945, 255, 255}, {960, 248, 255},   {960.5, 241, 255}, {1200, 136, 255}, {1215, 129, 255},
        {1485, 3, 255},  {1486, 0, 255},    {1890, 0, 255},    {5000, 0, 255},   {930, 255, 255},
        {929, 255, 248}, {810, 255, 199},   {809, 255, 192},   {755, 255, 192},  {754, 255, 185},
        {640, 255, 135}, {630, 255, 128},   {350, 255, 3},     {349, 255, 0},    {0, 255, 0},
        {-1, 255, 0},    {-5000, 255, 0},   {944.5, 255, 255}, {1620, 0, 255},   {270, 255, 0},
    };
    for (const Point& pt : points) {
        const CrossfaderVolumes v = crossfaderVolumes(pt.p);
        EXPECT_EQ(v.a, pt.a) << "p = " << pt.p;
        EXPECT_EQ(v.b, pt.b) << "p = " << pt.p;
    }
}

TEST(VolumeLaw, WholeTableAgreesWithTheBandsInHalfTwipSteps)
{
    for (int i = 0; i <= 4400; ++i) {
        const double p = -100 + i * 0.5;
        const CrossfaderVolumes got = crossfaderVolumes(p);
        const CrossfaderVolumes want = referenceLaw(p);
        ASSERT_EQ(got.a, want.a) << "p = " << p;
        ASSERT_EQ(got.b, want.b) << "p = " << p;
    }
}

TEST_F(DecksTest, KnobDragRefusesMovesPastTheEndsAndSnapsToTheRightEnd)
{
    Crossfader& f = crossfader();
    decks->picSlider_MouseDown(1, 0, 75, 300);
    EXPECT_EQ(decks->SliderGrabX, 75);
    decks->picSlider_MouseDown(1, 0, 74.5, 300); // halves to even
    EXPECT_EQ(decks->SliderGrabX, 74);
    decks->picSlider_MouseDown(1, 0, 75, 300);

    decks->picSlider_MouseMove(1, 0, 75 + 300, 300);
    EXPECT_EQ(f.Left(), 1245);
    // Only the left button alone drags.
    decks->picSlider_MouseMove(3, 0, 75 + 300, 300);
    decks->picSlider_MouseMove(0, 0, 75 + 300, 300);
    EXPECT_EQ(f.Left(), 1245);

    // A move that would pass the right end is refused, not clamped.
    decks->picSlider_MouseMove(1, 0, 75 + 700, 300);
    EXPECT_EQ(f.Left(), 1245);
    decks->picSlider_MouseMove(1, 0, 75 + 644, 300);
    EXPECT_EQ(f.Left(), 1889);
    decks->picSlider_MouseMove(1, 0, 75 + 1, 300);
    EXPECT_EQ(f.Left(), 1889);

    // One move of more than the whole track lands on the right end.
    f.setLeft(945);
    decks->picSlider_MouseMove(1, 0, 75 + 2041, 300);
    EXPECT_EQ(f.Left(), 1890);

    // There is no such snap to the left: far past the left end the knob stays put.
    f.setLeft(945);
    decks->picSlider_MouseMove(1, 0, 75 - 5000, 300);
    EXPECT_EQ(f.Left(), 945);
    decks->picSlider_MouseMove(1, 0, 75 - 945, 300);
    EXPECT_EQ(f.Left(), 0);
    decks->picSlider_MouseMove(1, 0, 75 - 1, 300);
    EXPECT_EQ(f.Left(), 0);
}

TEST_F(DecksTest, KnobAtTheRightEndSilencesDeckAOutputAndTheLeftEndDeckB)
{
    cue('A', QStringLiteral("tone30s.mp3"));
    cue('B', QStringLiteral("tone30s.mp3"));
    int f2 = vb::key::F2, f6 = vb::key::F6;
    decks->GlobalKeyDown(f2, 0);
    decks->GlobalKeyDown(f6, 0);
    ASSERT_NE(ds.ChannelA, 0);
    ASSERT_NE(ds.ChannelB, 0);

    decks->TimerLoadSongB_Timer();
    advanceMs(300);
    EXPECT_GT(EngineA().outputLevel(), 0.05f);
    EXPECT_GT(EngineB().outputLevel(), 0.05f);

    // Drag to the right end: one move of more than the track's width.
    decks->picSlider_MouseDown(1, 0, 75, 300);
    decks->picSlider_MouseMove(1, 0, 75 + 2100, 300);
    EXPECT_EQ(crossfader().Left(), 1890);
    advanceMs(300); // the volume ramps
    EXPECT_LT(EngineA().outputLevel(), 0.001f);
    EXPECT_GT(EngineB().outputLevel(), 0.05f);
    EXPECT_EQ(EngineA().getVolume(ds.ChannelA), 0);
    EXPECT_EQ(EngineB().getVolume(ds.ChannelB), 255);

    crossfader().setLeft(0);
    decks->TimerLoadSongB_Timer();
    advanceMs(300);
    EXPECT_GT(EngineA().outputLevel(), 0.05f);
    EXPECT_LT(EngineB().outputLevel(), 0.001f);

    // A start from stop is at the knob's volume and the pitch slider's speed from its very first
    // sample, before any timer has run, whichever way it starts: deck B, silent at the left end,
    // is never heard; at the right end it starts at full volume.
    form->get<QSlider>("sldBFreq")->setValue(40600);
    const std::vector<std::pair<const char*, std::function<void()>>> starts = {
        {"F6", [&] { decks->GlobalKeyDown(f6, 0); }},
        {"play button", [&] { decks->B().PlayPause_MouseUp(); }},
        {"auto-DJ's start", [&] { ds.ChannelB = decks->B().startStream("B-295"); }},
        {"hand-over", [&] {
             ds.bStartAAfterB = false;
             ds.bStartBAfterA = true;
             FMod.FSOUND_Stream_Stop(ds.StreamA);
             ds.ChannelA = 0;
             decks->TimerPlayerA_Timer();
             ds.bLoadNextA = false;
             ds.bStartAAfterB = false;
         }},
    };
    std::vector<float> first(2 * 441);
    for (const double knob : {0.0, 1890.0}) {
        crossfader().setLeft(knob);
        for (const auto& [how, start] : starts) {
            decks->B().Stop_MouseUp();
            ASSERT_EQ(ds.ChannelB, 0);
            start();
            ASSERT_NE(ds.ChannelB, 0) << how;
            EXPECT_EQ(EngineB().getVolume(ds.ChannelB), knob == 0 ? 0 : 255) << how;
            EXPECT_EQ(FMod2.FSOUND_GetFrequency(ds.ChannelB), 40600) << how;
            EngineB().advanceInto(first.data(), 441);
            const float loudest = *std::max_element(first.begin(), first.end(), [](float x, float y) {
                return std::fabs(x) < std::fabs(y);
            });
            if (knob == 0)
                EXPECT_EQ(loudest, 0.0f) << how << ": the first 10 ms are heard";
            else
                EXPECT_GT(std::fabs(loudest), 0.2f) << how;
            // 10 ms at 40600 Hz: 406 frames of the song, 9.2 ms (at normal speed it would be 10).
            EXPECT_EQ(time('B'), 9) << how;
        }
    }
}

TEST_F(DecksTest, DisplayTimerShowsTheListCounts)
{
    form->addRow("lstDJPlayList", "a", "b", "0:01", "/nowhere.mp3");
    form->addRow("lstDJPlayList", "a", "b", "0:01", "/nowhere.mp3");
    form->addRow("lstMostPlayed", "a", "b", "0:01", "/nowhere.mp3");
    decks->TimerLoadSongB_Timer();
    EXPECT_EQ(form->get<QLabel>("lblNumRequestSongs")->text(), "0");
    EXPECT_EQ(form->get<QLabel>("lblNumDJPlaylist")->text(), "2");
    EXPECT_EQ(form->get<QLabel>("lblNumFullPlaylist")->text(), "0");
    EXPECT_EQ(form->get<QLabel>("lblNumMostPlayed")->text(), "1");
}

TEST_F(DecksTest, RightClickOnTheKnobOrTrackOffersTheCrossfadeTimes)
{
    QPoint shownAt(-1, -1);
    decks->showCrossfaderMenu = [&](const QPoint& p) { shownAt = p; };
    decks->picSlider_MouseUp(1, 0, 10, 10); // a left click: no menu
    EXPECT_EQ(shownAt, QPoint(-1, -1));
    decks->picSliderBack_MouseUp(2, 0, 10, 10);
    EXPECT_NE(shownAt, QPoint(-1, -1));
}
