#include "decks/deck.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "core/soundbindings.h"
#include "core/timetext.h"
#include "decks/crossfader.h"
#include "decks/songlist.h"
#include "decks/songtags.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QFileInfo>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QSlider>
#include <algorithm>
#include <cmath>

const DeckSide DeckSide::A = {
    .letter = 'A',
    .loadLocation = "B-269",
    .timerLocation = "B-300",
    .lampLocation = "B-333",
    .playDownLocation = "B-243",
    .playUpLocation = "B-244",
    .stopDownLocation = "B-274",
    .stopUpLocation = "B-275",
    .freqResetLocation = "B-4",
    .freqChangeLocation = "sldAFreq_Change",
    .freqScrollLocation = "sldAFreq_Scroll",
    .freqKeyDownLocation = "sldAFreq_KeyDown",
    .remainingDecimals = 2,
    .spectrumHeight = 420,
};

const DeckSide DeckSide::B = {
    .letter = 'B',
    .loadLocation = "B-270",
    .timerLocation = "B-301",
    .lampLocation = "B-334",
    .playDownLocation = "B-246",
    .playUpLocation = "B-247",
    .stopDownLocation = "B-277",
    .stopUpLocation = "B-278",
    .freqResetLocation = "B-6",
    .freqChangeLocation = "sldBFreq_Change",
    .freqScrollLocation = "sldBFreq_Scroll",
    .freqKeyDownLocation = "sldBFreq_KeyDown",
    .remainingDecimals = 0,
    .spectrumHeight = 795,
};

const QString Deck::WaitingCaption = QStringLiteral("Waiting for Song Cue...");

namespace {

// Position and length in whole seconds as the display shows them: nearest, halves away from
// zero. Engine times are whole milliseconds, so this is exact integer arithmetic.
long long wholeSeconds(long long ms)
{
    return ms >= 0 ? (ms + 500) / 1000 : -((-ms + 500) / 1000);
}

// Milliseconds kept to the given decimals of a second (2: hundredths, 0: whole seconds), in
// units of that decimal, halves away from zero.
long long keptUnits(long long ms, int decimals)
{
    const long long div = decimals >= 2 ? 10 : decimals == 1 ? 100 : 1000;
    return ms >= 0 ? (ms + div / 2) / div : -((-ms + div / 2) / div);
}

QByteArray controlName(const char* pattern, char letter)
{
    QByteArray n(pattern);
    n.replace('#', QByteArray(1, letter));
    return n;
}

} // namespace

Deck::Deck(const DeckSide& side, SoundBinding& engine, DeckState& s, QObject* parent)
    : QObject(parent),
      stream(side.letter == 'A' ? s.StreamA : s.StreamB),
      channel(side.letter == 'A' ? s.ChannelA : s.ChannelB),
      title(side.letter == 'A' ? s.PlayerATitle : s.PlayerBTitle),
      artist(side.letter == 'A' ? s.PlayerAArtist : s.PlayerBArtist),
      filename(side.letter == 'A' ? s.PlayerAFilename : s.PlayerBFilename),
      genre(side.letter == 'A' ? s.PlayerAGenre : s.PlayerBGenre),
      time(side.letter == 'A' ? s.PlayerATime : s.PlayerBTime),
      counted(side.letter == 'A' ? s.bCountedA : s.bCountedB),
      startOtherAfter(side.letter == 'A' ? s.bStartBAfterA : s.bStartAAfterB),
      loadNext(side.letter == 'A' ? s.bLoadNextA : s.bLoadNextB),
      fadeTo(side.letter == 'A' ? s.bFadeToA : s.bFadeToB),
      seekFwd(side.letter == 'A' ? s.bSeekFwdA : s.bSeekFwdB),
      pitchDownHeld(side.letter == 'A' ? s.bF9Down : s.bF11Down),
      pitchUpHeld(side.letter == 'A' ? s.bF10Down : s.bF12Down),
      side_(side),
      engine_(engine),
      state_(s),
      spectrum_(301, 0.0f)
{
    glide_.setInterval(1);
    glide_.setTimerType(Qt::PreciseTimer);
    connect(&glide_, &QTimer::timeout, this, [this] { glideStep(); });
}

