// The chrome of the main window: view switching, the stand-by switch, window dragging by the
// skin, the Exit label and the one key forwarder of the window's controls.
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/windowdrag.h"
#include "platform/ui/keys.h"
#include "platform/ui/vb.h"
#include "shell/frmMain.h"

#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>

namespace {

// Controls that drag the window in stand-by mode, with their MouseDown and MouseUp codes;
// the ten clock pictures have none.
struct DragMember {
    const char* name;
    const char* down;
    const char* up;
};
const DragMember kDragMembers[] = {
    {"Label1", "B-18", "B-19"},
    {"Label14", "B-26", "B-27"},
    {"Label17", "B-30", "B-31"},
    {"Label5", "B-42", "B-43"},
    {"lblPlayerABitrate", "B-66", "B-67"},
    {"lblPlayerABPM", "B-68", "B-69"},
    {"lblPlayerAChannel", "B-70", "B-71"},
    {"lblPlayerAGenre", "B-71", "B-72"},
    {"lblPlayerAOriginal", "B-73", "B-74"},
    {"lblPlayerATimeElapsed", "B-75", "B-76"},
    {"lblPlayerATimeRemaining", "B-77", "B-78"},
    {"lblPlayerATimeTotal", "B-79", "B-80"},
    {"lblPlayerATitle", "B-81", "B-82"},
    {"lblPlayerAYear", "B-83", "B-84"},
    {"lblPlayerBBitrate", "B-85", "B-86"},
    {"lblPlayerBBPM", "B-87", "B-88"},
    {"lblPlayerBChannel", "B-89", "B-90"},
    {"lblPlayerBGenre", "B-92", "B-93"},
    {"lblPlayerBOriginal", "B-94", "B-95"},
    {"lblPlayerBTimeElapsed", "B-96", "B-97"},
    {"lblPlayerBTimeRemaining", "B-98", "B-99"},
    {"lblPlayerBTimeTotal", "B-100", "B-101"},
    {"lblPlayerBTitle", "B-102", "B-103"},
    {"lblPlayerBYear", "B-104", "B-105"},
    {"picASongInfo", "B-166", "B-167"},
    {"picAutoDJOff", "B-169", "B-170"},
    {"picBSongInfo", "B-172", "B-173"},
    {"picPlayerA", "B-210", "B-211"},
    {"picPlayerABeatBottom", "B-214", "B-215"},
    {"picPlayerABeatLeft", "B-217", "B-218"},
    {"picPlayerABeatRight", "B-220", "B-221"},
    {"picPlayerABeatTop", "B-223", "B-224"},
    {"picPlayerB", "B-226", "B-227"},
    {"picPlayerBBeatBottom", "B-230", "B-231"},
    {"picPlayerBBeatLeft", "B-233", "B-234"},
    {"picPlayerBBeatRight", "B-236", "B-237"},
    {"picPlayerBBeatTop", "B-239", "B-240"},
    {"picClock", "picClock_MouseDown", "picClock_MouseUp"},
    {"picClockHour1", "picClockHour1_MouseDown", "picClockHour1_MouseUp"},
    {"picClockHour2", "picClockHour2_MouseDown", "picClockHour2_MouseUp"},
    {"picClockColon1", "picClockColon1_MouseDown", "picClockColon1_MouseUp"},
    {"picClockMin1", "picClockMin1_MouseDown", "picClockMin1_MouseUp"},
    {"picClockMin2", "picClockMin2_MouseDown", "picClockMin2_MouseUp"},
    {"picClockColon2", "picClockColon2_MouseDown", "picClockColon2_MouseUp"},
    {"picClockSec1", "picClockSec1_MouseDown", "picClockSec1_MouseUp"},
    {"picClockSec2", "picClockSec2_MouseDown", "picClockSec2_MouseUp"},
    {"picClockAMPM", "picClockAMPM_MouseDown", "picClockAMPM_MouseUp"},
};

// Controls that hand their keys to GlobalKeyDown / GlobalKeyUp, with the code under which a
// failure of the key-down call is logged.
struct KeyMemberDef {
    const char* name;
    const char* code;
};
const KeyMemberDef kKeyMembers[] = {
    {"cmdAFreqR", "B-5"},
    {"cmdBFreqR", "B-7"},
    {"DirBox", "B-12"},
    {"FileBox", "B-13"},
    {"picAll", "B-164"},
    {"picASongInfo", "B-165"},
    {"picAutoDJOff", "B-168"},
    {"picBSongInfo", "B-171"},
    {"picClock", "B-174"},
    {"picDJPlaylistAddA", "B-176"},
    {"picDJPlaylistAddB", "B-178"},
    {"picDJPlaylistDown", "B-180"},
    {"picDJPlaylistMenu", "B-181"},
    {"picDJPlaylistUp", "B-184"},
    {"picDJPlaySongBin", "B-185"},
    {"picFullPlaylist", "B-186"},
    {"picFullPlaylistAddA", "B-188"},
    {"picFullPlaylistAddB", "B-190"},
    {"picFullQInDJPlaylist", "B-192"},
    {"picMain", "B-193"},
    {"picMessages", "B-195"},
    {"picMostPlayed", "B-196"},
    {"picMostPlayedAddToPlayerA", "B-198"},
    {"picMostPlayedAddToPlayerB", "B-200"},
    {"picMostPlayedMenu", "B-201"},
    {"picMostPlayedQInDJList", "B-202"},
    {"picPlayerA", "B-209"},
    {"picPlayerABeatBottom", "B-213"},
    {"picPlayerABeatLeft", "B-216"},
    {"picPlayerABeatRight", "B-219"},
    {"picPlayerABeatTop", "B-222"},
    {"picPlayerB", "B-225"},
    {"picPlayerBBeatBottom", "B-229"},
    {"picPlayerBBeatLeft", "B-232"},
    {"picPlayerBBeatRight", "B-235"},
    {"picPlayerBBeatTop", "B-238"},
    // The clock's pictures.
    {"picClockHour1", "picClockHour1_KeyDown"},
    {"picClockHour2", "picClockHour2_KeyDown"},
    {"picClockColon1", "picClockColon1_KeyDown"},
    {"picClockMin1", "picClockMin1_KeyDown"},
    {"picClockMin2", "picClockMin2_KeyDown"},
    {"picClockColon2", "picClockColon2_KeyDown"},
    {"picClockSec1", "picClockSec1_KeyDown"},
    {"picClockSec2", "picClockSec2_KeyDown"},
    {"picClockAMPM", "picClockAMPM_KeyDown"},
    // The song area, the transport, the crossfader and the remaining list buttons.
    {"ViewPlaySongs", "ViewPlaySongs_KeyDown"},
    {"ViewFullPlaylist", "ViewFullPlaylist_KeyDown"},
    {"ViewDJPlaylist", "ViewDJPlaylist_KeyDown"},
    {"ViewMostPlayed", "ViewMostPlayed_KeyDown"},
    {"ViewRequests", "ViewRequests_KeyDown"},
    {"ViewSearchSongs", "ViewSearchSongs_KeyDown"},
    {"picPlayPlayerAPause", "picPlayPlayerAPause_KeyDown"},
    {"picPlayPlayerBPause", "picPlayPlayerBPause_KeyDown"},
    {"picStopPlayerA", "picStopPlayerA_KeyDown"},
    {"picStopPlayerB", "picStopPlayerB_KeyDown"},
    {"picSlider", "picSlider_KeyDown"},
    {"picSliderBack", "picSliderBack_KeyDown"},
    {"picRequests", "picRequests_KeyDown"},
    {"picSearchSongs", "picSearchSongs_KeyDown"},
    {"picSearchPlaylistAddA", "picSearchPlaylistAddA_KeyDown"},
    {"picSearchPlaylistAddB", "picSearchPlaylistAddB_KeyDown"},
    {"picQInDJPlaylistSearch", "picQInDJPlaylistSearch_KeyDown"},
    {"picSearchMenu", "picSearchMenu_KeyDown"},
    {"picRequestsQInDJList", "picRequestsQInDJList_KeyDown"},
    {"Picture10", "Picture10_KeyDown"},
    {"Picture11", "Picture11_KeyDown"},
    {"Picture12", "Picture12_KeyDown"},
    {"Picture13", "Picture13_KeyDown"},
    // Controls with keys of their own: the forwarder calls the global procedures first, then
    // the handler their subsystem adds with onKeyDown / onKeyUp.
    {"lstFullPlaylist", "lstFullPlaylist_KeyDown"},
    {"lstDJPlayList", "lstDJPlayList_KeyDown"},
    {"lstSongBin", "lstSongBin_KeyDown"},
    {"lstMostPlayed", "lstMostPlayed_KeyDown"},
    {"lstSearch", "lstSearch_KeyDown"},
    {"lstRequests", "lstRequests_KeyDown"},
    {"sldAFreq", "sldAFreq_KeyDown"},
    {"sldBFreq", "sldBFreq_KeyDown"},
};

} // namespace

