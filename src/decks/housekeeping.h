// The housekeeping timer (TimerMessages, every second). Each tick, in this order: rotates the
// deck information labels, polls the request database, refills an empty DJ Playlist for the
// auto-DJ, loads the next queued song into a deck the auto-DJ marked free, blinks the auto-DJ
// lamp and the request counter, and runs the message line's blink and expiry.
#pragma once

#include "core/checkmarks.h"
#include "decks/autodj.h"
#include "library/requestlink.h"
#include "platform/ui/vb.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

// What the housekeeping timer needs beyond what the auto-DJ needs.
class HousekeepingHost : public AutoDJHost {
public:
    // --- the five information labels of a deck, in the order Bitrate, Genre, Year, Channel,
    // Original: the first visible one (-1 when none is), and showing exactly one of them.
    virtual int visibleInfoLabel(Side deck) const = 0;
    virtual void showOnlyInfoLabel(Side deck, int index) = 0;

    // --- the Requests list
    // Puts the rows of a reload in the place of every row of lstRequests.
    virtual void replaceRequests(std::vector<SongRow>&& rows) = 0;
    virtual int requestRowCount() const = 0;
    virtual bool requestsViewShown() const = 0; // ViewRequests is visible
    virtual std::uint32_t requestCounterColor() const = 0; // lblNumRequestSongs ForeColor
    virtual void setRequestCounterColor(std::uint32_t bgr) = 0;

    // --- the auto-fill
    virtual int sourceRowCount(CheckMarks::FillSource source) const = 0;
    // AddToDJList(source list, index): 0 = the source's selected row.
    virtual void addToDJList(CheckMarks::FillSource source, int index) = 0;
    // A whole number from 0 to n inclusive, from a generator seeded once per run.
    virtual int randomNumber(int n) = 0;

    // --- the head of the queue
    virtual QString djFilename(int row) const = 0; // sub-item 5 of a 1-based row
    virtual void removeDJRow(int row) = 0;

    // --- the message line: runs MessagePanelTick on it
    virtual void tickMessagePanel() = 0;
};

// The message line's part of the tick. Panel offers caption(), setCaption(), foreColor(),
// setForeColor() and the members bNewMessages, bKeepMessageDisplayed, iMessagesCounter and
// iMessageLoops. A new message blinks for ticks 0 to 10, again every 62 ticks, and gives way to
// the idle text at tick 123 unless it is kept.
template <class Panel>
void MessagePanelTick(Panel& p)
{
    const QString idle = QStringLiteral("Messages Will Appear Here");
    if (p.bNewMessages) {
        p.iMessagesCounter = 0;
        p.setForeColor(vb::Blue);
        p.bNewMessages = false;
    }
    // The counters stand still while the idle text shows.
    if (p.caption() == idle)
        return;
    if (p.iMessagesCounter >= 0 && p.iMessagesCounter <= 10)
        p.setForeColor(p.foreColor() == vb::Black ? vb::Blue : vb::Black);
    else
        p.setForeColor(vb::Black);
    if (p.iMessagesCounter > 60) {
        p.bNewMessages = true;
        p.iMessageLoops += 1;
    }
    if (p.iMessageLoops > 1 && !p.bKeepMessageDisplayed) {
        p.setCaption(idle);
        p.setForeColor(vb::Black);
        p.bNewMessages = false;
        p.iMessagesCounter = 0;
        p.iMessageLoops = 0;
    }
    p.iMessagesCounter += 1;
}

class Housekeeping {
public:
    // requests: the request database's thread, which answers the polls; its reloads fill the
    // Requests list from now on.
    Housekeeping(DeckState& state, const CheckMarks& marks, AutoDJ& autoDJ, HousekeepingHost& host,
                 requestdb::RequestLink& requests);
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

    // Tick of TimerMessages (location "B-299"). The request poll only asks the database's thread
    // to look (its answer fills the list later, and a failing database is logged there, once
    // while the same failure repeats); the rest of the tick goes on at once.
    void TimerMessages_Timer();

    // Ticks waited before loading a free deck (shared by both decks) and the auto-fill's wait.
    int iNextSongWait = 0;
    int iAutoFillDelay = 0;

    // The information label that follows index (Bitrate, Genre, Year, Channel, Original, Bitrate).
    static int nextInfoLabel(int index) { return (index + 1) % 5; }

private:
    void rotateInfo(Side deck);
    void pollRequests();
    void autoFill();
    // Returns false when the tick must end here (the queue ran empty).
    bool loadFreeDeck(Side deck);
    void blinkLamp();
    void blinkRequestCounter();

    DeckState& s_;
    const CheckMarks& marks_;
    AutoDJ& autoDJ_;
    HousekeepingHost& host_;
    // The link may go first when the main window closes.
    QPointer<requestdb::RequestLink> requests_;
};
