#include "decks/autodjcontroller.h"

#include "core/controls.h"
#include "core/soundbindings.h"
#include "core/timerrest.h"
#include "decks/crossfader.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "library/requestlink.h"
#include "library/songlistview.h"
#include "platform/ui/skin.h"

#include <QItemSelectionModel>
#include <QTimer>
#include <QTreeView>

class AutoDJController::Host : public HousekeepingHost {
public:
    Host(AutoDJController& owner, Window window, Library& library, DeckState& state)
        : owner_(owner), win_(std::move(window)), lib_(library), s_(state)
    {
        QWidget* form = win_.controls;
        const char* names[] = {"Bitrate", "Genre", "Year", "Channel", "Original"};
        for (int d = 0; d < 2; ++d) {
            const QByteArray deck = d == 0 ? "lblPlayerA" : "lblPlayerB";
            for (int i = 0; i < 5; ++i)
                info_[d][i] = ctl<QWidget>(form, (deck + names[i]).constData());
            title_[d] = ctl<QLabel>(form, (deck + "Title").constData());
        }
        lamp_ = ctl<SkinControl>(form, "picAutoDJOff");
        counter_ = ctl<SkinControl>(form, "lblNumRequestSongs");
        viewRequests_ = ctl<QWidget>(form, "ViewRequests");
        lstDJPlayList_ = ctl<QTreeView>(form, "lstDJPlayList");
        lstFullPlaylist_ = ctl<QTreeView>(form, "lstFullPlaylist");
        lstMostPlayed_ = ctl<QTreeView>(form, "lstMostPlayed");
    }

    static int idx(Side d) { return d == Side::A ? 0 : 1; }
    SoundBinding& engine(Side d) { return d == Side::A ? FMod : FMod2; }
    const SoundBinding& engine(Side d) const { return d == Side::A ? FMod : FMod2; }
    long stream(Side d) const { return d == Side::A ? s_.StreamA : s_.StreamB; }
    int channel(Side d) const { return d == Side::A ? s_.ChannelA : s_.ChannelB; }

    // --- AutoDJHost
    int djRowCount() const override { return lib_.djPlaylist().count(); }
    void loadFromDJList(Side deck, int autoIndex) override
    {
        // "The selected row" of a queue nobody has clicked yet is its head, as the list shows it.
        if (autoIndex == 0 && !hasSelection(lstDJPlayList_))
            autoIndex = 1;
        if (owner_.loadSong)
            owner_.loadSong(deck, autoIndex);
    }
    static bool hasSelection(QTreeView* list)
    {
        const QItemSelectionModel* sm = list->selectionModel();
        return sm && (sm->currentIndex().isValid() || !sm->selectedRows().isEmpty());
    }
    QString titleCaption(Side deck) const override { return title_[idx(deck)]->text(); }
    int streamTimeMs(Side d) const override { return engine(d).FSOUND_Stream_GetTime(stream(d)); }
    int streamLengthMs(Side d) const override { return engine(d).FSOUND_Stream_GetLengthMs(stream(d)); }
    int playStream(Side d) override { return owner_.startDeck ? owner_.startDeck(d) : 0; }
    bool outputGone(Side d) const override { return engine(d).FSOUND_GetError() == audio::ErrPlay; }
    void stopStream(Side d) override { engine(d).FSOUND_Stream_Stop(stream(d)); }
    bool isPaused(Side d) const override { return engine(d).FSOUND_GetPaused(channel(d)) != 0; }
    void setCrossfaderVolumes() override { SetCrossfaderVolumes(); }
    void showAutoDJLamp(int item) override { lamp_->setPicture(win_.autoDJLamps->ListImage(item)); }
    void resetMessages() override { win_.resetMessages(); }
    void postMessage(const QString& text, bool keep) override { win_.postMessage(text, keep); }

    // --- HousekeepingHost
    int visibleInfoLabel(Side d) const override
    {
        for (int i = 0; i < 5; ++i)
            if (!info_[idx(d)][i]->isHidden())
                return i;
        return -1;
    }
    void showOnlyInfoLabel(Side d, int index) override
    {
        for (int i = 0; i < 5; ++i)
            if (i != index)
                info_[idx(d)][i]->hide();
        info_[idx(d)][index]->show();
    }
    void replaceRequests(std::vector<SongRow>&& rows) override
    {
        // The old rows are let go on the database's thread: a long list takes a while to free.
        lib_.requestLink().letGo(lib_.requests().replaceRows(std::move(rows)));
    }
    int requestRowCount() const override { return lib_.requests().count(); }
    bool requestsViewShown() const override { return !viewRequests_->isHidden(); }
    std::uint32_t requestCounterColor() const override { return counter_->foreColor(); }
    void setRequestCounterColor(std::uint32_t bgr) override
    {
        if (counter_->foreColor() != bgr)
            counter_->setForeColor(bgr);
    }
    int sourceRowCount(CheckMarks::FillSource source) const override
    {
        return source == CheckMarks::FillSource::MostPlayed ? lib_.mostPlayed().count() : lib_.full().count();
    }
    void addToDJList(CheckMarks::FillSource source, int index) override
    {
        lib_.AddToDJList(source == CheckMarks::FillSource::MostPlayed ? lstMostPlayed_ : lstFullPlaylist_, index);
    }
    int randomNumber(int n) override { return win_.randomNumber(n); }
    QString djFilename(int row) const override { return lib_.djPlaylist().cell(row - 1, field::Filename); }
    void removeDJRow(int row) override
    {
        const KeepScrollPosition keep(lstDJPlayList_);
        lib_.djPlaylist().removeAt(row - 1);
        lib_.updateDJCaption();
    }
    void tickMessagePanel() override { win_.tickMessages(); }

private:
    AutoDJController& owner_;
    Window win_;
    Library& lib_;
    DeckState& s_;
    QWidget* info_[2][5] = {};
    QLabel* title_[2] = {};
    SkinControl* lamp_ = nullptr;
    SkinControl* counter_ = nullptr;
    QWidget* viewRequests_ = nullptr;
    QTreeView* lstDJPlayList_ = nullptr;
    QTreeView* lstFullPlaylist_ = nullptr;
    QTreeView* lstMostPlayed_ = nullptr;
};

AutoDJController::AutoDJController(Window window, Library& library, DeckState& state, Crossfader& knob,
                                   const CheckMarks& marks, QObject* parent)
    : QObject(parent)
{
    QWidget* form = window.controls;
    QTimer* crossfadeTimer = window.crossfadeTimer;
    QTimer* messagesTimer = window.messagesTimer;
    host_ = std::make_unique<Host>(*this, std::move(window), library, state);
    autoDJ_ = std::make_unique<AutoDJ>(state, knob, marks, *host_);
    housekeeping_ = std::make_unique<Housekeeping>(state, marks, *autoDJ_, *host_, library.requestLink());

    connect(ctl<SkinControl>(form, "lblTurnAutoDJOffClick"), &SkinControl::Click, this,
            [this] { autoDJ_->lblTurnAutoDJOffClick_Click(); });
    connect(crossfadeTimer, &QTimer::timeout, this, [this] { autoDJ_->TimerAutoDJCrossfade_Timer(); });
    connect(messagesTimer, &QTimer::timeout, this, [this] { housekeeping_->TimerMessages_Timer(); });
    // The crossfade timer has work only while auto-DJ is on.
    if (crossfadeTimer)
        new TimerRest({crossfadeTimer}, [s = &state] { return s->bAutoDJ; }, nullptr, 0, this);
}

AutoDJController::~AutoDJController() = default;
