// The pictures the decks put up: the transport buttons (imgPlayerControls: 1 stop released,
// 2 stop pressed, 3 play/pause released, 4 play/pause pressed) and the beat lamps (five steps
// and the resting set, each 1 top, 2 right, 3 bottom, 4 left).
#pragma once

#include "platform/ui/skin.h"

struct DeckImages {
    ImageList playerControls;
    ImageList beatStep[5]; // imgBeatStep1 .. imgBeatStep5
    ImageList beatNeutral;

    // The pictures drawn by the program itself, used until the skin supplies its own.
    static DeckImages drawn();
};
