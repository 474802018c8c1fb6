#include "decks/autodj.h"

#include "core/checkmarks.h"
#include "core/errorlog.h"
#include "decks/crossfader.h"
#include "decks/deckstate.h"
#include "platform/ui/vb.h"

AutoDJ::AutoDJ(DeckState& state, Crossfader& knob, const CheckMarks& marks, AutoDJHost& host)
    : s_(state), knob_(knob), marks_(marks), host_(host)
{
}

int& AutoDJ::channel(Side d) { return d == Side::A ? s_.ChannelA : s_.ChannelB; }
long AutoDJ::stream(Side d) const { return d == Side::A ? s_.StreamA : s_.StreamB; }
bool& AutoDJ::loadNext(Side d) { return d == Side::A ? s_.bLoadNextA : s_.bLoadNextB; }
bool& AutoDJ::counted(Side d) { return d == Side::A ? s_.bCountedA : s_.bCountedB; }

int AutoDJ::crossfadeSeconds() const
{
    const int t = marks_.crossfadeSeconds;
    return (t == 10 || t == 15 || t == 20 || t == 25) ? t : 15;
}

void AutoDJ::showLamp(int item)
{
    lamp_ = item;
    host_.showAutoDJLamp(item);
}

void AutoDJ::lblTurnAutoDJOffClick_Click()
{
    trap("B-119", [&] {
        if (!s_.bAutoDJ)
            switchOn();
        else
            switchOff();
    });
}

void AutoDJ::switchOn()
{
    s_.bAutoDJ = true;
    // A deck already playing hands over to the other when its song ends, fade or not.
    if (s_.ChannelA != 0)
        s_.bStartBAfterA = true;
    if (s_.ChannelB != 0)
        s_.bStartAAfterB = true;

    if (host_.djRowCount() == 0) {
        switchOff();
        host_.postMessage(needSongsText(), true);
        s_.bAutoDJ = false;
        return;
    }

    const bool aWaiting = host_.titleCaption(Side::A) == waitingCaption();
    const bool bWaiting = host_.titleCaption(Side::B) == waitingCaption();
    if (aWaiting && bWaiting) {
        // Both decks fresh: cue both, but only when a third song is left for after them.
        if (host_.djRowCount() > 2) {
            host_.loadFromDJList(Side::A, 0);
            host_.loadFromDJList(Side::B, 0);
        }
    } else {
        if (aWaiting)
            host_.loadFromDJList(Side::A, 0);
        if (host_.titleCaption(Side::B) == waitingCaption())
            host_.loadFromDJList(Side::B, 0);
    }

    host_.resetMessages();
    showLamp(3);
    knob_.setLeft(Crossfader::Centre);
    // Nothing starts here: the play buttons start the first deck.
}

void AutoDJ::switchOff()
{
    s_.bAutoDJ = false;
    s_.bFadeToA = false;
    s_.bFadeToB = false;
    s_.bLoadNextA = false;
    s_.bLoadNextB = false;
    s_.bAutoFillDJ = false;
    s_.bStartBAfterA = false;
    s_.bStartAAfterB = false;
    host_.resetMessages();
    showLamp(1);
    // Playing decks go on playing and the knob stays where it is.
}

void AutoDJ::TimerAutoDJCrossfade_Timer()
{
    trap("B-295", [&] {
        if (!s_.bAutoDJ)
            return;
        const int T = crossfadeSeconds();
        // A deck seen playing has its output: its song may be faded to again.
        for (Side d : {Side::A, Side::B})
            if (channel(d) != 0)
                waitingForOutput_[d == Side::A ? 0 : 1] = 0;

        if (!s_.bFadeToA && !s_.bFadeToB) {
            // Elapsed time and length are each taken to whole seconds before they are compared.
            auto nearEnd = [&](Side d) {
                const long long t = vb::toWhole(host_.streamTimeMs(d) / 1000.0);
                const long long L = vb::toWhole(host_.streamLengthMs(d) / 1000.0);
                return t - L > -T;
            };
            // Only the first playing deck is watched: deck A when it plays, else deck B.
            if (s_.ChannelA != 0) {
                if (nearEnd(Side::A)) {
                    s_.bFadeToB = true;
                    s_.bFadeToA = false;
                    return;
                }
            } else if (s_.ChannelB != 0) {
                if (nearEnd(Side::B)) {
                    s_.bFadeToA = true;
                    s_.bFadeToB = false;
                    return;
                }
            }
        }

        if (s_.bFadeToB)
            fadeStep(Side::A);
        if (s_.bFadeToA)
            fadeStep(Side::B);

        host_.setCrossfaderVolumes();
    });
}

bool AutoDJ::canStart(Side deck) const
{
    const int ch = deck == Side::A ? s_.ChannelA : s_.ChannelB;
    if (ch == 0)
        return stream(deck) != 0 && stream(deck) != unplayable_[deck == Side::A ? 0 : 1]
               && stream(deck) != waitingForOutput_[deck == Side::A ? 0 : 1];
    // A deck that is already playing needs no start; a paused one would stay silent.
    return !host_.isPaused(deck);
}

void AutoDJ::abandonFade(Side to)
{
    s_.bFadeToA = false;
    s_.bFadeToB = false;
    knob_.setLeft(Crossfader::Centre);
    const long waiting = waitingForOutput_[to == Side::A ? 0 : 1];
    if (channel(to) == 0 && (waiting == 0 || stream(to) != waiting))
        loadNext(to) = true;
}

void AutoDJ::fadeStep(Side from)
{
    const Side to = other(from);
    // Without a deck to fade to, sliding the knob would only fade the music out: give up the
    // fade before the knob moves. The outgoing deck plays on, the free deck gets the next song,
    // and the next tick tries again.
    if (!canStart(to)) {
        abandonFade(to);
        return;
    }

    const double dir = from == Side::A ? 1 : -1;
    knob_.setLeft(knob_.Left() + dir * Step);
    const double offset = (knob_.Left() - Crossfader::Centre) * dir;

    if (offset > StartOffset && channel(to) == 0) {
        const int ch = host_.playStream(to);
        channel(to) = ch;
        if (ch == 0) {
            // Remember the song that would not start, so the fade is not tried again on it
            // (the deck has told why, once).
            (host_.outputGone(to) ? waitingForOutput_ : unplayable_)[to == Side::A ? 0 : 1] = stream(to);
            abandonFade(to);
            return;
        }
        // The incoming deck (started at the pitch its slider shows) has its song counted into
        // Most Played once, from this start on.
        counted(to) = false;
    }

    if (offset > StopOffset && channel(to) != 0 && channel(from) != 0) {
        host_.stopStream(from);
        channel(from) = 0;
        counted(from) = false;
    }

    if (channel(from) == 0) {
        if (host_.djRowCount() == 0)
            s_.bAutoFillDJ = true;
        loadNext(from) = true;
        s_.bFadeToA = false;
        s_.bFadeToB = false;
        knob_.setLeft(Crossfader::Centre);
    }
}
