// Profile files: the read and write rules the settings callers rely on, checked on whole-file bytes.
#include "core/errorlog.h"
#include "core/settings.h"
#include "platform/profile/profile.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::readAll;
using testutil::writeAll;

namespace {

class Profile : public ::testing::Test {
protected:
    void SetUp() override { errorlog::setFolder(dir.path()); }
    void TearDown() override { errorlog::setFolder({}); }

    QTemporaryDir dir;
    QString file = dir.filePath("config.ini");
    QString read(const QString& section, const QString& key, const QString& def = "NULL")
    {
        return ReadINI(section, key, def, file);
    }
};

} // namespace

TEST_F(Profile, MissingFileGivesDefaultsAndTheFirstWriteCreatesIt)
{
    EXPECT_EQ(read("PROG", "FontSize", "2000"), "2000");
    EXPECT_EQ(read("PROG", "FontSize", ""), "");
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_TRUE(WriteINI("SoundDevices", "PlayerA", "1", file));
    EXPECT_EQ(readAll(file), "[SoundDevices]\r\nPlayerA=1\r\n");
    EXPECT_EQ(read("SoundDevices", "PlayerA"), "1");
    EXPECT_EQ(read("SoundDevices", "PlayerB"), "NULL");
    EXPECT_EQ(read("Other", "PlayerA"), "NULL");
}

TEST_F(Profile, WritesReplaceInPlaceAddKeysAtSectionEndAndKeepOtherLines)
{
    const QByteArray original = "; settings\n"
                                "[PROG]\r\n"
                                "Version=1\r\n"
                                "Odd line without equals\n"
                                "\r\n"
                                "[Requests]\r\n"
                                "RequestDB=C:\\old.mdb\r\n"
                                "Other = x";
    ASSERT_TRUE(writeAll(file, original));
    WriteINI("requests", "requestdb", "/music/requests.db", file);
    WriteINI("PROG", "Version", "2", file);
    WriteINI("PROG", "Version", "3", file);
    WriteINI("PROG", "New", "n", file);
    WriteINI("Configured", "Done", "True", file);
    WriteINI("REQUESTS", "OTHER", "y", file);
    EXPECT_EQ(readAll(file), "; settings\n"
                             "[PROG]\r\n"
                             "Version=3\r\n"
                             "Odd line without equals\n"
                             "New=n\r\n"
                             "\r\n"
                             "[Requests]\r\n"
                             "RequestDB=/music/requests.db\r\n"
                             "Other=y\r\n"
                             "[Configured]\r\n"
                             "Done=True\r\n");
    EXPECT_EQ(read("REQUESTS", "RequestDB"), "/music/requests.db");
    EXPECT_EQ(read("requests", "other"), "y");
}

TEST_F(Profile, ReadsTrimQuotesTakeTheFirstDuplicateAndCutLongValues)
{
    const QByteArray text = "[S]\r\n"
                            "Blank=   padded value \t\r\n"
                            "Quoted=\"  inside  \"\r\n"
                            "Single='x'\r\n"
                            "Half=\"open\r\n"
                            "Empty=\r\n"
                            "Dup=first\r\n"
                            "DUP=second\r\n"
                            "garbage \x01\xff line\r\n"
                            "[broken\r\n"
                            "Key=in broken\r\n"
                            "[S2]\r\n"
                            "Long="
                            + QByteArray(3000, 'v') + "\r\n";
    ASSERT_TRUE(writeAll(file, text));
    EXPECT_EQ(read("s", "blank"), "padded value");
    EXPECT_EQ(read("S", "Quoted"), "  inside  ");
    EXPECT_EQ(read("S", "Single"), "x");
    EXPECT_EQ(read("S", "Half"), "\"open");
    EXPECT_EQ(read("S", "Empty"), "");
    EXPECT_EQ(read("S", "Dup"), "first");
    EXPECT_EQ(read("broken", "Key"), "in broken");
    EXPECT_EQ(read("S2", "Long").size(), profile::MaxValueLength);
    EXPECT_EQ(read("S", "Missing"), "NULL");

    // The duplicate that is not read is not the one written either.
    WriteINI("S", "dup", "third", file);
    EXPECT_EQ(read("S", "Dup"), "third");
    EXPECT_TRUE(readAll(file).contains("DUP=second\r\n"));
}

