#include "core/timerrest.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QVariant>

namespace {
// Set on a timer while its rest holds it stopped; the window's own stop clears it.
constexpr const char* kResting = "quenlowResting";
} // namespace

TimerRest::TimerRest(std::vector<QTimer*> timers, std::function<bool()> busy, std::function<State()> state,
                     int settleMs, QObject* parent)
    : QObject(parent),
      timers_(timers.begin(), timers.end()),
      busy_(std::move(busy)),
      state_(std::move(state)),
      settleMs_(settleMs)
{
    for (QTimer* t : timers)
        if (t) // after the tick's own handlers, which were connected first
            connect(t, &QTimer::timeout, this, &TimerRest::afterTick);
    if (auto* loop = QAbstractEventDispatcher::instance(thread()))
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &TimerRest::beforeSleep);
}

void TimerRest::stop(QTimer* t)
{
    t->stop();
    t->setProperty(kResting, false);
}

void TimerRest::afterTick()
{
    resting_ = false;
    if (busy_()) {
        since_.invalidate();
        return;
    }
    State now = state_ ? state_() : State {};
    if (!since_.isValid() || now != last_) {
        last_ = std::move(now);
        since_.start();
        if (settleMs_ > 0)
            return;
    }
    if (since_.elapsed() < settleMs_)
        return;
    // Nothing a tick reads has changed for the settle time: the next ticks would change nothing.
    for (QTimer* t : timers_) {
        if (t && t->isActive()) {
            t->stop();
            t->setProperty(kResting, true);
        }
    }
    resting_ = true;
}

void TimerRest::beforeSleep()
{
    if (!resting_)
        return;
    if (busy_() || (state_ && state_() != last_))
        wake();
}

void TimerRest::wake()
{
    resting_ = false;
    since_.invalidate();
    for (QTimer* t : timers_) {
        if (t && t->property(kResting).toBool()) {
            t->setProperty(kResting, false);
            t->start();
        }
    }
}
