// The main window's load, resize and orderly close, the list font setting, the clock and the
// random row pick.
#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/deckstate.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "shell/frmMain.h"
#include "shell/sessionend.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSlider>
#include <QTime>
#include <QTimer>
#include <QTreeView>
#include <cmath>
#include <random>

namespace {

// The six song lists whose font the setting governs, in the order they are set.
const char* const kSongLists[] = {"lstDJPlayList", "lstFullPlaylist", "lstMostPlayed",
                                  "lstRequests",   "lstSearch",       "lstSongBin"};

const char* const kKeyMapLines[] = {
    "Key Maps:",
    "Player Controls:",
    "F9: Player A Pitch Decrease",
    "F10: Player A Pitch Increase",
    "F9 + F10: Player A Pitch Return to 0",
    "F11: Player B Pitch Decrease",
    "F12: Player B Pitch Increase",
    "F11 + F12: Player B Pitch Return to 0",
    "Ctrl+Left Arrow: Crossfade to Player A",
    "Ctrl+Right Arrow: Crossfade to Player B",
    "Ctrl+Down Arrow: Crossfade to Centered",
    "--",
    "Player A:",
    "F1: Stop",
    "F2: Play/Pause",
    "F3: Seek Reverse",
    "F4: Seek Forward",
    "--",
    "Player B:",
    "F5: Stop",
    "F6: Play/Pause",
    "F7: Seek Reverse",
    "F8: Seek Forward",
    "--",
    "Playlists:",
    "D: Switch to DJ Playlist",
    "F: Switch to Full Playlist",
    "S: Switch to Search",
    "M: Switch to Most Played",
    "R: Switch to Requests",
    "--",
    "DJ Playlist:",
    "Enter: Move song to Song Bin",
    "Del: Removes Selected Song",
    "Num 1: Load Song to Player A",
    "Num 3: Load Song to Player B",
    "Num 7: Swap Player A Song with Selected",
    "Num 9: Swap Player B Song with Selected",
    "Full Playlist:",
    "Enter: Add to DJ Playlist",
    "Num 1: Load Song to Player A",
    "Num 3: Load Song to Player B",
    "Num 4: Player A Song to DJ Playlist Selected to Player A",
    "Num 6: Player B Song to DJ Playlist Selected to Player B",
    "Search:",
    "Num 1: Load Song to Player A",
    "Num 3: Load Song to Player B",
    "Left Arrow when selected on list = New Search",
    "Enter: Add to DJ Playlist",
    "Space: Add to Request List",
    "Most Played:",
    "Num 1: Load Song to Player A",
    "Num 3: Load Song to Player B",
    "Enter: Add to DJ Playlist",
    "Del: Remove selected from Most Played",
    "Requests:",
    "Num 1: Load Song to Player A",
    "Num 3: Load Song to Player B",
};

// Font sizes the lists can sensibly show; a stored size outside them would make the lists
// unreadable (or ask the font engine for glyphs metres high).
constexpr double kMinFontSize = 1;
constexpr double kMaxFontSize = 72;

// A number as the settings file holds it: "8.25"; a comma as the decimal separator is read too.
bool parseNumber(QString text, double& value)
{
    text = text.trimmed();
    text.replace(QLatin1Char(','), QLatin1Char('.'));
    bool ok = false;
    value = text.toDouble(&ok);
    return ok && std::isfinite(value);
}

} // namespace

