#include "shell/frmMain.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "core/timerrest.h"
#include "core/windowdrag.h"
#include "library/songlistview.h"
#include "platform/ui/keys.h"
#include "platform/ui/vb.h"
#include "shell/sessionend.h"
#include "shell/skinart.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QTreeView>
#include <algorithm>

namespace {

using skinart::ListIcon;

// Geometry that the window's design gives in twips.
constexpr int kFaceWidthTw = 15360, kFaceHeightTw = 11115;        // picAll
constexpr int kDeckHeightTw = 2475;                               // picPlayerA, picPlayerB
constexpr int kTrackLeftTw = 6660, kTrackTopTw = 1665, kTrackWidthTw = 2040, kTrackHeightTw = 840;
constexpr int kKnobLeftTw = 945, kKnobTopTw = 105, kKnobWidthTw = 150, kKnobHeightTw = 600;
constexpr int kPitchWidthTw = 360, kPitchHeightTw = 1755;         // sldAFreq, sldBFreq

// Pixels of the rest of the layout (our own skin).
constexpr int kDeckWidth = 444;      // each deck panel; the crossfader column lies between
constexpr int kLowerTop = 168;       // picMain below the deck strip
constexpr int kViewTop = 248;        // ViewPlaySongs, in picAll
constexpr int kViewHeight = 488;
constexpr int kViewWidth = 1008;
constexpr int kListWidth = 944;

const QString kFontFamily = QStringLiteral("DejaVu Sans");

QFont captionFont(int pixels, bool bold = false)
{
    QFont f(kFontFamily);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

QPalette listPalette()
{
    QPalette p;
    p.setColor(QPalette::Base, QColor(0x14, 0x17, 0x1b));
    p.setColor(QPalette::AlternateBase, QColor(0x1a, 0x1e, 0x23));
    p.setColor(QPalette::Text, QColor(0xe2, 0xe8, 0xec));
    p.setColor(QPalette::Window, QColor(0x2a, 0x2e, 0x35));
    p.setColor(QPalette::WindowText, QColor(0xe2, 0xe8, 0xec));
    p.setColor(QPalette::Button, QColor(0x34, 0x39, 0x41));
    p.setColor(QPalette::ButtonText, QColor(0xd0, 0xd8, 0xe0));
    p.setColor(QPalette::Highlight, QColor(0x1e, 0x6e, 0x96));
    p.setColor(QPalette::HighlightedText, Qt::white);
    return p;
}

} // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Quenlow"));
    setWindowFlag(Qt::FramelessWindowHint);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QColor(0x10, 0x12, 0x15));
    setPalette(pal);
    // The restored size is the face's size; stand-by keeps this width.
    resize(vb::px(kFaceWidthTw), vb::px(kFaceHeightTw));

    imgClock = skinart::clockGlyphs();
    imgBeatNeutral = skinart::beatLamps(0);
    imgBeatStep1 = skinart::beatLamps(1);
    imgBeatStep2 = skinart::beatLamps(2);
    imgBeatStep3 = skinart::beatLamps(3);
    imgBeatStep4 = skinart::beatLamps(4);
    imgBeatStep5 = skinart::beatLamps(5);
    imgPlayerControls = skinart::playerControls();
    imgBigButtons = skinart::bigButtons();
    imgAutoDJOn = skinart::autoDJLamps();

    workArea = [this] {
        QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
        if (!s)
            return QRect();
        const QRect r = s->availableGeometry();
        return r.isValid() ? r : s->geometry();
    };

    pendingUpTimer_.setSingleShot(true);
    pendingUpTimer_.setInterval(60);
    connect(&pendingUpTimer_, &QTimer::timeout, this, &frmMain::flushKeyUp);

    createControls();
    createTimers();
    wireChrome();
    messages.bind(ctl<SkinControl>(this, "lblMessages"));
    errorlog::setErrorsLabel(ctl<SkinControl>(this, "lblErrors"));
    connect(qApp, &QGuiApplication::commitDataRequest, this,
            [this] { session::closeUnattended([this] { Form_Unload(); }); });
    setDefaultSteps();
    createControllers();
}

// ---------------------------------------------------------------------------------------------
// The controls

