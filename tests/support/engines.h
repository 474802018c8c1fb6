// Both sound engines for tests that run the real main window or decks.
#pragma once

// Starts engine A and engine B on the given driver (the manual clock unless told otherwise),
// with the spectrum on; an engine already running is left as it is. False when one fails.
bool startBothEngines(bool manualClock = true, int driver = 0);

// Stops and closes the streams the decks hold, and forgets their handles.
void releaseDeckStreams();
