#include "decks/housekeeping.h"

#include "core/errorlog.h"
#include "decks/deckstate.h"
#include "decks/songlist.h"


Housekeeping::Housekeeping(DeckState& state, const CheckMarks& marks, AutoDJ& autoDJ, HousekeepingHost& host,
                           requestdb::RequestLink& requests)
    : s_(state), marks_(marks), autoDJ_(autoDJ), host_(host), requests_(&requests)
{
    // New requests are signalled with the list they rebuilt.
    requests_->onReloaded = [this](std::vector<SongRow>&& rows) {
        trap("B-299", [&] {
            host_.replaceRequests(std::move(rows));
            NewRequests = true;
        });
    };
}

Housekeeping::~Housekeeping()
{
    if (requests_)
        requests_->onReloaded = nullptr;
}

void Housekeeping::TimerMessages_Timer()
{
    trap("B-299", [&] {
        rotateInfo(Side::A);
        rotateInfo(Side::B);
        pollRequests();
        if (s_.bAutoFillDJ)
            autoFill();
        if (s_.bLoadNextA && !loadFreeDeck(Side::A))
            return;
        if (s_.bLoadNextB && !loadFreeDeck(Side::B))
            return;
        blinkLamp();
        blinkRequestCounter();
        host_.tickMessagePanel();
    });
}

void Housekeeping::rotateInfo(Side deck)
{
    const int shown = host_.visibleInfoLabel(deck);
    if (shown < 0)
        return;
    host_.showOnlyInfoLabel(deck, nextInfoLabel(shown));
}

void Housekeeping::pollRequests()
{
    // Only asked: however long the database takes, the decks are fed below at once.
    if (requests_)
        requests_->poll(RequestDBPath, marks_.takeRequests, QStringLiteral("B-299"));
}

void Housekeeping::autoFill()
{
    // The first tick only waits.
    if (iAutoFillDelay < 1) {
        ++iAutoFillDelay;
        return;
    }
    const CheckMarks::FillSource source = marks_.autoFillSource;
    for (int i = 0; i < 9; ++i) {
        // A row from 1 to n, each equally likely. (A draw of 0 would stand for the source's
        // selected row: twice as likely as the others, and nothing at all when no row is
        // selected.) The generator is seeded once, so nine draws are nine different picks.
        const int n = host_.sourceRowCount(source);
        const int pick = n > 0 ? 1 + host_.randomNumber(n - 1) : 0;
        host_.addToDJList(source, pick);
    }
    s_.bAutoFillDJ = false;
    iAutoFillDelay = 0;
}

bool Housekeeping::loadFreeDeck(Side deck)
{
    const int wait = s_.bAutoFillDJ ? 4 : 1;
    if (iNextSongWait < wait) {
        ++iNextSongWait;
        return true;
    }
    for (;;) {
        if (host_.djRowCount() == 0) {
            s_.bAutoFillDJ = true;
            iNextSongWait = 0;
            return false;
        }
        const QString file = host_.djFilename(1);
        if (songFileExists(file))
            break;
        // The song vanished after it was queued: it leaves the queue with a line in the log.
        logMissingSong(file, QStringLiteral("B-299"));
        host_.removeDJRow(1);
    }
    host_.loadFromDJList(deck, 1);
    iNextSongWait = 0;
    (deck == Side::A ? s_.bLoadNextA : s_.bLoadNextB) = false;
    return true;
}

void Housekeeping::blinkLamp()
{
    if (s_.bAutoDJ)
        autoDJ_.showLamp(autoDJ_.lampItem() == 2 ? 3 : 2);
    else
        autoDJ_.showLamp(1);
}

void Housekeeping::blinkRequestCounter()
{
    if (!host_.requestsViewShown() && NewRequests) {
        if (host_.requestRowCount() == 0) {
            host_.setRequestCounterColor(vb::Black);
            NewRequests = false;
        } else {
            host_.setRequestCounterColor(host_.requestCounterColor() == vb::Yellow ? vb::Black : vb::Yellow);
        }
    } else {
        // Looking at the Requests view acknowledges the new requests.
        host_.setRequestCounterColor(vb::Black);
        NewRequests = false;
    }
}
