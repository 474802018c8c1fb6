// The main window on a real X server (Xvfb), driven by xdotool: a screenshot of the whole
// window, dragging in stand-by mode and real key presses. These tests run from
// tests/e2e/mainwindow_xvfb.sh; on any other platform they are skipped.
#include "mainwindow_fixture.h"

#include "core/windowdrag.h"
#include "library/library.h"

#include <QDir>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>
#include <QStandardItemModel>
#include <QTreeView>

namespace {

bool onX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

bool xdotool(const QStringList& args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

// Moves the X pointer to a point of a control, in screen pixels.
bool pointAt(QWidget* control, QPoint local)
{
    const QPoint g = control->mapToGlobal(local);
    return xdotool({QStringLiteral("mousemove"), QString::number(g.x()), QString::number(g.y())});
}

// A few rows in the lists, so the screenshot shows filled lists.
void fillForShow(frmMain& w)
{
    if (w.library) {
        for (SongListModel* list : {&w.library->full(), &w.library->djPlaylist(), &w.library->mostPlayed()}) {
            std::vector<SongRow> rows;
            for (int i = 1; i <= 12; ++i)
                rows.emplace_back(QStringLiteral("Tone %1").arg(i), QStringLiteral("Test Artist"),
                                  QStringLiteral("3:0%1").arg(i % 10), QStringLiteral("Dance"),
                                  QStringLiteral("/media/tones/tone%1.mp3").arg(i), QStringLiteral("SCANNED"));
            list->appendRows(std::move(rows));
        }
        w.library->updateFullCaption();
    }
    const char* lists[] = {"lstFullPlaylist", "lstDJPlayList", "lstMostPlayed", "lstSearch", "lstRequests"};
    for (const char* name : lists) {
        auto* view = ctl<QTreeView>(&w, name);
        if (view->model())
            continue;
        auto* model = new QStandardItemModel(0, 6, view);
        model->setHorizontalHeaderLabels({"Num", "Title", "Artist", "Time", "Genre", "Filename"});
        for (int i = 1; i <= 12; ++i)
            model->appendRow({new QStandardItem(QString::number(i)), new QStandardItem(QStringLiteral("Tone %1").arg(i)),
                              new QStandardItem(QStringLiteral("Test Artist")), new QStandardItem(QStringLiteral("3:0%1").arg(i % 10)),
                              new QStandardItem(QStringLiteral("Dance")),
                              new QStandardItem(QStringLiteral("/media/tones/tone%1.mp3").arg(i))});
        view->setModel(model);
        view->setColumnWidth(0, 0);
        view->setColumnWidth(1, 320);
        view->setColumnWidth(2, 220);
    }
}

class XvfbTest : public MainWindowTest {
protected:
    void SetUp() override
    {
        if (!onX11())
            GTEST_SKIP() << "needs an X server (run by tests/e2e/mainwindow_xvfb.sh)";
        MainWindowTest::SetUp();
    }

    void showOnScreen()
    {
        w->showMain();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
        QTest::qWait(100);
    }
};

} // namespace

TEST_F(XvfbTest, ScreenshotOfTheMainWindow)
{
    fillForShow(*w);
    showOnScreen();
    w->showClockText(QStringLiteral("9:05:07 PM"));
    QTest::qWait(200);
    QScreen* screen = w->screen();
    ASSERT_NE(screen, nullptr);
    EXPECT_GE(w->width(), 1024);
    EXPECT_GE(w->height(), 741);
    const QPixmap shot = screen->grabWindow(0);
    const QString file = QStringLiteral(QUENLOW_BINARY_DIR) + QStringLiteral("/mainwindow.png");
    ASSERT_TRUE(shot.save(file));
    // The face is drawn: the pixel in the middle of the clock is the clock's, not the
    // window's plain background.
    const QImage img = shot.toImage();
    EXPECT_GE(img.width(), 1024);
    EXPECT_GE(img.height(), 768);
    const QPoint clock = ctl<QWidget>(w.get(), "picClock")->mapToGlobal(QPoint(2, 2));
    EXPECT_NE(img.pixelColor(clock), w->palette().color(QPalette::Window));

    // The stand-by strip: both decks and the crossfader, centred on the screen.
    w->lblStbyClick_MouseUp();
    QTest::qWait(300);
    EXPECT_EQ(w->size(), QSize(1024, 165));
    ASSERT_TRUE(screen->grabWindow(0).save(QStringLiteral(QUENLOW_BINARY_DIR) + QStringLiteral("/mainwindow_standby.png")));
}

TEST_F(XvfbTest, DragInStandbyFollowsTheRealMouse)
{
    showOnScreen();
    auto* deck = ctl<QWidget>(w.get(), "lblPlayerATimeTotal");

    // Outside stand-by a press and drag leaves the window alone.
    const QPoint before = w->pos();
    ASSERT_TRUE(pointAt(deck, QPoint(20, 10)));
    ASSERT_TRUE(xdotool({"mousedown", "1"}));
    ASSERT_TRUE(xdotool({"mousemove_relative", "--", "60", "30"}));
    ASSERT_TRUE(xdotool({"mouseup", "1"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return DragOn == 0; }, 10000));
    QTest::qWait(200);
    EXPECT_EQ(w->pos(), before);

    // Into stand-by, then drag by 100, 50 with the right button.
    w->lblStbyClick_MouseUp();
    ASSERT_TRUE(w->StandbyMode);
    QTest::qWait(200);
    const QPoint start = w->pos();
    ASSERT_TRUE(pointAt(deck, QPoint(20, 10)));
    QTest::qWait(100);
    ASSERT_TRUE(xdotool({"mousedown", "3"}));
    QTest::qWait(100);
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(xdotool({"mousemove_relative", "--", "20", "10"}));
        QTest::qWait(30);
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return w->pos() == start + QPoint(100, 50); }, 10000))
        << "window at " << w->pos().x() << "," << w->pos().y();
    ASSERT_TRUE(xdotool({"mouseup", "3"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return DragOn == 0; }, 10000));
    // Released: the mouse moves on alone.
    ASSERT_TRUE(xdotool({"mousemove_relative", "--", "80", "80"}));
    QTest::qWait(200);
    EXPECT_EQ(w->pos(), start + QPoint(100, 50));
}

