// The tag editor window offscreen: what it shows of a file, what Save writes and hands to the
// decks and lists, and what a failed or cancelled save leaves behind.
#include "core/clsMP3.h"
#include "core/errorlog.h"
#include "core/frmEditMP3.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

using testutil::copyMedia;
using testutil::media;
using testutil::readAll;

namespace {

// The writes made to a file while it is watched: each change of its bytes. Every open is
// watched too, so the change of one write is never merged with that of the write before.
class WriteCounter {
public:
    explicit WriteCounter(const QString& path) : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        ::inotify_add_watch(fd_, QFile::encodeName(path).constData(), IN_OPEN | IN_MODIFY | IN_CLOSE);
    }
    ~WriteCounter() { ::close(fd_); }
    int writes()
    {
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = ::read(fd_, buf, sizeof buf)) > 0) {
            for (char* p = buf; p < buf + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event*>(p)->len)
                writes_ += (reinterpret_cast<inotify_event*>(p)->mask & IN_MODIFY) ? 1 : 0;
        }
        return writes_;
    }

private:
    int fd_;
    int writes_ = 0;
};

class TagEditor : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<frmEditMP3> editor;
    QStringList calls;        // hooks in the order they ran
    QList<SavedTag> saved;    // the tag handed to each deck and list hook

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        enterProgramFolder(dir.path());
        ui::setDialogs(&dialogs);
    }

    void TearDown() override
    {
        editor.reset();
        ui::setDialogs(nullptr);
        leaveProgramFolder();
    }

    // A new editor on path, loaded; false when it closed itself.
    bool open(const QString& path)
    {
        frmEditMP3::EditFilePath = path;
        editor = std::make_unique<frmEditMP3>();
        editor->hooks.showWait = [this](const QString& m) { calls << QStringLiteral("wait:") + m; };
        editor->hooks.waitProgress = [this](int p) { calls << QString::number(p); };
        editor->hooks.unloadWait = [this] { calls << QStringLiteral("unload"); };
        editor->hooks.updateDeck = [this](char d, const SavedTag& t) {
            calls << QStringLiteral("deck") + QLatin1Char(d);
            saved << t;
        };
        editor->hooks.updateList = [this](const char* list, const SavedTag& t) {
            calls << QLatin1String(list);
            saved << t;
        };
        return editor->Form_Load();
    }

    // The same, then shown as an opener shows it; false unless it is on screen.
    bool openShown(const QString& path)
    {
        if (!open(path))
            return false;
        editor->show();
        return QTest::qWaitForWindowExposed(editor.get());
    }

    clsMP3 tagOf(const QString& path)
    {
        clsMP3 m;
        m.setFullName(path);
        m.ReadMP3Info();
        return m;
    }

    QString errorLog() const { return QString::fromUtf8(readAll(dir.filePath(QStringLiteral("QNLERRORS.log")))); }
};

} // namespace

TEST_F(TagEditor, LoadShowsTheTagAndTheHeaderFacts)
{
    const QString path = copyMedia(QStringLiteral("tagged.mp3"), dir.path());
    ASSERT_TRUE(open(path));
    frmEditMP3& e = *editor;
    EXPECT_EQ(e.txtTitle->text(), QStringLiteral("Test Title"));
    EXPECT_EQ(e.txtArtist->text(), QStringLiteral("Test Artist"));
    EXPECT_EQ(e.txtAlbum->text(), QStringLiteral("Test Album"));
    EXPECT_EQ(e.txtComment->text(), QStringLiteral("A comment"));
    EXPECT_EQ(e.txtYear->text(), QStringLiteral("2004"));
    EXPECT_EQ(e.cboGenre->currentText(), QStringLiteral("Rock"));
    EXPECT_EQ(e.cboGenre->count(), 153);
    EXPECT_EQ(e.txtFilepath->toPlainText(), path);

    EXPECT_EQ(e.txtVersion->text(), QStringLiteral("1.0"));
    EXPECT_EQ(e.txtLayer->text(), QStringLiteral("3"));
    EXPECT_EQ(e.txtBitrate->text(), QStringLiteral("128"));
    EXPECT_EQ(e.txtSampleRate->text(), QStringLiteral("44100"));
    EXPECT_EQ(e.txtChannelMode->text().trimmed(), tagOf(path).ChannelMode().trimmed());
    EXPECT_EQ(e.txtCopyright->text(), QStringLiteral("No"));
    EXPECT_EQ(e.txtValidHeader->text(), QStringLiteral("Yes"));
    EXPECT_EQ(e.txtPlayTime->text(), QStringLiteral("0:10"));

    // The tag fields take no more than the tag holds; the facts cannot be edited or tabbed to.
    for (QLineEdit* box : {e.txtTitle, e.txtArtist, e.txtAlbum, e.txtComment})
        EXPECT_EQ(box->maxLength(), 30) << box->objectName().toStdString();
    EXPECT_EQ(e.txtYear->maxLength(), 4);
    EXPECT_TRUE(e.txtTitle->isEnabled() && e.cboGenre->isEnabled() && e.cmdMyMediaFileSaveInfo->isEnabled());
    EXPECT_TRUE(e.txtPlayTime->isReadOnly() && e.txtFilepath->isReadOnly());
    EXPECT_EQ(e.txtPlayTime->focusPolicy(), Qt::ClickFocus);
    EXPECT_TRUE(dialogs.shown.empty());
}

