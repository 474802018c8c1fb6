#include "decks/crossfader.h"

#include "core/soundbindings.h"
#include "decks/deckstate.h"
#include "platform/ui/vb.h"

#include <QWidget>
#include <cmath>

namespace {

// One band of the law: the positions it covers and the two volumes it sets.
struct Band {
    enum Kind : unsigned char { Exact, OpenClosed, ClosedOpen, Above, Below };
    Kind kind;
    double lo;
    double hi;
    int a;
    int b;

    bool holds(double p) const
    {
        switch (kind) {
        case Exact: return p == lo;
        case OpenClosed: return p > lo && p <= hi;  // (lo, hi]
        case ClosedOpen: return p >= lo && p < hi;  // [lo, hi)
        case Above: return p > lo;
        case Below: return p < hi;
        }
        return false;
    }
};

// Right of centre deck A fades out in 36 steps of 7 over 540 twips; deck B stays full.
constexpr Band RightChain[] = {
    {Band::Exact, 945, 945, 255, 255},
    {Band::OpenClosed, 945, 960, 248, 255},
    {Band::OpenClosed, 960, 975, 241, 255},
    {Band::OpenClosed, 975, 990, 234, 255},
    {Band::OpenClosed, 990, 1005, 227, 255},
    {Band::OpenClosed, 1005, 1020, 220, 255},
    {Band::OpenClosed, 1020, 1035, 213, 255},
    {Band::OpenClosed, 1035, 1050, 206, 255},
    {Band::OpenClosed, 1050, 1065, 199, 255},
    {Band::OpenClosed, 1065, 1080, 192, 255},
    {Band::OpenClosed, 1080, 1095, 185, 255},
    {Band::OpenClosed, 1095, 1110, 178, 255},
    {Band::OpenClosed, 1110, 1125, 171, 255},
    {Band::OpenClosed, 1125, 1140, 164, 255},
    {Band::OpenClosed, 1140, 1155, 157, 255},
    {Band::OpenClosed, 1155, 1170, 150, 255},
    {Band::OpenClosed, 1170, 1185, 143, 255},
    {Band::OpenClosed, 1185, 1200, 136, 255},
    {Band::OpenClosed, 1200, 1215, 129, 255},
    {Band::OpenClosed, 1215, 1230, 122, 255},
    {Band::OpenClosed, 1230, 1245, 115, 255},
    {Band::OpenClosed, 1245, 1260, 108, 255},
    {Band::OpenClosed, 1260, 1275, 101, 255},
    {Band::OpenClosed, 1275, 1290, 94, 255},
    {Band::OpenClosed, 1290, 1305, 87, 255},
    {Band::OpenClosed, 1305, 1320, 80, 255},
    {Band::OpenClosed, 1320, 1335, 73, 255},
    {Band::OpenClosed, 1335, 1350, 66, 255},
    {Band::OpenClosed, 1350, 1365, 59, 255},
    {Band::OpenClosed, 1365, 1380, 52, 255},
    {Band::OpenClosed, 1380, 1395, 45, 255},
    {Band::OpenClosed, 1395, 1410, 38, 255},
    {Band::OpenClosed, 1410, 1425, 31, 255},
    {Band::OpenClosed, 1425, 1440, 24, 255},
    {Band::OpenClosed, 1440, 1455, 17, 255},
    {Band::OpenClosed, 1455, 1470, 10, 255},
    {Band::OpenClosed, 1470, 1485, 3, 255},
    {Band::OpenClosed, 1485, 1500, 0, 255},
    {Band::OpenClosed, 1500, 1515, 0, 255},
    {Band::Above, 1515, 0, 0, 255},
};

// Left of centre deck B fades out; this side is not the mirror of the right one: the first
// 15 twips keep B full, one band is 55 twips wide and seven values lie one below the line.
constexpr Band LeftChain[] = {
    {Band::ClosedOpen, 930, 945, 255, 255},
    {Band::ClosedOpen, 915, 930, 255, 248},
    {Band::ClosedOpen, 900, 915, 255, 241},
    {Band::ClosedOpen, 885, 900, 255, 234},
    {Band::ClosedOpen, 870, 885, 255, 227},
    {Band::ClosedOpen, 855, 870, 255, 220},
    {Band::ClosedOpen, 840, 855, 255, 213},
    {Band::ClosedOpen, 825, 840, 255, 206},
    {Band::ClosedOpen, 810, 825, 255, 199},
    {Band::ClosedOpen, 755, 810, 255, 192},
    {Band::ClosedOpen, 740, 755, 255, 185},
    {Band::ClosedOpen, 725, 740, 255, 178},
    {Band::ClosedOpen, 710, 725, 255, 171},
    {Band::ClosedOpen, 695, 710, 255, 164},
    {Band::ClosedOpen, 680, 695, 255, 157},
    {Band::ClosedOpen, 665, 680, 255, 150},
    {Band::ClosedOpen, 650, 665, 255, 143},
    {Band::ClosedOpen, 635, 650, 255, 135},
    {Band::ClosedOpen, 620, 635, 255, 128},
    {Band::ClosedOpen, 605, 620, 255, 121},
    {Band::ClosedOpen, 590, 605, 255, 114},
    {Band::ClosedOpen, 575, 590, 255, 107},
    {Band::ClosedOpen, 560, 575, 255, 100},
    {Band::ClosedOpen, 545, 560, 255, 93},
    {Band::ClosedOpen, 530, 545, 255, 87},
    {Band::ClosedOpen, 515, 530, 255, 80},
    {Band::ClosedOpen, 500, 515, 255, 73},
    {Band::ClosedOpen, 485, 500, 255, 66},
    {Band::ClosedOpen, 470, 485, 255, 59},
    {Band::ClosedOpen, 455, 470, 255, 52},
    {Band::ClosedOpen, 440, 455, 255, 45},
    {Band::ClosedOpen, 425, 440, 255, 38},
    {Band::ClosedOpen, 410, 425, 255, 31},
    {Band::ClosedOpen, 395, 410, 255, 24},
    {Band::ClosedOpen, 380, 395, 255, 17},
    {Band::ClosedOpen, 365, 380, 255, 10},
    {Band::ClosedOpen, 350, 365, 255, 3},
    {Band::Below, 0, 350, 255, 0},
};

constexpr int RightCount = int(sizeof(RightChain) / sizeof(RightChain[0]));
constexpr int LeftCount = int(sizeof(LeftChain) / sizeof(LeftChain[0]));

// The first band of a chain that holds p. The bands lie 15 twips apart (but for the left
// chain's one wide band), so the search starts at the band the position points to and only
// falls back to the walk from the top when that guess does not hold.
template <std::size_t N>
const Band* firstHolding(const Band (&chain)[N], int guess, double p)
{
    if (guess >= 0 && guess < int(N) && chain[guess].holds(p)) {
        // The chains are ordered and their bands do not overlap: the guess is the first.
        return &chain[guess];
    }
    for (const Band& band : chain)
        if (band.holds(p))
            return &band;
    return nullptr;
}

int rightGuess(double p)
{
    if (!(p > 945))
        return 0;
    if (p > 1515)
        return RightCount - 1;
    return int(std::ceil((p - 945) / 15));
}

int leftGuess(double p)
{
    if (!(p < 945))
        return 0;
    if (p < 350)
        return LeftCount - 1;
    if (p >= 810)
        return int(std::ceil((945 - p) / 15)) - 1;
    if (p >= 755)
        return 9;
    return 10 + int(std::ceil((755 - p) / 15)) - 1;
}

} // namespace

CrossfaderVolumes crossfaderVolumes(double p)
{
    // The right chain holds only for p >= 945 and the left chain only for p < 945, so only the
    // chain on p's side of the centre can hold.
    const Band* band = nullptr;
    if (p >= 945)
        band = firstHolding(RightChain, rightGuess(p), p);
    else if (p < 945)
        band = firstHolding(LeftChain, leftGuess(p), p);
    if (band)
        return {band->a, band->b};
    return {255, 255}; // not a number: leave both decks at full volume
}

void Crossfader::setLeft(double twips)
{
    left_ = twips;
    if (knob_ && knob_->x() != vb::px(twips))
        knob_->move(vb::px(twips), knob_->y());
}

void Crossfader::bindKnob(QWidget* knob)
{
    knob_ = knob;
    if (knob_)
        knob_->move(vb::px(left_), knob_->y());
}

Crossfader& crossfader()
{
    static Crossfader fader;
    return fader;
}

void SetCrossfaderVolumes()
{
    const CrossfaderVolumes v = crossfaderVolumes(crossfader().Left());
    DeckState& ds = deckState();
    FMod.FSOUND_SetVolume(ds.ChannelA, v.a);
    FMod2.FSOUND_SetVolume(ds.ChannelB, v.b);
}
