// The main window's controls, its views and its key forwarding.
#include "mainwindow_fixture.h"

#include "platform/ui/skin.h"
#include "platform/ui/vb.h"

#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QTimer>
#include <QTreeView>

namespace {

const char* const kPictures[] = {
    "picAll", "picMain", "picMessages", "picPlayerA", "picPlayerB", "picASongInfo", "picBSongInfo",
    "picPlayPlayerAPause", "picPlayPlayerBPause", "picStopPlayerA", "picStopPlayerB", "picPlayerABeatTop",
    "picPlayerABeatRight", "picPlayerABeatBottom", "picPlayerABeatLeft", "picPlayerBBeatTop", "picPlayerBBeatRight",
    "picPlayerBBeatBottom", "picPlayerBBeatLeft", "picSlider", "picSliderBack", "picAutoDJOff", "picClock",
    "picClockHour1", "picClockHour2", "picClockColon1", "picClockMin1", "picClockMin2", "picClockColon2",
    "picClockSec1", "picClockSec2", "picClockAMPM", "picSpectrum", "picSpectrum2", "picFullPlaylist",
    "picMostPlayed", "picRequests", "picSearchSongs", "picDJPlaySongBin", "picFullPlaylistAddA",
    "picFullPlaylistAddB", "picFullQInDJPlaylist", "picDJPlaylistAddA", "picDJPlaylistAddB", "picDJPlaylistUp",
    "picDJPlaylistDown", "picDJPlaylistMenu", "picMostPlayedAddToPlayerA", "picMostPlayedAddToPlayerB",
    "picMostPlayedQInDJList", "picMostPlayedMenu", "picSearchPlaylistAddA", "picSearchPlaylistAddB",
    "picQInDJPlaylistSearch", "picSearchMenu", "picRequestsQInDJList", "Picture10", "Picture11", "Picture12",
    "Picture13", "ViewPlaySongs", "ViewFullPlaylist", "ViewDJPlaylist", "ViewMostPlayed", "ViewRequests",
    "ViewSearchSongs"};

struct Caption {
    const char* name;
    const char* text;
};
const Caption kLabels[] = {
    {"lblPlayerATitle", "Waiting for Song Cue..."},
    {"lblPlayerBTitle", "Waiting for Song Cue..."},
    {"lblPlayerABitrate", "----------------------------"},
    {"lblPlayerAGenre", "----------------------------"},
    {"lblPlayerAYear", "----------------------------"},
    {"lblPlayerAChannel", "----------------------------"},
    {"lblPlayerAOriginal", "----------------------------"},
    {"lblPlayerBBitrate", "----------------------------"},
    {"lblPlayerBGenre", "----------------------------"},
    {"lblPlayerBYear", "----------------------------"},
    {"lblPlayerBChannel", "----------------------------"},
    {"lblPlayerBOriginal", "----------------------------"},
    {"lblPlayerATimeTotal", "0:00"},
    {"lblPlayerBTimeTotal", "0:00"},
    {"lblPlayerATimeElapsed", "0:00"},
    {"lblPlayerBTimeElapsed", "0:00"},
    {"lblPlayerATimeRemaining", "- 0:00"},
    {"lblPlayerBTimeRemaining", "- 0:00"},
    {"lblEditPlayerAClick", "Edit"},
    {"lblPlayerBEditClick", "Edit"},
    {"Label1", "BPM"},
    {"Label5", "BPM"},
    {"Label14", ":Song Info:"},
    {"Label17", ":Song Info:"},
    {"lblPlayerABPM", nullptr},
    {"lblPlayerBBPM", nullptr},
    {"lblMessages", "Messages Will Appear Here"},
    {"lblErrors", nullptr},
    {"lblExitClick", "Exit"},
    {"lblStbyClick", "Stby"},
    {"lblTurnAutoDJOffClick", nullptr},
    {"lblViewDJPlaylist", "&DJ Playlist"},
    {"lblFullPlaylistClick", "&Full Playlist"},
    {"lblSearchSongsClick", "&Search Songs"},
    {"lblMostPlayedClick", "&Most Played"},
    {"lblRequestsClick", "&Requests       "},
    {"lblNumDJPlaylist", "0"},
    {"lblNumFullPlaylist", "0"},
    {"lblNumMostPlayed", "0"},
    {"lblNumRequestSongs", "0"},
    {"lblDJPlaylistClick", "&DJ Playlist - 0"},
    {"lblSongBinClick", "&Song Bin - 0"},
    {"lblFullPlaylistNumSongs", "0 Songs"},
    {"lblRefreshFullWait", "Please Wait..."},
    {"lblSortMostPlayedWait", "Sorting... Please Wait..."},
};

const char* const kLists[] = {"lstFullPlaylist", "lstDJPlayList", "lstSongBin", "lstMostPlayed",
                              "lstSortMostPlayed", "lstSearch", "lstRequests"};

const char* const kViews[] = {"ViewFullPlaylist", "ViewDJPlaylist", "ViewMostPlayed", "ViewRequests",
                              "ViewSearchSongs"};

QRect twips(int l, int t, int w, int h) { return QRect(vb::px(l), vb::px(t), vb::px(w), vb::px(h)); }

} // namespace

