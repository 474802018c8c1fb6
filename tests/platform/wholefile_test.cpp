// Replacing a file whole: what the replaced file keeps, and what a failed save leaves.
#include "platform/files/wholefile.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

using testutil::readAll;

TEST(WholeFile, ReplacesKeepingModeAndLinksAndFailsWithTheReason)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("list.qnl");
    ASSERT_TRUE(files::writeWhole(file, "one"));
    EXPECT_EQ(readAll(file), "one");

    // The replaced file's permission bits stay.
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0640), 0);
    ASSERT_TRUE(files::writeWhole(file, "two"));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(readAll(file), "two");

    // A link stays a link; the file it points to is replaced.
    const QString link = dir.filePath("link.qnl");
    ASSERT_TRUE(QFile::link(file, link));
    ASSERT_TRUE(files::writeWhole(link, "three"));
    EXPECT_TRUE(QFileInfo(link).isSymLink());
    EXPECT_EQ(readAll(file), "three");

    // An empty save is a save: the file is emptied.
    ASSERT_TRUE(files::writeWhole(file, {}));
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_EQ(QFileInfo(file).size(), 0);

    // Failures say why and leave nothing behind.
    QString why;
    EXPECT_FALSE(files::writeWhole(dir.filePath("missing/list.qnl"), "x", &why));
    EXPECT_EQ(why, "No such file or directory");
    ASSERT_TRUE(QDir(dir.path()).mkdir("folder"));
    EXPECT_FALSE(files::writeWhole(dir.filePath("folder"), "x", &why));
    EXPECT_EQ(why, "Is a directory");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"link.qnl", "list.qnl"}));
}
