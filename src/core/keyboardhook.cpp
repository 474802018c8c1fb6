#include "core/keyboardhook.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "platform/hotkeys/globalhotkeys.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QItemSelectionModel>
#include <QTreeView>

namespace {

// Columns of a song list view: 0 is the row number, column k shows the row's cell k - 1.
constexpr int TitleColumn = 1;
constexpr int FilenameColumn = 5;

constexpr double KnobStep = 15;
constexpr double KnobMin = 0;
constexpr double KnobMax = 1865;
constexpr double KnobCentre = 945;

int virtualKey(hotkeys::Key k)
{
    switch (k) {
    case hotkeys::Key::Left: return vb::key::Left;
    case hotkeys::Key::Right: return vb::key::Right;
    case hotkeys::Key::Down: return vb::key::Down;
    case hotkeys::Key::E: return vb::key::letter('E');
    }
    return 0;
}

bool shown(const QWidget* form, const char* name) { return !ctl<QWidget>(form, name)->isHidden(); }

int rowCount(const QTreeView* list) { return list->model() ? list->model()->rowCount() : 0; }

} // namespace

KeyboardHook::KeyboardHook(QWidget* form, QObject* parent)
    : QObject(parent), form_(form), keys_(new hotkeys::GlobalHotkeys(this))
{
    keys_->onKey = [this](const hotkeys::KeyEvent& e) { KBDhookProc(virtualKey(e.key), e.released, e.controlDown); };
    keys_->onLost = [this] {
        HookInstalled = false;
        qWarning("keyboard hook: the connection to the X server was lost; the hotkeys are off");
    };
}

KeyboardHook::~KeyboardHook() = default;

void KeyboardHook::InstallKeyboardHook()
{
    if (keys_->running()) {
        HookInstalled = true;
        return;
    }
    if (installFailed_)
        return;
    QString why;
    if (!keys_->start(displayName, &why)) {
        installFailed_ = true;
        HookInstalled = false;
        qWarning("keyboard hook: %s", qPrintable(why));
        ui::MsgBox(QStringLiteral("Failed to install Keyboard Hook"), vb::mb::OKOnly);
        return;
    }
    HookInstalled = true;
}

void KeyboardHook::RemoveKeyboardHook()
{
    if (HookInstalled)
        keys_->stop();
    HookInstalled = false;
    ++editTicket_;
}

KeyboardHook::Result KeyboardHook::KBDhookProc(int vkCode, bool released, bool controlDown)
{
    // A failure is logged and the event reaches the focused program.
    return trapResult("KBDhookProc", Result::FocusOnly, [&] {
        if (!controlDown)
            return Result::PassOn;
        switch (vkCode) {
        case vb::key::Left:
            stepKnob(-KnobStep, KnobMin);
            return Result::Swallowed;
        case vb::key::Right:
            stepKnob(KnobStep, KnobMax);
            return Result::Swallowed;
        case vb::key::Down:
            if (actions.setKnobLeft)
                actions.setKnobLeft(KnobCentre);
            if (actions.fullVolumes)
                actions.fullVolumes();
            return Result::Swallowed;
        case vb::key::letter('E'):
            // The press does nothing; the release opens the editor.
            if (released && !editorBusy()) {
                const QString path = songToEdit();
                if (!path.isEmpty())
                    queueEdit(path);
            }
            return Result::FocusOnly;
        default:
            return Result::PassOn;
        }
    });
}

void KeyboardHook::stepKnob(double step, double limit)
{
    const double left = actions.knobLeft ? actions.knobLeft() : KnobCentre;
    const bool atLimit = step < 0 ? left <= limit : left >= limit;
    if (atLimit) {
        if (actions.setKnobLeft)
            actions.setKnobLeft(limit);
        return;
    }
    if (actions.setKnobLeft)
        actions.setKnobLeft(left + step);
    if (actions.setCrossfaderVolumes)
        actions.setCrossfaderVolumes();
}

QString KeyboardHook::songToEdit() const
{
    const QWidget* form = form_;
    QString path;
    // The selected song of a list, into path; false when the list has no rows or no row is
    // selected, which ends the choice with nothing to open.
    auto take = [&](const char* name) {
        auto* list = ctl<QTreeView>(form, name);
        const QItemSelectionModel* sm = list->selectionModel();
        const QModelIndexList rows = sm ? sm->selectedRows() : QModelIndexList();
        if (rowCount(list) == 0 || rows.isEmpty())
            return false;
        path = list->model()->index(rows.first().row(), FilenameColumn).data().toString();
        return true;
    };
    // The panels are tested one by one; only one of them is visible at a time.
    if (shown(form, "ViewDJPlaylist")) {
        const char* list = shown(form, "lstDJPlayList") ? "lstDJPlayList"
                           : shown(form, "lstSongBin")  ? "lstSongBin"
                                                        : nullptr;
        if (list && !take(list))
            return {};
    }
    if (shown(form, "ViewFullPlaylist") && !take("lstFullPlaylist"))
        return {};
    if (shown(form, "ViewSearchSongs")) {
        auto* search = ctl<QTreeView>(form, "lstSearch");
        const int n = rowCount(search);
        if (n == 0 || search->model()->index(n - 1, TitleColumn).data().toString() == QLatin1String("No Songs Found!"))
            return {};
        if (!take("lstSearch"))
            return {};
    }
    if (shown(form, "ViewMostPlayed") && !take("lstMostPlayed"))
        return {};
    if (shown(form, "ViewRequests") && !take("lstRequests"))
        return {};
    return path;
}

bool KeyboardHook::editorBusy() const
{
    // The editor is modal: while it, or any other modal window, is open, Ctrl+E opens nothing.
    // Nor while one of our popup menus is open: it waits in a loop of its own for its command,
    // which must not run inside the editor's.
    return editing_ || editQueued_ || QApplication::activeModalWidget() != nullptr
           || QApplication::activePopupWidget() != nullptr;
}

void KeyboardHook::queueEdit(const QString& path)
{
    editQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, path, ticket = editTicket_] {
            editQueued_ = false;
            if (ticket != editTicket_ || editorBusy() || !actions.editSongTag)
                return;
            editing_ = true;
            struct Done {
                bool& flag;
                ~Done() { flag = false; }
            } done{editing_};
            trap("KBDhookProc", [&] { actions.editSongTag(path); });
        },
        Qt::QueuedConnection);
}
