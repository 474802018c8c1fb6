#include "core/frmEditMP3.h"

#include "core/clsMP3.h"
#include "core/errorlog.h"
#include "core/genres.h"
#include "core/songfile.h"
#include "core/timetext.h"
#include "core/windowdrag.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

QString frmEditMP3::EditFilePath;
QPointer<frmEditMP3> frmEditMP3::current_;

const frmEditMP3::ListStep frmEditMP3::kListSteps[6] = {
    {"lstFullPlaylist", 30}, {"lstMostPlayed", 40}, {"lstSongBin", 50},
    {"lstDJPlayList", 65},   {"lstSearch", 75},     {"lstRequests", 85},
};

namespace {

// The skin: the console colours of the main window, a title band to drag the window by.
const QColor kFace(0x2a, 0x2e, 0x35);
const QColor kBezel(0x4a, 0x50, 0x5a);
const QColor kBandTop(0x3a, 0x40, 0x4a);
const QColor kBandBottom(0x22, 0x26, 0x2c);
const QColor kAccent(0x3c, 0xc8, 0xff);
const QColor kCaption(0xd8, 0xdc, 0xe2);

// Tag fields are light yellow, the read-only facts light grey.
constexpr std::uint32_t kLightYellow = vb::rgb(0xff, 0xff, 0xc0);

constexpr int kWidth = 560;
constexpr int kHeight = 430;
constexpr int kBand = 34;

QString cssColour(std::uint32_t bgr) { return vb::colour(bgr).name(); }

QLabel* caption(QWidget* parent, const char* name, const QString& text, const QRect& r)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(QLatin1String(name));
    l->setGeometry(r);
    l->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, kCaption);
    l->setPalette(p);
    return l;
}

QString yesNo(bool b) { return b ? QStringLiteral("Yes") : QStringLiteral("No"); }

} // namespace

frmEditMP3* frmEditMP3::current() { return current_.data(); }

frmEditMP3::frmEditMP3(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint)
{
    setObjectName(QStringLiteral("frmEditMP3"));
    setWindowTitle(QStringLiteral("Edit MP3"));
    setFixedSize(kWidth, kHeight);
    setModal(true);
    createControls();
    current_ = this;
}

frmEditMP3::~frmEditMP3()
{
    if (DragOn && draggedForm() == this)
        DragOn = 0;
}

