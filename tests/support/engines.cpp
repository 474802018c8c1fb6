#include "support/engines.h"

#include "core/soundbindings.h"
#include "decks/deckstate.h"

bool startBothEngines(bool manualClock, int driver)
{
    for (SoundBinding* b : {&FMod, &FMod2}) {
        if (b->engine().isInitialized())
            continue;
        b->engine().setManualClock(manualClock);
        b->FSOUND_SetDriver(driver);
        if (b->FSOUND_Init(44100, 32, 0) == 0)
            return false;
        b->FSOUND_DSP_SetActive(b->FSOUND_DSP_GetFFTUnit(), 1);
    }
    return true;
}

void releaseDeckStreams()
{
    DeckState& s = deckState();
    FMod.FSOUND_Stream_Stop(s.StreamA);
    FMod2.FSOUND_Stream_Stop(s.StreamB);
    FMod.FSOUND_Stream_Close(s.StreamA);
    FMod2.FSOUND_Stream_Close(s.StreamB);
    s.StreamA = s.StreamB = 0;
    s.ChannelA = s.ChannelB = 0;
}
