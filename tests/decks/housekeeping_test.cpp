// The housekeeping timer over a stand-in main window: message line, info labels, lamp, request
// counter, auto-fill, free-deck loading and the request poll.
#include "core/errorlog.h"
#include "decks/autodj_fakehost.h"
#include "support/testutil.h"

#include <QTest>
#include <gtest/gtest.h>

namespace {

const QString Idle = QStringLiteral("Messages Will Appear Here");
const QString Writer = QStringLiteral(QUENLOW_SOURCE_DIR "/tests/tools/request-writer.sh");

void writer(const QStringList& args)
{
    int code = -1;
    testutil::run(QStringLiteral("bash"), QStringList{Writer} + args, &code);
    ASSERT_EQ(code, 0) << args.join(' ').toStdString();
}

// Ticks the panel n times, returning the colour after each tick (index = tick number).
std::vector<std::uint32_t> tickPanel(FakePanel& p, int n)
{
    std::vector<std::uint32_t> colours;
    for (int i = 0; i < n; ++i) {
        MessagePanelTick(p);
        colours.push_back(p.colour);
    }
    return colours;
}

} // namespace

TEST(MessagePanel, ANewMessageBlinksRepeatsAndExpires)
{
    FakePanel p;
    p.post(QStringLiteral("Refreshing"), false);
    const auto c = tickPanel(p, 124);
    EXPECT_EQ(c[0], vb::Black) << "tick 0 shows black";
    for (int i = 1; i <= 10; ++i)
        EXPECT_EQ(c[size_t(i)], i % 2 ? vb::Blue : vb::Black) << "tick " << i;
    for (int i = 11; i <= 61; ++i)
        EXPECT_EQ(c[size_t(i)], vb::Black) << "tick " << i;
    // Tick 61 asked for a second blink: ticks 62 to 72 repeat ticks 0 to 10.
    for (int i = 62; i <= 72; ++i)
        EXPECT_EQ(c[size_t(i)], c[size_t(i - 62)]) << "tick " << i;
    EXPECT_EQ(p.text, Idle);
    EXPECT_EQ(p.iMessagesCounter, 1);
    EXPECT_EQ(p.iMessageLoops, 0);

    // Still standing at tick 122, gone at 123.
    FakePanel q;
    q.post(QStringLiteral("Refreshing"), false);
    tickPanel(q, 123);
    EXPECT_EQ(q.text, QStringLiteral("Refreshing"));
    MessagePanelTick(q);
    EXPECT_EQ(q.text, Idle);
    EXPECT_EQ(q.colour, vb::Black);
}

TEST(MessagePanel, AKeptMessageStaysAndReblinksUntilAResetLetsTheNextOneExpire)
{
    FakePanel p;
    p.post(QStringLiteral("Need Songs In DJ Playlist To Use Auto-DJ!"), true);
    const auto c = tickPanel(p, 62 * 5);
    EXPECT_EQ(p.text, QStringLiteral("Need Songs In DJ Playlist To Use Auto-DJ!"));
    for (int loop = 0; loop < 5; ++loop)
        EXPECT_EQ(c[size_t(62 * loop + 1)], vb::Blue) << "loop " << loop;

    // Any writer's reset clears the hold, so the next message expires as usual.
    p.reset();
    p.post(QStringLiteral("Refreshing"), false);
    tickPanel(p, 124);
    EXPECT_EQ(p.text, Idle);
}

TEST(MessagePanel, TheIdleTextPostedAsNewTurnsBlueAndStays)
{
    FakePanel p;
    p.bNewMessages = true;
    const auto c = tickPanel(p, 200);
    for (std::uint32_t colour : c)
        EXPECT_EQ(colour, vb::Blue);
    EXPECT_EQ(p.iMessagesCounter, 0);
}

TEST(Housekeeping, InformationLabelsRotateAndTheLampBlinks)
{
    Rig r;
    auto& h = r.host;
    std::vector<int> a, b;
    for (int i = 0; i < 6; ++i) {
        r.housekeeping.TimerMessages_Timer();
        a.push_back(h.info[0]);
        b.push_back(h.info[1]);
    }
    EXPECT_EQ(a, (std::vector<int>{1, 2, 3, 4, 0, 1}));
    EXPECT_EQ(b, (std::vector<int>{2, 3, 4, 0, 1, 2}));
    h.info[0] = -1; // none visible: left alone
    r.housekeeping.TimerMessages_Timer();
    EXPECT_EQ(h.info[0], -1);

    EXPECT_EQ(h.lamp, 1);
    h.state.bAutoDJ = true;
    std::vector<int> lamp;
    for (int i = 0; i < 4; ++i) {
        r.housekeeping.TimerMessages_Timer();
        lamp.push_back(h.lamp);
    }
    EXPECT_EQ(lamp, (std::vector<int>{2, 3, 2, 3}));
    h.state.bAutoDJ = false;
    r.housekeeping.TimerMessages_Timer();
    EXPECT_EQ(h.lamp, 1);
}