TEST_F(Profile, ValuesStayOneLineAndTextRoundTrips)
{
    WriteINI("S", "Multi", "one\r\ntwo\nthree", file);
    EXPECT_EQ(read("S", "Multi"), "one  two three");
    const QString long3000(3000, QChar('a'));
    WriteINI("S", "Long", long3000, file);
    EXPECT_EQ(read("S", "Long"), long3000.left(2047));
    WriteINI("S", "Text", QString::fromUtf8("Café – Björk"), file);
    EXPECT_EQ(read("S", "Text"), QString::fromUtf8("Café – Björk"));
    WriteINI("S", "Spaces", "  both  ", file);
    EXPECT_EQ(read("S", "Spaces"), "both");
    EXPECT_EQ(readAll(file), "[S]\r\nMulti=one  two three\r\nLong=" + QByteArray(3000, 'a')
                                 + "\r\nText=Caf\xc3\xa9 \xe2\x80\x93 Bj\xc3\xb6rk\r\nSpaces=  both  \r\n");

    // A file written by an older version in the Windows code page still reads.
    ASSERT_TRUE(writeAll(file, "[Playlists]\r\nFolder=C:\\M\xfasica\r\n"));
    EXPECT_EQ(read("Playlists", "Folder"), QString::fromUtf8("C:\\Música"));
}

TEST_F(Profile, FailedWritesLeaveNoFileBehindAndAreLoggedWithTheirReason)
{
    const QString nowhere = dir.filePath("missing/config.ini");
    EXPECT_FALSE(WriteINI("S", "K", "v", nowhere));
    EXPECT_FALSE(QFile::exists(nowhere));
    // A folder where the file should be: nothing is damaged, the default comes back.
    QDir().mkdir(file);
    EXPECT_FALSE(WriteINI("S", "K", "v", file));
    EXPECT_EQ(read("S", "K", "def"), "def");
    QStringList left = QDir(dir.path()).entryList(QDir::Files);
    left.sort();
    EXPECT_EQ(left, QStringList({"QNLERRORS.log", "config.ini.lock"})) << "no temporary file left";
    const QByteArray log = readAll(dir.filePath("QNLERRORS.log"));
    EXPECT_TRUE(log.contains("Desc=Path/File access error: " + nowhere.toUtf8() + ": No such file or directory, "
                             "Funtion=WriteINI\r\n"))
        << log.constData();
    EXPECT_EQ(log.count("Funtion=WriteINI\r\n"), 2) << log.constData();
}

// Two programs writing the same settings file at once: each read-change-replace holds the lock
// file, so no write is lost. One that holds the lock for too long makes the write fail (and be
// reported) instead of freezing the window.
TEST_F(Profile, WritersTakeTurnsUnderTheLockFile)
{
    constexpr int writers = 4, keys = 25;
    std::vector<pid_t> children;
    for (int w = 0; w < writers; ++w) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool ok = true;
            for (int k = 0; k < keys; ++k)
                ok = profile::writeString(file, "Shared", QString("W%1K%2").arg(w).arg(k), QString::number(k)) && ok;
            _exit(ok ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    int missing = 0;
    for (int w = 0; w < writers; ++w)
        for (int k = 0; k < keys; ++k)
            missing += read("Shared", QString("W%1K%2").arg(w).arg(k)) != QString::number(k);
    EXPECT_EQ(missing, 0);

    const QByteArray before = readAll(file);
    const int held = ::open(QFile::encodeName(file + ".lock").constData(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    QString why;
    EXPECT_FALSE(profile::writeString(file, "Shared", "W0K0", "changed", &why));
    EXPECT_EQ(why, "the file is held by another program");
    EXPECT_EQ(readAll(file), before);
    ::close(held);
    EXPECT_TRUE(profile::writeString(file, "Shared", "W0K0", "changed"));
}
