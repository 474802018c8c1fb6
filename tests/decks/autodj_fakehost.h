// A stand-in for the main window around the auto-DJ and the housekeeping timer: a DJ Playlist of
// real (empty) files, two decks whose songs play on a clock the test advances, a message line and
// the lists the auto-fill draws from. A small scheduler runs the crossfade timer every 300 ms, the
// housekeeping timer every second and a player check every 10 ms, so minutes of music take
// milliseconds.
#pragma once

#include "core/checkmarks.h"
#include "decks/autodj.h"
#include "decks/crossfader.h"
#include "decks/deckstate.h"
#include "decks/housekeeping.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <functional>
#include <initializer_list>
#include <map>
#include <vector>

struct FakePanel {
    QString text = QStringLiteral("Messages Will Appear Here");
    std::uint32_t colour = 0;
    bool bNewMessages = false;
    bool bKeepMessageDisplayed = false;
    std::int32_t iMessagesCounter = 0;
    std::int32_t iMessageLoops = 0;

    QString caption() const { return text; }
    void setCaption(const QString& t) { text = t; }
    std::uint32_t foreColor() const { return colour; }
    void setForeColor(std::uint32_t c) { colour = c; }
    void post(const QString& t, bool keep)
    {
        text = t;
        bNewMessages = true;
        if (keep)
            bKeepMessageDisplayed = true;
    }
    void reset()
    {
        text = QStringLiteral("Messages Will Appear Here");
        colour = 0;
        bNewMessages = false;
        bKeepMessageDisplayed = false;
        iMessagesCounter = 0;
        iMessageLoops = 0;
    }
};

struct FakeDeck {
    QString title = QStringLiteral("Waiting for Song Cue...");
    QString file;
    int lengthMs = 0;
    double posMs = 0;
    bool paused = false;
    int frequency = 44100;
    int pitch = 44100; // the deck's pitch slider
    std::vector<QString> played; // songs in the order they started
};

class FakeHost : public HousekeepingHost {
public:
    FakeHost()
    {
        folder = dir.path();
    }

    // --- set-up helpers
    // A song file of the given length; "broken" songs open with no stream.
    QString song(const QString& name, int lengthMs)
    {
        const QString path = folder + QLatin1Char('/') + name;
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        lengths[path] = lengthMs;
        return path;
    }
    void queue(const QString& path) { dj.push_back(path); }

    // --- the DJ Playlist
    int djRowCount() const override { return int(dj.size()); }
    void loadFromDJList(Side side, int autoIndex) override
    {
        loads.push_back({side, autoIndex});
        if (dj.empty() || channel(side) != 0)
            return;
        const int row = autoIndex == 0 ? selected : autoIndex;
        if (row < 1 || row > int(dj.size()))
            return;
        const QString file = dj[size_t(row - 1)];
        dj.erase(dj.begin() + (row - 1));
        if (selected > int(dj.size()))
            selected = int(dj.size());
        if (!QFile::exists(file))
            return;
        FakeDeck& d = deck(side);
        d.file = file;
        d.title = QFileInfo(file).baseName();
        d.lengthMs = lengths.value(file, 0);
        d.posMs = 0;
        d.paused = false;
        stream(side) = file.contains(QLatin1String("broken")) ? 0 : ++nextStream;
        (side == Side::A ? state.PlayerAFilename : state.PlayerBFilename) = file;
    }
    QString titleCaption(Side side) const override { return deck(side).title; }

    // --- engines
    int streamTimeMs(Side side) const override { return stream(side) ? int(deck(side).posMs) : 0; }
    int streamLengthMs(Side side) const override { return stream(side) ? deck(side).lengthMs : 0; }
    int playStream(Side side) override
    {
        if (stream(side) == 0 || failPlay || noOutput)
            return 0;
        FakeDeck& d = deck(side);
        d.paused = false;
        d.frequency = d.pitch; // a start is at the deck's pitch from its first sample
        d.played.push_back(d.file);
        started.push_back({side, d.file});
        return ++nextChannel;
    }
    bool outputGone(Side) const override { return noOutput; }
    void stopStream(Side side) override
    {
        deck(side).posMs = 0;
        stops.push_back(side);
    }
    bool isPaused(Side side) const override { return deck(side).paused; }
    void setCrossfaderVolumes() override
    {
        ++volumeUpdates;
        volumes = crossfaderVolumes(knob.Left());
    }

    void showAutoDJLamp(int item) override { lamp = item; }
    void resetMessages() override { panel.reset(); }
    void postMessage(const QString& text, bool keep) override { panel.post(text, keep); }