// Files that are not what a tidy library holds: each opens with sound values, or not at all.
TEST_F(TagEditor, LoadOfAwkwardFiles)
{
    // No tag: the title is the file name less its folder and extension, cut to the tag's width;
    // a path with non-ASCII letters and quotes is taken as it stands.
    const QString odd = dir.filePath(QStringLiteral("Ça \"quoted\" 'song' — a name far longer than thirty.mp3"));
    ASSERT_TRUE(QFile::copy(media(QStringLiteral("tone10s.mp3")), odd));
    ASSERT_TRUE(open(odd));
    EXPECT_EQ(editor->txtTitle->text(), QStringLiteral("Ça \"quoted\" 'song' — a name fa"));
    EXPECT_EQ(editor->txtArtist->text(), QString());
    EXPECT_EQ(editor->cboGenre->currentText(), QStringLiteral("Other"));
    EXPECT_EQ(editor->txtFilepath->toPlainText(), odd);

    // A genre byte the table lacks reads "Unknown", which selects "Other".
    ASSERT_TRUE(open(copyMedia(QStringLiteral("genre200.mp3"), dir.path())));
    EXPECT_EQ(editor->txtTitle->text(), QStringLiteral("High Genre"));
    EXPECT_EQ(editor->cboGenre->currentText(), QStringLiteral("Other"));

    // No frame header: "No", and the play time of -1 seconds (no length) shows 0:00.
    ASSERT_TRUE(open(copyMedia(QStringLiteral("junk.mp3"), dir.path())));
    EXPECT_EQ(editor->txtValidHeader->text(), QStringLiteral("No"));
    EXPECT_EQ(editor->txtPlayTime->text(), QStringLiteral("0:00"));

    // MPEG-2.5 frames, which the header search does not decode: the play time all the same.
    ASSERT_TRUE(open(copyMedia(QStringLiteral("mpeg25_11k.mp3"), dir.path())));
    EXPECT_EQ(editor->txtValidHeader->text(), QStringLiteral("No"));
    EXPECT_EQ(editor->txtPlayTime->text(), QStringLiteral("0:20"));

    // A large ID3v2 tag in front: the header behind it is found.
    ASSERT_TRUE(open(copyMedia(QStringLiteral("id3v2_100k.mp3"), dir.path())));
    EXPECT_EQ(editor->txtValidHeader->text(), QStringLiteral("Yes"));
    EXPECT_EQ(editor->txtBitrate->text(), QStringLiteral("128"));

    // Nothing to edit: closes without a word.
    EXPECT_FALSE(open(QString()));
    EXPECT_TRUE(dialogs.shown.empty());

    // A file that is gone, a folder and a hidden file: the message, and the window closes.
    for (const QString& path : {dir.filePath(QStringLiteral("gone.mp3")), dir.path(),
                                copyMedia(QStringLiteral("tone10s.mp3"), dir.path(), QStringLiteral(".hidden.mp3"))}) {
        dialogs.shown.clear();
        EXPECT_FALSE(open(path)) << path.toStdString();
        ASSERT_EQ(dialogs.shown.size(), 1u);
        EXPECT_EQ(dialogs.shown[0].text, QStringLiteral("Filepath was incorrect for editing tag!"));
        EXPECT_EQ(dialogs.shown[0].flags, vb::mb::Critical);
        EXPECT_EQ(dialogs.shown[0].title, QStringLiteral("Error"));
        EXPECT_FALSE(editor->txtTitle->isEnabled());
        EXPECT_EQ(editor->txtTitle->text(), QStringLiteral("Title"));
    }
    EXPECT_EQ(errorLog(), QString());
}

