// The auto-DJ and the housekeeping timer in the main window: their host over the window's
// controls, the library's lists and the decks' engines, and the connections of the auto-DJ
// label and the two timers (TimerAutoDJCrossfade, TimerMessages) to their handlers.
#pragma once

#include "decks/autodj.h"
#include "decks/housekeeping.h"

#include <QObject>
#include <functional>
#include <memory>

class frmMain;
class Library;

class AutoDJController : public QObject {
    Q_OBJECT
public:
    // Binds to the form's controls by name (a missing one raises error 91) and connects the
    // label and the timers. The library and the form must outlive the controller.
    AutoDJController(frmMain& form, Library& library, DeckState& state, Crossfader& knob, const CheckMarks& marks,
                     QObject* parent = nullptr);
    ~AutoDJController() override;

    // LoadSongA / LoadSongB(lstDJPlayList, True, False, autoIndex) of the decks; until it is
    // set, nothing is loaded.
    std::function<void(Side deck, int autoIndex)> loadSong;

    AutoDJ& autoDJ() { return *autoDJ_; }
    Housekeeping& housekeeping() { return *housekeeping_; }

private:
    class Host;
    std::unique_ptr<Host> host_;
    std::unique_ptr<AutoDJ> autoDJ_;
    std::unique_ptr<Housekeeping> housekeeping_;
};
