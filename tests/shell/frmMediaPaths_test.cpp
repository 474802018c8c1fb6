#include "startup_fixture.h"

#include <QFile>
#include <QLineEdit>

namespace {

class MediaPaths : public StartupTest {
protected:
    static QString text(frmMediaPaths& d) { return ctl<QLineEdit>(&d, "txtMediaPath")->text(); }
    static void select(frmMediaPaths& d, int row)
    {
        QTreeWidget* t = mediaRows(d);
        t->clearSelection();
        if (row >= 0)
            t->topLevelItem(row)->setSelected(true);
    }
    void writeList(const QByteArray& b) { ASSERT_TRUE(testutil::writeAll(file("MediaList.qnl"), b)); }
};

} // namespace

TEST_F(MediaPaths, ListRoundTripsByteForByte)
{
    const QByteArray list = "\"/srv/music/Dance Hits\",\"Yes\"\r\n"
                            "\"/home/dj/Müsik/Ça va\",\"No\"\r\n"
                            "\"/srv/music/Dance Hits\",\"Yes\"\r\n" // a folder may be listed twice
                            "\"/mnt/usb/Say CHR(34)Hi\",\"Yes\"\r\n";
    writeList(list);
    frmMediaPaths d;
    EXPECT_EQ(rowsOf(d), QStringList({"1|/srv/music/Dance Hits|Yes", "2|/home/dj/Müsik/Ça va|No",
                                      "3|/srv/music/Dance Hits|Yes", "4|/mnt/usb/Say \"Hi|Yes"}));
    d.lblSaveDevices_Click();
    EXPECT_TRUE(d.saved());
    EXPECT_EQ(bytes("MediaList.qnl"), list);
    EXPECT_TRUE(errorLog().isEmpty());
}

TEST_F(MediaPaths, DamagedListsLoadWhatTheyCan)
{
    // Empty flags read "Yes" (and are saved so); blank lines are skipped; a truncated last
    // record is dropped and logged; Windows-1252 bytes are read as such.
    writeList("\"/a\",\"\"\r\n\r\n\"/b\",\"yes\"\r\n\"/caf\xe9\",\"No\"\r\n\"/half");
    frmMediaPaths d;
    EXPECT_EQ(rowsOf(d), QStringList({"1|/a|Yes", "2|/b|yes", "3|/café|No"}));
    EXPECT_TRUE(errorLog().contains("LoadMediaList")) << errorLog().toStdString();
    d.lblSaveDevices_Click();
    EXPECT_EQ(bytes("MediaList.qnl"), "\"/a\",\"Yes\"\r\n\"/b\",\"yes\"\r\n\"/café\",\"No\"\r\n");
}

TEST_F(MediaPaths, AddChoosesAFolderFirstAndAddsItWithTheNextClick)
{
    frmMediaPaths d;
    EXPECT_EQ(d.windowTitle(), "Media Paths");
    EXPECT_EQ(text(d), "[Full Path]");
    boxes.folders = {QString(), QStringLiteral("::{20D04FE0-3AEA-1069-A2D8-08002B30309D}"),
                     QStringLiteral("EntireNetwork"), QStringLiteral("/srv/music")};
    d.lblAdd_MouseUp(); // cancelled
    EXPECT_EQ(text(d), "[Full Path]");
    d.cmdLookup_Click(); // places without a folder path change nothing
    d.cmdLookup_Click();
    EXPECT_EQ(text(d), "[Full Path]");
    EXPECT_TRUE(rowsOf(d).isEmpty());
    d.lblAdd_MouseUp();
    EXPECT_EQ(text(d), "/srv/music");
    EXPECT_TRUE(rowsOf(d).isEmpty()) << "choosing does not add";
    d.lblAdd_MouseUp();
    EXPECT_EQ(rowsOf(d), QStringList({"1|/srv/music|Yes"}));
    EXPECT_EQ(text(d), "[Full Path]");

    // A typed path is added as typed; an emptied box chooses instead of adding a blank path.
    ctl<QLineEdit>(&d, "txtMediaPath")->setText("/typed/by hand");
    d.lblAdd_MouseUp();
    ctl<QLineEdit>(&d, "txtMediaPath")->setText("  ");
    d.lblAdd_MouseUp();
    EXPECT_EQ(rowsOf(d), QStringList({"1|/srv/music|Yes", "2|/typed/by hand|Yes"}));
}