void frmMain::createControls()
{
    auto pic = [](QWidget* parent, const char* name, QRect r) {
        auto* c = new SkinControl(parent, SkinControl::Picture);
        c->setObjectName(QLatin1String(name));
        c->setGeometry(r);
        c->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return c;
    };
    auto lbl = [](QWidget* parent, const char* name, const QString& caption, QRect r, int px = 12,
                  bool bold = false, std::uint32_t fore = vb::White) {
        auto* c = new SkinControl(parent, SkinControl::Label);
        c->setObjectName(QLatin1String(name));
        c->setGeometry(r);
        c->setText(caption);
        c->setFont(captionFont(px, bold));
        c->setForeColor(fore);
        c->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        return c;
    };
    auto twipsRect = [](int l, int t, int w, int h) { return QRect(vb::px(l), vb::px(t), vb::px(w), vb::px(h)); };

    // --- the face
    auto* picAll = pic(this, "picAll", twipsRect(0, 0, kFaceWidthTw, kFaceHeightTw));
    picAll->setPicture(skinart::face(picAll->size()));

    // --- the two decks
    struct DeckNames {
        const char *panel, *info, *title, *songInfo, *bitrate, *genre, *year, *channel, *original, *edit, *bpmCaption,
            *bpm, *elapsed, *total, *remaining, *prog, *play, *stop, *pitch, *reset, *top, *right, *bottom, *left;
    };
    const DeckNames decks[2] = {
        {"picPlayerA", "picASongInfo", "lblPlayerATitle", "Label14", "lblPlayerABitrate", "lblPlayerAGenre",
         "lblPlayerAYear", "lblPlayerAChannel", "lblPlayerAOriginal", "lblEditPlayerAClick", "Label1",
         "lblPlayerABPM", "lblPlayerATimeElapsed", "lblPlayerATimeTotal", "lblPlayerATimeRemaining",
         "ProgPlayerAElapsed", "picPlayPlayerAPause", "picStopPlayerA", "sldAFreq", "cmdAFreqR",
         "picPlayerABeatTop", "picPlayerABeatRight", "picPlayerABeatBottom", "picPlayerABeatLeft"},
        {"picPlayerB", "picBSongInfo", "lblPlayerBTitle", "Label17", "lblPlayerBBitrate", "lblPlayerBGenre",
         "lblPlayerBYear", "lblPlayerBChannel", "lblPlayerBOriginal", "lblPlayerBEditClick", "Label5",
         "lblPlayerBBPM", "lblPlayerBTimeElapsed", "lblPlayerBTimeTotal", "lblPlayerBTimeRemaining",
         "ProgPlayerBElapsed", "picPlayPlayerBPause", "picStopPlayerB", "sldBFreq", "cmdBFreqR",
         "picPlayerBBeatTop", "picPlayerBBeatRight", "picPlayerBBeatBottom", "picPlayerBBeatLeft"},
    };
    const QString dashes(28, QLatin1Char('-'));
    for (int d = 0; d < 2; ++d) {
        const DeckNames& n = decks[d];
        const int x0 = d == 0 ? 0 : vb::px(kFaceWidthTw) - kDeckWidth;
        auto* deck = pic(picAll, n.panel, QRect(x0, 0, kDeckWidth, vb::px(kDeckHeightTw)));
        deck->setPicture(skinart::panel(deck->size()));

        // The beat lamps frame the deck.
        const int t = skinart::LampThickness;
        pic(deck, n.top, QRect(10, 2, skinart::LampHorizontal.width(), t));
        pic(deck, n.right, QRect(kDeckWidth - 2 - t, 10, t, skinart::LampVertical.height()));
        pic(deck, n.bottom, QRect(10, deck->height() - 2 - t, skinart::LampHorizontal.width(), t));
        pic(deck, n.left, QRect(2, 10, t, skinart::LampVertical.height()));

        auto* info = pic(deck, n.info, QRect(14, 12, 374, 64));
        info->setPicture(skinart::display(info->size()));
        auto* title = lbl(info, n.title, QStringLiteral("Waiting for Song Cue..."), QRect(6, 3, 362, 20), 13, true,
                          vb::Black);
        title->setToolTip(title->text());
        lbl(info, n.songInfo, QStringLiteral(":Song Info:"), QRect(6, 24, 72, 18), 11, true, vb::Black);
        const char* infoLabels[5] = {n.bitrate, n.genre, n.year, n.channel, n.original};
        // One information label shows at a time, rotated every second: deck A starts on the bit
        // rate, deck B one step on, on the genre, so the two decks do not show the same thing.
        for (int i = 0; i < 5; ++i) {
            auto* l = lbl(info, infoLabels[i], dashes, QRect(80, 24, 288, 18), 11, false, vb::Black);
            l->setVisible(i == d);
        }
        lbl(info, n.bpmCaption, QStringLiteral("BPM"), QRect(6, 43, 34, 18), 11, true, vb::Black);
        lbl(info, n.bpm, QStringLiteral("---"), QRect(42, 43, 60, 18), 11, false, vb::Black);
        auto* edit = lbl(info, n.edit, QStringLiteral("Edit"), QRect(326, 43, 40, 18), 11, true, vb::Blue);
        edit->setAlignment(Qt::AlignCenter);
        edit->setToolTip(QStringLiteral("Edit the tag of this deck's song"));
        edit->setCursor(Qt::PointingHandCursor);

        auto* elapsed = lbl(deck, n.elapsed, QStringLiteral("0:00"), QRect(14, 80, 118, 30), 24, true,
                            vb::rgb(0x5a, 0xf0, 0xff));
        elapsed->setToolTip(QStringLiteral("Elapsed"));
        auto* total = lbl(deck, n.total, QStringLiteral("0:00"), QRect(140, 84, 110, 24), 16, false,
                          vb::rgb(0xc0, 0xc8, 0xd0));
        total->setAlignment(Qt::AlignCenter);
        total->setToolTip(QStringLiteral("Length"));
        auto* remaining = lbl(deck, n.remaining, QStringLiteral("- 0:00"), QRect(258, 80, 130, 30), 24, true,
                              vb::rgb(0xff, 0xc0, 0x50));
        remaining->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        remaining->setToolTip(QStringLiteral("Remaining"));

        auto* prog = new QProgressBar(deck);
        prog->setObjectName(QLatin1String(n.prog));
        prog->setGeometry(14, 114, 374, 12);
        prog->setTextVisible(false);
        prog->setRange(0, 0);
        prog->setMinimum(0);
        prog->setMaximum(1);
        prog->setValue(0);
        prog->setPalette(listPalette());
        prog->setToolTip(QStringLiteral("Click or drag to seek"));
        prog->hide(); // until the deck's first successful load

        auto* play = pic(deck, n.play, QRect(14, 130, skinart::PlayerButton.width(), skinart::PlayerButton.height()));
        play->setPicture(imgPlayerControls.ListImage(3));
        play->setToolTip(d == 0 ? QStringLiteral("Play / Pause (F2)") : QStringLiteral("Play / Pause (F6)"));
        auto* stop = pic(deck, n.stop, QRect(66, 130, skinart::PlayerButton.width(), skinart::PlayerButton.height()));
        stop->setPicture(imgPlayerControls.ListImage(1));
        stop->setToolTip(d == 0 ? QStringLiteral("Stop (F1)") : QStringLiteral("Stop (F5)"));

        auto* sld = new QSlider(Qt::Vertical, deck);
        sld->setObjectName(QLatin1String(n.pitch));
        sld->setGeometry(400, 10, vb::px(kPitchWidthTw), vb::px(kPitchHeightTw));
        sld->setMaximum(55000);
        sld->setMinimum(33200);
        sld->setValue(44100);
        sld->setSingleStep(50);
        sld->setPageStep(500);
        sld->setInvertedAppearance(true); // the higher the pitch, the lower the handle, as drawn
        sld->setPalette(listPalette());
        sld->setToolTip(d == 0 ? QStringLiteral("Pitch (F9 / F10)") : QStringLiteral("Pitch (F11 / F12)"));

        auto* reset = new QPushButton(QStringLiteral("0"), deck);
        reset->setObjectName(QLatin1String(n.reset));
        reset->setGeometry(398, 130, 30, 26);
        reset->setFont(captionFont(11, true));
        reset->setPalette(listPalette());
        reset->setToolTip(QStringLiteral("Reset pitch"));
    }

    // --- the crossfader column between the decks
    const int colX = kDeckWidth;
    const int colW = vb::px(kFaceWidthTw) - 2 * kDeckWidth;
    auto* picClock = pic(picAll, "picClock", QRect(colX + 4, 4, colW - 8, 32));
    picClock->setPicture(skinart::clockHousing(picClock->size()));
    {
        const int dw = skinart::ClockDigit.width(), cw = skinart::ClockColon.width(), aw = skinart::ClockAmPm.width();
        const int total = 6 * dw + 2 * cw + aw + 2;
        int x = (picClock->width() - total) / 2;
        const int y = (picClock->height() - skinart::ClockDigit.height()) / 2;
        auto place = [&](const char* name, int w) {
            auto* g = pic(picClock, name, QRect(x, y, w, skinart::ClockDigit.height()));
            x += w;
            return g;
        };
        place("picClockHour1", dw)->setPicture(imgClock.ListImage(13));
        place("picClockHour2", dw)->setPicture(imgClock.ListImage(13));
        place("picClockColon1", cw);
        place("picClockMin1", dw)->setPicture(imgClock.ListImage(13));
        place("picClockMin2", dw)->setPicture(imgClock.ListImage(13));
        place("picClockColon2", cw);
        place("picClockSec1", dw)->setPicture(imgClock.ListImage(13));
        place("picClockSec2", dw)->setPicture(imgClock.ListImage(13));
        x += 2;
        place("picClockAMPM", aw);
    }

    auto* lamp = pic(picAll, "picAutoDJOff", QRect(colX + 6, 42, skinart::AutoDJLamp.width(), skinart::AutoDJLamp.height()));
    lamp->setPicture(imgAutoDJOn.ListImage(1));
    lamp->setToolTip(QStringLiteral("Auto-DJ"));
    auto* autoDJ = lbl(picAll, "lblTurnAutoDJOffClick", QStringLiteral("Auto DJ"), QRect(colX + 44, 44, colW - 50, 30),
                       13, true);
    autoDJ->setToolTip(QStringLiteral("Switch auto-DJ on or off"));
    autoDJ->setCursor(Qt::PointingHandCursor);

    auto* stby = lbl(picAll, "lblStbyClick", QStringLiteral("Stby"), QRect(colX + 6, 82, 58, 22), 12, true, vb::Black);
    stby->setBackColor(vb::LightGrey);
    stby->setAlignment(Qt::AlignCenter);
    stby->setToolTip(QStringLiteral("Stand-by: shrink the window to the decks"));
    auto* exitLabel = lbl(picAll, "lblExitClick", QStringLiteral("Exit"), QRect(colX + colW - 64, 82, 58, 22), 12,
                          true, vb::Black);
    exitLabel->setBackColor(vb::LightGrey);
    exitLabel->setAlignment(Qt::AlignCenter);
    exitLabel->setToolTip(QStringLiteral("Save everything and exit"));

    auto* trackPic = pic(picAll, "picSliderBack", twipsRect(kTrackLeftTw, kTrackTopTw, kTrackWidthTw, kTrackHeightTw));
    trackPic->setPicture(skinart::track());
    trackPic->setToolTip(QStringLiteral("Crossfader: right-click for the auto-crossfade time"));
    auto* knobPic = pic(trackPic, "picSlider", twipsRect(kKnobLeftTw, kKnobTopTw, kKnobWidthTw, kKnobHeightTw));
    knobPic->setPicture(skinart::knob());
    knobPic->setToolTip(QStringLiteral("Ctrl+Left/Right Arrow, Ctrl+Down Arrow = Center"));

    // The spectrum scale boxes of the beat lamps: measuring heights only, never shown.
    pic(picAll, "picSpectrum", twipsRect(6975, 2220, 1515, 420))->hide();
    pic(picAll, "picSpectrum2", twipsRect(6975, 2685, 1530, 795))->hide();

    // --- the lower part: messages, view buttons and the song area
    auto* picMain = pic(picAll, "picMain", QRect(0, kLowerTop, vb::px(kFaceWidthTw), vb::px(kFaceHeightTw) - kLowerTop));
    picMain->setPicture(skinart::panel(picMain->size(), false));
    auto inMain = [](QRect r) { return r.translated(0, -kLowerTop); };

    auto* picMessages = pic(picMain, "picMessages", inMain(QRect(8, 172, kViewWidth, 28)));
    picMessages->setPicture(skinart::display(picMessages->size()));
    lbl(picMessages, "lblMessages", MessagePanel::idleText(), QRect(10, 3, 860, 22), 13, true, vb::Black);
    auto* errors = lbl(picMessages, "lblErrors", QStringLiteral("Error Log"), QRect(kViewWidth - 96, 3, 88, 22), 11,
                       false, vb::rgb(0x60, 0x60, 0x60));
    errors->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    struct ViewButton {
        const char *pic, *label, *caption, *count;
    };
    const ViewButton buttons[5] = {
        {"picDJPlaySongBin", "lblViewDJPlaylist", "&DJ Playlist", "lblNumDJPlaylist"},
        {"picFullPlaylist", "lblFullPlaylistClick", "&Full Playlist", "lblNumFullPlaylist"},
        {"picSearchSongs", "lblSearchSongsClick", "&Search Songs", nullptr},
        {"picMostPlayed", "lblMostPlayedClick", "&Most Played", "lblNumMostPlayed"},
        {"picRequests", "lblRequestsClick", "&Requests       ", "lblNumRequestSongs"},
    };
    const int bw = skinart::BigButton.width(), bh = skinart::BigButton.height();
    const int gap = (kViewWidth - 5 * bw) / 4;
    // The count wells hold six digits whole: a library of 100,000 songs and more is ordinary.
    const int countWidth = std::max(42, QFontMetrics(captionFont(12, true)).horizontalAdvance(QStringLiteral("000000")) + 8);
    for (int i = 0; i < 5; ++i) {
        auto* b = pic(picMain, buttons[i].pic, inMain(QRect(8 + i * (bw + gap), 207, bw, bh)));
        b->setPicture(imgBigButtons.ListImage(1));
        auto* l = lbl(b, buttons[i].label, QLatin1String(buttons[i].caption),
                      QRect(10, 2, bw - countWidth - 18, bh - 4), 13, true);
        l->setUseMnemonic(true); // the view's key letter is underlined
        l->setCursor(Qt::PointingHandCursor);
        if (buttons[i].count) {
            // A mid-grey well, so the count reads in black as well as in its blinking yellow.
            auto* c = lbl(b, buttons[i].count, QStringLiteral("0"), QRect(bw - countWidth - 6, 7, countWidth, bh - 14),
                          12, true, vb::Black);
            c->setBackColor(vb::rgb(0x6a, 0x75, 0x80));
            c->setAlignment(Qt::AlignCenter);
        }
    }

    auto* songs = pic(picMain, "ViewPlaySongs", inMain(QRect(8, kViewTop, kViewWidth, kViewHeight)));
    auto makeView = [&](const char* name, bool visible) {
        auto* v = pic(songs, name, QRect(0, 0, kViewWidth, kViewHeight));
        v->setVisible(visible);
        return v;
    };
    auto makeList = [&](QWidget* view, const char* name, QRect r) {
        auto* t = new SongListView(view);
        t->setObjectName(QLatin1String(name));
        t->setGeometry(r);
        QFont f(kFontFamily);
        f.setBold(true);
        f.setPointSizeF(8.25);
        t->setFont(f);
        t->setPalette(listPalette());
        t->setRootIsDecorated(false);
        t->setUniformRowHeights(true);
        t->setAlternatingRowColors(true);
        t->setSelectionMode(QAbstractItemView::SingleSelection);
        t->setSelectionBehavior(QAbstractItemView::SelectRows);
        t->setEditTriggers(QAbstractItemView::NoEditTriggers);
        t->setAllColumnsShowFocus(true);
        t->setFocusPolicy(Qt::StrongFocus);
        // The hidden columns (Num, Edited) keep the narrow widths their list gives them: the
        // last one must not stretch over the spare width.
        t->header()->setStretchLastSection(false);
        return t;
    };
    auto title = [&](QWidget* view, const char* name, const QString& text) {
        return lbl(view, name, text, QRect(0, 0, 300, 22), 13, true, vb::rgb(0xe2, 0xe8, 0xec));
    };
    auto buttonColumn = [&](QWidget* view, std::initializer_list<std::pair<const char*, ListIcon>> list,
                            std::initializer_list<const char*> tips) {
        int y = 26;
        auto tip = tips.begin();
        for (const auto& [name, icon] : list) {
            auto* b = pic(view, name, QRect(kListWidth + 12, y, skinart::ListButton.width(), skinart::ListButton.height()));
            b->setPicture(skinart::listButton(icon));
            if (tip != tips.end())
                b->setToolTip(QLatin1String(*tip++));
            y += skinart::ListButton.height() + 8;
        }
    };
    const QRect listRect(0, 26, kListWidth, kViewHeight - 26);

    auto* full = makeView("ViewFullPlaylist", true);
    title(full, "lblFullPlaylistTitle", QStringLiteral("::: Full Playlist :::"));
    lbl(full, "lblFullPlaylistNumSongs", QStringLiteral("0 Songs"), QRect(320, 0, 160, 22), 12, true,
        vb::rgb(0x5a, 0xf0, 0xff));
    lbl(full, "lblRefreshFullWait", QStringLiteral("Please Wait..."), QRect(500, 0, 200, 22), 12, true,
        vb::rgb(0xff, 0xc0, 0x50))
        ->hide();
    makeList(full, "lstFullPlaylist", listRect);
    buttonColumn(full,
                 {{"picFullPlaylistAddA", ListIcon::LoadA}, {"picFullPlaylistAddB", ListIcon::LoadB},
                  {"picFullQInDJPlaylist", ListIcon::Queue}, {"Picture13", ListIcon::Menu}},
                 {"Load into Player A", "Load into Player B", "Add to the DJ Playlist", "Full Playlist menu"});

    auto* dj = makeView("ViewDJPlaylist", false);
    title(dj, "lblDJPlaylistTitle", QStringLiteral("::: DJ Playlist :::"));
    auto* djTab = lbl(dj, "lblDJPlaylistClick", QStringLiteral("&DJ Playlist - 0"), QRect(320, 1, 170, 21), 12, true,
                      vb::Black);
    djTab->setUseMnemonic(true);
    djTab->setBackColor(0xC0FFFF);
    djTab->setAlignment(Qt::AlignCenter);
    auto* binTab = lbl(dj, "lblSongBinClick", QStringLiteral("&Song Bin - 0"), QRect(496, 1, 170, 21), 12, true,
                       vb::Black);
    binTab->setUseMnemonic(true);
    binTab->setBackColor(0x80FFFF);
    binTab->setAlignment(Qt::AlignCenter);
    makeList(dj, "lstDJPlayList", listRect);
    makeList(dj, "lstSongBin", listRect)->hide();
    buttonColumn(dj,
                 {{"picDJPlaylistAddA", ListIcon::LoadA}, {"picDJPlaylistAddB", ListIcon::LoadB},
                  {"picDJPlaylistUp", ListIcon::Up}, {"picDJPlaylistDown", ListIcon::Down},
                  {"picDJPlaylistMenu", ListIcon::Menu}},
                 {"Load into Player A", "Load into Player B", "Move up", "Move down", "DJ Playlist menu"});

    auto* most = makeView("ViewMostPlayed", false);
    title(most, "lblMostPlayedTitle", QStringLiteral("::: Most Played Songs :::"));
    lbl(most, "lblSortMostPlayedWait", QStringLiteral("Sorting... Please Wait..."), QRect(320, 0, 240, 22), 12, true,
        vb::rgb(0xff, 0xc0, 0x50))
        ->hide();
    makeList(most, "lstMostPlayed", listRect);
    makeList(most, "lstSortMostPlayed", listRect)->hide();
    buttonColumn(most,
                 {{"picMostPlayedAddToPlayerA", ListIcon::LoadA}, {"picMostPlayedAddToPlayerB", ListIcon::LoadB},
                  {"picMostPlayedQInDJList", ListIcon::Queue}, {"picMostPlayedMenu", ListIcon::Menu}},
                 {"Load into Player A", "Load into Player B", "Add to the DJ Playlist", "Most Played menu"});

    auto* req = makeView("ViewRequests", false);
    title(req, "lblRequestsTitle", QStringLiteral("::: Customer Requests :::"));
    makeList(req, "lstRequests", listRect);
    buttonColumn(req,
                 {{"Picture10", ListIcon::LoadA}, {"Picture11", ListIcon::LoadB},
                  {"picRequestsQInDJList", ListIcon::Queue}, {"Picture12", ListIcon::Menu}},
                 {"Load into Player A", "Load into Player B", "Add to the DJ Playlist", "Requests menu"});

    auto* search = makeView("ViewSearchSongs", false);
    auto* txt = new QLineEdit(search);
    txt->setObjectName(QStringLiteral("txtSearch"));
    txt->setGeometry(0, 0, 300, 22);
    txt->setFont(captionFont(12, true));
    txt->setPalette(listPalette());
    txt->setToolTip(QStringLiteral("Title, artist or genre; Enter to search"));
    lbl(search, "lblEnterToSearch", QStringLiteral("Enter To Search"), QRect(310, 0, 160, 22), 12, true,
        vb::rgb(0xc0, 0xc8, 0xd0));
    makeList(search, "lstSearch", listRect);
    buttonColumn(search,
                 {{"picSearchPlaylistAddA", ListIcon::LoadA}, {"picSearchPlaylistAddB", ListIcon::LoadB},
                  {"picQInDJPlaylistSearch", ListIcon::Queue}, {"picSearchMenu", ListIcon::Menu}},
                 {"Load into Player A", "Load into Player B", "Add to the DJ Playlist", "Search menu"});

    // --- the key map panel, over the right of the song area; hidden until asked for
    auto* keyMap = new QPlainTextEdit(picAll);
    keyMap->setObjectName(QStringLiteral("txtKeyMap"));
    keyMap->setGeometry(vb::px(kFaceWidthTw) - 8 - 420, kLowerTop + kViewTop, 420, kViewHeight);
    keyMap->setReadOnly(true);
    keyMap->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    keyMap->setFont(captionFont(12));
    keyMap->setPalette(listPalette());
    keyMap->hide();
    auto* closeKeyMap = new QPushButton(QStringLiteral("X"), picAll);
    closeKeyMap->setObjectName(QStringLiteral("cmdCloseKeyMap"));
    closeKeyMap->setGeometry(keyMap->geometry().right() - 24 - 18, keyMap->y() + 2, 24, 22);
    closeKeyMap->setFont(captionFont(11, true));
    closeKeyMap->hide();

    // --- the folder and file lists of the media scan: directory readers, never shown
    auto* dirBox = new QListWidget(picAll);
    dirBox->setObjectName(QStringLiteral("DirBox"));
    dirBox->hide();
    auto* fileBox = new QListWidget(picAll);
    fileBox->setObjectName(QStringLiteral("FileBox"));
    fileBox->hide();
}