QString frmMain::keyMapText()
{
    QString text;
    for (const char* line : kKeyMapLines) {
        text += QLatin1String(line);
        text += QLatin1String("\r\n");
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// Load

void frmMain::setDefaultSteps()
{
    // The main window's own steps on the decks and the engines.
    steps.resetDecks = [] {
        DeckState& d = deckState();
        d.ChannelA = 0;
        d.ChannelB = 0;
        d.bFadeToA = false;
        d.bFadeToB = false;
    };
    // Stops a deck's playing stream and marks the deck idle.
    auto stopDeck = [](SoundBinding& engine, long stream, int& channel) {
        if (channel != 0) {
            engine.FSOUND_Stream_Stop(stream);
            channel = 0;
        }
    };
    // Closes a deck's stream and forgets its handle.
    auto closeStream = [](SoundBinding& engine, long& stream) {
        if (stream != 0) {
            engine.FSOUND_Stream_Close(stream);
            stream = 0;
        }
    };
    steps.stopDecks = [stopDeck] {
        DeckState& d = deckState();
        stopDeck(FMod, d.StreamA, d.ChannelA);
        stopDeck(FMod2, d.StreamB, d.ChannelB);
    };
    steps.closeStreams = [closeStream] {
        DeckState& d = deckState();
        closeStream(FMod, d.StreamA);
        closeStream(FMod2, d.StreamB);
    };
    steps.closeEngines = [] {
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
    };
    steps.unsavedLists = [] { return QStringList(); };
    steps.endProgram = [this] { session::endProgram(exitStatus_); };
    // The other subsystems' steps do nothing until createControllers() points them at their
    // controllers.
    for (std::function<void()>* s : {&steps.installKeyboardHook, &steps.openRequestDatabase,
                                     &steps.addSearchPlaceholder, &steps.loadStoredLists, &steps.closeStartupWindows,
                                     &steps.startMediaScanIfEmpty, &steps.saveLists, &steps.removeKeyboardHook})
        *s = [] {};
}

void frmMain::Form_Load()
{
    if (loaded_)
        return;
    loaded_ = true;
    // Each step runs under its own trap: a failing step is logged and the later steps still
    // run, above all the loading of the lists, which the automatic save and the exit would
    // otherwise overwrite with empty ones. Once the program is ending (the session ended while a
    // box of the load was open) no further step runs.
    auto step = [this](const std::function<void()>& fn) {
        if (!closing_ && !session::ending())
            trap("B-15", fn);
    };

    step([&] { // 1. the key map
        auto* keyMap = ctl<QPlainTextEdit>(this, "txtKeyMap");
        keyMap->setPlainText(QString());
        keyMap->setPlainText(keyMapText());
    });
    step([&] { // 2. the clock's colons
        ctl<SkinControl>(this, "picClockColon1")->setPicture(imgClock.ListImage(12));
        ctl<SkinControl>(this, "picClockColon2")->setPicture(imgClock.ListImage(12));
    });
    step([&] { // 3. the list font
        const QString stored = ReadINI(QStringLiteral("Playlists"), QStringLiteral("FontSize"), QStringLiteral("2000"),
                                       configFile());
        double value = 0;
        if (!parseNumber(stored, value) || std::fabs(value) > 1e9)
            raiseError(13, QStringLiteral("Type mismatch"));
        const long long size = vb::toWhole(value);
        CheckMarks& marks = checkMarks();
        if (size == 2000) {
            marks.fontMark = CheckMarks::FontMark::Normal;
            return;
        }
        if (size >= 8 && size <= 9)
            marks.fontMark = CheckMarks::FontMark::Normal;
        else if (size >= 12 && size <= 13)
            marks.fontMark = CheckMarks::FontMark::Large;
        else if (size >= 14 && size <= 17)
            marks.fontMark = CheckMarks::FontMark::Largest;
        if (size < kMinFontSize || size > kMaxFontSize)
            raiseError(380, QStringLiteral("Invalid property value"));
        setListFontSize(double(size));
    });
    step([&] { // 4. the pitch sliders
        for (const char* name : {"sldAFreq", "sldBFreq"}) {
            auto* s = ctl<QSlider>(this, name);
            s->setMaximum(55000);
            s->setMinimum(33200);
            s->setValue(44100);
        }
    });
    step([&] { // 5. the keyboard hook
        if (steps.installKeyboardHook)
            steps.installKeyboardHook();
    });
    step([&] { // 6. the decks' title colours
        ctl<SkinControl>(this, "lblPlayerATitle")->setForeColor(vb::Black);
        ctl<SkinControl>(this, "lblPlayerBTitle")->setForeColor(vb::Black);
    });
    step([&] { // 7. the request database
        if (steps.openRequestDatabase)
            steps.openRequestDatabase();
    });
    step([&] { // 8. the beat lamps at rest
        for (const char* deck : {"A", "B"}) {
            int i = 1;
            for (const char* side : {"Top", "Right", "Bottom", "Left"}) {
                const QByteArray name = QByteArray("picPlayer") + deck + "Beat" + side;
                ctl<SkinControl>(this, name.constData())->setPicture(imgBeatNeutral.ListImage(i++));
            }
        }
    });
    step([&] { // 9. the decks' state
        if (steps.resetDecks)
            steps.resetDecks();
    });
    step([&] { // 10. the auto-fill source
        checkMarks().autoFillSource = CheckMarks::FillSource::FullPlaylist;
    });
    step([&] { // 11. the search list's placeholder row
        if (steps.addSearchPlaceholder)
            steps.addSearchPlaceholder();
    });
    step([&] { // 12. the stored lists
        if (steps.loadStoredLists)
            steps.loadStoredLists();
    });
    if (closing_ || session::ending())
        return;
    // From here on the lists hold what their files held: saving them loses nothing, and the end
    // of the session saves them as Exit does.
    listsLoaded_ = true;
    if (savesOnSessionEnd_)
        closeOnSessionEnd([this] { Form_Unload(); });
    step([&] { // 13. the start-up windows
        if (steps.closeStartupWindows)
            steps.closeStartupWindows();
    });
    step([&] { // 14. a media scan when no song is known yet
        if (steps.startMediaScanIfEmpty)
            steps.startMediaScanIfEmpty();
    });
    if (closing_ || session::ending())
        return;
    // A deck whose output was missing at start waits for it: the message line says so.
    if (const QString& notice = deckState().OutputNotice; !notice.isEmpty())
        messages.post(notice, true);
    UpdateClock();
    startTimers();
}

void frmMain::showMain()
{
    // Once the load has read the lists, the end of the session closes the window as its Exit
    // label does; until then start-up's ending at once stands.
    savesOnSessionEnd_ = true;
    Form_Load();
    // A box of the load was open when the program was ended: the window never shows.
    if (closing_ || session::ending())
        return;
    // The keys start on the Full Playlist the window opens with (on the window itself while a
    // first scan hides the list), not on the control made first: that is deck A's pitch
    // slider, whose arrow keys would retune the deck.
    if (auto* full = findChild<QTreeView*>(QStringLiteral("lstFullPlaylist")); full && !full->isHidden())
        full->setFocus(Qt::ActiveWindowFocusReason);
    else
        setFocus(Qt::ActiveWindowFocusReason);
    showMaximizedOnScreen();
    raise();
    activateWindow();
}

void frmMain::showMaximizedOnScreen()
{
    // Without a window manager a maximise request changes nothing: give the window the work
    // area as well, so it fills the screen either way.
    const QRect area = workArea ? workArea() : QRect();
    if (area.isValid())
        setGeometry(area);
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowMaximized);
    show();
}

// ---------------------------------------------------------------------------------------------
// Resize

void frmMain::Form_Resize()
{
    trap("B-16", [&] {
        if (StandbyMode)
            return;
        auto* picAll = ctl<QWidget>(this, "picAll");
        picAll->move((width() - picAll->width()) / 2, (height() - picAll->height()) / 2);
        const Qt::WindowStates s = windowState();
        if (isVisible() && !resizing_ && !(s & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen))) {
            resizing_ = true;
            showMaximizedOnScreen();
            resizing_ = false;
        }
    });
}

