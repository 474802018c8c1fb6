// The end of the session: when the desktop session or the system asks the program to end
// (SIGTERM, SIGHUP when the terminal or session goes, SIGINT), or when the X display goes away
// under it (the X server died, the ssh session that carried it was lost).
//
// Until the main window has loaded the song lists, nothing of them is in memory, so nothing may
// be written: the program ends at once, from whatever dialog or message box is open, leaving
// every file as it was. From then on the main window closes in the same order as by its Exit
// label, so the lists and settings are written first.
#pragma once

#include <functional>

// Start-up: a session end runs endAtOnce (it closes the sound engines) and then ends the program
// at once (session::endProgram(0)); nothing is saved. A lost display is logged as such.
void endOnSessionEnd(std::function<void()> endAtOnce);

// Once the lists are loaded: close runs on the event loop when one of those signals arrives, and
// right before Qt ends the program for a lost display (logged to the error log); it saves and
// ends the program itself. An empty close puts the signals back to their ordinary meaning.
// A second signal while close runs is ignored.
void closeOnSessionEnd(std::function<void()> close);

namespace session {

// Ends the program with status as its exit status: every event loop that runs stops, a modal
// box's included, and one that starts later returns at once. Before the program's own event loop
// has started (the start-up sequence, the main window's load) the work still on the stack after
// the box asks ending() and stops, and main() returns the status.
void endProgram(int status);
bool ending();
int exitStatus();
// Runs close as the session's end runs its close: while it runs, unattended() is true, so it
// shows no box (nobody is there to answer one) and tells what it must in the log.
void closeUnattended(const std::function<void()>& close);
bool unattended();
// Back to a running program (tests).
void reset();

} // namespace session
