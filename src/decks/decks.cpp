#include "decks/decks.h"

#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/soundbindings.h"
#include "core/timerrest.h"
#include "decks/crossfader.h"
#include "decks/songlist.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QAbstractButton>
#include <QCursor>
#include <QLabel>
#include <QTimer>
#include <QTreeView>
#include <bit>

Decks::Decks(QWidget* form, DeckState& state, QObject* parent)
    : QObject(parent),
      form_(form),
      state_(state),
      a_(DeckSide::A, FMod, state),
      b_(DeckSide::B, FMod2, state),
      images_(DeckImages::drawn())
{
    a_.setParent(this);
    b_.setParent(this);
    a_.setOther(&b_);
    b_.setOther(&a_);
    a_.bind(form);
    b_.bind(form);
    a_.setImages(&images_);
    b_.setImages(&images_);

    for (Deck* d : {&a_, &b_}) {
        d->rowsRemoved = [this] { refreshQueueCaptions(); };
        d->resetMessages = [this] {
            if (resetMessages)
                resetMessages();
        };
        d->postMessage = [this](const QString& text) {
            if (postMessage)
                postMessage(text);
        };
        d->renumberMostPlayed = [this] { ViewSongList(lstMostPlayed_).Renumber(); };
    }
    a_.addToMostPlayed = [this] {
        if (AddToMostPlayedA)
            AddToMostPlayedA();
        else
            state_.bCountedA = true;
    };
    b_.addToMostPlayed = [this] {
        if (AddToMostPlayedB)
            AddToMostPlayedB();
        else
            state_.bCountedB = true;
    };

    picSlider_ = ctl<SkinControl>(form, "picSlider");
    picSliderBack_ = ctl<SkinControl>(form, "picSliderBack");
    lstDJPlayList_ = ctl<QTreeView>(form, "lstDJPlayList");
    lstSongBin_ = ctl<QTreeView>(form, "lstSongBin");
    lstRequests_ = ctl<QTreeView>(form, "lstRequests");
    lstFullPlaylist_ = ctl<QTreeView>(form, "lstFullPlaylist");
    lstMostPlayed_ = ctl<QTreeView>(form, "lstMostPlayed");
    lblDJPlaylistClick_ = ctl<QLabel>(form, "lblDJPlaylistClick");
    lblSongBinClick_ = ctl<QLabel>(form, "lblSongBinClick");
    lblNumRequestSongs_ = ctl<QLabel>(form, "lblNumRequestSongs");
    lblNumDJPlaylist_ = ctl<QLabel>(form, "lblNumDJPlaylist");
    lblNumFullPlaylist_ = ctl<QLabel>(form, "lblNumFullPlaylist");
    lblNumMostPlayed_ = ctl<QLabel>(form, "lblNumMostPlayed");

    crossfader().bindKnob(picSlider_);
    picSlider_->setMouseTracking(true); // hovering re-applies the law too
    connect(picSlider_, &SkinControl::MouseDown, this,
            [this](int b, int s, double x, double y) { picSlider_MouseDown(b, s, x, y); });
    connect(picSlider_, &SkinControl::MouseMove, this,
            [this](int b, int s, double x, double y) { picSlider_MouseMove(b, s, x, y); });
    connect(picSlider_, &SkinControl::MouseUp, this,
            [this](int b, int s, double x, double y) { picSlider_MouseUp(b, s, x, y); });
    connect(picSliderBack_, &SkinControl::MouseUp, this,
            [this](int b, int s, double x, double y) { picSliderBack_MouseUp(b, s, x, y); });

    // The pitch reset buttons, whichever kind of button the window made them.
    for (Deck* d : {&a_, &b_}) {
        const QByteArray name = d->side().letter == 'A' ? "cmdAFreqR" : "cmdBFreqR";
        QWidget* w = ctl<QWidget>(form, name.constData());
        if (auto* button = qobject_cast<QAbstractButton*>(w))
            connect(button, &QAbstractButton::clicked, d, [d] { d->FreqReset_Click(); });
        else if (auto* skin = qobject_cast<SkinControl*>(w))
            connect(skin, &SkinControl::Click, d, [d] { d->FreqReset_Click(); });
    }

    wireTimer("TimerPlayerA", &Decks::TimerPlayerA_Timer);
    wireTimer("TimerPlayerB", &Decks::TimerPlayerB_Timer);
    wireTimer("TimerSeek", &Decks::TimerSeek_Timer);
    wireTimer("TimerLoadSongB", &Decks::TimerLoadSongB_Timer);

    // The player timers and the crossfader's timer tick every 10 ms. While neither deck plays
    // and nothing they read changes (two songs cued and paused between sets), their ticks
    // would show what already stands: they rest until something changes. The settle time
    // covers what an engine still does on its own after the last change: the last sound of a
    // pause played out, and the length scan of a long file that does not state its length.
    playerRest_ = new TimerRest(
        {ctl<QTimer>(form, "TimerPlayerA"), ctl<QTimer>(form, "TimerPlayerB"), ctl<QTimer>(form, "TimerLoadSongB")},
        [this] { return a_.playing() || b_.playing(); },
        [this] {
            TimerRest::State in;
            a_.appendTickInputs(in);
            b_.appendTickInputs(in);
            in.push_back(std::bit_cast<qint64>(crossfader().Left()));
            for (QTreeView* list : {lstRequests_, lstDJPlayList_, lstFullPlaylist_, lstMostPlayed_})
                in.push_back(ViewSongList::rowCount(list));
            for (QLabel* count : {lblNumRequestSongs_, lblNumDJPlaylist_, lblNumFullPlaylist_, lblNumMostPlayed_})
                in.push_back(qHash(count->text()));
            return in;
        },
        3000, this);
    // The seek timer has work only while a key is held.
    new TimerRest(
        {ctl<QTimer>(form, "TimerSeek")},
        [this] {
            return (state_.bF9Down && state_.bF10Down) || (state_.bF11Down && state_.bF12Down) || state_.bSeekFwdA
                   || state_.bSeekFwdB;
        },
        nullptr, 0, this);
}