TEST_F(MainWindowTest, EveryControlExistsOnceWithItsTypeAndCaption)
{
    for (const char* name : kPictures) {
        SCOPED_TRACE(name);
        EXPECT_EQ(w->findChildren<QWidget*>(QLatin1String(name)).size(), 1);
        EXPECT_EQ(c<SkinControl>(name)->kind(), SkinControl::Picture);
    }
    for (const Caption& l : kLabels) {
        SCOPED_TRACE(l.name);
        EXPECT_EQ(w->findChildren<QWidget*>(QLatin1String(l.name)).size(), 1);
        auto* label = c<SkinControl>(l.name);
        EXPECT_EQ(label->kind(), SkinControl::Label);
        if (l.text) {
            EXPECT_EQ(label->text(), QLatin1String(l.text));
        }
    }
    for (const char* name : kLists) {
        SCOPED_TRACE(name);
        EXPECT_EQ(w->findChildren<QTreeView*>(QLatin1String(name)).size(), 1);
    }
    for (const char* name : {"ProgPlayerAElapsed", "ProgPlayerBElapsed"})
        EXPECT_TRUE(c<QProgressBar>(name)->isHidden()) << name; // until the first load
    // One information label per deck shows: the bit rate on deck A, the genre on deck B.
    for (const char* name : {"lblPlayerABitrate", "lblPlayerBGenre"})
        EXPECT_FALSE(c<QWidget>(name)->isHidden()) << name;
    for (const char* name : {"lblPlayerAGenre", "lblPlayerAYear", "lblPlayerAChannel", "lblPlayerAOriginal",
                             "lblPlayerBBitrate", "lblPlayerBYear", "lblPlayerBChannel", "lblPlayerBOriginal"})
        EXPECT_TRUE(c<QWidget>(name)->isHidden()) << name;
    for (const char* name : {"sldAFreq", "sldBFreq"}) {
        auto* s = c<QSlider>(name);
        EXPECT_EQ(s->orientation(), Qt::Vertical);
        EXPECT_EQ(s->minimum(), 33200);
        EXPECT_EQ(s->maximum(), 55000);
        EXPECT_EQ(s->value(), 44100);
        EXPECT_EQ(s->size(), QSize(vb::px(360), vb::px(1755)));
    }
    c<QPushButton>("cmdAFreqR");
    c<QPushButton>("cmdBFreqR");
    EXPECT_EQ(c<QPushButton>("cmdCloseKeyMap")->text(), QStringLiteral("X"));
    EXPECT_TRUE(c<QPlainTextEdit>("txtKeyMap")->isHidden());
    EXPECT_TRUE(c<QPushButton>("cmdCloseKeyMap")->isHidden());
    c<QLineEdit>("txtSearch");
    c<QListWidget>("DirBox");
    c<QListWidget>("FileBox");

    // The skin's picture lists.
    EXPECT_EQ(w->imgClock.Count(), 14);
    for (const ImageList* l : {&w->imgBeatNeutral, &w->imgBeatStep1, &w->imgBeatStep2, &w->imgBeatStep3,
                               &w->imgBeatStep4, &w->imgBeatStep5, &w->imgPlayerControls})
        EXPECT_EQ(l->Count(), 4);
    EXPECT_EQ(w->imgBigButtons.Count(), 2);
    EXPECT_EQ(w->imgAutoDJOn.Count(), 3);
    EXPECT_EQ(w->imgBeatStep5.ListImage(1).size(), c("picPlayerABeatTop")->size());
    EXPECT_EQ(w->imgBeatStep5.ListImage(2).size(), c("picPlayerABeatRight")->size());

    // Colours of the design.
    EXPECT_EQ(c<SkinControl>("lblStbyClick")->backColor(), vb::LightGrey);
    EXPECT_EQ(c<SkinControl>("lblExitClick")->backColor(), vb::LightGrey);
    EXPECT_EQ(c<SkinControl>("lblDJPlaylistClick")->backColor(), 0xC0FFFFu);
    EXPECT_EQ(c<SkinControl>("lblSongBinClick")->backColor(), 0x80FFFFu);
    EXPECT_EQ(c<SkinControl>("lblMessages")->foreColor(), vb::Black);
    EXPECT_EQ(c<SkinControl>("picSlider")->toolTip(), QStringLiteral("Ctrl+Left/Right Arrow, Ctrl+Down Arrow = Center"));
}