void frmMain::resizeEvent(QResizeEvent* e)
{
    QWidget::resizeEvent(e);
    Form_Resize();
}

void frmMain::changeEvent(QEvent* e)
{
    QWidget::changeEvent(e);
    if (e->type() == QEvent::WindowStateChange)
        Form_Resize();
}

// ---------------------------------------------------------------------------------------------
// Close

void frmMain::closeEvent(QCloseEvent* e)
{
    if (closing_) {
        e->accept();
        return;
    }
    // Alt+F4 or the session ending: the lists and settings are saved as by Exit.
    e->ignore();
    Form_Unload();
}

void frmMain::Form_Unload()
{
    trap("B-17", [&] {
        if (!closing_)
            CloseAll();
        else if (session::unattended())
            // The session ends while the close's box is open: nobody answers it, and the program
            // ends with the status the close gave it.
            session::endProgram(exitStatus_);
    });
}

void frmMain::CloseAll()
{
    if (closing_)
        return;
    closing_ = true;
    // From here on a log that cannot be written is no reason for a box of its own: the lists
    // not saved are told below, and the program is ending, not playing on.
    errorlog::setClosing(true);
    // Timers first: no tick may touch a deck or a list while they are being closed and saved.
    stopTimers();
    // Every step runs, whatever happened in the one before it; a failure is logged.
    auto step = [](const std::function<void()>& fn) {
        if (fn)
            trap("CloseAll", fn);
    };
    step([&] { hide(); });
    step(steps.stopDecks);
    step(steps.closeStreams);
    step(steps.closeEngines);
    // Only what was read in this run is written back: before the load has read the lists, the
    // files hold them and the window does not.
    if (listsLoaded_) {
        step([&] { SaveINISettings(); });
        step(steps.saveLists);
        step([&] { tellUnsavedLists(); });
    }
    step(steps.removeKeyboardHook);
    step(steps.endProgram);
}