void Deck::bind(QWidget* form)
{
    const char l = side_.letter;
    auto label = [&](const char* pattern) { return ctl<QLabel>(form, controlName(pattern, l).constData()); };
    auto skin = [&](const char* pattern) { return ctl<SkinControl>(form, controlName(pattern, l).constData()); };
    lblTitle = label("lblPlayer#Title");
    lblBitrate = label("lblPlayer#Bitrate");
    lblGenre = label("lblPlayer#Genre");
    lblYear = label("lblPlayer#Year");
    lblChannel = label("lblPlayer#Channel");
    lblOriginal = label("lblPlayer#Original");
    lblTimeTotal = label("lblPlayer#TimeTotal");
    lblTimeElapsed = label("lblPlayer#TimeElapsed");
    lblTimeRemaining = label("lblPlayer#TimeRemaining");
    progElapsed = ctl<QProgressBar>(form, controlName("ProgPlayer#Elapsed", l).constData());
    sldFreq = ctl<QSlider>(form, controlName("sld#Freq", l).constData());
    picPlay = skin("picPlayPlayer#Pause");
    picStop = skin("picStopPlayer#");
    lamps[0] = skin("picPlayer#BeatTop");
    lamps[1] = skin("picPlayer#BeatRight");
    lamps[2] = skin("picPlayer#BeatBottom");
    lamps[3] = skin("picPlayer#BeatLeft");

    connect(picPlay, &SkinControl::MouseDown, this, [this](int, int, double, double) { PlayPause_MouseDown(); });
    connect(picPlay, &SkinControl::MouseUp, this, [this](int, int, double, double) { PlayPause_MouseUp(); });
    connect(picStop, &SkinControl::MouseDown, this, [this](int, int, double, double) { Stop_MouseDown(); });
    connect(picStop, &SkinControl::MouseUp, this, [this](int, int, double, double) { Stop_MouseUp(); });

    sldFreq->setSingleStep(50);
    sldFreq->setPageStep(500);
    connect(sldFreq, &QSlider::valueChanged, this, [this](int) { Freq_Change(); });
    connect(sldFreq, &QSlider::sliderMoved, this, [this](int) { Freq_Scroll(); });

    progElapsed->installEventFilter(this);
}

bool Deck::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == progElapsed
        && (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseMove)) {
        auto* e = static_cast<QMouseEvent*>(event);
        // The buttons held: a press with another button already down is not a left press.
        ProgElapsed_Mouse(mouseButtonValue(e->buttons()), e->position().x(), progElapsed->width());
        return false;
    }
    return QObject::eventFilter(watched, event);
}

void Deck::setCaption(QLabel* l, const QString& caption)
{
    if (l->text() != caption)
        l->setText(caption);
}

void Deck::setPicture(SkinControl* c, const QPixmap& p)
{
    if (c && c->picture().cacheKey() != p.cacheKey())
        c->setPicture(p);
}

// ---------------------------------------------------------------------------------------------
// Loading

