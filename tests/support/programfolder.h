// A temporary program folder for tests: settings and the error log go there, with the error trap on.
#pragma once

#include <QString>

namespace ui {
class ScriptedDialogs;
}

// Makes folder the program folder (AppPath and the error log's folder), switches the error trap on
// and starts the error count from 0.
void enterProgramFolder(const QString& folder);

// Switches the trap off and gives the error log its own folder back.
void leaveProgramFolder();

// Both decks empty with every flag cleared, the crossfader centred and unbound, and the real
// dialogs back: what a window test leaves behind for the next one.
void resetDeckWorld();

// The start of a window test: folder as the program folder, the decks reset, dialogs answered
// by the test's script and the menus' check marks at their start marks.
void startFreshRun(const QString& folder, ui::ScriptedDialogs& dialogs);
