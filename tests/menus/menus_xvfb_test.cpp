// The popup menus and the Requests list on a real X server (Xvfb), driven by xdotool with the
// real mouse and keyboard: a right-click on the Full Playlist auto-edits a song's tag from its
// file name, and a request written by the outside writer is taken into deck A with Numpad 1.
// Run from tests/e2e/menus_xvfb.sh; on any other platform the tests are skipped.
#include "menufixture.h"

#include "core/settings.h"
#include "decks/autodjcontroller.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QProcess>
#include <QTest>
#include <QTimer>

namespace {

bool onX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

bool xdotool(const QStringList& args) { return QProcess::execute(QStringLiteral("xdotool"), args) == 0; }

bool moveTo(const QPoint& at)
{
    return xdotool({"mousemove", "--sync", QString::number(at.x()), QString::number(at.y())});
}

const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

QString writer(const QStringList& args)
{
    return QString::fromUtf8(testutil::run(QStringLiteral("bash"), QStringList{Writer} + args)).trimmed();
}

class MenusXvfb : public MenuWindowTest {
protected:
    void SetUp() override
    {
        if (!onX11())
            GTEST_SKIP() << "needs an X server (run by tests/e2e/menus_xvfb.sh)";
        MenuWindowTest::SetUp();
        // The menus open for real, at the mouse pointer.
        w->menus->hooks.showPopup = [](QMenu* m) { m->exec(QCursor::pos()); };
        w->resize(1100, 820);
        w->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }

    // The middle of a row of a list, on the screen.
    QPoint rowOnScreen(const char* list, int row)
    {
        QTreeView* v = view(list);
        const QRect r = v->visualRect(v->model()->index(row - 1, 1));
        return v->viewport()->mapToGlobal(r.center());
    }
};

} // namespace

TEST_F(MenusXvfb, RightClickAutoEditsAFullPlaylistSongFromItsFileName)
{
    const QString path = song(QStringLiteral("Blue Band - Night Song.mp3"));
    add(lib().full(), {path});
    ASSERT_EQ(lib().full().cell(0, field::Title), "Blue Band - Night Song");

    // While the menu is open: onto "Auto Edit MP3", then the suggestion that reads the name as
    // artist first ("Artist - Title"), each with the real mouse.
    QString chosenCaption;
    int step = 0;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!popup)
            return;
        if (step == 0 && popup->objectName() == QLatin1String("mnuFull")) {
            QAction* autoEdit = popup->findChild<QAction*>(QStringLiteral("mnuFullAutoEdit"));
            step = 1;
            moveTo(popup->mapToGlobal(popup->actionGeometry(autoEdit).center()));
            xdotool({"click", "1"});
        } else if (step == 1 && popup->objectName() == QLatin1String("mnuFullAutoEdit")) {
            QAction* artistTitle = popup->findChild<QAction*>(QStringLiteral("mnuFullAutoArtistTitle"));
            step = 2;
            chosenCaption = artistTitle->text();
            moveTo(popup->mapToGlobal(popup->actionGeometry(artistTitle).center()));
            xdotool({"click", "1"});
        }
    });
    watch.start();

    ASSERT_TRUE(moveTo(rowOnScreen("lstFullPlaylist", 1)));
    ASSERT_TRUE(xdotool({"click", "3"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lib().full().cell(0, field::Title) == QLatin1String("Night Song"); }, 30000))
        << "step " << step << ", row reads " << lib().full().cell(0, field::Title).toStdString();
    watch.stop();
    EXPECT_EQ(chosenCaption, "Title: Night Song -- Artist: Blue Band");
    EXPECT_EQ(lib().full().cell(0, field::Artist), "Blue Band");
    EXPECT_EQ(shown.size(), 0); // the real menu was shown, not the recorder

    const QByteArray id3 = testutil::run(QStringLiteral("id3tool"), {path});
    EXPECT_TRUE(id3.contains("Song Title:\tNight Song")) << id3.toStdString();
    EXPECT_TRUE(id3.contains("Artist:\t\tBlue Band")) << id3.toStdString();
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MenusXvfb, ARequestIsTakenIntoDeckAWithNumpad1AndLeavesTheDatabaseOnlyThen)
{
    const QString db = dir.filePath(QStringLiteral("requests.db"));
    writer({"create", db});
    ASSERT_TRUE(WriteINI("Requests", "RequestDB", db, configFile()));
    w->steps.openRequestDatabase();
    ASSERT_EQ(RequestDBPath, db);
    const QString wanted = song(QStringLiteral("Rock 'n' Roll Request.mp3"));
    const QString playing = song(QStringLiteral("playing.mp3"));

    // The writer adds the request; the housekeeping timer lists it.
    w->TimerMessages->start();
    writer({"add", db, wanted, "3"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return lib().requests().count() == 1; }, 10000));
    EXPECT_EQ(lib().requests().cell(0, field::Filename), wanted);
    w->lblRequestsClick_Click();

    // Deck A is playing another song.
    add(lib().full(), {playing});
    load('A', "lstFullPlaylist", 1);
    w->decks->A().keyPlayPause();
    ASSERT_NE(decks().ChannelA, 0);

    // Real keys: the list chosen with the mouse, the keypad's digits on.
    ASSERT_TRUE(moveTo(rowOnScreen("lstRequests", 1)));
    ASSERT_TRUE(xdotool({"click", "1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return view("lstRequests")->hasFocus(); }, 5000));
    xdotool({"key", "Num_Lock"});
    // A playing deck refuses the request: it stays listed and in the database.
    ASSERT_TRUE(xdotool({"key", "KP_1"}));
    QTest::qWait(500);
    EXPECT_EQ(decks().PlayerAFilename, playing);
    EXPECT_EQ(lib().requests().count(), 1);
    EXPECT_EQ(writer({"count", db}), "1");

    // F1 stops deck A; Numpad 1 then takes the request, and only now its record goes.
    ASSERT_TRUE(xdotool({"key", "F1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return decks().ChannelA == 0; }, 5000));
    ASSERT_TRUE(xdotool({"key", "KP_1"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return decks().PlayerAFilename == wanted; }, 10000))
        << "deck A holds " << decks().PlayerAFilename.toStdString();
    EXPECT_EQ(lib().requests().count(), 0);
    EXPECT_EQ(writer({"count", db}), "0");
    // The next ticks bring nothing back.
    QTest::qWait(1500);
    EXPECT_EQ(lib().requests().count(), 0);
    w->TimerMessages->stop();
    xdotool({"key", "Num_Lock"});
    EXPECT_EQ(ErrorCount, 0);
}
