// The pictures of the main window's skin, drawn by our own code: a dark console with light
// displays, so the black and blue captions of the deck displays stay legible.
#pragma once

#include "platform/ui/skin.h"

#include <QColor>
#include <QPixmap>
#include <QSize>

namespace skinart {

// Colours of the console.
QColor consoleColour();   // the face of the panels
QColor bezelColour();     // raised edges
QColor displayColour();   // the light song-info displays
QColor accentColour();    // lamps and highlights

// Picture sizes in pixels, shared by the window's layout and the image lists.
constexpr QSize ClockDigit{14, 24};
constexpr QSize ClockColon{8, 24};
constexpr QSize ClockAmPm{26, 24};
constexpr QSize BigButton{192, 34};
constexpr QSize PlayerButton{46, 26};
constexpr QSize AutoDJLamp{34, 34};
constexpr QSize Knob{10, 40};
constexpr QSize Track{136, 56};
constexpr QSize ListButton{48, 48};
constexpr int LampThickness = 6;
constexpr QSize LampHorizontal{424, LampThickness}; // top and bottom lamps of a deck
constexpr QSize LampVertical{LampThickness, 145};   // right and left lamps

// imgClock: 1-9 the digits 1 to 9, 10 "AM", 11 "PM", 12 colon, 13 blank, 14 the digit 0.
ImageList clockGlyphs();
// A beat lamp set: 1 top, 2 right, 3 bottom, 4 left. Step 0 is the resting set, 1-5 light up
// from a soft glow to full.
ImageList beatLamps(int step);
// imgPlayerControls: 1 stop, 2 stop pressed, 3 play/pause, 4 play/pause pressed.
ImageList playerControls();
// imgBigButtons: 1 the view button at rest, 2 pressed.
ImageList bigButtons();
// imgAutoDJOn: 1 off, 2 on (dim phase), 3 on (bright phase).
ImageList autoDJLamps();

QPixmap knob();
QPixmap track();

// A panel of the console of the given size: face, bevel and a few engraved lines.
QPixmap panel(QSize size, bool raised = true);
// A light display panel, for the song information of a deck.
QPixmap display(QSize size);
// The whole face behind every control.
QPixmap face(QSize size);
// The clock's housing.
QPixmap clockHousing(QSize size);

// Icons of the list buttons.
enum class ListIcon { LoadA, LoadB, Queue, Menu, Up, Down };
QPixmap listButton(ListIcon icon);

} // namespace skinart