TEST_F(MainWindowTest, GeometryOfTheDesignInTwips)
{
    EXPECT_EQ(c("picAll")->size(), QSize(1024, 741));
    EXPECT_EQ(c("picAll")->size(), twips(0, 0, 15360, 11115).size());
    EXPECT_EQ(c("picPlayerA")->height(), vb::px(2475));
    EXPECT_EQ(c("picPlayerB")->height(), vb::px(2475));
    EXPECT_EQ(c("picSliderBack")->geometry(), twips(6660, 1665, 2040, 840));
    EXPECT_EQ(c("picSlider")->geometry(), twips(945, 105, 150, 600));
    EXPECT_EQ(c("picSpectrum")->geometry(), twips(6975, 2220, 1515, 420));
    EXPECT_EQ(c("picSpectrum2")->geometry(), twips(6975, 2685, 1530, 795));

    // The five views share one place; the DJ Playlist and the Song Bin share theirs.
    for (const char* v : kViews) {
        EXPECT_EQ(c(v)->geometry(), c("ViewFullPlaylist")->geometry()) << v;
        EXPECT_EQ(c(v)->parentWidget(), c("ViewPlaySongs")) << v;
    }
    EXPECT_EQ(c("lstDJPlayList")->geometry(), c("lstSongBin")->geometry());
    EXPECT_EQ(c("lstDJPlayList")->parentWidget(), c("ViewDJPlaylist"));
    EXPECT_EQ(c("txtSearch")->parentWidget(), c("ViewSearchSongs"));

    // Nothing visible sticks out of its parent, and visible siblings do not overlap (the
    // beat lamps frame their deck, so they are left out of the overlap test).
    for (QWidget* child : w->findChildren<QWidget*>()) {
        if (child->isHidden() || !child->parentWidget() || child->parentWidget() == w.get())
            continue;
        EXPECT_TRUE(child->parentWidget()->rect().contains(child->geometry())) << child->objectName().toStdString();
    }
    for (QWidget* parent : w->findChildren<QWidget*>()) {
        QList<QWidget*> kids;
        for (QObject* o : parent->children())
            if (auto* k = qobject_cast<QWidget*>(o); k && !k->isHidden() && !k->objectName().contains(QLatin1String("Beat")))
                kids << k;
        for (int i = 0; i < kids.size(); ++i)
            for (int j = i + 1; j < kids.size(); ++j) {
                if (kids[i]->parentWidget()->inherits("QAbstractScrollArea"))
                    continue;
                EXPECT_FALSE(kids[i]->geometry().intersects(kids[j]->geometry()))
                    << kids[i]->objectName().toStdString() << " / " << kids[j]->objectName().toStdString();
            }
    }
}

