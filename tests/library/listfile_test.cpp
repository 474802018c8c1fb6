#include "library/listfile.h"
#include "library/medialist.h"
#include "support/testutil.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

using listfile::FieldReader;

namespace {
QStringList readAllFields(const QByteArray& bytes, bool* complete = nullptr)
{
    FieldReader in(bytes);
    QStringList out;
    QString f;
    bool ok = true;
    while (!in.atEnd()) {
        if (!in.next(&f)) {
            ok = false;
            break;
        }
        out << f;
    }
    if (complete)
        *complete = ok;
    return out;
}
} // namespace

TEST(ListFile, LineIsQuotedCommaSeparatedWithCrLf)
{
    QByteArray out;
    const QString fields[] = {QStringLiteral("Say \"Hi\""), QString(), QStringLiteral("3:05"),
                              QStringLiteral("R&B"), QStringLiteral("/m/a\"b.mp3"), QStringLiteral("SCANNED")};
    listfile::appendLine(out, fields, 6);
    EXPECT_EQ(out, QByteArray("\"Say CHR(34)HiCHR(34)\",\"\",\"3:05\",\"R&B\",\"/m/aCHR(34)b.mp3\",\"SCANNED\"\r\n"));

    // A NUL that reached a row never reaches the file.
    out.clear();
    const QString nul[] = {QStringLiteral("Hello") + QChar(0) + QChar(0), QString(QChar(0)) + "x"};
    listfile::appendLine(out, nul, 2);
    EXPECT_EQ(out, QByteArray("\"Hello\",\"x\"\r\n"));
}

TEST(ListFile, FieldsSplitOnCommasAndAnyLineEnd)
{
    // CR LF, CR alone and LF alone all end a line; blank lines between rows separate nothing;
    // blanks around unquoted fields are dropped, text after a closing quote is dropped.
    const QByteArray bytes = "\"a\",\"b\"\r\n\"c\",\"d\"\r\"e\",\"f\"\n\r\n\n  x y  , \"g\"junk\r\n\"\",\r\n";
    bool complete = false;
    EXPECT_EQ(readAllFields(bytes, &complete),
              (QStringList{"a", "b", "c", "d", "e", "f", "x y", "g", "", ""}));
    EXPECT_TRUE(complete);
}

TEST(ListFile, QuotedFieldRunsToNextQuoteAcrossCommasAndLines)
{
    EXPECT_EQ(readAllFields("\"a,b\",\"c\r\nd\"\r\n"), (QStringList{"a,b", "c\r\nd"}));
}

TEST(ListFile, TruncatedFieldOrTrailingBlankLinesReportIncomplete)
{
    bool complete = true;
    EXPECT_EQ(readAllFields("\"a\",\"b", &complete), QStringList{"a"});
    EXPECT_FALSE(complete);
    complete = true;
    EXPECT_EQ(readAllFields("\"a\"\r\n\r\n\r\n", &complete), QStringList{"a"});
    EXPECT_FALSE(complete);
    // A last line without its CR LF is whole.
    EXPECT_EQ(readAllFields("\"a\",\"b\"", &complete), (QStringList{"a", "b"}));
    EXPECT_TRUE(complete);
}

TEST(ListFile, EachLineIsOneRowSoADamagedLineSpoilsOnlyItself)
{
    using Row = FieldReader::Row;
    FieldReader in(QByteArray("\"1\",\"2\",\"3\"\r\n"
                              "\r\n"
                              "\"short\"\r\n"
                              "\"a\",\"b\",\"c\",\"extra\"\r\n"
                              "\"multi\r\nline\",\"\",\r\n"
                              "\"x\",\"y\",\"z\"\r\n"
                              "\"4\",\"5\""));
    QString row[3];
    EXPECT_EQ(in.readRow(row, 3), Row::Complete);
    EXPECT_EQ(row[2], QStringLiteral("3"));
    EXPECT_EQ(in.readRow(row, 3), Row::Padded);
    EXPECT_EQ(row[0], QStringLiteral("short"));
    EXPECT_TRUE(row[1].isEmpty() && row[2].isEmpty());
    EXPECT_EQ(in.readRow(row, 3), Row::Trimmed);
    EXPECT_EQ(row[2], QStringLiteral("c"));
    EXPECT_EQ(in.readRow(row, 3), Row::Complete);
    EXPECT_EQ(row[0], QStringLiteral("multi\r\nline"));
    EXPECT_EQ(in.readRow(row, 3), Row::Complete);
    EXPECT_EQ(row[0], QStringLiteral("x"));
    // Cut off at the end: nothing of it is returned.
    EXPECT_EQ(in.readRow(row, 3), Row::Truncated);
    EXPECT_EQ(row[0], QStringLiteral("x"));

    FieldReader tail(QByteArray("\"a\",\"b\"\r\n\r\n  \r\n"));
    EXPECT_EQ(tail.readRow(row, 2), Row::Complete);
    EXPECT_EQ(tail.readRow(row, 2), Row::End);
}

