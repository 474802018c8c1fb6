// The end of the session: when the desktop session or the system asks the program to end
// (SIGTERM, SIGHUP when the terminal or session goes, SIGINT), the main window closes in the
// same order as by its Exit label, so the lists and settings are written first.
#pragma once

#include <functional>

// Runs close on the event loop when one of those signals arrives. Installed once; a later
// call replaces the action. A second signal while close runs is ignored.
void closeOnSessionEnd(std::function<void()> close);
