// A temporary program folder for tests: settings and the error log go there, with the error trap on.
#pragma once

#include <QString>

// Makes folder the program folder (AppPath and the error log's folder), switches the error trap on
// and starts the error count from 0.
void enterProgramFolder(const QString& folder);

// Switches the trap off and gives the error log its own folder back.
void leaveProgramFolder();

// Both decks empty with every flag cleared, the crossfader centred and unbound, and the real
// dialogs back: what a window test leaves behind for the next one.
void resetDeckWorld();