void frmMain::createTimers()
{
    // Every timer is created stopped; the end of Form_Load starts them. The 1 ms timers of the
    // design tick every 10 ms: often enough for the displays, light on the processor.
    auto make = [this](const char* name, int interval) {
        auto* t = new QTimer(this);
        t->setObjectName(QLatin1String(name));
        t->setInterval(interval);
        t->setTimerType(interval < 100 ? Qt::PreciseTimer : Qt::CoarseTimer);
        return t;
    };
    TimerAutoDJCrossfade = make("TimerAutoDJCrossfade", 300);
    TimerLoadSongA = make("TimerLoadSongA", 10);
    TimerLoadSongB = make("TimerLoadSongB", 10);
    TimerMessages = make("TimerMessages", 1000);
    TimerPlayerA = make("TimerPlayerA", 10);
    TimerPlayerB = make("TimerPlayerB", 10);
    TimerReadMP3 = make("TimerReadMP3", 50);
    TimerSaveLists = make("TimerSaveLists", 1000);
    TimerSeek = make("TimerSeek", 50);
    // The clock goes first on every tick of the save timer; the library's save counter is
    // connected to the same timer after it.
    connect(TimerSaveLists, &QTimer::timeout, this, &frmMain::UpdateClock);
}

void frmMain::startTimers()
{
    // TimerLoadSongA has no work of its own; it stays off.
    for (QTimer* t : {TimerAutoDJCrossfade, TimerLoadSongB, TimerMessages, TimerPlayerA, TimerPlayerB, TimerReadMP3,
                      TimerSaveLists, TimerSeek})
        t->start();
}

void frmMain::stopTimers()
{
    for (QTimer* t : {TimerAutoDJCrossfade, TimerLoadSongA, TimerLoadSongB, TimerMessages, TimerPlayerA, TimerPlayerB,
                      TimerReadMP3, TimerSaveLists, TimerSeek})
        if (t)
            TimerRest::stop(t); // for good: a resting timer is not woken after this
}