void Deck::LoadSong(DeckSongList& list, bool bDelete, bool bShowErrors, int AutoIndex)
{
    trap(side_.loadLocation, [&] {
        // A playing or paused deck takes no song.
        if (list.RowCount() == 0 || channel != 0)
            return;
        const int idx = AutoIndex != 0 ? AutoIndex : list.SelectedNum();
        if (idx > list.RowCount())
            return;
        if (idx < 1)
            raiseError(35600, QStringLiteral("Index out of bounds"));

        const QString path = list.SubItem(idx, 5);
        if (!songFileExists(path)) {
            if (bShowErrors)
                ui::MsgBox(QStringLiteral("Filepath is incorrect!"), vb::mb::OKOnly, QStringLiteral("File Not Found!"));
            else
                logMissingSong(path, QString::fromLatin1(side_.loadLocation)); // dropped without a box
            if (!bShowErrors || bDelete)
                removeRow(list, idx);
            return;
        }

        // The stream this load replaces is never used again: close it, so a night of loads
        // does not pile up decoders.
        const long replaced = stream;
        stream = engine_.FSOUND_Stream_Open(path, FSOUND_2D, 0, 0);
        if (replaced != 0 && replaced != stream)
            engine_.FSOUND_Stream_Close(replaced);
        SetCrossfaderVolumes();

        if (stream == 0) {
            // The box cannot say which song; the log line does, whoever asked for the load, and
            // what was wrong with it where the engine can tell.
            QString desc = QStringLiteral("There was an error loading song! ") + path;
            if (const QString why = engine_.engine().errorDetail(); !why.isEmpty())
                desc += QStringLiteral(": ") + why;
            LogError(engine_.FSOUND_GetError(), desc, side_.loadLocation);
            if (!state_.bAutoDJ)
                ui::MsgBox(QStringLiteral("There was an error loading song!"), vb::mb::Critical,
                           QStringLiteral("Error Loading"));
            // An automatic caller would meet the same song at the head of the queue on every
            // tick: it is dropped.
            if (!bShowErrors)
                removeRow(list, idx);
            return;
        }

        progElapsed->show();
        const SongTags tags = readSongTags(path);
        setCaption(lblBitrate, QStringLiteral("Bitrate: ") + tags.bitrate + QStringLiteral(" Kbps"));
        setCaption(lblGenre, QStringLiteral("Genre: ") + tags.genre);
        setCaption(lblYear, QStringLiteral("Year: ") + tags.year);
        setCaption(lblChannel, QStringLiteral("Channel: ") + tags.channelMode);
        setCaption(lblOriginal, QStringLiteral("Original: ") + (tags.original ? QStringLiteral("Yes") : QStringLiteral("No")));

        // A song shorter than half a second still gets a bar with a range (a range of 0 would
        // turn the bar into a busy indicator); its seeks are ignored.
        barSeconds_ = int(wholeSeconds(engine_.FSOUND_Stream_GetLengthMs(stream)));
        progElapsed->setMinimum(0);
        progElapsed->setMaximum(std::max(1, barSeconds_));
        progElapsed->setValue(0);

        title = tags.title;
        artist = tags.artist;
        time = PlayTimeText(tags.playTime);
        genre = tags.genre;
        filename = path;

        // Labels show song text as it is, "&" and all.
        const QString caption = list.SubItem(idx, 1) + QStringLiteral(" - ") + list.SubItem(idx, 2);
        setCaption(lblTitle, caption);
        if (title.isEmpty() && artist.isEmpty())
            title = caption;
        setCaption(lblTimeTotal, list.SubItem(idx, 3));
        if (auto* skin = qobject_cast<SkinControl*>(lblTitle)) {
            skin->setForeColor(vb::Blue);
        } else {
            QPalette pal = lblTitle->palette();
            pal.setColor(QPalette::WindowText, vb::colour(vb::Blue));
            lblTitle->setPalette(pal);
        }
        lblTitle->setToolTip(caption);

        if (bDelete)
            removeRow(list, idx);
    });
}

void Deck::removeRow(DeckSongList& list, int idx)
{
    list.RemoveRow(idx);
    list.Renumber();
    const int n = list.RowCount();
    if (n > 0)
        list.Select(idx > n ? idx - 1 : idx);
    if (rowsRemoved)
        rowsRemoved();
}

// ---------------------------------------------------------------------------------------------
// Transport

void Deck::PlayPause_MouseDown()
{
    trap(side_.playDownLocation, [&] {
        if (images_)
            setPicture(picPlay, images_->playerControls.ListImage(4));
    });
}

void Deck::PlayPause_MouseUp()
{
    trap(side_.playUpLocation, [&] {
        if (images_)
            setPicture(picPlay, images_->playerControls.ListImage(3));
        // While the auto-DJ machinery feeds a deck, fills the queue or crossfades, the button
        // only changes its picture.
        if (state_.bLoadNextA || state_.bLoadNextB || state_.bAutoFillDJ || state_.bFadeToA || state_.bFadeToB)
            return;
        const bool idle = channel == 0;
        const bool otherIdle = !other_ || other_->channel == 0;
        if (state_.bAutoDJ) {
            if (idle && otherIdle) {
                // Start the auto-DJ chain: this deck now, the other when this one goes silent.
                if (resetMessages)
                    resetMessages();
                if (stream != 0) {
                    channel = startStream(side_.playUpLocation);
                    startOtherAfter = true;
                }
            } else if (!otherIdle) {
                fadeTo = true; // the crossfade timer fades towards this deck
            }
        } else if (!idle) {
            // Pause toggle: a logical not of the pause state, so a paused deck resumes.
            if (engine_.FSOUND_GetPaused(channel))
                resumeStream(side_.playUpLocation);
            else
                engine_.FSOUND_SetPaused(channel, 1);
            return;
        } else if (stream != 0) {
            channel = startStream(side_.playUpLocation);
        }
        if (channel != 0)
            engine_.FSOUND_SetFrequency(channel, pitch());
    });
}

