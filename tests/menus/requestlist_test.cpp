// The Requests list in the real main window against a request database written by the sqlite3
// tool: taking a request deletes its records only once the song is taken, the database commands
// of the Requests menu, the path dialog and the list's keys. The database work runs on its own
// thread: the checks of the database wait until it has answered (settle).
#include "menufixture.h"

#include "core/settings.h"
#include "menus/frmDBPath.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "support/smalldisk.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>

namespace {

const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

QString writer(const QStringList& args)
{
    int code = -1;
    const QString out = QString::fromUtf8(testutil::run(QStringLiteral("bash"), QStringList{Writer} + args, &code)).trimmed();
    EXPECT_EQ(code, 0) << args.join(' ').toStdString();
    return out;
}

} // namespace

class RequestListTest : public MenuWindowTest {
protected:
    QString db;

    void SetUp() override
    {
        MenuWindowTest::SetUp();
        db = dir.filePath(QStringLiteral("requests.db"));
        writer({QStringLiteral("create"), db});
        RequestDBPath = db;
    }

    int records() { return writer({"count", db}).toInt(); }
    int recordsFor(const QString& file)
    {
        return QString::fromUtf8(testutil::run(QStringLiteral("sqlite3"),
                                               {db, QStringLiteral("SELECT count(*) FROM UserRequests WHERE "
                                                                   "RequestFilename=CAST(x'%1' AS TEXT)")
                                                        .arg(QString::fromLatin1(file.toUtf8().toHex()))}))
            .trimmed()
            .toInt();
    }
    // A request for each file, in the database and in the list, as a reload lists them.
    void request(const QStringList& list)
    {
        for (const QString& f : list)
            writer({"add", db, f});
        add(lib().requests(), list);
    }
    void click(const char* button, bool down = false)
    {
        auto* b = ctl<SkinControl>(w.get(), button);
        if (down)
            emit b->MouseDown(1, 0, 0, 0);
        else
            emit b->MouseUp(1, 0, 0, 0);
    }
    void key(int code)
    {
        int k = code;
        w->requests->lstRequests_KeyDown(k);
    }
    // A poll of the request database, answered: the Requests list as a reload shows it.
    bool poll()
    {
        lib().requestLink().poll(db, true, QStringLiteral("B-299"));
        return settle();
    }
    // The DJ Playlist file as a crash would leave it.
    QByteArray djPlaylistFile() const { return testutil::readAll(dir.filePath(QStringLiteral("DJPlaylist.qnl"))); }
    // The writer holding its lock while it adds a request for file, until release().
    void holdLock(QProcess& holder, const QString& file = {})
    {
        QStringList args{Writer, "lock", db};
        if (!file.isEmpty())
            args << file;
        holder.start(QStringLiteral("bash"), args);
        ASSERT_TRUE(holder.waitForReadyRead(20000));
    }
    void release(QProcess& holder)
    {
        ASSERT_TRUE(testutil::writeAll(db + QStringLiteral(".release"), {}));
        ASSERT_TRUE(holder.waitForFinished(20000));
    }
};