void frmMain::wireChrome()
{
    // --- dragging the window by its skin, in stand-by mode only
    for (const DragMember& m : kDragMembers) {
        auto* c = ctl<SkinControl>(this, m.name);
        const char* down = m.down;
        const char* up = m.up;
        connect(c, &SkinControl::MouseDown, this, [this, down](int, int, double x, double y) {
            trap(down, [&] {
                if (StandbyMode)
                    DragForm(x, y, this);
            });
        });
        connect(c, &SkinControl::MouseUp, this, [up](int, int, double, double) { trap(up, [] { DragOn = 0; }); });
    }

    // --- the view buttons: pressed look while the mouse button is held, switch on click
    struct ViewLabel {
        const char *label, *pic, *down, *up;
        void (frmMain::*click)();
    };
    const ViewLabel views[] = {
        {"lblViewDJPlaylist", "picDJPlaySongBin", "B-121", "B-122", &frmMain::lblViewDJPlaylist_Click},
        {"lblFullPlaylistClick", "picFullPlaylist", "B-52", "B-53", &frmMain::lblFullPlaylistClick_Click},
        {"lblSearchSongsClick", "picSearchSongs", "B-113", "B-114", &frmMain::lblSearchSongsClick_Click},
        {"lblMostPlayedClick", "picMostPlayed", "B-55", "B-56", &frmMain::lblMostPlayedClick_Click},
        {"lblRequestsClick", "picRequests", "B-110", "B-111", &frmMain::lblRequestsClick_Click},
        {"lblNumRequestSongs", "picRequests", "lblNumRequestSongs_MouseDown", "lblNumRequestSongs_MouseUp",
         &frmMain::lblNumRequestSongs_Click},
    };
    for (const ViewLabel& v : views) {
        auto* l = ctl<SkinControl>(this, v.label);
        const char* pic = v.pic;
        const char* down = v.down;
        const char* up = v.up;
        connect(l, &SkinControl::MouseDown, this,
                [this, pic, down](int, int, double, double) { trap(down, [&] { setViewButton(pic, 2); }); });
        connect(l, &SkinControl::MouseUp, this,
                [this, pic, up](int, int, double, double) { trap(up, [&] { setViewButton(pic, 1); }); });
        connect(l, &SkinControl::Click, this, v.click);
    }

    // --- the two tabs of the DJ Playlist view
    auto* djTab = ctl<SkinControl>(this, "lblDJPlaylistClick");
    auto* binTab = ctl<SkinControl>(this, "lblSongBinClick");
    connect(djTab, &SkinControl::MouseDown, this, [this](int, int, double, double) {
        trap("B-46", [&] {
            auto* dj = ctl<QTreeView>(this, "lstDJPlayList");
            if (dj->isHidden()) {
                dj->show();
                ctl<QTreeView>(this, "lstSongBin")->hide();
                dj->setFocus(Qt::OtherFocusReason);
            }
        });
    });
    connect(djTab, &SkinControl::MouseUp, this, [this](int, int, double, double) {
        trap("B-47", [&] {
            ctl<QTreeView>(this, "lstDJPlayList")->show();
            ctl<QTreeView>(this, "lstSongBin")->hide();
        });
    });
    connect(binTab, &SkinControl::MouseDown, this, [this](int, int, double, double) {
        trap("B-115", [&] {
            auto* bin = ctl<QTreeView>(this, "lstSongBin");
            if (bin->isHidden()) {
                ctl<QTreeView>(this, "lstDJPlayList")->hide();
                bin->show();
                bin->setFocus(Qt::OtherFocusReason);
            }
        });
    });
    connect(binTab, &SkinControl::MouseUp, this, [this](int, int, double, double) {
        trap("B-116", [&] {
            ctl<QTreeView>(this, "lstDJPlayList")->hide();
            ctl<QTreeView>(this, "lstSongBin")->show();
        });
    });

    connect(ctl<QPushButton>(this, "cmdCloseKeyMap"), &QPushButton::clicked, this, &frmMain::cmdCloseKeyMap_Click);

    // --- stand-by and exit
    auto* stby = ctl<SkinControl>(this, "lblStbyClick");
    connect(stby, &SkinControl::MouseDown, this, [this](int, int, double, double) { lblStbyClick_MouseDown(); });
    connect(stby, &SkinControl::MouseUp, this, [this](int, int, double, double) { lblStbyClick_MouseUp(); });
    auto* exitLabel = ctl<SkinControl>(this, "lblExitClick");
    connect(exitLabel, &SkinControl::MouseDown, this, [this](int, int, double, double) {
        trap("B-49", [&] { ctl<SkinControl>(this, "lblExitClick")->setBackColor(vb::White); });
    });
    connect(exitLabel, &SkinControl::MouseUp, this, [this](int, int, double, double) {
        trap("B-50", [&] { CloseAll(); });
    });

    // --- keys
    forwardKeys(this, "B-14");
    for (const KeyMemberDef& k : kKeyMembers)
        forwardKeys(ctl<QWidget>(this, k.name), k.code);
    forwardKeys(ctl<QLineEdit>(this, "txtSearch"), "txtSearch_KeyDown", true);
}

