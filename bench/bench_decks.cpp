// The work the decks do every millisecond: one player-timer tick of a playing deck, and the
// crossfader's volume law with its two engine calls. Baselines in the same run: an empty
// tick (the engine queries alone) and the law without the engine calls.
#include "core/soundbindings.h"
#include "decks/crossfader.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "platform/ui/skin.h"

#include <QLabel>
#include <QProgressBar>
#include <QSlider>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>
#include <benchmark/benchmark.h>
#include <memory>

namespace {

// A window with the controls the decks bind to.
std::unique_ptr<QWidget> makeForm()
{
    auto form = std::make_unique<QWidget>();
    QWidget* f = form.get();
    auto named = [](QWidget* w, const QString& n) { w->setObjectName(n); };
    for (QString d : {QStringLiteral("A"), QStringLiteral("B")}) {
        for (const char* l : {"Title", "Bitrate", "Genre", "Year", "Channel", "Original", "TimeTotal", "TimeElapsed",
                              "TimeRemaining"})
            named(new SkinControl(f, SkinControl::Label), QStringLiteral("lblPlayer%1%2").arg(d, QLatin1String(l)));
        named(new QProgressBar(f), QStringLiteral("ProgPlayer%1Elapsed").arg(d));
        auto* s = new QSlider(f);
        s->setRange(33200, 55000);
        s->setValue(44100);
        named(s, QStringLiteral("sld%1Freq").arg(d));
        for (const char* p : {"picPlayPlayer%1Pause", "picStopPlayer%1", "picPlayer%1BeatTop", "picPlayer%1BeatRight",
                              "picPlayer%1BeatBottom", "picPlayer%1BeatLeft", "cmd%1FreqR"})
            named(new SkinControl(f), QString::fromLatin1(p).arg(d));
    }
    named(new SkinControl(f), QStringLiteral("picSliderBack"));
    named(new SkinControl(f), QStringLiteral("picSlider"));
    for (const char* n : {"lstDJPlayList", "lstSongBin", "lstRequests", "lstFullPlaylist", "lstMostPlayed"}) {
        auto* v = new QTreeView(f);
        v->setModel(new QStandardItemModel(0, 7, v));
        named(v, QLatin1String(n));
    }
    for (const char* n : {"lblDJPlaylistClick", "lblSongBinClick", "lblNumRequestSongs", "lblNumDJPlaylist",
                          "lblNumFullPlaylist", "lblNumMostPlayed"})
        named(new SkinControl(f, SkinControl::Label), QLatin1String(n));
    for (const char* n : {"TimerPlayerA", "TimerPlayerB", "TimerSeek", "TimerLoadSongB"})
        (new QTimer(f))->setObjectName(QLatin1String(n));
    return form;
}

struct PlayingDeck {
    std::unique_ptr<QWidget> form = makeForm();
    std::unique_ptr<Decks> decks;

    PlayingDeck()
    {
        if (!EngineA().isInitialized()) {
            EngineA().setManualClock(true);
            FMod.FSOUND_Init(44100, 32, 0);
            FMod.FSOUND_DSP_SetActive(FMod.FSOUND_DSP_GetFFTUnit(), 1);
        }
        deckState().reset();
        decks = std::make_unique<Decks>(form.get());
        auto* model = static_cast<QStandardItemModel*>(form->findChild<QTreeView*>("lstDJPlayList")->model());
        QList<QStandardItem*> row;
        for (const QString& c : {QStringLiteral("1"), QStringLiteral("Tone"), QStringLiteral("Bench"),
                                 QStringLiteral("0:30"), QString(), QStringLiteral(QUENLOW_MEDIA_DIR "/tone30s.mp3"),
                                 QString()})
            row << new QStandardItem(c);
        model->appendRow(row);
        decks->LoadSongA(form->findChild<QTreeView*>("lstDJPlayList"), false, false, 1);
        int f2 = 113;
        decks->GlobalKeyDown(f2, 0);
        EngineA().advanceMs(5000);
    }
    ~PlayingDeck()
    {
        FMod.FSOUND_Stream_Stop(deckState().StreamA);
        FMod.FSOUND_Stream_Close(deckState().StreamA);
        decks.reset();
        crossfader().bindKnob(nullptr);
        deckState().reset();
    }
};

void BM_EngineQueriesOfATick(benchmark::State& st)
{
    PlayingDeck deck;
    const long s = deckState().StreamA;
    std::vector<float> spectrum(301);
    for (auto _ : st) {
        int sum = 0;
        for (int i = 0; i < 4; ++i)
            sum += FMod.FSOUND_Stream_GetTime(s) + FMod.FSOUND_Stream_GetLengthMs(s);
        GetSpectrumA(spectrum);
        benchmark::DoNotOptimize(sum);
    }
}
BENCHMARK(BM_EngineQueriesOfATick);

void BM_PlayerTimerTick(benchmark::State& st)
{
    PlayingDeck deck;
    if (deckState().ChannelA == 0) {
        st.SkipWithError("deck A is not playing (test media missing?)");
        return;
    }
    int i = 0;
    for (auto _ : st) {
        // Move the position now and then, as playing does, so the labels change too.
        if (++i % 64 == 0)
            EngineA().advance(441);
        deck.decks->TimerPlayerA_Timer();
    }
}
BENCHMARK(BM_PlayerTimerTick);

void BM_VolumeLawAlone(benchmark::State& st)
{
    double p = 0;
    for (auto _ : st) {
        p = p > 2000 ? -50 : p + 7.5;
        benchmark::DoNotOptimize(crossfaderVolumes(p));
    }
}
BENCHMARK(BM_VolumeLawAlone);

void BM_SetCrossfaderVolumes(benchmark::State& st)
{
    PlayingDeck deck;
    crossfader().bindKnob(nullptr); // the law's cost, not the knob picture's
    double p = 0;
    for (auto _ : st) {
        p = p > 2000 ? -50 : p + 7.5;
        crossfader().setLeft(p);
        SetCrossfaderVolumes();
    }
}
BENCHMARK(BM_SetCrossfaderVolumes);

} // namespace
