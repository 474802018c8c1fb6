// The tag editor: a small modal window that shows the ID3v1 tag and the frame-header facts of one
// song file, lets the user change the six tag fields and writes them into the file on Save. The
// rest of the program then shows the new tag wherever the song appears (the decks, every song
// list); the editor reaches them only through its hooks, which its opener supplies.
//
// Opening: set EditFilePath, construct, run Form_Load and show the window modally only when it
// returns true. The main window's editSongTag does exactly that for every opener.
#pragma once

#include "core/clsMP3.h"

#include <QDialog>
#include <QPointer>
#include <QString>
#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

// A song's tag as saved: what the file holds after the write, the title already falling back to
// the file name when the tag has none, as every list shows such a song.
struct SavedTag {
    QString path, title, artist, album, comment, year, genre;
};

class frmEditMP3 : public QDialog {
    Q_OBJECT
public:
    // The file to edit, set by the opener before the window loads; it stays until an opener sets
    // it again.
    static QString EditFilePath;

    // The open editor, or null; there is never more than one.
    static frmEditMP3* current();

    explicit frmEditMP3(QWidget* parent = nullptr);
    ~frmEditMP3() override;

    // What saving needs of the rest of the program. Unset hooks do nothing.
    struct Hooks {
        // The please-wait window, shown with its message, and its progress bar (0 to 100).
        std::function<void(const QString& message)> showWait;
        std::function<void(int percent)> waitProgress;
        // Closes the please-wait window when a failed write leaves the editor open.
        std::function<void()> unloadWait;
        // Deck 'A' or 'B' shows the saved tag when it holds exactly this path.
        std::function<void(char deck, const SavedTag& tag)> updateDeck;
        // Every row of the named song list that holds exactly this path shows the saved tag.
        std::function<void(const char* list, const SavedTag& tag)> updateList;
    };
    Hooks hooks;

    // The window's load: false when it closed itself (no path given, or the file is gone) and
    // must not be shown.
    bool Form_Load();
    // Fills the boxes from the file named by EditFilePath.
    void LoadMP3Info();
    // Writes the six tag fields into the file in one write of the tag, brings the decks and lists
    // up to date and closes the window. A write that fails changes nothing else: the user is
    // told, and the editor stays open for another try or Cancel. Text the tag cannot hold is not
    // written at all: the message names its characters and the editor stays open on that box.
    void SaveMP3Info();
    void cmdCancel_Click();

    // The tag was written and the editor closed.
    bool saved() const { return saved_; }

    // The lists, in the order saving brings them up to date, with the progress shown before each.
    struct ListStep {
        const char* list;
        int progress;
    };
    static const ListStep kListSteps[6];

    // The boxes' widths in characters: the tag's field widths, so what the boxes show is what the
    // file will hold.
    static constexpr int TextWidth = 30;
    static constexpr int YearWidth = 4;

    QLineEdit* txtTitle = nullptr;
    QLineEdit* txtArtist = nullptr;
    QLineEdit* txtAlbum = nullptr;
    QLineEdit* txtComment = nullptr;
    QLineEdit* txtYear = nullptr;
    QComboBox* cboGenre = nullptr;
    QLineEdit* txtVersion = nullptr;
    QLineEdit* txtLayer = nullptr;
    QLineEdit* txtBitrate = nullptr;
    QLineEdit* txtSampleRate = nullptr;
    QLineEdit* txtChannelMode = nullptr;
    QLineEdit* txtCopyright = nullptr;
    QLineEdit* txtOriginal = nullptr;
    QLineEdit* txtPlayTime = nullptr;
    QLineEdit* txtValidHeader = nullptr;
    QPlainTextEdit* txtFilepath = nullptr;
    QPushButton* cmdMyMediaFileSaveInfo = nullptr;
    QPushButton* cmdCancel = nullptr;
    QLabel* lblDrag = nullptr;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void createControls();
    void setTagFieldsEnabled(bool enabled);
    void closeEditor();
    // The fields the boxes give for the tag mp3 read from the file.
    clsMP3::TagFields typedFields(const clsMP3& mp3) const;
    // The first box whose new text holds characters the tag cannot hold, with the message that
    // names them all; null when every character can be saved.
    QLineEdit* boxTagCannotHold(const clsMP3& mp3, QString& message) const;
    bool writeTag(clsMP3& mp3, SavedTag& saved);

    // The title box's text when the load filled it from the file name (the tag had no title);
    // empty otherwise.
    QString titleFromFileName_;
    bool saving_ = false;
    bool saved_ = false;
    bool closed_ = false; // closed itself, or was closed by Save or Cancel
    static QPointer<frmEditMP3> current_;
};