void frmMain::tellUnsavedLists()
{
    const QStringList lists = steps.unsavedLists ? steps.unsavedLists() : QStringList();
    if (lists.isEmpty())
        return;
    // Changes were lost: whoever started the program (a script, the session) sees it by the status.
    exitStatus_ = 1;
    // The list files are in the program folder.
    const QString folder = QDir::toNativeSeparators(AppPath);
    const QString kept = QStringLiteral("Their files keep what was last saved in them; the changes since are lost.");
    if (session::unattended()) {
        LogError(75,
                 QStringLiteral("The session ended and these song lists could not be saved in %1: %2. %3")
                     .arg(folder, lists.join(QStringLiteral("; ")), kept),
                 QStringLiteral("CloseAll"));
        return;
    }
    QString text = QStringLiteral("These song lists could not be saved in %1:\r\n\r\n%2\r\n\r\n%3")
                       .arg(folder, lists.join(QStringLiteral("\r\n")), kept);
    const QString logWhy = errorlog::lastFailure();
    if (!logWhy.isEmpty())
        text += QStringLiteral("\r\n\r\nThe error log could not be written either (") + logWhy + QStringLiteral(").");
    text += QStringLiteral("\r\n\r\nQuenlow ends now.");
    ui::MsgBox(text, vb::mb::OKOnly | vb::mb::Critical, QStringLiteral("Lists Not Saved"));
}

void frmMain::SaveINISettings()
{
    trap("SaveINISettings", [&] {
        const double size = ctl<QTreeView>(this, "lstFullPlaylist")->font().pointSizeF();
        // Decimal text with at most four places and no trailing zeros, always with a point, so
        // the next start reads it back whatever the language settings.
        QString text = QString::number(size, 'f', 4);
        while (text.contains(QLatin1Char('.')) && (text.endsWith(QLatin1Char('0')) || text.endsWith(QLatin1Char('.'))))
            text.chop(1);
        WriteINI(QStringLiteral("Playlists"), QStringLiteral("FontSize"), text, configFile());
    });
}

void frmMain::ChangePlaylistFont(const QString& sSize)
{
    trap("ChangePlaylistFont", [&] {
        double points = 0;
        if (sSize == QLatin1String("Normal"))
            points = 8;
        else if (sSize == QLatin1String("Large"))
            points = 12;
        else if (sSize == QLatin1String("Largest"))
            points = 16;
        else
            return;
        setListFontSize(points);
    });
}

void frmMain::setListFontSize(double points)
{
    for (const char* name : kSongLists) {
        auto* list = ctl<QTreeView>(this, name);
        QFont f = list->font();
        f.setPointSizeF(points);
        list->setFont(f);
    }
}

// ---------------------------------------------------------------------------------------------
// Clock

void frmMain::UpdateClock()
{
    // The time is formatted here, not by the language settings, so the clock always finds its
    // digits where it expects them.
    showClockText(clockText(QTime::currentTime()));
}

QString frmMain::clockText(const QTime& t)
{
    const int h = t.hour() % 12 == 0 ? 12 : t.hour() % 12;
    return QStringLiteral("%1:%2:%3 %4")
        .arg(h)
        .arg(t.minute(), 2, 10, QLatin1Char('0'))
        .arg(t.second(), 2, 10, QLatin1Char('0'))
        .arg(t.hour() < 12 ? QLatin1String("AM") : QLatin1String("PM"));
}

void frmMain::showClockText(const QString& t)
{
    trap("UpdateClock", [&] {
        auto show = [&](const char* name, int image) { ctl<SkinControl>(this, name)->setPicture(imgClock.ListImage(image)); };
        auto digitAt = [&](int pos) { // 1-based position in t
            if (pos < 1 || pos > t.size() || !t.at(pos - 1).isDigit() || t.at(pos - 1).unicode() > '9')
                raiseError(13, QStringLiteral("Type mismatch"));
            const int d = t.at(pos - 1).unicode() - '0';
            return d == 0 ? 14 : d;
        };
        if (t.endsWith(QLatin1String("PM")))
            show("picClockAMPM", 11);
        else if (t.endsWith(QLatin1String("AM")))
            show("picClockAMPM", 10);
        if (t.left(2).contains(QLatin1Char(':'))) {
            show("picClockHour1", 13);
            show("picClockHour2", digitAt(1));
            show("picClockMin1", digitAt(3));
            show("picClockMin2", digitAt(4));
            show("picClockSec1", digitAt(6));
            show("picClockSec2", digitAt(7));
        } else {
            show("picClockHour1", digitAt(1));
            show("picClockHour2", digitAt(2));
            show("picClockMin1", digitAt(4));
            show("picClockMin2", digitAt(5));
            show("picClockSec1", digitAt(7));
            show("picClockSec2", digitAt(8));
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Random row pick

int frmMain::RandomNumber(int n)
{
    return trapResult("B-332", 0, [&] {
        // One generator for the run, seeded once; reseeding from the clock before every draw
        // would repeat the same number within one clock tick.
        static std::mt19937 generator{std::random_device{}()};
        if (n <= 0)
            return 0;
        std::uniform_int_distribution<int> pick(0, n);
        return pick(generator);
    });
}