TEST_F(MediaPaths, DeleteRenumbersAndSwitchFlipsTheFlag)
{
    writeList("\"/a\",\"Yes\"\r\n\"/b\",\"Yes\"\r\n\"/c\",\"yes\"\r\n");
    frmMediaPaths d;
    select(d, 1);
    d.lblDelSel_MouseUp();
    EXPECT_EQ(rowsOf(d), QStringList({"1|/a|Yes", "2|/c|yes"}));

    select(d, 0);
    d.lblScanYesNo_MouseUp();
    select(d, 1);
    d.lstMediaPaths_DblClick(); // any flag other than exactly "Yes" becomes "Yes"
    EXPECT_EQ(rowsOf(d), QStringList({"1|/a|No", "2|/c|Yes"}));
    select(d, 0);
    d.lblScanYesNo_MouseUp();
    EXPECT_EQ(rowsOf(d), QStringList({"1|/a|Yes", "2|/c|Yes"}));
    EXPECT_TRUE(errorLog().isEmpty());

    // Rows but none selected: logged, nothing changes.
    select(d, -1);
    d.lblScanYesNo_MouseUp();
    d.lblDelSel_MouseUp();
    EXPECT_EQ(rowsOf(d), QStringList({"1|/a|Yes", "2|/c|Yes"}));
    EXPECT_TRUE(errorLog().contains("lblScanYesNo_MousUp"));
    EXPECT_TRUE(errorLog().contains("lblDelSel_MouseUp"));
}

TEST_F(MediaPaths, SavingAnEmptyListAsksForAFolderAndWritesNothing)
{
    frmMediaPaths d;
    boxes.folders = {QStringLiteral("/srv/music")};
    d.lblSaveDevices_Click();
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "You need at least one media path for me to work!");
    EXPECT_EQ(boxes.shown[0].title, "Need Media Path");
    EXPECT_EQ(boxes.shown[0].flags, vb::mb::Critical);
    EXPECT_EQ(text(d), "/srv/music") << "the folder chooser follows the message";
    EXPECT_FALSE(d.saved());
    EXPECT_FALSE(QFile::exists(file("MediaList.qnl")));
}

TEST_F(MediaPaths, DeletingEveryRowAndSavingKeepsTheOldList)
{
    writeList("\"/a\",\"Yes\"\r\n");
    frmMediaPaths d;
    select(d, 0);
    d.lblDelSel_MouseUp();
    d.lblSaveDevices_Click();
    EXPECT_EQ(bytes("MediaList.qnl"), "\"/a\",\"Yes\"\r\n");
}

TEST_F(MediaPaths, QuitAsksToEndAndAFailedSaveKeepsTheDialogOpen)
{
    writeList("\"/a\",\"Yes\"\r\n");
    frmMediaPaths d;
    d.lblNoClose_Click();
    EXPECT_TRUE(d.quitRequested());
    EXPECT_EQ(bytes("MediaList.qnl"), "\"/a\",\"Yes\"\r\n");

    // A list file that cannot be replaced (here a folder stands in its place): the failure is
    // logged and the dialog stays open with the rows the user entered.
    QFile::remove(file("MediaList.qnl"));
    QDir().mkpath(file("MediaList.qnl"));
    frmMediaPaths e;
    boxes.folders = {QStringLiteral("/b")};
    e.lblAdd_MouseUp();
    e.lblAdd_MouseUp();
    e.lblSaveDevices_Click();
    EXPECT_FALSE(e.saved());
    EXPECT_EQ(rowsOf(e), QStringList({"1|/b|Yes"}));
    EXPECT_TRUE(errorLog().contains("lblSaveDevices_Click")) << errorLog().toStdString();
}