void frmEditMP3::createControls()
{
    // The title band: pressing and dragging it moves the window; the heading lies on it and lets
    // the mouse through.
    lblDrag = new QLabel(this);
    lblDrag->setObjectName(QStringLiteral("lblDrag"));
    lblDrag->setGeometry(0, 0, kWidth, kBand);
    lblDrag->setCursor(Qt::SizeAllCursor);
    lblDrag->installEventFilter(this);
    auto* heading = new QLabel(QStringLiteral("Edit MP3 Tag Information"), this);
    heading->setObjectName(QStringLiteral("lblHeading"));
    heading->setGeometry(0, 0, kWidth, kBand);
    heading->setAlignment(Qt::AlignCenter);
    heading->setAttribute(Qt::WA_TransparentForMouseEvents);
    QFont hf = heading->font();
    hf.setBold(true);
    hf.setPixelSize(15);
    heading->setFont(hf);
    QPalette hp = heading->palette();
    hp.setColor(QPalette::WindowText, kAccent);
    heading->setPalette(hp);

    const QString tagStyle = QStringLiteral("QLineEdit, QComboBox { background: %1; color: black; }")
                                 .arg(cssColour(kLightYellow));
    const QString factStyle = QStringLiteral("QLineEdit, QPlainTextEdit { background: %1; color: black; }")
                                  .arg(cssColour(vb::LightGrey));

    // Tag fields on the left, in their tab order; each starts with its design text, disabled until
    // a file is loaded.
    struct Field {
        QLineEdit** box;
        const char* name;
        const char* captionName;
        const char* captionText;
        const char* placeholder;
        int width;
        int maxLength;
    };
    const Field fields[] = {
        {&txtTitle, "txtTitle", "lblTitleCaption", "Title:", "Title", 200, TextWidth},
        {&txtArtist, "txtArtist", "lblArtistCaption", "Artist:", "Artist", 200, TextWidth},
        {&txtAlbum, "txtAlbum", "lblAlbumCaption", "Album:", "Album", 200, TextWidth},
        {&txtComment, "txtComment", "lblCommentCaption", "Comment:", "Comment", 200, TextWidth},
        {&txtYear, "txtYear", "lblYearCaption", "Year:", "Year", 60, YearWidth},
    };
    int y = 52;
    for (const Field& f : fields) {
        caption(this, f.captionName, QLatin1String(f.captionText), QRect(12, y, 70, 24));
        auto* box = new QLineEdit(QLatin1String(f.placeholder), this);
        box->setObjectName(QLatin1String(f.name));
        box->setGeometry(88, y, f.width, 24);
        box->setMaxLength(f.maxLength);
        box->setStyleSheet(tagStyle);
        box->setEnabled(false);
        box->installEventFilter(this);
        *f.box = box;
        y += 34;
    }
    caption(this, "lblGenreCaption", QStringLiteral("Genre:"), QRect(12, y, 70, 24));
    cboGenre = new QComboBox(this);
    cboGenre->setObjectName(QStringLiteral("cboGenre"));
    cboGenre->setGeometry(88, y, 200, 24);
    cboGenre->setMaxVisibleItems(16);
    cboGenre->setStyleSheet(tagStyle);
    cboGenre->setEnabled(false);
    cboGenre->installEventFilter(this);

    // Header facts on the right: read-only, centred, left out of the tab order.
    struct Fact {
        QLineEdit** box;
        const char* name;
        const char* captionName;
        const char* captionText;
        const char* placeholder;
    };
    const Fact facts[] = {
        {&txtVersion, "txtVersion", "lblVersionCaption", "Version:", "Version"},
        {&txtLayer, "txtLayer", "lblLayerCaption", "Layer:", "Layer"},
        {&txtBitrate, "txtBitrate", "lblBitrateCaption", "Bitrate:", "Bitrate"},
        {&txtSampleRate, "txtSampleRate", "lblSampleRateCaption", "Sample Rate:", "Sample Rate"},
        {&txtChannelMode, "txtChannelMode", "lblChannelModeCaption", "Channel Mode:", "Channel Mode"},
        {&txtCopyright, "txtCopyright", "lblCopyrightCaption", "Copyright:", "Copyright"},
        {&txtOriginal, "txtOriginal", "lblOriginalCaption", "Original:", "Original"},
        {&txtPlayTime, "txtPlayTime", "lblPlayTimeCaption", "Play Time:", "Play Time"},
        {&txtValidHeader, "txtValidHeader", "lblValidHeaderCaption", "Valid Header:", "Valid Header"},
    };
    y = 52;
    for (const Fact& f : facts) {
        caption(this, f.captionName, QLatin1String(f.captionText), QRect(304, y, 104, 22));
        auto* box = new QLineEdit(QLatin1String(f.placeholder), this);
        box->setObjectName(QLatin1String(f.name));
        box->setGeometry(414, y, 132, 22);
        box->setReadOnly(true);
        box->setAlignment(Qt::AlignCenter);
        box->setFocusPolicy(Qt::ClickFocus);
        box->setStyleSheet(factStyle);
        *f.box = box;
        y += 26;
    }

    caption(this, "lblFilepathCaption", QStringLiteral("Filepath:"), QRect(12, 296, 70, 24));
    txtFilepath = new QPlainTextEdit(QStringLiteral("Filepath"), this);
    txtFilepath->setObjectName(QStringLiteral("txtFilepath"));
    txtFilepath->setGeometry(88, 296, 458, 62);
    txtFilepath->setReadOnly(true);
    txtFilepath->setFocusPolicy(Qt::ClickFocus);
    txtFilepath->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // Centred like the other read-only facts; a long path wraps at its slashes or anywhere.
    QTextOption pathLayout(Qt::AlignHCenter);
    pathLayout.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    txtFilepath->document()->setDefaultTextOption(pathLayout);
    txtFilepath->setStyleSheet(factStyle);
    txtFilepath->installEventFilter(this);

    cmdMyMediaFileSaveInfo = new QPushButton(QStringLiteral("Save"), this);
    cmdMyMediaFileSaveInfo->setObjectName(QStringLiteral("cmdMyMediaFileSaveInfo"));
    cmdMyMediaFileSaveInfo->setGeometry(314, 380, 110, 32);
    cmdMyMediaFileSaveInfo->setEnabled(false);
    cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    cmdCancel->setGeometry(436, 380, 110, 32);
    // Enter is the editor's own key (below): no button is the dialog's default, so Enter never
    // clicks one as well.
    for (QPushButton* b : {cmdMyMediaFileSaveInfo, cmdCancel}) {
        b->setAutoDefault(false);
        b->setDefault(false);
    }
    cmdMyMediaFileSaveInfo->installEventFilter(this);
    connect(cmdMyMediaFileSaveInfo, &QPushButton::clicked, this, [this] { SaveMP3Info(); });
    connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });

    setTabOrder(txtTitle, txtArtist);
    setTabOrder(txtArtist, txtAlbum);
    setTabOrder(txtAlbum, txtComment);
    setTabOrder(txtComment, txtYear);
    setTabOrder(txtYear, cboGenre);
    setTabOrder(cboGenre, cmdMyMediaFileSaveInfo);
    setTabOrder(cmdMyMediaFileSaveInfo, cmdCancel);
}