TEST_F(TagEditor, SaveWritesTheFileThenTellsDecksAndListsAndCloses)
{
    const QString path = copyMedia(QStringLiteral("tone10s.mp3"), dir.path(), QStringLiteral("plain.mp3"));
    ASSERT_TRUE(::chmod(QFile::encodeName(path).constData(), 0444) == 0);
    const qint64 before = QFileInfo(path).size();
    ASSERT_TRUE(openShown(path));

    // Typing stops at the tag's width; Windows-1252 letters are stored as such, a letter typed as
    // a plain letter and an accent as the one letter.
    editor->txtTitle->clear();
    QTest::keyClicks(editor->txtTitle, QStringLiteral("A&B Song 0123456789012345678901234567890"));
    editor->txtArtist->setText(QStringLiteral("Zoë € ß Cafe\u0301"));
    editor->txtAlbum->setText(QStringLiteral("Album"));
    editor->txtComment->setText(QStringLiteral("Note"));
    editor->txtYear->setText(QStringLiteral("1999"));
    editor->cboGenre->setCurrentIndex(editor->cboGenre->findText(QStringLiteral("R&B")));
    // The six fields go into the file in one write: a kill at any moment leaves the old tag or
    // the new one, never half of each.
    WriteCounter counter(path);
    QTest::mouseClick(editor->cmdMyMediaFileSaveInfo, Qt::LeftButton);
    EXPECT_EQ(counter.writes(), 1);

    EXPECT_TRUE(editor->saved());
    EXPECT_FALSE(editor->isVisible());
    EXPECT_TRUE(dialogs.shown.empty());
    const clsMP3 m = tagOf(path);
    const QString title = QStringLiteral("A&B Song 012345678901234567890");
    EXPECT_EQ(m.Title(), title);
    EXPECT_EQ(m.Artist(), QStringLiteral("Zoë € ß Café"));
    EXPECT_EQ(readAll(path).right(128).mid(33, 12), QByteArray("Zo\xeb \x80 \xdf Caf\xe9"));
    EXPECT_EQ(m.Album(), QStringLiteral("Album"));
    EXPECT_EQ(m.Comment(), QStringLiteral("Note"));
    EXPECT_EQ(m.Year(), QStringLiteral("1999"));
    EXPECT_EQ(m.Genre(), QStringLiteral("R&B"));
    // One tag appended, and the read-only file is read-only again.
    EXPECT_EQ(QFileInfo(path).size(), before + 128);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);

    // The wait window and its progress, both decks, then the six lists in their order.
    EXPECT_EQ(calls, (QStringList{"wait:Updating. Please Wait...", "1", "10", "deckA", "20", "deckB", "30",
                                  "lstFullPlaylist", "40", "lstMostPlayed", "50", "lstSongBin", "65", "lstDJPlayList",
                                  "75", "lstSearch", "85", "lstRequests", "100"}));
    ASSERT_EQ(saved.size(), 8);
    for (const SavedTag& t : saved) {
        EXPECT_EQ(t.path, path);
        EXPECT_EQ(t.title, title);
        EXPECT_EQ(t.artist, QStringLiteral("Zoë € ß Café"));
        EXPECT_EQ(t.genre, QStringLiteral("R&B"));
        EXPECT_EQ(t.year, QStringLiteral("1999"));
    }
}