TEST(Housekeeping, TheRequestCounterBlinksUntilTheRequestsAreSeen)
{
    Rig r;
    auto& h = r.host;
    h.requests << "/m/a.mp3";
    NewRequests = true;
    std::vector<std::uint32_t> c;
    for (int i = 0; i < 3; ++i) {
        r.housekeeping.TimerMessages_Timer();
        c.push_back(h.counterColour);
    }
    EXPECT_EQ(c, (std::vector<std::uint32_t>{vb::Yellow, vb::Black, vb::Yellow}));
    EXPECT_TRUE(NewRequests);
    h.requestsView = true;
    r.housekeeping.TimerMessages_Timer();
    EXPECT_EQ(h.counterColour, vb::Black);
    EXPECT_FALSE(NewRequests);

    // New requests but an empty list: nothing to blink for.
    h.requestsView = false;
    h.requests.clear();
    NewRequests = true;
    r.housekeeping.TimerMessages_Timer();
    EXPECT_EQ(h.counterColour, vb::Black);
    EXPECT_FALSE(NewRequests);
}

TEST(Housekeeping, AFreeDeckWithAnEmptyQueueWaitsForTheRefill)
{
    Rig r;
    auto& h = r.host;
    for (int i = 1; i <= 20; ++i)
        h.full.push_back(h.song(QStringLiteral("f%1.mp3").arg(i), 30000));
    // Draws over 0..19 pick rows 1..20: never the selection's stand-in 0.
    std::vector<int> draws{3, 0, 19, 7, 7, 1, 18, 5, 12};
    size_t next = 0;
    h.random = [&](int n) {
        EXPECT_EQ(n, 19);
        return draws[next++ % draws.size()];
    };
    h.state.bAutoDJ = true;
    h.state.bLoadNextA = true;

    // Tick 1: the wait of one tick. Tick 2: the queue is empty: refill asked for, tick ends early.
    r.housekeeping.TimerMessages_Timer();
    EXPECT_EQ(r.housekeeping.iNextSongWait, 1);
    r.housekeeping.TimerMessages_Timer();
    EXPECT_TRUE(h.state.bAutoFillDJ);
    EXPECT_EQ(r.housekeeping.iNextSongWait, 0);
    EXPECT_EQ(h.lamp, 2) << "the early end skipped the lamp";
    // Tick 3: the refill waits one tick. Tick 4: nine songs.
    r.housekeeping.TimerMessages_Timer();
    EXPECT_TRUE(h.dj.empty());
    EXPECT_EQ(r.housekeeping.iAutoFillDelay, 1);
    r.housekeeping.TimerMessages_Timer();
    EXPECT_EQ(h.fillPicks, (std::vector<int>{4, 1, 20, 8, 8, 2, 19, 6, 13}));
    EXPECT_FALSE(h.state.bAutoFillDJ);
    // The deck's wait had already passed: it takes the first of the nine on the same tick.
    EXPECT_FALSE(h.state.bLoadNextA);
    EXPECT_EQ(h.deckA.file, h.full[3]);
    EXPECT_EQ(h.dj.size(), 8u);
}

TEST(Housekeeping, RowOneIsLoadedAndMissingFilesAreDroppedAndLogged)
{
    Rig r;
    auto& h = r.host;
    errorlog::setFolder(h.folder);
    // A hidden file is one the load refuses: it goes with the missing ones.
    h.dj = {h.folder + "/gone1.mp3", h.song(".hidden.mp3", 30000), h.folder + "/gone2.mp3", h.song("here.mp3", 30000),
            h.song("next.mp3", 30000)};
    h.selected = 4;
    h.state.bLoadNextB = true;
    r.housekeeping.TimerMessages_Timer(); // wait
    r.housekeeping.TimerMessages_Timer(); // load
    EXPECT_EQ(h.deckB.title, "here");
    EXPECT_EQ(h.dj, std::vector<QString>{h.folder + "/next.mp3"});
    EXPECT_FALSE(h.state.bLoadNextB);

    // A queue of missing files only is emptied in one tick and the refill asked for.
    h.dj = {h.folder + "/x.mp3", h.folder + "/y.mp3"};
    h.state.bLoadNextA = true;
    r.housekeeping.TimerMessages_Timer();
    r.housekeeping.TimerMessages_Timer();
    EXPECT_TRUE(h.dj.empty());
    EXPECT_TRUE(h.state.bAutoFillDJ);
    // Each song that left the queue so has a line naming it.
    const QString log = QString::fromUtf8(testutil::readAll(h.folder + "/QNLERRORS.log"));
    for (const char* gone : {"/gone1.mp3", "/.hidden.mp3", "/gone2.mp3", "/x.mp3", "/y.mp3"})
        EXPECT_TRUE(log.contains("File not found: " + h.folder + gone)) << gone;
    EXPECT_EQ(log.count("\r\n"), 5);
    errorlog::setFolder({});
}