TEST_F(MainWindowTest, TimersAreCreatedStoppedAndStartWithTheLoad)
{
    struct T {
        const char* name;
        int interval;
    };
    const T timers[] = {{"TimerAutoDJCrossfade", 300}, {"TimerLoadSongA", 10}, {"TimerLoadSongB", 10},
                        {"TimerMessages", 1000},       {"TimerPlayerA", 10},   {"TimerPlayerB", 10},
                        {"TimerReadMP3", 50},          {"TimerSaveLists", 1000}, {"TimerSeek", 50}};
    for (const T& t : timers) {
        auto* timer = w->findChild<QTimer*>(QLatin1String(t.name));
        ASSERT_NE(timer, nullptr) << t.name;
        EXPECT_EQ(timer->interval(), t.interval) << t.name;
        EXPECT_FALSE(timer->isActive()) << t.name;
    }
    w->Form_Load();
    for (const T& t : timers)
        if (QLatin1String(t.name) != QLatin1String("TimerLoadSongA")) {
            EXPECT_TRUE(w->findChild<QTimer*>(QLatin1String(t.name))->isActive()) << t.name;
        }
}

TEST_F(MainWindowTest, KeyMapTextIsExact)
{
    const QString text = frmMain::keyMapText();
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 59); // 58 lines, the last one ended too
    EXPECT_TRUE(lines.last().isEmpty());
    EXPECT_EQ(lines[0], QStringLiteral("Key Maps:"));
    EXPECT_EQ(lines[4], QStringLiteral("F9 + F10: Player A Pitch Return to 0"));
    EXPECT_EQ(lines[10], QStringLiteral("Ctrl+Down Arrow: Crossfade to Centered"));
    EXPECT_EQ(lines[29], QStringLiteral("R: Switch to Requests"));
    EXPECT_EQ(lines[42], QStringLiteral("Num 4: Player A Song to DJ Playlist Selected to Player A"));
    EXPECT_EQ(lines[47], QStringLiteral("Left Arrow when selected on list = New Search"));
    EXPECT_EQ(lines[57], QStringLiteral("Num 3: Load Song to Player B"));
    EXPECT_EQ(lines.count(QStringLiteral("--")), 4);
    EXPECT_EQ(lines.indexOf(QStringLiteral("DJ Playlist:")), 31);
    EXPECT_EQ(lines[30], QStringLiteral("--"));
    EXPECT_EQ(text.count(QLatin1Char('\n')), text.count(QStringLiteral("\r\n")));

    w->Form_Load();
    EXPECT_EQ(c<QPlainTextEdit>("txtKeyMap")->toPlainText(), QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
}

// ---------------------------------------------------------------------------------------------
// Views

class ViewsTest : public MainWindowTest {
protected:
    int visibleViews() const
    {
        int n = 0;
        for (const char* v : kViews)
            n += c(v)->isHidden() ? 0 : 1;
        return n;
    }
    void click(const char* label)
    {
        auto* l = c<SkinControl>(label);
        QTest::mouseClick(l, Qt::LeftButton, {}, QPoint(3, 3));
    }
};

