// The global keys of the main window: the function keys drive the decks, the letters switch
// the views. Every key-handling control of the window hands its keys here (see frmMain.h).
#include "shell/frmMain.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "decks/decks.h"

#include <QLineEdit>

void frmMain::GlobalKeyDown(int& KeyCode, int Shift)
{
    trap("B-302", [&] {
        if (decks)
            decks->functionKeyDown(KeyCode);

        // The view letters, by their upper-case codes whatever the modifiers. The search box
        // passes a Shift of its own, so the letters typed there switch nothing.
        if (Shift != 0 || ctl<QWidget>(this, "ViewPlaySongs")->isHidden())
            return;
        switch (KeyCode) {
        case 'D':
            lblViewDJPlaylist_Click();
            break;
        case 'S':
            if (!ctl<QWidget>(this, "ViewSearchSongs")->isHidden()) {
                auto* search = ctl<QLineEdit>(this, "txtSearch");
                search->setFocus(Qt::ShortcutFocusReason);
                search->home(false); // Home, then Shift+End: the whole text selected
                search->end(true);
            } else {
                lblSearchSongsClick_Click();
            }
            break;
        case 'R':
            lblRequestsClick_Click();
            break;
        case 'F':
            lblFullPlaylistClick_Click();
            break;
        case 'M':
            lblMostPlayedClick_Click();
            break;
        default:
            break;
        }
    });
}

void frmMain::GlobalKeyUp(int& KeyCode)
{
    if (decks)
        decks->functionKeyUp(KeyCode);
}