void frmEditMP3::paintEvent(QPaintEvent*)
{
    QPainter g(this);
    g.fillRect(rect(), kFace);
    QLinearGradient band(0, 0, 0, kBand);
    band.setColorAt(0, kBandTop);
    band.setColorAt(1, kBandBottom);
    g.fillRect(QRect(0, 0, width(), kBand), band);
    g.setPen(kAccent);
    g.drawLine(0, kBand, width(), kBand);
    // A raised bezel round the window and an engraved line between the tag and the facts.
    g.setPen(kBezel);
    g.drawRect(rect().adjusted(0, 0, -1, -1));
    g.drawRect(rect().adjusted(2, 2, -3, -3));
    g.drawLine(298, kBand + 14, 298, 278);
    g.drawLine(12, 284, width() - 12, 284);
}

void frmEditMP3::setTagFieldsEnabled(bool enabled)
{
    for (QWidget* w : std::initializer_list<QWidget*>{txtTitle, txtArtist, txtAlbum, txtComment, txtYear, cboGenre,
                                                      cmdMyMediaFileSaveInfo})
        w->setEnabled(enabled);
}

void frmEditMP3::closeEditor()
{
    closed_ = true;
    if (isVisible())
        done(saved_ ? QDialog::Accepted : QDialog::Rejected);
}

bool frmEditMP3::Form_Load()
{
    trap("frmEditMP3_Form_Load", [&] {
        // Nothing to edit: the window closes without showing itself.
        if (EditFilePath.isEmpty()) {
            closeEditor();
            return;
        }
        cboGenre->clear();
        BuildGenreList();
        FillGenreCombo(cboGenre);
        LoadMP3Info();
    });
    return !closed_;
}

