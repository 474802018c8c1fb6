// The crossfader: one knob on a track between the two decks. The knob's left edge, in twips
// inside the 2040-twip track, is the one value from which both decks' volumes are derived
// (centre 945, right end 1890 = "Player B", left end 0 = "Player A").
#pragma once

#include <QPointer>
#include <QWidget>

struct CrossfaderVolumes {
    int a; // deck A, 0..255
    int b; // deck B, 0..255
};

// The volume law: both decks' volumes for a knob position. Any position is accepted,
// negative and beyond the right end included. Constant time, no allocation.
CrossfaderVolumes crossfaderVolumes(double p);

class Crossfader {
public:
    static constexpr double Centre = 945;
    static constexpr double TrackWidth = 2040; // picSliderBack
    static constexpr double KnobWidth = 150;   // picSlider

    // The knob's left edge in twips. Nothing else stores the position.
    double Left() const { return left_; }
    // Moves the knob (and its picture, when one is bound). Volumes follow at the next
    // SetCrossfaderVolumes.
    void setLeft(double twips);

    // The knob picture that shows the position (picSlider); may be null.
    void bindKnob(QWidget* knob);
    QWidget* knob() const { return knob_; }

private:
    double left_ = Centre;
    QPointer<QWidget> knob_;
};

// The one crossfader of the running program.
Crossfader& crossfader();

// Sets deck A's volume on engine A and then deck B's on engine B from the knob position,
// whatever the decks are doing (an idle deck's channel 0 is passed as it is).
void SetCrossfaderVolumes();