void Decks::wireTimer(const char* name, void (Decks::*handler)())
{
    QTimer* t = ctl<QTimer>(form_, name);
    connect(t, &QTimer::timeout, this, handler);
}

Decks::~Decks()
{
    if (crossfader().knob() == picSlider_)
        crossfader().bindKnob(nullptr);
}

void Decks::setImages(DeckImages images)
{
    images_ = std::move(images);
}

void Decks::LoadSongA(QTreeView* FormControl, bool bDelete, bool bShowErrors, int AutoIndex)
{
    ViewSongList list(FormControl);
    a_.LoadSong(list, bDelete, bShowErrors, AutoIndex);
}

void Decks::LoadSongB(QTreeView* FormControl, bool bDelete, bool bShowErrors, int AutoIndex)
{
    ViewSongList list(FormControl);
    b_.LoadSong(list, bDelete, bShowErrors, AutoIndex);
}

void Decks::refreshQueueCaptions()
{
    lblDJPlaylistClick_->setText(QStringLiteral("DJ Playlist - ") + QString::number(ViewSongList::rowCount(lstDJPlayList_)));
    lblSongBinClick_->setText(QStringLiteral("Song Bin - ") + QString::number(ViewSongList::rowCount(lstSongBin_)));
}

// ---------------------------------------------------------------------------------------------
// Timers

void Decks::TimerSeek_Timer()
{
    // Both pitch keys of a deck held together put it back to normal speed.
    if (state_.bF9Down && state_.bF10Down)
        a_.setPitch(Deck::NormalFrequency);
    if (state_.bF11Down && state_.bF12Down)
        b_.setPitch(Deck::NormalFrequency);
    // A held fast-forward key speeds the deck up by 2000 Hz a step, staying under 100000 Hz.
    if (state_.bSeekFwdA)
        a_.seekFastForwardStep();
    if (state_.bSeekFwdB)
        b_.seekFastForwardStep();
}