void frmMain::setViewButton(const char* pic, int image)
{
    ctl<SkinControl>(this, pic)->setPicture(imgBigButtons.ListImage(image));
}

// ---------------------------------------------------------------------------------------------
// Views

void frmMain::lblFullPlaylistClick_Click()
{
    trap("B-51", [&] {
        auto* view = ctl<QWidget>(this, "ViewFullPlaylist");
        if (!view->isHidden())
            return;
        view->show();
        for (const char* other : {"ViewRequests", "ViewSearchSongs", "ViewMostPlayed", "ViewDJPlaylist"})
            ctl<QWidget>(this, other)->hide();
        auto* list = ctl<QTreeView>(this, "lstFullPlaylist");
        if (!list->isHidden())
            list->setFocus(Qt::OtherFocusReason);
    });
}

void frmMain::lblViewDJPlaylist_Click()
{
    trap("B-120", [&] {
        auto* view = ctl<QWidget>(this, "ViewDJPlaylist");
        if (!view->isHidden())
            return;
        view->show();
        for (const char* other : {"ViewRequests", "ViewSearchSongs", "ViewMostPlayed", "ViewFullPlaylist"})
            ctl<QWidget>(this, other)->hide();
        auto* dj = ctl<QTreeView>(this, "lstDJPlayList");
        if (!dj->isHidden())
            dj->setFocus(Qt::OtherFocusReason);
        auto* bin = ctl<QTreeView>(this, "lstSongBin");
        if (!bin->isHidden())
            bin->setFocus(Qt::OtherFocusReason);
    });
}