TEST_F(ViewsTest, ExactlyOneViewIsShownAndItsListHasTheFocus)
{
    showActive();
    EXPECT_EQ(visibleViews(), 1);
    EXPECT_FALSE(c("ViewFullPlaylist")->isHidden());
    EXPECT_FALSE(c("lstDJPlayList")->isHidden());
    EXPECT_TRUE(c("lstSongBin")->isHidden());

    const struct {
        const char *label, *view, *focus;
    } steps[] = {
        {"lblViewDJPlaylist", "ViewDJPlaylist", "lstDJPlayList"},
        {"lblMostPlayedClick", "ViewMostPlayed", "lstMostPlayed"},
        {"lblRequestsClick", "ViewRequests", "lstRequests"},
        {"lblSearchSongsClick", "ViewSearchSongs", "txtSearch"},
        {"lblFullPlaylistClick", "ViewFullPlaylist", "lstFullPlaylist"},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.label);
        click(s.label);
        EXPECT_EQ(visibleViews(), 1);
        EXPECT_FALSE(c(s.view)->isHidden());
        EXPECT_EQ(QApplication::focusWidget(), c(s.focus));
    }

    // The label of the view already shown changes nothing, the focus included.
    c("lstFullPlaylist")->setFocus();
    click("lblFullPlaylistClick");
    EXPECT_EQ(QApplication::focusWidget(), c("lstFullPlaylist"));
    c("picPlayerA")->setFocus();
    click("lblFullPlaylistClick");
    EXPECT_EQ(QApplication::focusWidget(), c("picPlayerA"));
    // A picture takes the focus when clicked.
    QTest::mouseClick(c("picClock"), Qt::LeftButton, {}, QPoint(1, 1));
    EXPECT_EQ(QApplication::focusWidget(), c("picClock"));
}

TEST_F(ViewsTest, ButtonLooksPressedWhileHeld)
{
    auto* label = c<SkinControl>("lblMostPlayedClick");
    auto* button = c<SkinControl>("picMostPlayed");
    QTest::mousePress(label, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(button->picture().cacheKey(), w->imgBigButtons.ListImage(2).cacheKey());
    QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(3, 3));
    EXPECT_EQ(button->picture().cacheKey(), w->imgBigButtons.ListImage(1).cacheKey());
    EXPECT_FALSE(c("ViewMostPlayed")->isHidden());
}

TEST_F(ViewsTest, RequestCountShowsTheRequestsView)
{
    showActive();
    click("lblViewDJPlaylist");
    click("lblNumRequestSongs");
    EXPECT_EQ(visibleViews(), 1);
    EXPECT_FALSE(c("ViewRequests")->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), c("lstRequests"));
}

TEST_F(ViewsTest, TabsOfTheDJViewAndTheSongBinRemembered)
{
    showActive();
    click("lblViewDJPlaylist");
    click("lblSongBinClick");
    EXPECT_TRUE(c("lstDJPlayList")->isHidden());
    EXPECT_FALSE(c("lstSongBin")->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), c("lstSongBin"));

    click("lblFullPlaylistClick");
    click("lblViewDJPlaylist");
    EXPECT_FALSE(c("lstSongBin")->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), c("lstSongBin"));

    click("lblDJPlaylistClick");
    EXPECT_FALSE(c("lstDJPlayList")->isHidden());
    EXPECT_TRUE(c("lstSongBin")->isHidden());
    EXPECT_EQ(QApplication::focusWidget(), c("lstDJPlayList"));
}

TEST_F(ViewsTest, SearchSelectsTheWholeSearchText)
{
    showActive();
    c<QLineEdit>("txtSearch")->setText(QStringLiteral("old search"));
    c<QLineEdit>("txtSearch")->setCursorPosition(3);
    click("lblSearchSongsClick");
    EXPECT_EQ(c<QLineEdit>("txtSearch")->selectedText(), QStringLiteral("old search"));
}

