// Where the main window meets the subsystems: their controllers are created here, and the
// load and close steps that belong to them call into them. Each subsystem adds its member
// (frmMain.h, at the end) and its few lines below; a step whose controller is absent does
// nothing.
#include "shell/frmMain.h"

#include "core/errorlog.h"

#include <QApplication>

frmMain::~frmMain()
{
    errorlog::setErrorsLabel(nullptr);
    errorlog::setStopTimers(nullptr);
}

void frmMain::createControllers()
{
}

void frmMain::setDefaultSteps()
{
    steps.installKeyboardHook = [] {};
    steps.openRequestDatabase = [] {};
    steps.resetDecks = [] {};
    steps.addSearchPlaceholder = [] {};
    steps.loadStoredLists = [] {};
    steps.closeStartupWindows = [] {};
    steps.startMediaScanIfEmpty = [] {};
    steps.stopDecks = [] {};
    steps.closeStreams = [] {};
    steps.closeEngines = [] {};
    steps.saveLists = [] {};
    steps.removeKeyboardHook = [] {};
    steps.endProgram = [] { QCoreApplication::exit(0); };
}
