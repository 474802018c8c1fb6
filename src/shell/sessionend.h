// The end of the session: when the desktop session or the system asks the program to end
// (SIGTERM, SIGHUP when the terminal or session goes, SIGINT), or when the X display goes away
// under it (the X server died, the ssh session that carried it was lost), the main window
// closes in the same order as by its Exit label, so the lists and settings are written first.
#pragma once

#include <functional>

// Runs close on the event loop when one of those signals arrives, and right before Qt ends the
// program for a lost display (logged to the error log). Installed once; a later call replaces
// the action, an empty one puts the signals back to their ordinary meaning. A second signal
// while close runs is ignored.
void closeOnSessionEnd(std::function<void()> close);