    // --- housekeeping
    int visibleInfoLabel(Side side) const override { return info[side == Side::A ? 0 : 1]; }
    void showOnlyInfoLabel(Side side, int index) override { info[side == Side::A ? 0 : 1] = index; }
    void replaceRequests(std::vector<SongRow>&& rows) override
    {
        requests.clear();
        for (const SongRow& r : rows)
            requests << r.filename();
    }
    int requestRowCount() const override { return int(requests.size()); }
    bool requestsViewShown() const override { return requestsView; }
    std::uint32_t requestCounterColor() const override { return counterColour; }
    void setRequestCounterColor(std::uint32_t c) override { counterColour = c; }
    int sourceRowCount(CheckMarks::FillSource s) const override
    {
        return int((s == CheckMarks::FillSource::FullPlaylist ? full : mostPlayedList).size());
    }
    void addToDJList(CheckMarks::FillSource s, int index) override
    {
        const auto& src = s == CheckMarks::FillSource::FullPlaylist ? full : mostPlayedList;
        fillPicks.push_back(index);
        if (src.empty())
            return;
        const int row = index == 0 ? 1 : index; // the fake's selected source row is row 1
        dj.push_back(src[size_t(row - 1)]);
    }
    int randomNumber(int n) override { return random ? random(n) : 0; }
    QString djFilename(int row) const override { return dj[size_t(row - 1)]; }
    void removeDJRow(int row) override { dj.erase(dj.begin() + (row - 1)); }
    void tickMessagePanel() override { MessagePanelTick(panel); }

    // --- the decks' own timers, as far as these tests need them: a song playing into its last
    // minute is counted into Most Played once; a song that plays to its end stops its deck.
    void playerCheck(Side side)
    {
        int& ch = channel(side);
        if (ch == 0)
            return;
        FakeDeck& d = deck(side);
        bool& counted = side == Side::A ? state.bCountedA : state.bCountedB;
        const long long t = vb::toWhole(d.posMs / 1000.0), L = vb::toWhole(d.lengthMs / 1000.0);
        if (t - L > -60 && !counted) {
            mostPlayed[d.file] += 1;
            counted = true;
        }
        if (d.posMs >= d.lengthMs) {
            ch = 0;
            counted = false;
        }
    }

    // Plays the decks for ms milliseconds of music.
    void advance(double ms)
    {
        for (Side side : {Side::A, Side::B}) {
            FakeDeck& d = deck(side);
            if (channel(side) != 0 && !d.paused)
                d.posMs = std::min<double>(d.lengthMs, d.posMs + ms * d.frequency / 44100.0);
        }
    }

    // Runs the timers for ms of time in 10 ms steps; hook runs after every crossfade tick.
    void run(int ms, const std::function<void()>& hook = {})
    {
        for (int i = 0; i < ms; i += 10) {
            now += 10;
            advance(10);
            playerCheck(Side::A);
            playerCheck(Side::B);
            if (now % 300 == 0 && autoDJ) {
                autoDJ->TimerAutoDJCrossfade_Timer();
                if (hook)
                    hook();
            }
            if (now % 1000 == 0 && housekeeping)
                housekeeping->TimerMessages_Timer();
        }
    }

    // Starts a deck as its play button would.
    void pressPlay(Side side) { channel(side) = playStream(side); }

    int& channel(Side s) { return s == Side::A ? state.ChannelA : state.ChannelB; }
    int channel(Side s) const { return s == Side::A ? state.ChannelA : state.ChannelB; }
    long& stream(Side s) { return s == Side::A ? state.StreamA : state.StreamB; }
    long stream(Side s) const { return s == Side::A ? state.StreamA : state.StreamB; }
    FakeDeck& deck(Side s) { return s == Side::A ? deckA : deckB; }
    const FakeDeck& deck(Side s) const { return s == Side::A ? deckA : deckB; }

    QTemporaryDir dir;
    QString folder;
    QHash<QString, int> lengths;

    DeckState state;
    Crossfader knob;
    CheckMarks marks;
    FakePanel panel;
    FakeDeck deckA, deckB;
    std::vector<QString> dj;
    int selected = 1;
    std::vector<QString> full, mostPlayedList;
    std::vector<int> fillPicks;
    std::function<int(int)> random;
    QStringList requests;
    bool requestsView = false;
    std::uint32_t counterColour = 0;
    int info[2] = {0, 1}; // deck A shows Bitrate, deck B Genre
    int lamp = 1;
    bool failPlay = false;
    bool noOutput = false; // every start fails: the sound output is gone
    CrossfaderVolumes volumes{255, 255};
    int volumeUpdates = 0;
    long nextStream = 100;
    int nextChannel = 0;
    long long now = 0;
    std::vector<std::pair<Side, int>> loads;
    std::vector<std::pair<Side, QString>> started;
    std::vector<Side> stops;
    std::map<QString, int> mostPlayed;

    AutoDJ* autoDJ = nullptr;
    Housekeeping* housekeeping = nullptr;
};

// The controllers over a fake host.
struct Rig {
    FakeHost host;
    AutoDJ autoDJ{host.state, host.knob, host.marks, host};
    requestdb::RequestLink requestLink;
    Housekeeping housekeeping{host.state, host.marks, autoDJ, host, requestLink};
    Rig()
    {
        host.autoDJ = &autoDJ;
        host.housekeeping = &housekeeping;
    }
    // Queues 30-second songs of these names, switches auto-DJ on and presses deck A's play.
    void startNight(std::initializer_list<const char*> names)
    {
        for (const char* n : names)
            host.queue(host.song(n, 30000));
        autoDJ.lblTurnAutoDJOffClick_Click();
        host.pressPlay(Side::A);
    }
};