namespace {

void showCount(QLabel* label, int count)
{
    const QString text = QString::number(count);
    if (label->text() != text)
        label->setText(text);
}

} // namespace

void Decks::TimerLoadSongB_Timer()
{
    trap("B-298", [&] {
        FMod.FSOUND_Update();
        SetCrossfaderVolumes();
        showCount(lblNumRequestSongs_, ViewSongList::rowCount(lstRequests_));
        showCount(lblNumDJPlaylist_, ViewSongList::rowCount(lstDJPlayList_));
        showCount(lblNumFullPlaylist_, ViewSongList::rowCount(lstFullPlaylist_));
        showCount(lblNumMostPlayed_, ViewSongList::rowCount(lstMostPlayed_));
    });
}

// ---------------------------------------------------------------------------------------------
// Crossfader knob

void Decks::picSlider_MouseDown(int Button, int Shift, double X, double Y)
{
    (void)Shift;
    (void)Y;
    trap("B-259", [&] {
        if (Button == 1)
            SliderGrabX = int(vb::toWhole(X));
    });
}

void Decks::picSlider_MouseMove(int Button, int Shift, double X, double Y)
{
    (void)Shift;
    (void)Y;
    trap("B-260", [&] {
        if (Button == 1) {
            Crossfader& f = crossfader();
            const double d = double(vb::toWhole(X - SliderGrabX));
            const double left = f.Left();
            // A move that would carry the knob past either end is refused, not clamped.
            if (left + d > -1 && left + Crossfader::KnobWidth + d < Crossfader::TrackWidth)
                f.setLeft(left + d);
            // One move of more than the whole track to the right lands on the right end.
            if (d > Crossfader::TrackWidth)
                f.setLeft(Crossfader::TrackWidth - Crossfader::KnobWidth);
        }
        SetCrossfaderVolumes();
    });
}

void Decks::picSlider_MouseUp(int Button, int Shift, double X, double Y)
{
    (void)Shift;
    (void)X;
    (void)Y;
    if (Button != 2)
        return;
    if (showCrossfaderMenu)
        showCrossfaderMenu(QCursor::pos());
}

void Decks::picSliderBack_MouseUp(int Button, int Shift, double X, double Y)
{
    picSlider_MouseUp(Button, Shift, X, Y);
}

// ---------------------------------------------------------------------------------------------
// Function keys

void Decks::functionKeyDown(int KeyCode)
{
    using namespace vb::key;
    // The pitch keys are one chain.
    if (KeyCode == F9)
        a_.keyPitchDown();
    else if (KeyCode == F10)
        a_.keyPitchUp();
    else if (KeyCode == F11)
        b_.keyPitchDown();
    else if (KeyCode == F12)
        b_.keyPitchUp();

    if (KeyCode == F2)
        a_.keyPlayPause();
    if (KeyCode == F3)
        a_.keyBack();
    if (KeyCode == F4)
        a_.keyFastForward();
    if (KeyCode == F1)
        a_.keyStop();
    if (KeyCode == F6)
        b_.keyPlayPause();
    if (KeyCode == F7)
        b_.keyBack();
    if (KeyCode == F8)
        b_.keyFastForward();
    if (KeyCode == F5)
        b_.keyStop();
}

void Decks::functionKeyUp(int KeyCode)
{
    using namespace vb::key;
    if (KeyCode == F4)
        a_.keyFastForwardUp();
    if (KeyCode == F8)
        b_.keyFastForwardUp();
    if (KeyCode == F9)
        a_.keyPitchReleased(true);
    if (KeyCode == F10)
        a_.keyPitchReleased(false);
    if (KeyCode == F11)
        b_.keyPitchReleased(true);
    if (KeyCode == F12)
        b_.keyPitchReleased(false);
}

void Decks::GlobalKeyDown(int& KeyCode, int Shift)
{
    (void)Shift;
    trap(Deck::KeysLocation, [&] { functionKeyDown(KeyCode); });
}

void Decks::GlobalKeyUp(int& KeyCode)
{
    functionKeyUp(KeyCode);
}
