// The hotkeys' rules, fed key events directly: the crossfader keys, and which song Ctrl+E opens.
// The real keys under X are tested by tests/e2e/hotkeys_xvfb.sh.
#include "core/errorlog.h"
#include "core/keyboardhook.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QRegularExpression>
#include <QStandardItemModel>
#include <QTreeView>
#include <gtest/gtest.h>
#include <map>

namespace {

using Result = KeyboardHook::Result;
constexpr int Left = vb::key::Left, Right = vb::key::Right, Down = vb::key::Down, Up = vb::key::Up;
constexpr int E = vb::key::letter('E');

// The main window as far as the hook sees it: the five view panels with their song lists.
struct Form {
    QWidget window;
    std::map<QString, QTreeView*> lists;

    Form()
    {
        auto panel = [&](const char* name) {
            auto* p = new QWidget(&window);
            p->setObjectName(QLatin1String(name));
            p->hide();
            return p;
        };
        auto list = [&](QWidget* panel, const char* name) {
            auto* v = new QTreeView(panel);
            v->setObjectName(QLatin1String(name));
            v->setSelectionBehavior(QAbstractItemView::SelectRows);
            v->setModel(new QStandardItemModel(0, 6, v));
            lists[QLatin1String(name)] = v;
        };
        QWidget* dj = panel("ViewDJPlaylist");
        list(dj, "lstDJPlayList");
        list(dj, "lstSongBin");
        list(panel("ViewFullPlaylist"), "lstFullPlaylist");
        list(panel("ViewSearchSongs"), "lstSearch");
        list(panel("ViewMostPlayed"), "lstMostPlayed");
        list(panel("ViewRequests"), "lstRequests");
    }

    void showOnly(const char* panel)
    {
        for (QWidget* p : window.findChildren<QWidget*>(QRegularExpression(QStringLiteral("^View"))))
            p->setHidden(p->objectName() != QLatin1String(panel));
    }