TEST_F(RequestListTest, ATakenRequestLeavesTheDatabaseOnlyOnceTheSongIsTaken)
{
    // Nothing to take from an empty list: nothing happens, nothing is logged.
    for (const char* button : {"Picture10", "Picture11", "picRequestsQInDJList"})
        click(button);
    w->requests->lstRequests_DblClick();

    const QString rock = song(QStringLiteral("Rock 'n' Roll.mp3"));
    const QString other = song(QStringLiteral("other.mp3"));
    const QString queued = song(QStringLiteral("queued.mp3"));
    request({rock, rock, other});
    writer({"add", db, rock, "1", "2024-01-01 00:00:00", "DONE"});
    ASSERT_EQ(records(), 4);
    EXPECT_EQ(ErrorCount, 0);

    // A playing deck refuses the song: the row and every record stay.
    add(lib().full(), {other});
    load('A', "lstFullPlaylist", 1);
    w->decks->A().keyPlayPause();
    select("lstRequests", 1);
    click("Picture10");
    EXPECT_EQ(lib().requests().count(), 3);
    ASSERT_TRUE(settle());
    EXPECT_EQ(records(), 4);

    // Deck B takes it: the row goes, and every record of that file with it (also a taken one);
    // the other row of the same file stays until the next reload.
    click("Picture11");
    EXPECT_EQ(decks().PlayerBFilename, rock);
    EXPECT_EQ(files(lib().requests()), (QStringList{rock, other}));
    ASSERT_TRUE(settle());
    EXPECT_EQ(recordsFor(rock), 0);
    EXPECT_EQ(recordsFor(other), 1);

    // The queue button and a double click: queued first, the DJ Playlist file written at once
    // (a crash right after the take finds the song there), then the records and the row go.
    select("lstRequests", 2);
    click("picRequestsQInDJList");
    EXPECT_EQ(files(lib().djPlaylist()), QStringList{other});
    EXPECT_TRUE(djPlaylistFile().contains(other.toUtf8()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(recordsFor(other), 0);
    EXPECT_EQ(files(lib().requests()), QStringList{rock});
    request({queued});
    select("lstRequests", 2);
    w->requests->lstRequests_DblClick();
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{other, queued}));
    EXPECT_TRUE(djPlaylistFile().contains(queued.toUtf8()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(records(), 0);

    EXPECT_EQ(ErrorCount, 0);

    // A request whose file is gone is not taken, by a deck or the queue (its button, Enter, the
    // menu's queue item): it stays listed and recorded, and the message line and the log name
    // the missing file.
    const QString vanished = song(QStringLiteral("vanished.mp3"));
    request({vanished});
    ASSERT_TRUE(QFile::remove(vanished));
    w->decks->B().keyStop();
    for (const char* button : {"Picture11", "picRequestsQInDJList"}) {
        select("lstRequests", 2);
        click(button);
    }
    select("lstRequests", 2);
    key(vb::key::Return);
    select("lstRequests", 2);
    trigger("mnuRequestsSentToDJPlaylist");
    ASSERT_TRUE(settle());
    EXPECT_EQ(recordsFor(vanished), 1);
    EXPECT_EQ(files(lib().requests()), (QStringList{rock, vanished}));
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{other, queued}));
    EXPECT_EQ(decks().PlayerBFilename, rock);
    EXPECT_EQ(w->messages.caption(), "Request not taken, its file is missing: " + vanished);
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_EQ(errorLines(), 4);
    const QByteArray log = testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log")));
    EXPECT_EQ(log.count(vanished.toUtf8()), 4);
    EXPECT_TRUE(log.contains("lstRequests_KeyDown") && log.contains("mnuRequestsSentToDJPlaylist_Click"));
}