int Deck::startStream(const char* location)
{
    if (stream == 0)
        return 0;
    const int before = channel;
    const int ch = engine_.FSOUND_Stream_PlayEx(-1, stream, true);
    if (ch == 0) {
        playFailed(location);
        return 0;
    }
    if (ch == before)
        return ch; // already playing or paused: nothing changes
    const CrossfaderVolumes v = crossfaderVolumes(crossfader().Left());
    engine_.FSOUND_SetVolume(ch, side_.letter == 'A' ? v.a : v.b);
    engine_.FSOUND_SetFrequency(ch, pitch());
    if (engine_.FSOUND_SetPaused(ch, 0) == 0) {
        // The output went away while it rested: the engine has let the channel go already, and
        // the song stays where it was.
        playFailed(location);
        return 0;
    }
    return ch;
}

void Deck::resumeStream(const char* location)
{
    if (engine_.FSOUND_SetPaused(channel, 0) == 0)
        playFailed(location);
}

void Deck::Stop_MouseDown()
{
    trap(side_.stopDownLocation, [&] {
        if (images_)
            setPicture(picStop, images_->playerControls.ListImage(2));
    });
}

void Deck::stopAndRest()
{
    engine_.FSOUND_Stream_Stop(stream);
    channel = 0;
    if (images_)
        showLampSet(images_->beatNeutral);
}

void Deck::Stop_MouseUp()
{
    trap(side_.stopUpLocation, [&] {
        if (images_)
            setPicture(picStop, images_->playerControls.ListImage(1));
        if (state_.bAutoDJ)
            return;
        if (channel != 0)
            stopAndRest();
        counted = false;
        progElapsed->setValue(progElapsed->minimum());
    });
}

// ---------------------------------------------------------------------------------------------
// Player timer

