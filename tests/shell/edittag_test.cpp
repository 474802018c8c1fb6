// The tag editor from the main window: which song each opener hands it, and what a save changes
// on the decks and in the song lists.
#include "mainwindow_fixture.h"

#include "core/frmEditMP3.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "platform/ui/dialogs.h"
#include "shell/frmWait.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QLineEdit>
#include <QTreeView>

namespace {

class EditTagTest : public MainWindowTest {
protected:
    ui::ScriptedDialogs dialogs;
    QStringList opened; // EditFilePath of every editor shown

    void SetUp() override
    {
        MainWindowTest::SetUp();
        ui::setDialogs(&dialogs);
        w->runTagEditor = [this](QDialog&) { opened << frmEditMP3::EditFilePath; };
    }
    void TearDown() override
    {
        resetDeckWorld();
        MainWindowTest::TearDown();
    }

    QTreeView* view(const char* name) { return c<QTreeView>(name); }
    static SongRow row(const QString& path, const QString& genreOrPlays = QStringLiteral("Pop"))
    {
        return SongRow(QStringLiteral("Old"), QStringLiteral("Old Artist"), QStringLiteral("0:10"), genreOrPlays, path);
    }
};

} // namespace

TEST_F(EditTagTest, SaveShowsTheTagOnTheDeckAndInEveryRowOfTheFile)
{
    const QString path = testutil::copyMedia(QStringLiteral("tagged.mp3"), dir.path(), QStringLiteral("Song.mp3"));
    const QString otherCase = dir.filePath(QStringLiteral("song.mp3")); // another file
    Library& lib = *w->library;
    lib.full().append(row(path));
    lib.full().append(row(otherCase));
    lib.full().append(row(path)); // a duplicate
    lib.mostPlayed().append(row(path, QStringLiteral("7")));
    lib.songBin().append(row(path));
    lib.djPlaylist().append(row(otherCase));
    lib.djPlaylist().append(row(path));
    lib.search().append(row(path));
    lib.requests().append(row(path));

    DeckState& d = deckState();
    d.PlayerAFilename = path;
    d.PlayerBFilename = otherCase;
    Deck& a = w->decks->A();
    Deck& b = w->decks->B();
    b.lblTitle->setText(QStringLiteral("Deck B Song"));

    w->runTagEditor = [](QDialog& dialog) {
        auto& e = static_cast<frmEditMP3&>(dialog);
        e.txtTitle->setText(QStringLiteral("R&B Night"));
        e.txtArtist->setText(QStringLiteral("DJ & Co"));
        frmEditMP3* open = frmEditMP3::current();
        EXPECT_EQ(open, &e);
        e.SaveMP3Info();
        EXPECT_TRUE(frmWait::instance() && frmWait::instance()->isVisible());
    };
    w->lblEditPlayerAClick_Click();

    // The deck that holds the file shows the new texts as they are.
    EXPECT_EQ(a.lblTitle->text(), QStringLiteral("R&B Night - DJ & Co"));
    EXPECT_EQ(a.lblTitle->toolTip(), QStringLiteral("R&B Night - DJ & Co"));
    EXPECT_EQ(a.lblGenre->text(), QStringLiteral("Genre: Rock"));
    EXPECT_EQ(a.lblYear->text(), QStringLiteral("Year: 2004"));
    EXPECT_EQ(d.PlayerATitle, QStringLiteral("R&B Night"));
    EXPECT_EQ(d.PlayerAArtist, QStringLiteral("DJ & Co"));
    EXPECT_EQ(b.lblTitle->text(), QStringLiteral("Deck B Song"));

    // Every row of the file in every list, with the text as it stands; rows of a path that
    // differs only in letter case are another file's.
    for (SongListModel* list : {&lib.full(), &lib.mostPlayed(), &lib.songBin(), &lib.djPlaylist(), &lib.search(),
                                &lib.requests()}) {
        for (int i = 0; i < list->count(); ++i) {
            const bool mine = list->cell(i, field::Filename) == path;
            const bool plays = list == &lib.mostPlayed();
            SCOPED_TRACE(list->cell(i, field::Filename).toStdString() + " row " + std::to_string(i));
            EXPECT_EQ(list->cell(i, field::Title), mine ? QStringLiteral("R&B Night") : QStringLiteral("Old"));
            EXPECT_EQ(list->cell(i, field::Artist), mine ? QStringLiteral("DJ & Co") : QStringLiteral("Old Artist"));
            EXPECT_EQ(list->cell(i, field::Genre),
                      plays ? QStringLiteral("7") : mine ? QStringLiteral("Rock") : QStringLiteral("Pop"));
            EXPECT_EQ(list->cell(i, field::Time), QStringLiteral("0:10"));
        }
    }
    // The opener unloads the wait window once the editor has closed.
    EXPECT_TRUE(!frmWait::instance() || !frmWait::instance()->isVisible());
    EXPECT_EQ(frmEditMP3::current(), nullptr);
    EXPECT_TRUE(dialogs.shown.empty());
}