void frmEditMP3::LoadMP3Info()
{
    trap("LoadMP3Info", [&] {
        const QString path = EditFilePath;
        if (!songFileExists(path)) {
            ui::MsgBox(QStringLiteral("Filepath was incorrect for editing tag!"), vb::mb::Critical,
                       QStringLiteral("Error"));
            closeEditor();
            return;
        }
        setTagFieldsEnabled(true);

        clsMP3 mp3;
        mp3.setFullName(path);
        mp3.ReadMP3Info();

        txtArtist->setText(mp3.Artist());
        txtTitle->setText(mp3.Title());
        titleFromFileName_.clear();
        if (txtTitle->text().isEmpty()) {
            txtTitle->setText(titleFallback(path)); // cut to the field's width, as it will be saved
            titleFromFileName_ = txtTitle->text();
        }
        txtAlbum->setText(mp3.Album());
        txtComment->setText(mp3.Comment());
        txtYear->setText(mp3.Year());
        txtFilepath->setPlainText(path);

        // The song's genre, found whatever its letter case; a name the table lacks shows "Other".
        cboGenre->setCurrentIndex(FindListString(cboGenre, mp3.Genre(), -1, true));
        if (cboGenre->currentText().isEmpty())
            cboGenre->setCurrentIndex(FindListString(cboGenre, QStringLiteral("Other"), -1, true));

        txtBitrate->setText(mp3.bitrate());
        txtChannelMode->setText(mp3.ChannelMode());
        txtCopyright->setText(yesNo(mp3.Copyright()));
        txtLayer->setText(mp3.Layer());
        txtOriginal->setText(yesNo(mp3.Original()));
        txtPlayTime->setText(PlayTimeText(mp3.PlayTime()));
        txtSampleRate->setText(mp3.samplerate());
        txtValidHeader->setText(yesNo(mp3.ValidHeader() == QLatin1String("True")));
        txtVersion->setText(mp3.MPEGVersion());

        txtTitle->setFocus();
    });
}

clsMP3::TagFields frmEditMP3::typedFields(const clsMP3& mp3) const
{
    clsMP3::TagFields fields{.title = txtTitle->text(),
                             .artist = txtArtist->text(),
                             .album = txtAlbum->text(),
                             .year = txtYear->text(),
                             .comment = txtComment->text(),
                             .genre = cboGenre->currentText()};
    // A title the load took from the file name, left as it was, is not the user's text: it is
    // written only when the tag can hold it. A name such as "Świątek" would otherwise stop the
    // save of every other box, or be stored as "?wi?tek"; the tag keeps its empty title instead,
    // and the lists go on showing the file name for it.
    if (!titleFromFileName_.isEmpty() && fields.title == titleFromFileName_) {
        const std::optional<QString> missing = mp3.charactersNotHeld({.title = fields.title}).title;
        if (missing && !missing->isEmpty())
            fields.title.reset();
    }
    return fields;
}

QLineEdit* frmEditMP3::boxTagCannotHold(const clsMP3& mp3, QString& message) const
{
    const clsMP3::TagFields missing = mp3.charactersNotHeld(typedFields(mp3));
    const std::pair<const std::optional<QString>&, QLineEdit*> boxes[] = {
        {missing.title, txtTitle}, {missing.artist, txtArtist}, {missing.album, txtAlbum},
        {missing.comment, txtComment}, {missing.year, txtYear},
    };
    for (const auto& [characters, box] : boxes) {
        if (characters && !characters->isEmpty()) {
            message = QStringLiteral("The tag cannot hold these characters:\n\n")
                      + clsMP3::nameCharactersNotHeld(missing)
                      + QStringLiteral("\n\nNothing was saved. Change them and save again, or Cancel.");
            return box;
        }
    }
    return nullptr;
}

// Writes the six fields in one write of the tag and reads back what the file now holds.
bool frmEditMP3::writeTag(clsMP3& mp3, SavedTag& saved)
{
    if (!mp3.setFields(typedFields(mp3)))
        return false;

    // The lists and decks show what the file holds, not what was typed (a field keeps at most
    // its width).
    clsMP3 check;
    check.setFullName(EditFilePath);
    if (check.ReadMP3Info() != 0 || !check.TagPresent())
        return false;
    saved.path = EditFilePath;
    saved.title = check.Title();
    if (saved.title.isEmpty())
        saved.title = titleFallback(EditFilePath);
    saved.artist = check.Artist();
    saved.album = check.Album();
    saved.comment = check.Comment();
    saved.year = check.Year();
    saved.genre = check.Genre();
    return true;
}

