// The auto-DJ and the housekeeping timer in the main window: their host over the window's
// controls, the library's lists and the decks' engines, and the connections of the auto-DJ
// label and the two timers (TimerAutoDJCrossfade, TimerMessages) to their handlers.
#pragma once

#include "decks/autodj.h"
#include "decks/housekeeping.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class ImageList;
class Library;
class QTimer;
class QWidget;

class AutoDJController : public QObject {
    Q_OBJECT
public:
    // What the controller needs of the main window: its controls (found by name), the lamp
    // pictures, the two timers and the message line.
    struct Window {
        QWidget* controls = nullptr;
        const ImageList* autoDJLamps = nullptr; // imgAutoDJOn
        QTimer* crossfadeTimer = nullptr;       // TimerAutoDJCrossfade
        QTimer* messagesTimer = nullptr;        // TimerMessages
        std::function<void()> resetMessages;
        std::function<void(const QString& text, bool keep)> postMessage;
        std::function<void()> tickMessages; // MessagePanelTick on the message line
        std::function<int(int n)> randomNumber;
    };

    // Binds to the window's controls by name (a missing one raises error 91) and connects the
    // label and the timers. The library, the window and its controls must outlive the controller.
    AutoDJController(Window window, Library& library, DeckState& state, Crossfader& knob, const CheckMarks& marks,
                     QObject* parent = nullptr);
    ~AutoDJController() override;

    // LoadSongA / LoadSongB(lstDJPlayList, True, False, autoIndex) of the decks; until it is
    // set, nothing is loaded.
    std::function<void(Side deck, int autoIndex)> loadSong;
    // Starts a deck's song as its play button would (Deck::startStream): the channel, 0 when it
    // could not play (told by the deck). Until it is set, nothing starts.
    std::function<int(Side deck)> startDeck;

    AutoDJ& autoDJ() { return *autoDJ_; }
    Housekeeping& housekeeping() { return *housekeeping_; }

private:
    class Host;
    std::unique_ptr<Host> host_;
    std::unique_ptr<AutoDJ> autoDJ_;
    std::unique_ptr<Housekeeping> housekeeping_;
};