// Which song each opener hands the editor, and when none opens.
TEST_F(EditTagTest, OpenersChooseTheSongOrNothing)
{
    const QString one = testutil::copyMedia(QStringLiteral("tone10s.mp3"), dir.path(), QStringLiteral("one.mp3"));
    const QString two = testutil::copyMedia(QStringLiteral("tagged.mp3"), dir.path(), QStringLiteral("two.mp3"));
    Library& lib = *w->library;

    // The list commands: an empty list, a list with no row chosen, the chosen row.
    w->OpenMP3Window(view("lstDJPlayList"));
    lib.djPlaylist().append(row(one));
    lib.djPlaylist().append(row(two));
    view("lstDJPlayList")->selectionModel()->clear();
    w->OpenMP3Window(view("lstDJPlayList"));
    EXPECT_TRUE(opened.isEmpty());
    Library::selectRow(view("lstDJPlayList"), 2, false);
    w->OpenMP3Window(view("lstDJPlayList"));
    EXPECT_EQ(opened, QStringList{two});

    // The Search list's "No Songs Found!" row opens nothing; a row whose file is gone gets the
    // message and no editor.
    opened.clear();
    lib.addSearchPlaceholder();
    Library::selectRow(view("lstSearch"), 1, false);
    w->OpenMP3Window(view("lstSearch"));
    lib.songBin().append(row(dir.filePath(QStringLiteral("gone.mp3"))));
    Library::selectRow(view("lstSongBin"), 1, false);
    w->OpenMP3Window(view("lstSongBin"));
    EXPECT_TRUE(opened.isEmpty());
    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, QStringLiteral("Filepath was incorrect for editing tag!"));

    // The Edit labels: nothing before a deck was loaded or in stand-by; a click on the label opens
    // the deck's song.
    DeckState& d = deckState();
    w->lblEditPlayerAClick_Click();
    w->lblPlayerBEditClick_Click();
    d.PlayerAFilename = one;
    d.PlayerBFilename = two;
    w->StandbyMode = true;
    w->lblEditPlayerAClick_Click();
    w->lblPlayerBEditClick_Click();
    EXPECT_TRUE(opened.isEmpty());
    w->StandbyMode = false;
    emit c<SkinControl>("lblEditPlayerAClick")->Click();
    emit c<SkinControl>("lblPlayerBEditClick")->Click();
    EXPECT_EQ(opened, (QStringList{one, two}));

    // While an editor is open, no opener opens a second one.
    opened.clear();
    w->runTagEditor = [&](QDialog&) {
        opened << frmEditMP3::EditFilePath;
        w->editSongTag(two);
        w->OpenMP3Window(view("lstDJPlayList"));
    };
    w->editSongTag(one);
    EXPECT_EQ(opened, QStringList{one});
    EXPECT_EQ(errorLog(), QString());
}