TEST(Housekeeping, BothFreeDecksShareTheWait)
{
    Rig r;
    auto& h = r.host;
    for (const char* n : {"a.mp3", "b.mp3", "c.mp3"})
        h.queue(h.song(n, 30000));
    h.state.bLoadNextA = h.state.bLoadNextB = true;
    r.housekeeping.TimerMessages_Timer(); // A waits (0 -> 1); B finds 1 and loads
    EXPECT_TRUE(h.state.bLoadNextA);
    EXPECT_FALSE(h.state.bLoadNextB);
    EXPECT_EQ(h.deckB.title, "a");
    r.housekeeping.TimerMessages_Timer(); // A waits again (0 -> 1)
    r.housekeeping.TimerMessages_Timer();
    EXPECT_FALSE(h.state.bLoadNextA);
    EXPECT_EQ(h.deckA.title, "b");
}

TEST(Housekeeping, RequestsAreReloadedAndABrokenDatabaseStillFeedsTheDecks)
{
    QTemporaryDir dir;
    errorlog::setFolder(dir.path());
    const QString db = dir.filePath("requests.db");
    writer({"create", db});
    writer({"add", db, "/m/less.mp3", "1", "2024-01-01 10:00:00"});
    writer({"add", db, "/m/most.mp3", "4", "2024-01-02 10:00:00"});
    writer({"add", db, "/m/note.wav", "9"});
    RequestDBPath = db;

    Rig r;
    auto& h = r.host;
    // A tick asks the database's thread to look; its answer comes through the event loop.
    auto tick = [&] {
        r.housekeeping.TimerMessages_Timer();
        ASSERT_TRUE(QTest::qWaitFor([&] { return r.requestLink.idle(); }, 60000));
    };
    NewRequests = false;
    h.marks.takeRequests = false;
    tick();
    EXPECT_TRUE(h.requests.isEmpty()) << "not polled while requests are not taken";

    h.marks.takeRequests = true;
    tick();
    EXPECT_EQ(h.requests, (QStringList{"/m/most.mp3", "/m/less.mp3"}));
    EXPECT_TRUE(NewRequests);
    EXPECT_EQ(testutil::run("bash", {Writer, "get", db, "5"}).trimmed(), "False");

    // A request added later shows on the next tick; "true" in lower case is no signal.
    writer({"add", db, "/m/later.mp3", "1", "2024-01-03 10:00:00"});
    writer({"flag", db, "true"});
    tick();
    EXPECT_EQ(h.requests.size(), 2);
    writer({"flag", db, "True"});
    tick();
    EXPECT_EQ(h.requests, (QStringList{"/m/most.mp3", "/m/less.mp3", "/m/later.mp3"}));

    // The database breaks: the ticks go on feeding the decks, one line in the log.
    ASSERT_TRUE(QFile::remove(db));
    ASSERT_TRUE(testutil::writeAll(db, QByteArray(4096, '\x7f')));
    h.queue(h.song("a.mp3", 30000));
    h.state.bAutoDJ = true;
    h.state.bLoadNextA = true;
    h.panel.post("Hello", false);
    for (int i = 0; i < 5; ++i)
        tick();
    EXPECT_EQ(h.deckA.title, "a");
    EXPECT_FALSE(h.state.bLoadNextA);
    EXPECT_NE(h.lamp, 1);
    EXPECT_EQ(h.panel.iMessagesCounter, 5);
    EXPECT_EQ(h.requests.size(), 3) << "the list keeps what it had";
    EXPECT_EQ(testutil::readAll(dir.filePath("QNLERRORS.log")).count("\r\n"), 1);

    RequestDBPath = requestdb::NoDatabasePath;
    NewRequests = false;
    errorlog::setFolder({});
}