TEST_F(RequestListTest, WithoutADatabaseOrWhileItIsLockedTheTakeStillWorks)
{
    // No database configured: the take works and no file of the stand-in name appears.
    const QString a = song(QStringLiteral("a.mp3"));
    const QString b = song(QStringLiteral("b.mp3"));
    RequestDBPath = requestdb::NoDatabasePath;
    add(lib().requests(), {a, b});
    select("lstRequests", 1);
    click("Picture10");
    EXPECT_EQ(decks().PlayerAFilename, a);
    trigger("mnuRequestRemoveSel");
    trigger("mnuRequestsEnabled");
    EXPECT_TRUE(checkMarks().takeRequests);
    EXPECT_EQ(lib().requests().count(), 0);
    EXPECT_FALSE(QFile::exists(QStringLiteral("C:\\DB.mdb")));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("C:\\DB.mdb"))));
    EXPECT_EQ(ErrorCount, 0);

    // The writer holds the database locked: the song is queued, and its records go at the first
    // poll after the lock, before that poll reloads, so the request does not come back.
    RequestDBPath = db;
    request({b});
    QProcess holder;
    holder.start(QStringLiteral("bash"), {Writer, "lock", db});
    ASSERT_TRUE(holder.waitForReadyRead(20000));
    select("lstRequests", 1);
    click("picRequestsQInDJList");
    EXPECT_EQ(files(lib().djPlaylist()), QStringList{b});
    EXPECT_EQ(lib().requests().count(), 0);
    ASSERT_TRUE(settle());
    EXPECT_EQ(recordsFor(b), 1);
    ASSERT_TRUE(testutil::writeAll(db + QStringLiteral(".release"), {}));
    ASSERT_TRUE(holder.waitForFinished(20000));
    lib().requestLink().poll(db, true, QStringLiteral("B-299"));
    ASSERT_TRUE(settle());
    EXPECT_EQ(lib().requests().count(), 0);
    EXPECT_EQ(records(), 0);
    EXPECT_EQ(ErrorCount, 0);

    // A file that is no database: the song is queued and the row goes; the delete's failure is
    // logged under the take's location. Remove Selected fails for good there as well: logged,
    // and the row stays listed.
    const QString junk = dir.filePath(QStringLiteral("junk.db"));
    ASSERT_TRUE(testutil::writeAll(junk, QByteArray(4096, 'x')));
    RequestDBPath = junk;
    add(lib().requests(), {a, b});
    select("lstRequests", 1);
    w->requests->lstRequests_DblClick();
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{b, a}));
    EXPECT_EQ(files(lib().requests()), QStringList{b});
    ASSERT_TRUE(settle());
    select("lstRequests", 1);
    trigger("mnuRequestRemoveSel");
    ASSERT_TRUE(settle());
    EXPECT_EQ(files(lib().requests()), QStringList{b});
    EXPECT_EQ(errorLines(), 2);
    const QByteArray log = testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log")));
    EXPECT_TRUE(log.contains("lstRequests_DblClick") && log.contains("mnuRequestRemoveSel_Click")) << log.toStdString();

    // The database file away (moved, a share that dropped): the take's delete waits, the message
    // line says the database could not be reached, and the first poll once it is back deletes
    // the records before it reads, so the request is not listed (and taken) again.
    RequestDBPath = db;
    writer({"flag", db, "False"});
    request({a});
    const QString away = db + QStringLiteral(".away");
    ASSERT_TRUE(QFile::rename(db, away));
    select("lstRequests", 2);
    click("picRequestsQInDJList");
    ASSERT_TRUE(settle());
    EXPECT_EQ(files(lib().requests()), QStringList{b});
    EXPECT_EQ(lib().requestLink().waitingDeletes(), 1);
    EXPECT_TRUE(w->messages.caption().startsWith("The request database could not be reached (" + db + ")"))
        << w->messages.caption().toStdString();
    ASSERT_TRUE(QFile::rename(away, db));
    writer({"add", db, b});
    ASSERT_TRUE(poll());
    EXPECT_EQ(files(lib().requests()), QStringList{b});
    EXPECT_EQ(recordsFor(a), 0);
    EXPECT_EQ(errorLines(), 2);
}

TEST_F(RequestListTest, ATakeThatCannotBeSavedKeepsTheRequest)
{
    SmallDisk disk;
    SKIP_WITHOUT_SMALL_DISK(disk);
    const QString a = song(QStringLiteral("a.mp3"));
    request({a});
    // The lists on a disk with no room left: the DJ Playlist cannot hold the take, so the
    // request stays listed and recorded (the song is queued all the same), and the DJ is told.
    AppPath = disk.path();
    disk.fill();
    select("lstRequests", 1);
    click("picRequestsQInDJList");
    ASSERT_TRUE(settle());
    EXPECT_EQ(files(lib().djPlaylist()), QStringList{a});
    EXPECT_EQ(files(lib().requests()), QStringList{a});
    EXPECT_EQ(recordsFor(a), 1);
    EXPECT_EQ(w->messages.caption(),
              "Request queued but kept, the DJ Playlist could not be saved: No space left on device");
    EXPECT_EQ(errorLines(), 1);
    EXPECT_TRUE(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))).contains("SaveDJPlaylist"));

    // With room again the take goes through, the file first.
    disk.makeRoom();
    select("lstRequests", 1);
    w->requests->lstRequests_DblClick();
    EXPECT_TRUE(testutil::readAll(disk.filePath(QStringLiteral("DJPlaylist.qnl"))).contains(a.toUtf8()));
    ASSERT_TRUE(settle());
    EXPECT_EQ(recordsFor(a), 0);
    EXPECT_EQ(lib().requests().count(), 0);
    AppPath = dir.path();
}