TEST_F(ViewsTest, KeyMapCloseButton)
{
    w->cmdCloseKeyMap_Click(); // already hidden: nothing happens
    EXPECT_TRUE(c("txtKeyMap")->isHidden());
    c("txtKeyMap")->show();
    c("cmdCloseKeyMap")->show();
    QTest::mouseClick(c<QPushButton>("cmdCloseKeyMap"), Qt::LeftButton);
    EXPECT_TRUE(c("txtKeyMap")->isHidden());
    EXPECT_TRUE(c("cmdCloseKeyMap")->isHidden());
}

// ---------------------------------------------------------------------------------------------
// Keys

class KeysTest : public MainWindowTest {
protected:
    struct Count {
        int down = 0, up = 0;
        QWidget* from = nullptr;
        int shift = -99;
    };
    Count press(QWidget* target, Qt::Key key, Qt::KeyboardModifiers mods = {})
    {
        Count n;
        auto a = QObject::connect(w.get(), &frmMain::keyDownForwarded, [&](QWidget* from, int code, int shift) {
            if (code == vb::key::F9 || code == 'D' || code == vb::key::Left) {
                ++n.down;
                n.from = from;
                n.shift = shift;
            }
        });
        auto b = QObject::connect(w.get(), &frmMain::keyUpForwarded, [&](QWidget*, int) { ++n.up; });
        QTest::keyPress(target, key, mods);
        QTest::keyRelease(target, key, mods);
        w->flushKeyUp();
        QObject::disconnect(a);
        QObject::disconnect(b);
        return n;
    }
};

TEST_F(KeysTest, EveryForwardingControlSendsF9ExactlyOnce)
{
    showActive();
    int tried = 0;
    for (QWidget* control : w->findChildren<QWidget*>()) {
        if (!w->forwardsKeys(control))
            continue;
        // Bring the control on screen and give it the focus, as a click would.
        QList<QWidget*> shown;
        for (QWidget* p = control; p && p != w.get(); p = p->parentWidget())
            if (p->isHidden()) {
                p->show();
                shown << p;
            }
        control->setFocusPolicy(control->focusPolicy() == Qt::NoFocus ? Qt::ClickFocus : control->focusPolicy());
        control->setFocus(Qt::MouseFocusReason);
        ASSERT_EQ(QApplication::focusWidget(), control) << control->objectName().toStdString();
        const Count n = press(control, Qt::Key_F9);
        EXPECT_EQ(n.down, 1) << control->objectName().toStdString();
        EXPECT_EQ(n.up, 1) << control->objectName().toStdString();
        EXPECT_EQ(n.from, control) << control->objectName().toStdString();
        for (QWidget* p : shown)
            p->hide();
        ++tried;
    }
    EXPECT_GE(tried, 77); // the window's own controls; the window itself below

    // No control holds the focus: the window forwards the key itself, once.
    QWidget* focus = QApplication::focusWidget();
    if (focus)
        focus->clearFocus();
    ASSERT_EQ(QApplication::focusWidget(), nullptr);
    const Count n = press(w.get(), Qt::Key_F9);
    EXPECT_EQ(n.down, 1);
    EXPECT_EQ(n.up, 1);
    EXPECT_EQ(n.from, w.get());
}

TEST_F(KeysTest, ShiftIsNeverPassedOnButTheSearchBoxMarksItself)
{
    showActive();
    c("picPlayerA")->setFocus();
    Count n = press(c("picPlayerA"), Qt::Key_D, Qt::ShiftModifier | Qt::ControlModifier);
    EXPECT_EQ(n.down, 1);
    EXPECT_EQ(n.shift, 0);

    w->lblSearchSongsClick_Click();
    ASSERT_EQ(QApplication::focusWidget(), c("txtSearch"));
    n = press(c("txtSearch"), Qt::Key_D);
    EXPECT_EQ(n.down, 1);
    EXPECT_NE(n.shift, 0);
    EXPECT_EQ(c<QLineEdit>("txtSearch")->text(), QStringLiteral("d")); // the box still types it
}