void frmMain::lblMostPlayedClick_Click()
{
    trap("B-54", [&] {
        auto* view = ctl<QWidget>(this, "ViewMostPlayed");
        if (!view->isHidden())
            return;
        view->show();
        for (const char* other : {"ViewFullPlaylist", "ViewRequests", "ViewSearchSongs", "ViewDJPlaylist"})
            ctl<QWidget>(this, other)->hide();
        ctl<QTreeView>(this, "lstMostPlayed")->setFocus(Qt::OtherFocusReason);
    });
}

void frmMain::lblRequestsClick_Click()
{
    trap("B-109", [&] {
        auto* view = ctl<QWidget>(this, "ViewRequests");
        if (!view->isHidden())
            return;
        view->show();
        for (const char* other : {"ViewSearchSongs", "ViewMostPlayed", "ViewFullPlaylist", "ViewDJPlaylist"})
            ctl<QWidget>(this, other)->hide();
        ctl<QTreeView>(this, "lstRequests")->setFocus(Qt::OtherFocusReason);
    });
}

void frmMain::lblNumRequestSongs_Click()
{
    // Exactly as the Requests label; this label has no trap of its own, so the Requests
    // label's code stands for both.
    lblRequestsClick_Click();
}

void frmMain::lblSearchSongsClick_Click()
{
    trap("B-112", [&] {
        auto* view = ctl<QWidget>(this, "ViewSearchSongs");
        if (!view->isHidden())
            return;
        view->show();
        auto* txt = ctl<QLineEdit>(this, "txtSearch");
        txt->setFocus(Qt::OtherFocusReason);
        // Home, then Shift+End: the whole search text is selected, so typing replaces it.
        txt->home(false);
        txt->end(true);
        for (const char* other : {"ViewDJPlaylist", "ViewMostPlayed", "ViewFullPlaylist", "ViewRequests"})
            ctl<QWidget>(this, other)->hide();
    });
}

void frmMain::cmdCloseKeyMap_Click()
{
    trap("cmdCloseKeyMap_Click", [&] {
        auto* keyMap = ctl<QPlainTextEdit>(this, "txtKeyMap");
        if (keyMap->isHidden())
            return;
        keyMap->hide();
        ctl<QPushButton>(this, "cmdCloseKeyMap")->hide();
    });
}

// ---------------------------------------------------------------------------------------------
// Stand-by

void frmMain::lblStbyClick_MouseDown()
{
    trap("B-117", [&] {
        ctl<SkinControl>(this, "lblStbyClick")->setBackColor(StandbyMode ? vb::LightGrey : vb::White);
    });
}