TEST(ListFile, QuoteRoundTripIncludingLiteralMarkText)
{
    // A double quote survives the trip; text that already reads CHR(34) comes back as a quote.
    EXPECT_EQ(listfile::unescape(listfile::escape(QStringLiteral("\"x\" y"))), QStringLiteral("\"x\" y"));
    EXPECT_EQ(listfile::unescape(QStringLiteral("aCHR(34)b chr(34)")), QStringLiteral("a\"b chr(34)"));
}

TEST(ListFile, NonUtf8FileReadsAsWindows1252)
{
    EXPECT_EQ(readAllFields("\"Caf\xe9\",\"\x93Hi\x94\"\r\n"),
              (QStringList{QStringLiteral("Caf\u00e9"), QStringLiteral("\u201cHi\u201d")}));
    EXPECT_EQ(readAllFields("\"Caf\xc3\xa9\"\r\n"), QStringList{QStringLiteral("Caf\u00e9")});
    // One invalid sequence anywhere makes the whole file Windows-1252; a byte-order mark is dropped.
    EXPECT_EQ(readAllFields("\"\xc3\xa9\",\"\xe9\"\r\n"), (QStringList{QStringLiteral("\u00c3\u00a9"), QStringLiteral("\u00e9")}));
    EXPECT_EQ(readAllFields("\xef\xbb\xbf\"a\"\r\n"), QStringList{"a"});
    EXPECT_FALSE(listfile::isValidUtf8("\xc0\x80", 2)); // overlong
    EXPECT_FALSE(listfile::isValidUtf8("\xed\xa0\x80", 3)); // surrogate
    EXPECT_TRUE(listfile::isValidUtf8("plain ascii text \xf0\x9f\x8e\xb5", 21));
}

TEST(MediaList, EmptyFlagReadsYesAndOtherFlagsStayAsWritten)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("MediaList.qnl");
    ASSERT_TRUE(testutil::writeAll(
        file, "\"/music/a\",\"\"\r\n\"/music/b\",\"No\"\r\n\r\n\"/music/c\",\"yes\"\r\n\"/music/d\"\r\n"));
    const auto r = medialist::read(file);
    EXPECT_TRUE(r.exists);
    EXPECT_FALSE(r.incomplete);
    const std::vector<medialist::Folder> want = {
        {"/music/a", "Yes"}, {"/music/b", "No"}, {"/music/c", "yes"}, {"/music/d", "Yes"}};
    EXPECT_EQ(r.folders, want);
}

TEST(MediaList, MissingFileAndTruncatedRecord)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("MediaList.qnl");
    const auto none = medialist::read(file);
    EXPECT_FALSE(none.exists);
    EXPECT_TRUE(none.folders.empty());

    ASSERT_TRUE(testutil::writeAll(file, "\"/music/a\",\"Yes\"\r\n\"/music/b"));
    const auto cut = medialist::read(file);
    EXPECT_TRUE(cut.incomplete);
    ASSERT_EQ(cut.folders.size(), 1u);
    EXPECT_EQ(cut.folders[0].path, QStringLiteral("/music/a"));
}

TEST(MediaList, WriteIsExactAndRoundTripsQuotesCommasAndAccents)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("MediaList.qnl");
    const std::vector<medialist::Folder> folders = {
        {"/music/Rock", "Yes"}, {"/music/\"Live\", 1999/Bj\u00f6rk", "No"}};
    ASSERT_TRUE(medialist::write(folders, file));
    EXPECT_EQ(testutil::readAll(file),
              QByteArray("\"/music/Rock\",\"Yes\"\r\n\"/music/CHR(34)LiveCHR(34), 1999/Bj\xc3\xb6rk\",\"No\"\r\n"));
    EXPECT_EQ(medialist::read(file).folders, folders);

    ASSERT_TRUE(medialist::write({}, file));
    EXPECT_EQ(testutil::readAll(file), QByteArray());
}

TEST(MediaList, FailedWriteKeepsOldFile)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("sub/MediaList.qnl"); // folder does not exist
    QString error;
    EXPECT_FALSE(medialist::write({{"/x", "Yes"}}, file, &error));
    EXPECT_FALSE(error.isEmpty());
}