void Deck::TimerPlayer_Timer()
{
    trap(side_.timerLocation, [&] {
        // The deck's sound device went away (unplugged, its sound server gone): the engine has
        // stopped its channel; the deck stops as its Stop button would and says why, once.
        if (engine_.engine().takeOutputLost())
            outputLost();

        // Hand-over without crossfade: this deck went silent, the other one starts.
        if (channel == 0 && startOtherAfter && other_) {
            const bool otherWasIdle = other_->channel == 0;
            other_->channel = other_->startStream(side_.timerLocation);
            if (otherWasIdle && other_->channel != 0) {
                // The song starting now is counted into Most Played from this start. A deck
                // already playing (a crossfade started it) is left alone, so a short song is not
                // counted twice.
                other_->counted = false;
            }
            loadNext = true;
            startOtherAfter = false;
            other_->startOtherAfter = true;
        }

        // End of song: the engine's position is the clock, and the song ends exactly when
        // the position reaches the length.
        if (engine_.FSOUND_Stream_GetTime(stream) == engine_.FSOUND_Stream_GetLengthMs(stream)
            && lblTitle->text() != WaitingCaption) {
            if (channel != 0) {
                tellEarlyEnd();
                engine_.FSOUND_Stream_Stop(stream);
                channel = 0;
            }
            counted = false;
            progElapsed->setValue(progElapsed->minimum());
        }

        if (channel != 0) {
            // Counted into Most Played once, in the song's last minute (paused too). A song
            // shown as 0:00 counts only once some of it has been heard: a truncated file with
            // nothing playable in it goes from its start straight to its end.
            {
                const int t = engine_.FSOUND_Stream_GetTime(stream);
                const int len = engine_.FSOUND_Stream_GetLengthMs(stream);
                const long long t0 = wholeSeconds(t);
                const long long l0 = wholeSeconds(len);
                const bool heard = l0 >= 1 || (t > 0 && t < len);
                if (t0 - l0 > -60 && !counted && heard) {
                    if (addToMostPlayed)
                        addToMostPlayed();
                    if (renumberMostPlayed)
                        renumberMostPlayed();
                }
            }
            {
                // Elapsed: whole seconds, truncated. The text is only built when it changes.
                const long long whole = engine_.FSOUND_Stream_GetTime(stream) / 1000;
                if (whole != shownElapsed_ || lblTimeElapsed->text() != elapsedText_) {
                    shownElapsed_ = whole;
                    elapsedText_ = SecondsToTime(double(whole));
                    setCaption(lblTimeElapsed, elapsedText_);
                }
            }
            {
                // Remaining: position and length each kept to the deck's decimals, their
                // difference shown as its magnitude in whole seconds after "- ".
                const int dec = side_.remainingDecimals;
                const long long units = dec >= 2 ? 100 : dec == 1 ? 10 : 1;
                const long long r = keptUnits(engine_.FSOUND_Stream_GetTime(stream), dec)
                                    - keptUnits(engine_.FSOUND_Stream_GetLengthMs(stream), dec);
                const long long seconds = (r < 0 ? -r : r) / units;
                if (seconds != shownRemaining_ || lblTimeRemaining->text() != remainingText_) {
                    shownRemaining_ = seconds;
                    remainingText_ = QStringLiteral("- ") + SecondsToTime(double(seconds));
                    setCaption(lblTimeRemaining, remainingText_);
                }
            }
            if (side_.letter == 'A')
                GetSpectrumA(spectrum_);
            else
                GetSpectrumB(spectrum_);
            CalcBPM(spectrum_);
            // A long file that does not state its length has it settled while it plays: the
            // bar follows.
            if (const int seconds = int(wholeSeconds(engine_.FSOUND_Stream_GetLengthMs(stream)));
                seconds != barSeconds_) {
                barSeconds_ = seconds;
                progElapsed->setMaximum(std::max(1, seconds));
            }
            const long long bar = wholeSeconds(engine_.FSOUND_Stream_GetTime(stream));
            if (progElapsed->value() != bar)
                progElapsed->setValue(int(bar));
        } else {
            shownElapsed_ = shownRemaining_ = -1;
            setCaption(lblTimeElapsed, QStringLiteral("0:00"));
            setCaption(lblTimeRemaining, QStringLiteral("- 0:00"));
        }
    });
}

bool Deck::playing() const
{
    return channel != 0 && engine_.FSOUND_GetPaused(channel) == 0;
}

void Deck::appendTickInputs(std::vector<qint64>& in)
{
    in.push_back(stream);
    in.push_back(channel);
    in.push_back(startOtherAfter);
    in.push_back(counted);
    in.push_back(engine_.FSOUND_Stream_GetTime(stream));
    in.push_back(engine_.FSOUND_Stream_GetLengthMs(stream));
    in.push_back(engine_.FSOUND_GetError());
    if (side_.letter == 'A')
        GetSpectrumA(restSpectrum_);
    else
        GetSpectrumB(restSpectrum_);
    const int step = lampStep(restSpectrum_.size() > 2 ? restSpectrum_[2] : 0.0, side_.spectrumHeight);
    in.push_back(step);
    in.push_back(images_ ? images_->beatStep[step - 1].ListImage(1).cacheKey() : 0);
    // What the tick compares its results with before it shows them.
    in.push_back(lblTitle && lblTitle->text() == WaitingCaption);
    in.push_back(lblTimeElapsed ? qHash(lblTimeElapsed->text()) : 0);
    in.push_back(lblTimeRemaining ? qHash(lblTimeRemaining->text()) : 0);
    if (progElapsed) {
        in.push_back(progElapsed->value());
        in.push_back(progElapsed->minimum());
        in.push_back(progElapsed->maximum());
    }
    for (SkinControl* lamp : lamps)
        in.push_back(lamp ? lamp->picture().cacheKey() : 0);
    in.push_back(shownElapsed_);
    in.push_back(shownRemaining_);
    in.push_back(barSeconds_);
}