TEST_F(RequestListTest, TheRequestsMenuRemovesClearsAndSwitchesTheDatabase)
{
    const QString rock = song(QStringLiteral("Rock 'n' Roll.mp3"));
    const QString other = song(QStringLiteral("other.mp3"));
    request({rock, other, rock});

    // Remove Selected: both records of the quoted name go, and the row; the song goes nowhere.
    select("lstRequests", 1);
    trigger("mnuRequestRemoveSel");
    ASSERT_TRUE(settle());
    EXPECT_EQ(recordsFor(rock), 0);
    EXPECT_EQ(files(lib().requests()), (QStringList{other, rock}));
    EXPECT_EQ(lib().djPlaylist().count(), 0);
    EXPECT_TRUE(decks().PlayerAFilename.isEmpty());

    // Clear: the list and the records it showed, whatever their status, at once; a request the
    // writer adds meanwhile (holding its lock while Clear waits) stays, and is listed next.
    writer({"add", db, rock, "1", "2024-01-01 00:00:00", "DONE"});
    ASSERT_TRUE(poll());
    EXPECT_EQ(files(lib().requests()), QStringList{other});
    const QString late = song(QStringLiteral("late.mp3"));
    QProcess holder;
    ASSERT_NO_FATAL_FAILURE(holdLock(holder, late));
    trigger("mnuRequestsClear");
    EXPECT_EQ(lib().requests().count(), 0);
    ASSERT_TRUE(settle());
    ASSERT_NO_FATAL_FAILURE(release(holder));
    ASSERT_TRUE(poll());
    EXPECT_EQ(records(), 1);
    EXPECT_EQ(files(lib().requests()), QStringList{late});
    // An empty list leaves the database.
    trigger("mnuRequestsClear");
    ASSERT_TRUE(settle());
    EXPECT_EQ(records(), 0);
    writer({"add", db, rock});
    trigger("mnuRequestsClear");
    ASSERT_TRUE(settle());
    EXPECT_EQ(records(), 1);

    // Take Requests tells the writer through rows 1 to 4, off and on again.
    auto rows = [&] {
        return QStringList{writer({"get", db, "1"}), writer({"get", db, "2"}), writer({"get", db, "3"}),
                           writer({"get", db, "4"})};
    };
    trigger("mnuRequestsEnabled");
    EXPECT_FALSE(checkMarks().takeRequests);
    EXPECT_FALSE(item("mnuRequestsEnabled")->isChecked());
    ASSERT_TRUE(settle());
    EXPECT_EQ(rows(), (QStringList{"False", "True", "False", "True"}));
    trigger("mnuRequestsEnabled");
    EXPECT_TRUE(checkMarks().takeRequests);
    ASSERT_TRUE(settle());
    EXPECT_EQ(rows(), (QStringList{"True", "False", "True", "False"}));
    // A database without those rows: nothing is written and the mark goes back to what the
    // writer was last told.
    testutil::run(QStringLiteral("sqlite3"), {db, QStringLiteral("DELETE FROM Config WHERE ID=4")});
    trigger("mnuRequestsEnabled");
    ASSERT_TRUE(settle());
    EXPECT_TRUE(checkMarks().takeRequests);
    EXPECT_TRUE(item("mnuRequestsEnabled")->isChecked());
    EXPECT_EQ(writer({"get", db, "1"}), "True");
    EXPECT_EQ(errorLines(), 1);
    // The message line says so, as the log does.
    EXPECT_TRUE(w->messages.caption().startsWith("Take Requests could not be switched off: No current record. (the "
                                                 "request database has no Config row 4"))
        << w->messages.caption().toStdString();

    // The path dialog: it opens on the database in use; a path without a file is refused; the
    // same path keeps the list, another database empties it.
    const QString second = dir.filePath(QStringLiteral("second.db"));
    writer({"create", second});
    add(lib().requests(), {other});
    QStringList steps;
    menus().hooks.runModal = [&](QDialog& d) {
        auto& dialog = static_cast<frmDBPath&>(d);
        steps << dialog.txtDBPath->text();
        for (const QString& path : {dir.filePath("none.db"), QStringLiteral("C:\\DB.mdb"), QString(), db}) {
            dialog.txtDBPath->setText(path);
            dialog.cmdSave_Click();
            steps << QString::number(d.result());
        }
    };
    dialogs.shown.clear();
    trigger("mnuRequestSetDB");
    EXPECT_EQ(steps, (QStringList{db, "0", "0", "0", "1"}));
    ASSERT_EQ(dialogs.shown.size(), 3u);
    EXPECT_EQ(dialogs.shown[0].text, "Choose a Different Path!");
    EXPECT_EQ(lib().requests().count(), 1);
    EXPECT_EQ(ReadINI("Requests", "RequestDB", "NULL", configFile()), db);

    dialogs.files = {second};
    menus().hooks.runModal = [&](QDialog& d) {
        auto& dialog = static_cast<frmDBPath&>(d);
        dialog.cmdLookup_Click();
        dialog.cmdSave_Click();
    };
    writer({"add", second, other});
    writer({"flag", second, "False"});
    trigger("mnuRequestSetDB");
    EXPECT_EQ(RequestDBPath, second);
    EXPECT_EQ(lib().requests().count(), 0);
    // The request waiting there is read at the next look, though its writer's flag was down.
    ASSERT_TRUE(settle());
    EXPECT_EQ(writer({"get", second, "5"}), "True");
    EXPECT_EQ(ReadINI("Requests", "RequestDB", "NULL", configFile()), second);
    EXPECT_FALSE(QFile::exists(QStringLiteral("C:\\DB.mdb")));

    // With no database configured the dialog opens empty, and Cancel changes nothing.
    RequestDBPath = requestdb::NoDatabasePath;
    menus().hooks.runModal = [&](QDialog& d) {
        auto& dialog = static_cast<frmDBPath&>(d);
        steps = {dialog.txtDBPath->text()};
        dialog.txtDBPath->setText(db);
        dialog.cmdCancel_Click();
    };
    trigger("mnuRequestSetDB");
    EXPECT_EQ(steps, QStringList{QString()});
    EXPECT_EQ(RequestDBPath, requestdb::NoDatabasePath);
}