    // Rows titled "<list> n" with the file "/songs/<list>/n.mp3"; row `selected` (1-based, 0 for
    // none) selected.
    void fill(const char* name, int rows, int selected, const QString& title = {})
    {
        QTreeView* v = lists.at(QLatin1String(name));
        auto* m = static_cast<QStandardItemModel*>(v->model());
        m->removeRows(0, m->rowCount());
        for (int i = 1; i <= rows; ++i)
            m->appendRow({new QStandardItem(QString::number(i)),
                          new QStandardItem(title.isEmpty() ? QStringLiteral("%1 %2").arg(QLatin1String(name)).arg(i) : title),
                          new QStandardItem(QStringLiteral("Artist")), new QStandardItem(QStringLiteral("3:00")),
                          new QStandardItem(QStringLiteral("Dance")),
                          new QStandardItem(QStringLiteral("/songs/%1/%2.mp3").arg(QLatin1String(name)).arg(i))});
        v->selectionModel()->clearSelection();
        if (selected > 0)
            v->selectionModel()->select(m->index(selected - 1, 0),
                                        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
};

class KeyboardHookTest : public ::testing::Test {
protected:
    Form form;
    KeyboardHook hook{&form.window};
    double knob = 945;
    QStringList calls; // "law", "full", "edit <path>"

    void SetUp() override
    {
        ErrorTrapOn = true;
        hook.actions.knobLeft = [this] { return knob; };
        hook.actions.setKnobLeft = [this](double left) { knob = left; };
        hook.actions.setCrossfaderVolumes = [this] { calls << QStringLiteral("law"); };
        hook.actions.fullVolumes = [this] { calls << QStringLiteral("full"); };
        hook.actions.editSongTag = [this](const QString& path) { calls << QStringLiteral("edit ") + path; };
    }
    void TearDown() override { ErrorTrapOn = false; }

    // The release of Ctrl+E, then the event loop, which opens the editor.
    QStringList ctrlE()
    {
        calls.clear();
        EXPECT_EQ(hook.KBDhookProc(E, true, true), Result::FocusOnly);
        EXPECT_TRUE(calls.isEmpty()) << "the editor opened inside the key event";
        QApplication::processEvents();
        return calls;
    }
};

} // namespace

TEST_F(KeyboardHookTest, CrossfaderKeysStepWithinTheirLimits)
{
    struct Row {
        double from;
        int vk;
        bool released, control;
        double to;
        QStringList calls;
        Result result;
    };
    const QStringList law{"law"}, none;
    const Row rows[] = {
        // A tap is two events: press and release each move 15 twips.
        {945, Left, false, true, 930, law, Result::Swallowed},
        {930, Left, true, true, 915, law, Result::Swallowed},
        {945, Right, false, true, 960, law, Result::Swallowed},
        // At the left end the knob stays and the key is still taken.
        {0, Left, false, true, 0, none, Result::Swallowed},
        // Between two steps: past the limit once with the law, then the limit without it.
        {10, Left, false, true, -5, law, Result::Swallowed},
        {-5, Left, true, true, 0, none, Result::Swallowed},
        {1860, Right, false, true, 1875, law, Result::Swallowed},
        {1875, Right, true, true, 1865, none, Result::Swallowed},
        {1865, Right, false, true, 1865, none, Result::Swallowed},
        // A mouse drag can take the knob to 1890; one Ctrl+Right sets the hotkeys' limit.
        {1890, Right, false, true, 1865, none, Result::Swallowed},
        // Ctrl+Down centres and puts both decks at full volume, without the law.
        {300, Down, false, true, 945, {"full"}, Result::Swallowed},
        {1890, Down, true, true, 945, {"full"}, Result::Swallowed},
        // Anything else goes on untouched.
        {945, Left, false, false, 945, none, Result::PassOn},
        {945, Right, true, false, 945, none, Result::PassOn},
        {945, Down, false, false, 945, none, Result::PassOn},
        {945, Up, false, true, 945, none, Result::PassOn},
        {945, E, true, false, 945, none, Result::PassOn},
        // The press of Ctrl+E opens nothing but is the focused program's.
        {945, E, false, true, 945, none, Result::FocusOnly},
    };
    form.showOnly("ViewFullPlaylist");
    form.fill("lstFullPlaylist", 3, 1);
    for (const Row& r : rows) {
        knob = r.from;
        calls.clear();
        const Result result = hook.KBDhookProc(r.vk, r.released, r.control);
        QApplication::processEvents();
        const std::string what = "key " + std::to_string(r.vk) + (r.released ? " up" : " down") +
                                 (r.control ? " with Ctrl" : "") + " from " + std::to_string(r.from);
        EXPECT_EQ(knob, r.to) << what;
        EXPECT_EQ(calls, r.calls) << what;
        EXPECT_EQ(result, r.result) << what;
    }
}

TEST_F(KeyboardHookTest, CtrlEOpensTheSelectedSongOfTheVisibleList)
{
    form.fill("lstFullPlaylist", 3, 2);
    form.fill("lstDJPlayList", 2, 1);
    form.fill("lstSongBin", 4, 4);
    form.fill("lstMostPlayed", 2, 2);
    form.fill("lstRequests", 1, 1);
    form.fill("lstSearch", 2, 1);
    auto dj = form.lists.at("lstDJPlayList");
    auto bin = form.lists.at("lstSongBin");

    struct Case {
        const char* what;
        std::function<void()> arrange;
        QString opens; // empty: nothing
    };
    const Case cases[] = {
        {"Full Playlist", [&] { form.showOnly("ViewFullPlaylist"); }, "/songs/lstFullPlaylist/2.mp3"},
        {"DJ Playlist", [&] { form.showOnly("ViewDJPlaylist"); bin->hide(); }, "/songs/lstDJPlayList/1.mp3"},
        {"Song Bin", [&] { dj->hide(); bin->show(); }, "/songs/lstSongBin/4.mp3"},
        {"DJ panel showing neither list", [&] { bin->hide(); }, {}},
        {"Most Played", [&] { form.showOnly("ViewMostPlayed"); }, "/songs/lstMostPlayed/2.mp3"},
        {"Requests", [&] { form.showOnly("ViewRequests"); }, "/songs/lstRequests/1.mp3"},
        {"Search", [&] { form.showOnly("ViewSearchSongs"); }, "/songs/lstSearch/1.mp3"},
        {"Search placeholder", [&] { form.fill("lstSearch", 1, 1, QStringLiteral("No Songs Found!")); }, {}},
        {"empty Search", [&] { form.fill("lstSearch", 0, 0); }, {}},
        {"empty list", [&] { form.showOnly("ViewMostPlayed"); form.fill("lstMostPlayed", 0, 0); }, {}},
        // Neither a list without a selection nor a view without a list opens the last song again.
        {"Full Playlist again", [&] { form.showOnly("ViewFullPlaylist"); }, "/songs/lstFullPlaylist/2.mp3"},
        {"no row selected", [&] { form.fill("lstFullPlaylist", 3, 0); }, {}},
        {"no list panel", [&] { form.showOnly("none"); }, {}},
    };
    for (const Case& c : cases) {
        c.arrange();
        const QStringList expected = c.opens.isEmpty() ? QStringList() : QStringList{QStringLiteral("edit ") + c.opens};
        EXPECT_EQ(ctrlE(), expected) << c.what;
    }
}

TEST_F(KeyboardHookTest, CtrlEOpensOneEditorAtATime)
{
    form.showOnly("ViewFullPlaylist");
    form.fill("lstFullPlaylist", 2, 1);

    // Two releases before the event loop runs: one editor.
    calls.clear();
    hook.KBDhookProc(E, true, true);
    hook.KBDhookProc(E, true, true);
    QApplication::processEvents();
    EXPECT_EQ(calls, QStringList{"edit /songs/lstFullPlaylist/1.mp3"});

    // Ctrl+E in the open editor (its modal loop runs events) opens no second one; the
    // crossfader keys still work there.
    hook.actions.editSongTag = [this](const QString& path) {
        calls << QStringLiteral("edit ") + path;
        hook.KBDhookProc(E, true, true);
        hook.KBDhookProc(Right, false, true);
        QApplication::processEvents();
    };
    knob = 945;
    EXPECT_EQ(ctrlE(), (QStringList{"edit /songs/lstFullPlaylist/1.mp3", "law"}));
    EXPECT_EQ(knob, 960);

    // Nor while another modal window waits for an answer.
    QDialog box(&form.window);
    box.setModal(true);
    box.show();
    EXPECT_EQ(ctrlE(), QStringList());
    box.hide();
    // Nor while a popup menu is open.
    QMenu menu(&form.window);
    menu.addAction(QStringLiteral("Edit MP3 Tag"));
    menu.popup(QPoint(10, 10));
    ASSERT_TRUE(QApplication::activePopupWidget());
    EXPECT_EQ(ctrlE(), QStringList());
    menu.close();
    EXPECT_EQ(ctrlE().value(0), QStringLiteral("edit /songs/lstFullPlaylist/1.mp3"));

    // An editor still queued when the hook is removed does not open.
    calls.clear();
    hook.KBDhookProc(E, true, true);
    hook.RemoveKeyboardHook();
    QApplication::processEvents();
    EXPECT_EQ(calls, QStringList());
}

TEST(KeyboardHookInstall, WithoutAnXDisplayTheProgramRunsWithoutHotkeysAfterOneMessage)
{
    ui::ScriptedDialogs dialogs;
    ui::setDialogs(&dialogs);
    QWidget form;
    KeyboardHook hook(&form);
    hook.displayName = QStringLiteral(":65000"); // no such display
    hook.InstallKeyboardHook();
    EXPECT_FALSE(hook.HookInstalled);
    hook.InstallKeyboardHook(); // not tried again, not told again
    hook.RemoveKeyboardHook();
    EXPECT_FALSE(hook.HookInstalled);
    ui::setDialogs(nullptr);
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, "Failed to install Keyboard Hook");
    EXPECT_EQ(dialogs.shown[0].flags, vb::mb::OKOnly);
    EXPECT_EQ(dialogs.shown[0].title, ui::programName());
}
