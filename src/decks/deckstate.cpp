#include "decks/deckstate.h"

DeckState& deckState()
{
    static DeckState state;
    return state;
}
