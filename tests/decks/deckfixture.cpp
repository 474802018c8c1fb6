#include "deckfixture.h"

#include "core/errorlog.h"
#include "decks/crossfader.h"
#include "platform/ui/skin.h"
#include "support/testutil.h"

#include <QLabel>
#include <QProgressBar>
#include <QSlider>
#include <QTimer>

DeckForm::DeckForm()
{
    setObjectName(QStringLiteral("frmMain"));
    auto label = [this](const QString& name, const QString& text = {}) {
        auto* l = new SkinControl(this, SkinControl::Label);
        l->setObjectName(name);
        l->setText(text);
    };
    auto picture = [this](const QString& name) {
        auto* p = new SkinControl(this, SkinControl::Picture);
        p->setObjectName(name);
        return p;
    };
    for (QString d : {QStringLiteral("A"), QStringLiteral("B")}) {
        label(QStringLiteral("lblPlayer%1Title").arg(d), QStringLiteral("Waiting for Song Cue..."));
        for (const char* info : {"Bitrate", "Genre", "Year", "Channel", "Original"})
            label(QStringLiteral("lblPlayer%1%2").arg(d, QLatin1String(info)), QString(28, QLatin1Char('-')));
        label(QStringLiteral("lblPlayer%1TimeTotal").arg(d), QStringLiteral("0:00"));
        label(QStringLiteral("lblPlayer%1TimeElapsed").arg(d), QStringLiteral("0:00"));
        label(QStringLiteral("lblPlayer%1TimeRemaining").arg(d), QStringLiteral("- 0:00"));
        auto* bar = new QProgressBar(this);
        bar->setObjectName(QStringLiteral("ProgPlayer%1Elapsed").arg(d));
        bar->resize(200, 12);
        bar->hide();
        auto* sld = new QSlider(Qt::Vertical, this);
        sld->setObjectName(QStringLiteral("sld%1Freq").arg(d));
        sld->setRange(33200, 55000);
        sld->setValue(44100);
        picture(QStringLiteral("picPlayPlayer%1Pause").arg(d));
        picture(QStringLiteral("picStopPlayer%1").arg(d));
        for (const char* lamp : {"Top", "Right", "Bottom", "Left"})
            picture(QStringLiteral("picPlayer%1Beat%2").arg(d, QLatin1String(lamp)));
        picture(QStringLiteral("cmd%1FreqR").arg(d));
    }
    picture(QStringLiteral("picSliderBack"))->resize(136, 56);
    auto* knob = new SkinControl(findChild<SkinControl*>(QStringLiteral("picSliderBack")), SkinControl::Picture);
    knob->setObjectName(QStringLiteral("picSlider"));
    knob->setGeometry(63, 7, 10, 40);
    for (const char* name : {"lstDJPlayList", "lstSongBin", "lstRequests", "lstFullPlaylist", "lstMostPlayed"}) {
        auto* view = new QTreeView(this);
        view->setObjectName(QLatin1String(name));
        auto* m = new QStandardItemModel(0, 7, view);
        view->setModel(m);
    }
    label(QStringLiteral("lblDJPlaylistClick"), QStringLiteral("DJ Playlist - 0"));
    label(QStringLiteral("lblSongBinClick"), QStringLiteral("Song Bin - 0"));
    for (const char* name : {"lblNumRequestSongs", "lblNumDJPlaylist", "lblNumFullPlaylist", "lblNumMostPlayed"})
        label(QLatin1String(name));
    for (const char* name : {"TimerPlayerA", "TimerPlayerB", "TimerSeek", "TimerLoadSongB"}) {
        auto* t = new QTimer(this);
        t->setObjectName(QLatin1String(name));
    }
}

QTreeView* DeckForm::list(const char* name) const
{
    return get<QTreeView>(name);
}

QStandardItemModel* DeckForm::model(const char* name) const
{
    return static_cast<QStandardItemModel*>(list(name)->model());
}

void DeckForm::addRow(const char* listName, const QString& title, const QString& artist, const QString& time,
                      const QString& path)
{
    QStandardItemModel* m = model(listName);
    const int n = m->rowCount() + 1;
    QList<QStandardItem*> row;
    for (const QString& cell : {QString::number(n), title, artist, time, QStringLiteral("Genre"), path, QString()})
        row << new QStandardItem(cell);
    m->appendRow(row);
}

namespace {

void initEngine(audio::SoundEngine& e, SoundBinding& b)
{
    if (e.isInitialized())
        return;
    e.setManualClock(true);
    b.FSOUND_Init(44100, 32, 0);
    b.FSOUND_DSP_SetActive(b.FSOUND_DSP_GetFFTUnit(), 1);
}

} // namespace

void DecksTest::SetUp()
{
    tmp = std::make_unique<QTemporaryDir>();
    errorlog::setFolder(tmp->path());
    ui::setDialogs(&dialogs);
    initEngine(EngineA(), FMod);
    initEngine(EngineB(), FMod2);
    ds.reset();
    crossfader().setLeft(Crossfader::Centre);
    form = std::make_unique<DeckForm>();
    decks = std::make_unique<Decks>(form.get());
    decks->AddToMostPlayedA = [this] {
        ++countedA;
        ds.bCountedA = true;
    };
    decks->AddToMostPlayedB = [this] {
        ++countedB;
        ds.bCountedB = true;
    };
}

void DecksTest::TearDown()
{
    FMod.FSOUND_Stream_Stop(ds.StreamA);
    FMod2.FSOUND_Stream_Stop(ds.StreamB);
    FMod.FSOUND_Stream_Close(ds.StreamA);
    FMod2.FSOUND_Stream_Close(ds.StreamB);
    decks.reset();
    crossfader().bindKnob(nullptr);
    form.reset();
    ds.reset();
    ui::setDialogs(nullptr);
    errorlog::setFolder(QString());
}

void DecksTest::cue(char deck, const QString& mediaName, const QString& title, const QString& artist)
{
    form->addRow("lstDJPlayList", title, artist, QStringLiteral("0:10"), testutil::media(mediaName));
    const int row = form->model("lstDJPlayList")->rowCount();
    if (deck == 'A')
        decks->LoadSongA(form->list("lstDJPlayList"), false, true, row);
    else
        decks->LoadSongB(form->list("lstDJPlayList"), false, true, row);
}

void DecksTest::advanceMs(int ms)
{
    EngineA().advanceMs(ms);
    EngineB().advanceMs(ms);
}

void DecksTest::setTime(char deck, int ms)
{
    if (deck == 'A')
        FMod.FSOUND_Stream_SetTime(ds.StreamA, ms);
    else
        FMod2.FSOUND_Stream_SetTime(ds.StreamB, ms);
}

int DecksTest::time(char deck)
{
    return deck == 'A' ? FMod.FSOUND_Stream_GetTime(ds.StreamA) : FMod2.FSOUND_Stream_GetTime(ds.StreamB);
}

int DecksTest::length(char deck)
{
    return deck == 'A' ? FMod.FSOUND_Stream_GetLengthMs(ds.StreamA) : FMod2.FSOUND_Stream_GetLengthMs(ds.StreamB);
}