void frmEditMP3::SaveMP3Info()
{
    // One save per request: Enter on the Save button, a held Enter or a second click while the
    // first save runs find it busy or done.
    if (saving_ || saved_ || closed_)
        return;
    saving_ = true;
    bool done = false;
    // No input while the save runs. Disabling the window takes the focus from its box, so the
    // box is remembered: unless the editor closed, it takes input again where the user left it.
    QPointer<QWidget> focused = focusWidget();
    setEnabled(false);
    struct Restore {
        frmEditMP3* w;
        const QPointer<QWidget>& focused; // where typing goes on when the editor stays open
        bool& done;
        ~Restore()
        {
            w->saving_ = false;
            if (done)
                return;
            w->setEnabled(true);
            if (focused && focused->isEnabled())
                focused->setFocus();
            else
                w->txtTitle->setFocus();
            w->activateWindow();
        }
    } restore{this, focused, done};

    trap("SaveMP3Info", [&] {
        auto progress = [this](int percent) {
            if (hooks.waitProgress)
                hooks.waitProgress(percent);
        };
        // A letter the tag cannot hold would be stored as "?": nothing is written, the user is
        // told which characters and goes on in the box that holds the first of them.
        clsMP3 mp3;
        mp3.setFullName(EditFilePath);
        const bool read = mp3.ReadMP3Info() == 0;
        QString refusal;
        if (QLineEdit* box = read ? boxTagCannotHold(mp3, refusal) : nullptr) {
            ui::MsgBox(refusal, vb::mb::Exclamation, QStringLiteral("Error"));
            focused = box;
            return;
        }
        if (hooks.showWait)
            hooks.showWait(QStringLiteral("Updating. Please Wait..."));
        progress(1);
        SavedTag tag;
        if (!read || !writeTag(mp3, tag)) {
            // A file that is gone, read-only to us or on a full disk: the lists and decks keep
            // showing what the file holds, and the user knows the tag was not saved.
            if (hooks.unloadWait)
                hooks.unloadWait();
            ui::MsgBox(QStringLiteral("The tag could not be written to the file:\n") + EditFilePath
                           + QStringLiteral("\n\nThe lists and decks were not changed."),
                       vb::mb::Exclamation, QStringLiteral("Error"));
            return;
        }
        progress(10);
        if (hooks.updateDeck)
            hooks.updateDeck('A', tag);
        progress(20);
        if (hooks.updateDeck)
            hooks.updateDeck('B', tag);
        for (const ListStep& step : kListSteps) {
            progress(step.progress);
            if (hooks.updateList)
                hooks.updateList(step.list, tag);
        }
        progress(100);
        saved_ = true;
        done = true;
        closeEditor();
    });
}

void frmEditMP3::cmdCancel_Click() { closeEditor(); }

bool frmEditMP3::eventFilter(QObject* watched, QEvent* event)
{
    switch (event->type()) {
    case QEvent::KeyPress: {
        // Enter in a tag field or on Save saves; the key goes no further, so nothing else acts
        // on it too.
        const auto* k = static_cast<QKeyEvent*>(event);
        const bool enter = k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter;
        const bool saves = watched == txtTitle || watched == txtArtist || watched == txtAlbum || watched == txtComment
                           || watched == txtYear || watched == cboGenre || watched == cmdMyMediaFileSaveInfo;
        if (enter && saves) {
            SaveMP3Info();
            return true;
        }
        break;
    }
    case QEvent::FocusIn:
        // Entering a box selects its whole text, so typing replaces it. After the event, so a
        // mouse press that gave the focus does not undo the selection at once.
        if (auto* box = qobject_cast<QLineEdit*>(watched))
            QTimer::singleShot(0, box, [box] { box->selectAll(); });
        else if (watched == txtFilepath)
            QTimer::singleShot(0, txtFilepath, [box = txtFilepath] { box->selectAll(); });
        break;
    case QEvent::MouseButtonPress:
        if (watched == lblDrag) {
            const auto* m = static_cast<QMouseEvent*>(event);
            DragForm(m->position().x(), m->position().y(), this);
        }
        break;
    case QEvent::MouseButtonRelease:
        if (watched == lblDrag)
            DragOn = 0;
        break;
    default:
        break;
    }
    return QDialog::eventFilter(watched, event);
}