void frmMain::lblStbyClick_MouseUp()
{
    trap("B-118", [&] {
        if (!StandbyMode) {
            // First, so that the resize events of the next steps leave the window alone.
            StandbyMode = true;
            setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen));
            // The normal width, the height of the deck strip, at the strip's own place: the
            // top left corner at first, where it was left after a drag later on.
            resize(vb::px(15360), ctl<QWidget>(this, "picPlayerA")->height());
            move(standbyPos_);
            ctl<QWidget>(this, "picAll")->move(0, 0);
            CenterForm(this);
        } else {
            StandbyMode = false;
            standbyPos_ = pos();
            showMaximizedOnScreen();
        }
    });
}

void frmMain::CenterForm(QWidget* frm)
{
    trap("B-335", [&] {
        if (!frm || x() != 0 || y() != 0)
            return;
        QRect area = workArea ? workArea() : QRect();
        if (!area.isValid()) {
            QScreen* s = QGuiApplication::primaryScreen();
            area = s ? s->geometry() : QRect(0, 0, frm->width(), frm->height());
        }
        // The work area's right and bottom are the first pixels outside it.
        const int left = area.x(), top = area.y();
        const int right = area.x() + area.width(), bottom = area.y() + area.height();
        frm->move((right - frm->width() + left) / 2, (bottom - frm->height() + top) / 2);
    });
}

// ---------------------------------------------------------------------------------------------
// Keys

void frmMain::forwardKeys(QWidget* w, const char* location, bool searchBox)
{
    if (!w)
        return;
    auto it = keyMembers_.find(w);
    if (it == keyMembers_.end()) {
        keyMembers_.insert(w, KeyMember{location, searchBox, {}, {}});
        w->installEventFilter(this);
    } else {
        it->location = location;
        it->searchBox = searchBox;
    }
}

void frmMain::onKeyDown(QWidget* w, KeyHandler h)
{
    auto it = keyMembers_.find(w);
    if (it != keyMembers_.end())
        it->down = std::move(h);
}

void frmMain::onKeyUp(QWidget* w, KeyHandler h)
{
    auto it = keyMembers_.find(w);
    if (it != keyMembers_.end())
        it->up = std::move(h);
}

bool frmMain::eventFilter(QObject* o, QEvent* e)
{
    if (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease) {
        auto* w = qobject_cast<QWidget*>(o);
        if (w && keyMembers_.contains(w))
            return handleKey(w, static_cast<QKeyEvent*>(e), e->type() == QEvent::KeyPress);
    }
    return QWidget::eventFilter(o, e);
}

bool frmMain::handleKey(QWidget* w, QKeyEvent* e, bool down)
{
    // A key goes to the one control that holds the focus, or to the window itself when none
    // does. An event that a control passes on to its parent was already forwarded there.
    QWidget* focus = QApplication::focusWidget();
    if (w == this) {
        if (focus && focus != this)
            return false;
    } else if (focus != w) {
        return false;
    }
    const KeyMember member = keyMembers_.value(w);
    const int original = virtualKeyCode(e);
    int keyCode = original;
    if (down) {
        if (pendingUp_.pending) {
            if (pendingUp_.keyCode == original) {
                // The release just before was the key repeating, not being let go.
                pendingUp_.pending = false;
                pendingUpTimer_.stop();
            } else {
                flushKeyUp();
            }
        }
        const int shift = member.searchBox ? 1 : 0;
        trap(member.location, [&] { GlobalKeyDown(keyCode, shift); });
        emit keyDownForwarded(w, original, shift);
        if (member.down)
            member.down(keyCode, shift);
    } else {
        // A held key's auto-repeat releases are not real releases: the key is let go once.
        if (e->isAutoRepeat())
            return false;
        // A repeat the platform did not mark shows itself by a press of the same key right
        // after the release; the release is handed on once that has had time to arrive.
        flushKeyUp();
        pendingUp_ = PendingUp{true, QPointer<QWidget>(w), original, shiftState(e)};
        pendingUpTimer_.start();
    }
    // A handler that sets the code to 0 has used the key up.
    return original != 0 && keyCode == 0;
}

void frmMain::flushKeyUp()
{
    pendingUpTimer_.stop();
    if (!pendingUp_.pending)
        return;
    PendingUp up = pendingUp_;
    pendingUp_.pending = false;
    int keyCode = up.keyCode;
    const KeyMember member = up.from ? keyMembers_.value(up.from) : KeyMember{"GlobalKeyUp", false, {}, {}};
    trap(member.location, [&] { GlobalKeyUp(keyCode); });
    emit keyUpForwarded(up.from, up.keyCode);
    if (member.up && up.from)
        member.up(keyCode, up.shift);
}
