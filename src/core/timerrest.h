// Timers that rest while their ticks have nothing to do.
//
// The window's timers poll: a tick reads the decks, the lists and the engines and shows what
// it finds. While nothing changes, ticks only wake the processor (a 10 ms timer a hundred times
// a second). A TimerRest watches a group of such timers. After each tick it asks whether a
// tick could change anything: the group is busy (a deck plays, a key is held), or what the
// ticks read differs from what the last tick read. Once that has stood still for the settle
// time, it stops the timers. Whenever the event loop is about to sleep while they rest, it
// asks again; at the first difference it starts them, so the next tick comes within one
// interval of the change, as it would have with the timers running.
//
// What the ticks read must be read without changing anything. A timer the window stops itself
// (TimerRest::stop, at close) is never started again by its rest.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QtGlobal>

#include <functional>
#include <vector>

class TimerRest : public QObject {
public:
    using State = std::vector<qint64>;

    // busy: a tick now has work whatever the state. state: everything the ticks read, in a
    // fixed order (empty for a timer whose ticks depend on busy alone). settleMs: how long the
    // state must stand still before the timers rest.
    TimerRest(std::vector<QTimer*> timers, std::function<bool()> busy, std::function<State()> state, int settleMs,
              QObject* parent);

    bool resting() const { return resting_; }
    void setSettleMs(int ms) { settleMs_ = ms; }

    // Stops a timer for good, as the window does at close: no rest starts it again.
    static void stop(QTimer* t);

private:
    void afterTick();
    void beforeSleep();
    void wake();

    std::vector<QPointer<QTimer>> timers_; // a timer may go before its rest
    std::function<bool()> busy_;
    std::function<State()> state_;
    int settleMs_;
    State last_;
    QElapsedTimer since_; // since the state last changed
    bool resting_ = false;
};