void Deck::outputLost()
{
    soundFailed(QStringLiteral("Player %1 lost its sound device: %2"), side_.timerLocation);
}

void Deck::playFailed(const char* location)
{
    // Told here, with the engine's own reason: the player timer does not tell the same loss
    // again later (it would stop the next play, the first one on the output back).
    engine_.engine().takeOutputLost();
    const bool gone = engine_.FSOUND_GetError() == audio::ErrPlay;
    soundFailed(gone ? QStringLiteral("Player %1 cannot play, its sound device is gone: %2")
                     : QStringLiteral("Player %1 cannot play: %2"),
                location);
}

void Deck::soundFailed(const QString& what, const char* location)
{
    const int code = engine_.FSOUND_GetError();
    const QString why = side_.letter == 'A' ? SoundErrorTextA(code) : SoundErrorTextB(code);
    const QString text = what.arg(QChar(side_.letter), why);
    LogError(code, text, QString::fromLatin1(location));
    if (postMessage)
        postMessage(text);
    if (channel != 0)
        stopAndRest();
    counted = false;
    progElapsed->setValue(progElapsed->minimum());
}

void Deck::tellEarlyEnd()
{
    const audio::EarlyEnd why = engine_.engine().streamEarlyEnd(std::uint32_t(stream));
    if (why == audio::EarlyEnd::None)
        return;
    const QString reason = why == audio::EarlyEnd::CutShort      ? QStringLiteral("its file was cut short while it played")
                           : why == audio::EarlyEnd::Undecodable ? QStringLiteral("the rest of its file could not be decoded")
                                                                 : QStringLiteral("its file could not be read any further");
    const QString text = QStringLiteral("Player %1 stopped before the end of the song: %2").arg(QChar(side_.letter), reason);
    LogError(audio::ErrFileBad, text + QStringLiteral(": ") + filename, QString::fromLatin1(side_.timerLocation));
    if (postMessage)
        postMessage(text);
}

// ---------------------------------------------------------------------------------------------
// Beat lamps

int Deck::lampStep(double s, double h)
{
    const double y = h - s * h; // the louder the band, the nearer the top
    if (y > 45 && y < 52)
        return 1;
    if (y > 35 && y < 45)
        return 2;
    if (y > 25 && y < 35)
        return 3;
    if (y > 15 && y < 25)
        return 4;
    if (y < 15)
        return 5;
    return 1; // quiet, or exactly on a step's edge
}

void Deck::CalcBPM(const std::vector<float>& spectrum)
{
    trap(side_.lampLocation, [&] {
        const double s = spectrum.size() > 2 ? spectrum[2] : 0.0;
        const int step = lampStep(s, side_.spectrumHeight);
        if (images_)
            showLampSet(images_->beatStep[step - 1]);
    });
}

void Deck::showLampSet(const ImageList& set)
{
    for (int i = 0; i < 4; ++i)
        setPicture(lamps[i], set.ListImage(i + 1));
}

// ---------------------------------------------------------------------------------------------
// Seek and pitch

void Deck::ProgElapsed_Mouse(int button, double x, double width)
{
    if (filename.isEmpty() || button != 1)
        return;
    const int m = barSeconds_;
    if (m <= 0 || width <= 0)
        return; // a song shorter than half a second has no seconds to seek to
    const float fx = float(x);
    const float perSecond = float(width) / float(m);
    long long v = std::llround(double(fx / perSecond));
    if (x <= 0)
        v = 0;
    if (x >= width)
        v = m;
    v = std::clamp<long long>(v, 0, m);
    progElapsed->setValue(int(v));
    engine_.FSOUND_Stream_SetTime(stream, int(v * 1000));
}

int Deck::pitch() const
{
    return sldFreq ? sldFreq->value() : NormalFrequency;
}

void Deck::setPitch(int hz)
{
    if (sldFreq)
        sldFreq->setValue(hz); // reaches the engine through the change handler
}