TEST_F(KeysTest, KeyMapAndPassedOnEventsDoNotForward)
{
    showActive();
    c("txtKeyMap")->show();
    c("txtKeyMap")->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), c("txtKeyMap"));
    // The text box passes F9 on to its parents; none of them forwards it.
    const Count n = press(c("txtKeyMap"), Qt::Key_F9);
    EXPECT_EQ(n.down, 0);
    EXPECT_EQ(n.up, 0);
}

TEST_F(KeysTest, HeldKeyForwardsEachRepeatAndOneRelease)
{
    showActive();
    c("picClockSec1")->setFocus();
    int down = 0, up = 0;
    QObject::connect(w.get(), &frmMain::keyDownForwarded, [&](QWidget*, int, int) { ++down; });
    QObject::connect(w.get(), &frmMain::keyUpForwarded, [&](QWidget*, int) { ++up; });
    QWidget* target = c("picClockSec1");
    QKeyEvent p1(QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier);
    QApplication::sendEvent(target, &p1);
    for (int i = 0; i < 3; ++i) {
        QKeyEvent r(QEvent::KeyRelease, Qt::Key_F3, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(target, &r);
        QKeyEvent p(QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier, QString(), true);
        QApplication::sendEvent(target, &p);
    }
    QKeyEvent last(QEvent::KeyRelease, Qt::Key_F3, Qt::NoModifier);
    QApplication::sendEvent(target, &last);
    EXPECT_EQ(up, 0); // not before it is clear that no repeat follows
    EXPECT_TRUE(QTest::qWaitFor([&] { return up == 1; }));
    EXPECT_EQ(down, 4);

    // Repeats that the platform does not mark: a release and at once a press of the same key.
    down = up = 0;
    for (int i = 0; i < 3; ++i) {
        QKeyEvent p(QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier);
        QApplication::sendEvent(target, &p);
        QKeyEvent r(QEvent::KeyRelease, Qt::Key_F3, Qt::NoModifier);
        QApplication::sendEvent(target, &r);
    }
    w->flushKeyUp();
    EXPECT_EQ(down, 3);
    EXPECT_EQ(up, 1);

    // A different key pressed meanwhile: the first key was really let go.
    down = up = 0;
    QKeyEvent p3(QEvent::KeyPress, Qt::Key_F3, Qt::NoModifier);
    QApplication::sendEvent(target, &p3);
    QKeyEvent r3(QEvent::KeyRelease, Qt::Key_F3, Qt::NoModifier);
    QApplication::sendEvent(target, &r3);
    QKeyEvent p4(QEvent::KeyPress, Qt::Key_F4, Qt::NoModifier);
    QApplication::sendEvent(target, &p4);
    EXPECT_EQ(up, 1);
    EXPECT_EQ(down, 2);
    QKeyEvent r4(QEvent::KeyRelease, Qt::Key_F4, Qt::NoModifier);
    QApplication::sendEvent(target, &r4);
    w->flushKeyUp();
    EXPECT_EQ(up, 2);
}

TEST_F(KeysTest, OwnHandlersRunAfterTheGlobalKeysAndMaySwallowTheKey)
{
    showActive();
    w->lblSearchSongsClick_Click();
    auto* box = c<QLineEdit>("txtSearch");
    ASSERT_EQ(QApplication::focusWidget(), box);
    QStringList order;
    QObject::connect(w.get(), &frmMain::keyDownForwarded, [&](QWidget*, int, int) { order << "global"; });
    w->onKeyDown(box, [&](int& code, int) {
        order << "own";
        if (code == 'X')
            code = 0; // used up: the box does not type it
    });
    QTest::keyClick(box, Qt::Key_A);
    QTest::keyClick(box, Qt::Key_X);
    EXPECT_EQ(order, (QStringList{"global", "own", "global", "own"}));
    EXPECT_EQ(box->text(), QStringLiteral("a"));
}