// Text the tag cannot hold is never turned into "?": Save names the characters, writes nothing
// and leaves the editor open on the first box that holds one.
TEST_F(TagEditor, CharactersTheTagCannotHoldAreNamedAndNothingIsWritten)
{
    const QString path = copyMedia(QStringLiteral("tagged.mp3"), dir.path());
    const QByteArray original = readAll(path);
    ASSERT_TRUE(openShown(path));
    editor->txtArtist->setText(QStringLiteral("Świątek Łódź ☃ Ś"));
    editor->txtAlbum->setText(QStringLiteral("Café € “ok”"));
    editor->txtComment->setText(QStringLiteral("wide\u2003space 🎵"));
    editor->txtYear->setFocus();
    editor->SaveMP3Info();

    ASSERT_EQ(dialogs.shown.size(), 1u);
    EXPECT_EQ(dialogs.shown[0].text, QStringLiteral("The tag cannot hold these characters:\n\nArtist: Ś ą Ł ź ☃"
                                                    "\nComment: U+2003 🎵\n\nNothing was saved. Change them and "
                                                    "save again, or Cancel."));
    EXPECT_EQ(dialogs.shown[0].flags, vb::mb::Exclamation);
    EXPECT_EQ(readAll(path), original);
    EXPECT_TRUE(calls.isEmpty()) << "no wait window, no deck or list told";
    EXPECT_FALSE(editor->saved());
    EXPECT_TRUE(editor->isVisible() && editor->isEnabled());
    EXPECT_EQ(editor->focusWidget(), editor->txtArtist);

    // Mended, it saves; a field the file holds as UTF-8 and the user left alone keeps its bytes.
    const QString utf8 = copyMedia(QStringLiteral("tone10s.mp3"), dir.path(), QStringLiteral("utf8.mp3"));
    QFile f(utf8);
    ASSERT_TRUE(f.open(QIODevice::Append));
    f.write("TAG" + QByteArray("\xc5\x81\xc3\xb3" "d\xc5\xba").leftJustified(30, ' ') + QByteArray(94, ' ') + '\x11');
    f.close();
    for (const QString& file : {path, utf8}) {
        dialogs.shown.clear();
        ASSERT_TRUE(open(file));
        editor->txtArtist->setText(QStringLiteral("Swiatek Lodz"));
        editor->SaveMP3Info();
        EXPECT_TRUE(dialogs.shown.empty()) << file.toStdString();
        EXPECT_TRUE(editor->saved());
        EXPECT_EQ(tagOf(file).Artist(), QStringLiteral("Swiatek Lodz"));
    }
    EXPECT_EQ(tagOf(utf8).Title(), QStringLiteral("Łódź"));
    EXPECT_EQ(readAll(utf8).right(128).mid(3, 8), QByteArray("\xc5\x81\xc3\xb3" "d\xc5\xba "));

    // A title the editor took from the file name is not the user's text: where the tag cannot
    // hold it, the other boxes are saved and the tag's title stays empty, so the lists go on
    // showing the name. Typed over, it is refused like any text.
    const QString named = copyMedia(QStringLiteral("tone10s.mp3"), dir.path(), QStringLiteral("Świątek Łódź.mp3"));
    dialogs.shown.clear();
    saved.clear();
    ASSERT_TRUE(open(named));
    EXPECT_EQ(editor->txtTitle->text(), QStringLiteral("Świątek Łódź"));
    editor->txtArtist->setText(QStringLiteral("Band"));
    editor->SaveMP3Info();
    EXPECT_TRUE(dialogs.shown.empty());
    EXPECT_TRUE(editor->saved());
    EXPECT_EQ(tagOf(named).Title(), QString());
    EXPECT_EQ(tagOf(named).Artist(), QStringLiteral("Band"));
    ASSERT_FALSE(saved.isEmpty());
    EXPECT_EQ(saved.last().title, QStringLiteral("Świątek Łódź"));
    ASSERT_TRUE(open(named));
    editor->txtTitle->setText(QStringLiteral("Świątek Live"));
    editor->SaveMP3Info();
    EXPECT_EQ(dialogs.shown.size(), 1u);
    EXPECT_FALSE(editor->saved());
}