void Deck::Freq_Change()
{
    trap(side_.freqChangeLocation, [&] { engine_.FSOUND_SetFrequency(channel, pitch()); });
}

void Deck::Freq_Scroll()
{
    trap(side_.freqScrollLocation, [&] { engine_.FSOUND_SetFrequency(channel, pitch()); });
}

void Deck::Freq_Arrow(int keyCode)
{
    trap(side_.freqKeyDownLocation, [&] {
        // The arrows nudge the pitch within a narrow window around normal speed; a value just
        // past the window's edge goes to the edge step. Left never raises the pitch and Right
        // never lowers it: far outside the window the value stays, and the slider's own step
        // (in the arrow's direction) is all that moves it.
        const int v = pitch();
        if (keyCode == vb::key::Left) {
            if (v > 41300)
                setPitch(v - 100);
            else if (v < 41300 && v > 41200)
                setPitch(41200);
        } else if (keyCode == vb::key::Right) {
            if (v < 46900)
                setPitch(v + 100);
            else if (v > 46900 && v < 47000)
                setPitch(47000);
        }
    });
}

void Deck::FreqReset_Click()
{
    trap(side_.freqResetLocation, [&] { setPitch(NormalFrequency); });
}

// ---------------------------------------------------------------------------------------------
// Function keys

void Deck::keyPitchDown()
{
    pitchDownHeld = true;
    const int v = pitch();
    if (v > MinFrequency)
        setPitch(std::max(MinFrequency, v - 100));
    else if (v < MinFrequency)
        setPitch(MinFrequency);
}

void Deck::keyPitchUp()
{
    pitchUpHeld = true;
    const int v = pitch();
    if (v < MaxFrequency)
        setPitch(std::min(MaxFrequency, v + 100));
    else if (v > MaxFrequency)
        setPitch(MaxFrequency);
}

void Deck::keyPitchReleased(bool down)
{
    (down ? pitchDownHeld : pitchUpHeld) = false;
}

void Deck::keyPlayPause()
{
    if (!state_.bAutoDJ) {
        if (engine_.FSOUND_GetPaused(channel))
            resumeStream(KeysLocation);
        else if (channel != 0)
            engine_.FSOUND_SetPaused(channel, 1);
        else if (stream != 0)
            channel = startStream(KeysLocation);
    }
    if (channel != 0)
        engine_.FSOUND_SetFrequency(channel, pitch());
}

void Deck::keyBack()
{
    if (state_.bAutoDJ || channel == 0)
        return;
    if (engine_.FSOUND_Stream_GetTime(stream) > 10)
        engine_.FSOUND_Stream_SetTime(stream, std::max(0, engine_.FSOUND_Stream_GetTime(stream) - 1000));
}

void Deck::keyFastForward()
{
    glide_.stop(); // a new press takes over from a glide still running
    if (state_.bAutoDJ || channel == 0 || lblTimeElapsed->text() == QLatin1String("0:00"))
        return;
    if (engine_.FSOUND_Stream_GetTime(stream) < engine_.FSOUND_Stream_GetLengthMs(stream) - 10)
        seekFwd = true;
}

void Deck::keyStop()
{
    if (state_.bAutoDJ)
        return;
    if (channel != 0)
        stopAndRest();
    progElapsed->setValue(progElapsed->minimum());
    counted = false;
}

void Deck::seekFastForwardStep()
{
    const int f = engine_.FSOUND_GetFrequency(channel) + 2000;
    if (f < 100000)
        engine_.FSOUND_SetFrequency(channel, f);
}

void Deck::keyFastForwardUp()
{
    seekFwd = false;
    // The speed glides back down to the slider's pitch, one step per timer tick.
    if (engine_.FSOUND_GetFrequency(channel) > pitch())
        glide_.start();
    else
        engine_.FSOUND_SetFrequency(channel, pitch());
}

bool Deck::glideStep()
{
    const int target = pitch(); // read anew: the slider may move during the glide
    const int f = engine_.FSOUND_GetFrequency(channel) - GlideStepHz;
    if (f > target) {
        engine_.FSOUND_SetFrequency(channel, f);
        return true;
    }
    engine_.FSOUND_SetFrequency(channel, target);
    glide_.stop();
    return false;
}
