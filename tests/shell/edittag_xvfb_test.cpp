// The tag editor in the real main window on a real X server (Xvfb), driven by xdotool: a click on
// deck A's "Edit" label opens the editor on the loaded song, a new title typed and Enter pressed
// shows it on the deck and in every list holding the file, and id3tool reads it from the file.
// A picture of the open editor goes to the build folder (editor.png). Run from
// tests/e2e/tageditor_xvfb.sh; on any other platform the test is skipped.
#include "mainwindow_fixture.h"

#include "core/frmEditMP3.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "support/engines.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <gtest/gtest.h>

namespace {

bool onX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

bool xdotool(const QStringList& args) { return QProcess::execute(QStringLiteral("xdotool"), args) == 0; }

class TagEditorXvfb : public MainWindowTest {
protected:
    void SetUp() override
    {
        if (!onX11())
            GTEST_SKIP() << "needs an X server (run by tests/e2e/tageditor_xvfb.sh)";
        MainWindowTest::SetUp();
        ASSERT_TRUE(startBothEngines());
        w->showMain();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }

    void TearDown() override
    {
        releaseDeckStreams();
        MainWindowTest::TearDown();
        resetDeckWorld();
    }
};

} // namespace

TEST_F(TagEditorXvfb, EditLabelOpensTheEditorAndEnterSavesTheNewTitleEverywhere)
{
    const QString song = testutil::copyMedia(QStringLiteral("tagged.mp3"), dir.path(), QStringLiteral("Edit Me.mp3"));
    const QString other = testutil::copyMedia(QStringLiteral("tone10s.mp3"), dir.path(), QStringLiteral("Other.mp3"));
    Library& lib = *w->library;
    for (SongListModel* list : {&lib.full(), &lib.djPlaylist(), &lib.songBin(), &lib.mostPlayed(), &lib.search(),
                                &lib.requests()}) {
        const bool plays = list == &lib.mostPlayed();
        list->append(SongRow(QStringLiteral("Test Title"), QStringLiteral("Test Artist"), QStringLiteral("0:10"),
                             plays ? QStringLiteral("3") : QStringLiteral("Rock"), song, QStringLiteral("SCANNED")));
        list->append(SongRow(QStringLiteral("Other"), QString(), QStringLiteral("0:10"), QString(), other));
    }
    lib.djPlaylist().append(SongRow(QStringLiteral("Test Title"), QStringLiteral("Test Artist"),
                                    QStringLiteral("0:10"), QStringLiteral("Rock"), song));
    w->decks->LoadSongA(ctl<QTreeView>(w.get(), "lstFullPlaylist"), false, true, 1);
    ASSERT_EQ(deckState().PlayerAFilename, song);
    auto* title = ctl<QLabel>(w.get(), "lblPlayerATitle");
    ASSERT_EQ(title->text(), QStringLiteral("Test Title - Test Artist"));

    // Once the editor is up: make it the active window, take its picture, then type as a user.
    const QString shot = QStringLiteral(QUENLOW_BINARY_DIR) + QStringLiteral("/editor.png");
    QFile::remove(shot);
    QString shownTitle;
    bool typed = false;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        frmEditMP3* e = frmEditMP3::current();
        if (typed || !e || !e->isVisible())
            return;
        if (!e->isActiveWindow()) {
            e->activateWindow();
            return;
        }
        typed = true;
        watch.stop();
        QTest::qWait(300); // let it paint
        shownTitle = e->txtTitle->text();
        const QRect r = e->frameGeometry();
        e->screen()->grabWindow(0, r.x(), r.y(), r.width(), r.height()).save(shot);
        // The title box has the focus with its text selected: typing replaces it.
        xdotool({"type", "--delay", "40", "New Title"});
        xdotool({"key", "Return"});
    });
    watch.start();

    auto* edit = ctl<QWidget>(w.get(), "lblEditPlayerAClick");
    const QPoint at = edit->mapToGlobal(edit->rect().center());
    ASSERT_TRUE(xdotool({"mousemove", QString::number(at.x()), QString::number(at.y())}));
    ASSERT_TRUE(xdotool({"click", "1"}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return title->text() == QLatin1String("New Title - Test Artist"); }, 30000))
        << "deck A reads " << title->text().toStdString();
    EXPECT_TRUE(QTest::qWaitFor([] { return frmEditMP3::current() == nullptr; }, 5000));
    EXPECT_EQ(shownTitle, QStringLiteral("Test Title"));
    EXPECT_TRUE(QFileInfo(shot).size() > 0);

    // Every row of the file in every list, the other rows untouched.
    for (SongListModel* list : {&lib.full(), &lib.djPlaylist(), &lib.songBin(), &lib.mostPlayed(), &lib.search(),
                                &lib.requests()}) {
        for (int i = 0; i < list->count(); ++i) {
            const bool mine = list->cell(i, field::Filename) == song;
            EXPECT_EQ(list->cell(i, field::Title), mine ? QStringLiteral("New Title") : QStringLiteral("Other"));
        }
    }
    // The file itself, as another program reads it.
    const QByteArray id3 = testutil::run(QStringLiteral("id3tool"), {song});
    EXPECT_TRUE(id3.contains("Song Title:\tNew Title")) << id3.toStdString();
    EXPECT_TRUE(id3.contains("Artist:\t\tTest Artist")) << id3.toStdString();
}