TEST_F(XvfbTest, RealKeyPressesAreForwardedOnce)
{
    showOnScreen();
    int down = 0, up = 0;
    QWidget* from = nullptr;
    QObject::connect(w.get(), &frmMain::keyDownForwarded, [&](QWidget* f, int code, int) {
        if (code == 120) { // F9
            ++down;
            from = f;
        }
    });
    QObject::connect(w.get(), &frmMain::keyUpForwarded, [&](QWidget*, int code) { up += code == 120; });

    // A click gives the clock's seconds picture the focus, as it would any picture.
    auto* target = ctl<QWidget>(w.get(), "picClockSec1");
    ASSERT_TRUE(pointAt(target, QPoint(4, 4)));
    ASSERT_TRUE(xdotool({"click", "1"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::focusWidget() == target; }, 10000));

    ASSERT_TRUE(xdotool({"key", "F9"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return down == 1 && up == 1; }, 10000)) << down << " " << up;
    QTest::qWait(100);
    EXPECT_EQ(down, 1);
    EXPECT_EQ(up, 1);
    EXPECT_EQ(from, target);

    // Held down: the releases of the auto-repeat are not forwarded, the real one is.
    down = up = 0;
    ASSERT_TRUE(xdotool({"keydown", "F9"}));
    QTest::qWait(900);
    ASSERT_TRUE(xdotool({"keyup", "F9"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return up >= 1; }, 10000)) << down << " " << up;
    QTest::qWait(100);
    EXPECT_GE(down, 1);
    EXPECT_EQ(up, 1);
}