TEST_F(RequestListTest, KeysAndMenuItemsQueueOrTakeTheSelectedRequest)
{
    const QString a = song(QStringLiteral("a.mp3"));
    const QString b = song(QStringLiteral("b.mp3"));
    request({a, b});

    // Numpad 2 and 8 move the selection; at the ends nothing happens.
    select("lstRequests", 1);
    key(vb::key::Numpad8);
    EXPECT_EQ(listkeys::selectedRow(view("lstRequests")), 1);
    key(vb::key::Numpad2);
    EXPECT_EQ(listkeys::selectedRow(view("lstRequests")), 2);
    key(vb::key::Numpad2);
    EXPECT_EQ(listkeys::selectedRow(view("lstRequests")), 2);

    // With no row chosen the keys do nothing.
    view("lstRequests")->selectionModel()->clearSelection();
    key(vb::key::Numpad1);
    key(vb::key::Return);
    EXPECT_TRUE(decks().PlayerAFilename.isEmpty());
    EXPECT_EQ(lib().djPlaylist().count(), 0);

    // Enter and the menu's queue item only queue: the request stays listed and recorded.
    select("lstRequests", 2);
    key(vb::key::Return);
    select("lstRequests", 1);
    trigger("mnuRequestsSentToDJPlaylist");
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{b, a}));
    EXPECT_EQ(lib().requests().count(), 2);
    EXPECT_EQ(records(), 2);

    // Numpad 1 loads the request into deck A and drops its row; its records stay, so the
    // request is listed again at the next reload.
    select("lstRequests", 2);
    key(vb::key::Numpad1);
    EXPECT_EQ(decks().PlayerAFilename, b);
    EXPECT_EQ(files(lib().requests()), QStringList{a});
    EXPECT_EQ(recordsFor(b), 1);
    // The menu's deck items do the same; a playing deck refuses and the row stays.
    w->decks->A().keyPlayPause();
    select("lstRequests", 1);
    trigger("mnuRequestsAddToA");
    key(vb::key::Numpad1);
    EXPECT_EQ(files(lib().requests()), QStringList{a});
    trigger("mnuRequestsAddToB");
    EXPECT_EQ(decks().PlayerBFilename, a);
    EXPECT_EQ(lib().requests().count(), 0);
    EXPECT_EQ(records(), 2);

    // Numpad 4: deck A's song goes to the queue and the request takes its place (when the deck
    // is not playing); the request stays listed.
    w->decks->A().keyStop();
    request({a});
    select("lstRequests", 1);
    key(vb::key::Numpad4);
    EXPECT_EQ(decks().PlayerAFilename, a);
    EXPECT_EQ(files(lib().djPlaylist()), (QStringList{b, a, b}));
    EXPECT_EQ(ErrorCount, 0);
}
