#include "library/mediawalk.h"
#include "library/songlistmodel.h"
#include "support/testutil.h"

#include <QDir>
#include <QItemSelectionModel>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {
QStringList column(const SongListModel& m, int f)
{
    QStringList out;
    for (int i = 0; i < m.count(); ++i)
        out << m.cell(i, f);
    return out;
}
} // namespace

TEST(SongListModel, NumIsThePositionAndColumnsFollowTheList)
{
    SongListModel full(SongListModel::Kind::Full), most(SongListModel::Kind::MostPlayed);
    EXPECT_EQ(full.columnCount(), 7);
    EXPECT_EQ(most.columnCount(), 6);
    EXPECT_EQ(most.headerData(4, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Plays"));
    EXPECT_EQ(full.headerData(6, Qt::Horizontal, Qt::DisplayRole).toString(), QStringLiteral("Edited"));
    // A six-column list has no Edited cell, whatever it is given.
    most.append(SongRow("a", "", "", "1", "/a.mp3", "SCANNED"));
    EXPECT_TRUE(most.cell(0, field::Edited).isEmpty());
    for (const char* t : {"b", "c"})
        most.append(SongRow(t, "", "", "1", "/x.mp3"));
    most.removeAt(0);
    most.insertAt(1, SongRow("new", "", "", "1", "/n.mp3"));
    EXPECT_EQ(column(most, field::Title), (QStringList{"b", "new", "c"}));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(most.index(i, 0).data().toString(), QString::number(i + 1));
}

TEST(SongListModel, SortIsStableCaseBlindAndSelectionFollowsItsRow)
{
    SongListModel m(SongListModel::Kind::Queue);
    const char* rows[][2] = {{"beta", "1"}, {"Alpha", "2"}, {"alpha", "3"}, {"Beta", "4"}, {"", "5"}};
    for (auto& r : rows)
        m.append(SongRow(r[0], "", "", "", r[1]));
    QItemSelectionModel sel(&m);
    sel.setCurrentIndex(m.index(3, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const std::uint64_t id = m.at(3).id;

    m.sortByColumn(1, Qt::AscendingOrder);
    EXPECT_EQ(column(m, field::Filename), (QStringList{"5", "2", "3", "1", "4"}));
    EXPECT_EQ(sel.currentIndex().row(), 4);
    EXPECT_EQ(m.indexOfId(id), 4);
    m.sortByColumn(1, Qt::DescendingOrder);
    EXPECT_EQ(column(m, field::Filename), (QStringList{"1", "4", "2", "3", "5"}));
    m.moveRow(4, 0);
    EXPECT_EQ(column(m, field::Filename).first(), QStringLiteral("5"));
    EXPECT_EQ(m.indexOfId(id), 2);
}

TEST(MediaWalk, FolderThatVanishesMidWalkIsReportedAndSkipped)
{
    QTemporaryDir dir;
    for (char c = 'a'; c <= 'j'; ++c) {
        const QString sub = dir.path() + "/r/" + QLatin1Char(c);
        QDir().mkpath(sub);
        ASSERT_TRUE(testutil::writeAll(sub + "/" + QLatin1Char(c) + ".mp3", ""));
    }
    MediaWalk walk({dir.path() + "/r"});
    QStringList errors;
    walk.onError = [&](const QString& folder, const QString&) { errors << folder; };
    std::vector<SongRow> rows;
    // A zero budget still makes progress: the root is listed, then a slice at a time.
    EXPECT_FALSE(walk.step(rows, std::chrono::microseconds(0)));
    ASSERT_LT(rows.size(), 8u);
    QDir(dir.path() + "/r/i").removeRecursively();
    while (!walk.step(rows, std::chrono::microseconds(0))) {
    }
    ASSERT_EQ(rows.size(), 9u);
    EXPECT_TRUE(rows[8].filename().endsWith("/r/j/j.mp3"));
    EXPECT_EQ(errors, QStringList{dir.path() + "/r/i"});
}

TEST(MediaWalk, UnreadableFolderIsReportedAndTheRestWalked)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop the superuser";
    QTemporaryDir dir;
    for (const char* f : {"/r/a/1.mp3", "/r/b/2.mp3"}) {
        QDir().mkpath(QFileInfo(dir.path() + f).path());
        ASSERT_TRUE(testutil::writeAll(dir.path() + f, ""));
    }
    QFile::setPermissions(dir.path() + "/r/a", QFileDevice::WriteOwner);
    MediaWalk walk({dir.path() + "/r"});
    int errors = 0;
    walk.onError = [&](const QString&, const QString&) { ++errors; };
    std::vector<SongRow> rows;
    while (!walk.step(rows, std::chrono::milliseconds(20))) {
    }
    QFile::setPermissions(dir.path() + "/r/a", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(errors, 1);
}