// Enter in a tag field or on Save saves once, however many ways it arrives.
TEST_F(TagEditor, EnterSavesOnce)
{
    for (const char* where : {"cmdMyMediaFileSaveInfo", "txtTitle", "txtYear", "cboGenre"}) {
        calls.clear();
        const QString path = copyMedia(QStringLiteral("tagged.mp3"), dir.path(), QLatin1String(where) + ".mp3");
        ASSERT_TRUE(openShown(path));
        auto* target = editor->findChild<QWidget*>(QLatin1String(where));
        ASSERT_NE(target, nullptr);
        target->setFocus();
        editor->txtArtist->setText(QStringLiteral("Entered"));
        QTest::keyClick(target, Qt::Key_Return);
        QTest::keyClick(target, Qt::Key_Enter); // a second Enter on the way out
        editor->cmdMyMediaFileSaveInfo->click();
        EXPECT_TRUE(editor->saved()) << where;
        EXPECT_EQ(calls.count(QStringLiteral("deckA")), 1) << where;
        EXPECT_EQ(tagOf(path).Artist(), QStringLiteral("Entered")) << where;
    }

    // Enter in a read-only box saves nothing.
    calls.clear();
    ASSERT_TRUE(openShown(copyMedia(QStringLiteral("tagged.mp3"), dir.path(), QStringLiteral("readonly.mp3"))));
    QTest::keyClick(editor->txtBitrate, Qt::Key_Return);
    QTest::keyClick(editor->txtFilepath, Qt::Key_Return);
    EXPECT_FALSE(editor->saved());
    EXPECT_TRUE(calls.isEmpty());
}

// A write that fails tells the user and changes nothing; the editor takes input again, and Cancel
// afterwards leaves the file exactly as it was.
TEST_F(TagEditor, AFailedWriteChangesNothingAndKeepsTheEditorOpen)
{
    const QString path = copyMedia(QStringLiteral("tagged.mp3"), dir.path());
    const QByteArray original = readAll(path);

    // The file turns into a folder while the editor is open (root may write any file, so
    // permissions alone cannot make the write fail here); then it vanishes.
    ASSERT_TRUE(openShown(path));
    editor->txtTitle->setText(QStringLiteral("Never Written"));
    editor->txtComment->setFocus();
    ASSERT_TRUE(QFile::rename(path, path + QStringLiteral(".away")));
    ASSERT_TRUE(QDir().mkdir(path));
    editor->SaveMP3Info();
    ASSERT_TRUE(QDir().rmdir(path));
    editor->SaveMP3Info();

    ASSERT_EQ(dialogs.shown.size(), 2u);
    for (const auto& box : dialogs.shown) {
        EXPECT_TRUE(box.text.startsWith(QStringLiteral("The tag could not be written to the file:\n") + path));
        EXPECT_EQ(box.flags, vb::mb::Exclamation);
    }
    // The wait window came and went; no deck or list heard of it.
    const QStringList tried{"wait:Updating. Please Wait...", "1", "unload"};
    EXPECT_EQ(calls, tried + tried);
    EXPECT_FALSE(editor->saved());
    EXPECT_TRUE(editor->isVisible());
    EXPECT_TRUE(editor->isEnabled());
    EXPECT_TRUE(editor->txtTitle->isEnabled());
    // Typing goes on in the box the user was in.
    EXPECT_EQ(editor->focusWidget(), editor->txtComment);
    EXPECT_FALSE(QFileInfo::exists(path));

    // The file is back: Cancel writes nothing.
    ASSERT_TRUE(QFile::rename(path + QStringLiteral(".away"), path));
    QTest::mouseClick(editor->cmdCancel, Qt::LeftButton);
    EXPECT_FALSE(editor->isVisible());
    EXPECT_EQ(readAll(path), original);
    int code = -1;
    testutil::run(QStringLiteral("cmp"), {path, media(QStringLiteral("tagged.mp3"))}, &code);
    EXPECT_EQ(code, 0);
}

// A failure inside the save (here one of the lists) is logged, and the editor is not left
// disabled.
TEST_F(TagEditor, AnErrorDuringTheSaveReEnablesTheEditor)
{
    ASSERT_TRUE(openShown(copyMedia(QStringLiteral("tagged.mp3"), dir.path())));
    editor->hooks.updateList = [](const char* list, const SavedTag&) {
        if (QLatin1String(list) == QLatin1String("lstSongBin"))
            raiseError(91, QStringLiteral("Object variable not set"));
    };
    editor->SaveMP3Info();
    EXPECT_TRUE(errorLog().contains(QStringLiteral("SaveMP3Info"))) << errorLog().toStdString();
    EXPECT_FALSE(editor->saved());
    EXPECT_TRUE(editor->isVisible());
    EXPECT_TRUE(editor->isEnabled());

    // The next try saves and closes.
    editor->hooks.updateList = {};
    editor->SaveMP3Info();
    EXPECT_TRUE(editor->saved());
    EXPECT_FALSE(editor->isVisible());
}
