// The popup menus and the Requests list on a real X server (Xvfb), driven by xdotool with the
// real mouse and keyboard: a right-click on the Full Playlist auto-edits a song's tag from its
// file name; a request written by the outside writer is loaded into deck A with Numpad 1 and
// stays recorded, and the take button Picture10 takes one and deletes its record.
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
    // --sync waits for the pointer to move, which it never does when it is there already.
    if (QCursor::pos() == at)
        return true;
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

    // Clicks a row of the Requests list and waits until it is the chosen row of the focused list.
    bool chooseRequest(int row)
    {
        QTreeView* v = view("lstRequests");
        return moveTo(rowOnScreen("lstRequests", row)) && xdotool({"click", "1"}) &&
               QTest::qWaitFor([&] { return v->hasFocus() && listkeys::selectedRow(v) == row; }, 5000);
    }
};

} // namespace

TEST_F(MenusXvfb, RightClickAutoEditsAFullPlaylistSongFromItsFileName)
{
    const QString path = song(QStringLiteral("Blue Band - Night Song.mp3"));
    add(lib().full(), {path});
    ASSERT_EQ(lib().full().cell(0, field::Title), "Blue Band - Night Song");

    // While the menu is open: onto "Auto Edit MP3", then the suggestion whose caption reads title
    // Night Song and artist Blue Band, each with the real mouse.
    QString chosen;
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
            for (QAction* a : popup->actions()) {
                if (!a->text().startsWith(QLatin1String("Title: Night Song ")))
                    continue;
                step = 2;
                chosen = a->objectName() + QLatin1Char('|') + a->text();
                moveTo(popup->mapToGlobal(popup->actionGeometry(a).center()));
                xdotool({"click", "1"});
            }
        }
    });
    watch.start();

    ASSERT_TRUE(moveTo(rowOnScreen("lstFullPlaylist", 1)));
    ASSERT_TRUE(xdotool({"click", "3"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return lib().full().cell(0, field::Title) == QLatin1String("Night Song"); }, 30000))
        << "step " << step << ", row reads " << lib().full().cell(0, field::Title).toStdString();
    watch.stop();
    EXPECT_EQ(chosen, "mnuFullAutoTitleArtist|Title: Night Song --  Artist: Blue Band");
    EXPECT_EQ(lib().full().cell(0, field::Artist), "Blue Band");
    EXPECT_EQ(shown.size(), 0); // the real menu was shown, not the recorder

    const QByteArray id3 = testutil::run(QStringLiteral("id3tool"), {path});
    EXPECT_TRUE(id3.contains("Song Title:\tNight Song")) << id3.toStdString();
    EXPECT_TRUE(id3.contains("Artist:\t\tBlue Band")) << id3.toStdString();
    EXPECT_EQ(ErrorCount, 0);
}

TEST_F(MenusXvfb, Numpad1LoadsARequestAndKeepsItsRecordsWhilePicture10TakesOne)
{
    const QString db = dir.filePath(QStringLiteral("requests.db"));
    writer({"create", db});
    ASSERT_TRUE(WriteINI("Requests", "RequestDB", db, configFile()));
    w->steps.openRequestDatabase();
    ASSERT_EQ(RequestDBPath, db);
    const QString wanted = song(QStringLiteral("Rock 'n' Roll Request.mp3"));
    const QString second = song(QStringLiteral("Second Request.mp3"));

    // The writer adds the request; the housekeeping timer lists it.
    w->TimerMessages->start();
    writer({"add", db, wanted, "3"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return lib().requests().count() == 1; }, 10000));
    EXPECT_EQ(lib().requests().cell(0, field::Filename), wanted);
    w->lblRequestsClick_Click();

    // Real keys: the row chosen with the mouse, the keypad's digits on. Numpad 1 loads the
    // request into deck A and drops its row; its record stays in the database.
    ASSERT_TRUE(chooseRequest(1));
    xdotool({"key", "Num_Lock"});
    ASSERT_TRUE(xdotool({"key", "KP_1"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return decks().PlayerAFilename == wanted; }, 10000))
        << "deck A holds " << decks().PlayerAFilename.toStdString();
    EXPECT_EQ(lib().requests().count(), 0);
    EXPECT_EQ(writer({"count", db}), "1");
    xdotool({"key", "Num_Lock"});

    // The writer adds another request: the reload lists both, the one on deck A again.
    writer({"add", db, second, "5"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return lib().requests().count() == 2; }, 10000));
    EXPECT_EQ(files(lib().requests()), (QStringList{second, wanted}));

    // Deck A plays: the take button Picture10 is refused and the request keeps row and record.
    auto* take = ctl<QWidget>(w.get(), "Picture10");
    const QPoint button = take->mapToGlobal(take->rect().center());
    ASSERT_TRUE(w->rect().contains(w->mapFromGlobal(button)));
    w->decks->A().keyPlayPause();
    ASSERT_NE(decks().ChannelA, 0);
    ASSERT_TRUE(chooseRequest(1));
    ASSERT_TRUE(moveTo(button));
    ASSERT_TRUE(xdotool({"click", "1"}));
    QTest::qWait(500);
    EXPECT_EQ(decks().PlayerAFilename, wanted);
    EXPECT_EQ(lib().requests().count(), 2);
    EXPECT_EQ(writer({"count", db}), "2");

    // F1 stops deck A; Picture10 then takes the request, and only now its record goes.
    ASSERT_TRUE(QTest::qWaitFor([&] { return view("lstRequests")->hasFocus(); }, 5000));
    ASSERT_TRUE(xdotool({"key", "F1"}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return decks().ChannelA == 0; }, 5000));
    ASSERT_TRUE(xdotool({"click", "1"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return decks().PlayerAFilename == second; }, 10000))
        << "deck A holds " << decks().PlayerAFilename.toStdString();
    EXPECT_EQ(files(lib().requests()), QStringList{wanted});
    // The record goes on the database's thread.
    EXPECT_TRUE(QTest::qWaitFor([&] { return lib().requestLink().idle(); }, 10000));
    EXPECT_EQ(writer({"count", db}), "1");
    // The next ticks bring nothing back.
    QTest::qWait(1500);
    EXPECT_EQ(files(lib().requests()), QStringList{wanted});
    w->TimerMessages->stop();
    EXPECT_EQ(ErrorCount, 0);
}
