// The main window's side of the tag editor: the openers (the list commands, the decks' Edit
// labels, Ctrl+E through editSongTag) and what a save changes here, the decks' labels and every
// song list row that holds the saved file.
#include "shell/frmMain.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "core/frmEditMP3.h"
#include "decks/decks.h"
#include "decks/songlist.h"
#include "library/library.h"
#include "shell/frmWait.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QProgressBar>
#include <QTreeView>

namespace {

// The deck shows the saved tag when it holds exactly the saved file: the title line, the genre and
// the year, and the song fields it counts plays under.
void showOnDeck(Deck& deck, const SavedTag& tag)
{
    if (deck.filename.isEmpty() || deck.filename != tag.path)
        return;
    const QString title = tag.title + QStringLiteral(" - ") + tag.artist;
    deck.lblTitle->setText(title);
    deck.lblTitle->setToolTip(title);
    deck.lblGenre->setText(QStringLiteral("Genre: ") + tag.genre);
    deck.lblYear->setText(QStringLiteral("Year: ") + tag.year);
    deck.title = tag.title;
    deck.artist = tag.artist;
    deck.genre = tag.genre;
}

// Every row of the list that holds exactly the saved file, duplicates included. Most Played keeps
// its play counts where the others show the genre.
void showInList(SongListModel& list, const SavedTag& tag)
{
    const bool plays = list.kind() == SongListModel::Kind::MostPlayed;
    const int n = list.count();
    for (int i = 0; i < n; ++i) {
        if (list.cell(i, field::Filename) != tag.path)
            continue;
        list.setCell(i, field::Title, tag.title);
        list.setCell(i, field::Artist, tag.artist);
        if (!plays)
            list.setCell(i, field::Genre, tag.genre);
    }
}

} // namespace

void frmMain::wireTagEditor()
{
    runTagEditor = [](QDialog& editor) { editor.exec(); };
    connect(ctl<SkinControl>(this, "lblEditPlayerAClick"), &SkinControl::Click, this,
            &frmMain::lblEditPlayerAClick_Click);
    connect(ctl<SkinControl>(this, "lblPlayerBEditClick"), &SkinControl::Click, this,
            &frmMain::lblPlayerBEditClick_Click);
}

void frmMain::editSongTag(const QString& path)
{
    if (frmEditMP3::current())
        return;
    frmEditMP3::EditFilePath = path;
    QPointer<frmEditMP3> editor = new frmEditMP3(this);
    editor->hooks.showWait = [this](const QString& message) {
        frmWait::Show(this)->lblMessage->setText(message);
    };
    editor->hooks.waitProgress = [](int percent) {
        if (frmWait* wait = frmWait::instance())
            wait->ProgWait->setValue(percent);
    };
    editor->hooks.unloadWait = [] { frmWait::Unload(); };
    editor->hooks.updateDeck = [this](char deck, const SavedTag& tag) {
        if (decks)
            showOnDeck(decks->deck(deck), tag);
    };
    editor->hooks.updateList = [this](const char* list, const SavedTag& tag) {
        if (library)
            showInList(library->modelOf(ctl<QTreeView>(this, list)), tag);
    };
    if (editor->Form_Load() && runTagEditor)
        runTagEditor(*editor);
    delete editor.data();
    frmWait::Unload();
}

void frmMain::OpenMP3Window(QTreeView* lstList)
{
    ViewSongList list(lstList);
    if (list.RowCount() == 0)
        return;
    // No row chosen: nothing to open (an old path would open a song the user did not pick).
    const QItemSelectionModel* selection = lstList->selectionModel();
    if (!selection || (!selection->currentIndex().isValid() && !selection->hasSelection()))
        return;
    editSongTag(list.SubItem(list.SelectedNum(), 5));
}

void frmMain::lblEditPlayerAClick_Click()
{
    trap("B-48", [&] {
        if (StandbyMode || deckState().PlayerAFilename.isEmpty())
            return;
        editSongTag(deckState().PlayerAFilename);
    });
}

void frmMain::lblPlayerBEditClick_Click()
{
    trap("B-91", [&] {
        if (StandbyMode || deckState().PlayerBFilename.isEmpty())
            return;
        editSongTag(deckState().PlayerBFilename);
    });
}
