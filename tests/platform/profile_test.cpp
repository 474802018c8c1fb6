// Profile files: the read and write rules the settings callers rely on, checked on whole-file bytes.
#include "core/settings.h"
#include "platform/profile/profile.h"
#include "support/testutil.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using testutil::readAll;
using testutil::writeAll;

namespace {

class Profile : public ::testing::Test {
protected:
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
    EXPECT_EQ(readAll(file), "; settings\n"
                             "[PROG]\r\n"
                             "Version=3\r\n"
                             "Odd line without equals\n"
                             "New=n\r\n"
                             "\r\n"
                             "[Requests]\r\n"
                             "requestdb=/music/requests.db\r\n"
                             "Other = x\r\n"
                             "[Configured]\r\n"
                             "Done=True\r\n");
    EXPECT_EQ(read("REQUESTS", "RequestDB"), "/music/requests.db");
    EXPECT_EQ(read("requests", "other"), "x");
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

TEST_F(Profile, FailedWritesLeaveNoFileBehind)
{
    const QString nowhere = dir.filePath("missing/config.ini");
    EXPECT_FALSE(WriteINI("S", "K", "v", nowhere));
    EXPECT_FALSE(QFile::exists(nowhere));
    // A folder where the file should be: nothing is damaged, the default comes back.
    QDir().mkdir(file);
    EXPECT_FALSE(WriteINI("S", "K", "v", file));
    EXPECT_EQ(read("S", "K", "def"), "def");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 0) << "no temporary file left";
}
