#include "support/programfolder.h"

#include "core/checkmarks.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "decks/crossfader.h"
#include "decks/deckstate.h"
#include "platform/ui/dialogs.h"

void enterProgramFolder(const QString& folder)
{
    AppPath = folder;
    errorlog::setFolder(folder);
    ErrorTrapOn = true;
    ErrorCount = 0;
}

void leaveProgramFolder()
{
    ErrorTrapOn = false;
    errorlog::setFolder({});
}

void resetDeckWorld()
{
    crossfader().bindKnob(nullptr);
    crossfader().setLeft(Crossfader::Centre);
    deckState().reset();
    ui::setDialogs(nullptr);
}

void startFreshRun(const QString& folder, ui::ScriptedDialogs& dialogs)
{
    enterProgramFolder(folder);
    resetDeckWorld();
    ui::setDialogs(&dialogs);
    checkMarks() = CheckMarks();
}
