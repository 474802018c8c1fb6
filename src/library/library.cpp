#include "library/library.h"

#include "core/controls.h"
#include "core/errorlog.h"
#include "core/genres.h"
#include "core/settings.h"
#include "core/timerrest.h"
#include "library/listfile.h"
#include "library/listkeys.h"
#include "library/medialist.h"
#include "library/mediawalk.h"
#include "library/requestlink.h"
#include "library/songlistview.h"
#include "library/songtag.h"
#include "platform/files/wholefile.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QDir>
#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {
const QString kScanned = QStringLiteral("SCANNED");
const QString kAutoDJHint = QStringLiteral("Need Songs In DJ Playlist To Use Auto-DJ!");
const QString kIdleMessage = QStringLiteral("Messages Will Appear Here");
constexpr auto kWalkSlice = std::chrono::milliseconds(20);

// The form's timer of that name (the form starts and stops it), or one of our own, running.
QTimer* formTimer(QWidget* form, QObject* owner, const char* name, int interval)
{
    if (QTimer* t = form ? form->findChild<QTimer*>(QLatin1String(name)) : nullptr)
        return t;
    auto* t = new QTimer(owner);
    t->setObjectName(QLatin1String(name));
    t->setInterval(interval);
    if (form)
        t->start();
    return t;
}

// The number test for a Plays text: digits with an optional sign, thousands grouping and
// decimal part, blanks around. The value is rounded to a whole number (halves to even).
bool playsValue(const QString& text, double* value)
{
    static const QRegularExpression number(
        QStringLiteral("^\\s*([+-]?)((?:\\d{1,3}(?:,\\d{3})+|\\d*)(?:\\.\\d*)?)\\s*$"));
    const auto m = number.match(text);
    if (!m.hasMatch())
        return false;
    QString digits = m.captured(2);
    digits.remove(QLatin1Char(','));
    if (!digits.contains(QRegularExpression(QStringLiteral("\\d"))))
        return false;
    bool ok = false;
    const double v = digits.toDouble(&ok);
    if (!ok)
        return false;
    *value = std::nearbyint(m.captured(1) == QLatin1String("-") ? -v : v);
    return true;
}

// A play count as a 32-bit whole number; error 6 when it does not fit.
std::int32_t playsToCount(double v)
{
    if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        raiseError(6, QStringLiteral("Overflow"));
    return static_cast<std::int32_t>(v);
}

[[noreturn]] void badRow() { raiseError(9, QStringLiteral("Subscript out of range")); }

// What one loaded row costs beyond its text: the row, and the block of each of its three texts
// of its own (title, artist, path; the other cells are shared).
constexpr qint64 kRowCost = qint64(sizeof(SongRow)) + 3 * 32;

// Equal cell texts of a loaded list share one copy (times, genres and the scanned mark come from
// small vocabularies). A fixed table indexed by a hash of the text: a text found in its slot is
// shared, any other takes the slot over. Nothing is searched, so no file, however it was made,
// can slow the load down; two texts that want one slot only share less. The hash is our own:
// on some processors Qt's costs 25 times as much for texts under 8 characters, which was half
// the time of a 100,000-row load.
class TextPool {
public:
    void share(QString& s)
    {
        std::size_t h = 14695981039346656037ull;
        for (const QChar c : std::as_const(s)) {
            h ^= c.unicode();
            h *= 1099511628211ull;
        }
        QString& slot = slots_[h % slots_.size()];
        if (slot == s)
            s = slot;
        else
            slot = s;
    }

private:
    std::vector<QString> slots_ = std::vector<QString>(4096);
};

// The column widths of a song list view at the view's font. Num and Edited are kept in every
// row but never seen. Title and Artist keep their designed widths. Time and the fourth column
// (Genre, or Plays in Most Played) are what their longest text and their heading need at that
// font, and never narrower than designed: a DJ who picks a bigger font must still read every
// time up to "59:59" and every genre name whole. Filename, the last column shown, takes the
// rest of the list's width (the tooltip shows a path cut short), at least its heading.
class ColumnFit : public QObject {
public:
    ColumnFit(QTreeView* view, SongListModel::Kind kind) : QObject(view), view_(view), kind_(kind) {}

    void apply()
    {
        QTreeView* v = view_;
        QHeaderView* h = v->header();
        const int columns = v->model()->columnCount();
        // Texts are measured as the view's cells draw them: the style adds its cell padding.
        QStyleOptionViewItem cell;
        cell.initFrom(v);
        cell.font = v->font();
        cell.fontMetrics = QFontMetrics(cell.font);
        cell.features = QStyleOptionViewItem::HasDisplay;
        cell.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
        auto fits = [&](const QString& text) {
            cell.text = text;
            return v->style()->sizeFromContents(QStyle::CT_ItemViewItem, &cell, QSize(), v).width();
        };
        auto widest = [&](int column, int designed, std::initializer_list<QString> texts) {
            int w = std::max(designed, h->sectionSizeHint(column));
            for (const QString& t : texts)
                w = std::max(w, fits(t));
            return w;
        };
        int fourth = 0;
        if (kind_ == SongListModel::Kind::MostPlayed) {
            fourth = widest(4, 90, {QStringLiteral("999999")});
        } else {
            fourth = widest(4, 90, {});
            for (int g = 0; g < GenreCount; ++g)
                fourth = std::max(fourth, fits(GenreName(g)));
        }
        const int widths[] = {0, std::max(220, h->sectionSizeHint(1)), std::max(160, h->sectionSizeHint(2)),
                              widest(3, 50, {QStringLiteral("59:59")}), fourth};
        int used = 0;
        for (int c = 0; c < 5; ++c) {
            v->setColumnWidth(c, widths[c]);
            used += widths[c];
        }
        const bool edited = columns > 6;
        if (edited)
            v->setColumnWidth(6, 1);
        // The room inside the frame, less the vertical scroll bar, which a long list shows.
        const int room = v->width() - 2 * v->frameWidth() -
                         v->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, v->verticalScrollBar());
        v->setColumnWidth(5, std::max(h->sectionSizeHint(5), room - used - (edited ? 1 : 0)));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* e) override
    {
        if (watched == view_ && (e->type() == QEvent::FontChange || e->type() == QEvent::StyleChange ||
                                 e->type() == QEvent::Resize))
            apply();
        return false;
    }

private:
    QTreeView* view_;
    SongListModel::Kind kind_;
};

} // namespace

Library::Library(QWidget* form, QObject* parent)
    : QObject(parent), form_(form), requestLink_(std::make_unique<requestdb::RequestLink>())
{
    attach(full_, "lstFullPlaylist");
    attach(dj_, "lstDJPlayList");
    attach(songBin_, "lstSongBin");
    attach(mostPlayed_, "lstMostPlayed");
    attach(search_, "lstSearch");
    attach(requests_, "lstRequests");
    attach(sortMostPlayed_, "lstSortMostPlayed");

    readTimer_ = formTimer(form, this, "TimerReadMP3", 50);
    connect(readTimer_, &QTimer::timeout, this, &Library::TimerReadMP3_Timer);
    // The tag scan's timer has work only while the scan runs.
    new TimerRest({readTimer_}, [this] { return bFullMP3; }, nullptr, 0, this);
    saveTimer_ = formTimer(form, this, "TimerSaveLists", 1000);
    connect(saveTimer_, &QTimer::timeout, this, &Library::TimerSaveLists_Timer);

    walkTimer_ = new QTimer(this);
    walkTimer_->setSingleShot(true);
    walkTimer_->setInterval(0);
    connect(walkTimer_, &QTimer::timeout, this, &Library::walkSlice);
}

Library::~Library() = default;

void Library::attach(SongListModel& model, const char* viewName)
{
    QTreeView* v = form_ ? form_->findChild<QTreeView*>(QLatin1String(viewName)) : nullptr;
    views_.emplace_back(&model, v);
    if (!v)
        return;
    v->setModel(&model);
    v->setRootIsDecorated(false);
    v->setItemsExpandable(false);
    v->setUniformRowHeights(true); // what lets a view of 100,000 rows show at once
    v->setSelectionMode(QAbstractItemView::SingleSelection);
    v->setSelectionBehavior(QAbstractItemView::SelectRows);
    v->setAllColumnsShowFocus(true);
    v->header()->setMinimumSectionSize(0);
    // The widths follow the list's font: set now, and again whenever the font or the list's
    // size changes.
    auto* fit = new ColumnFit(v, model.kind());
    v->installEventFilter(fit);
    fit->apply();
}

SongListModel& Library::modelOf(QTreeView* list)
{
    for (auto& [m, v] : views_)
        if (list && v == list)
            return *m;
    raiseError(91, QStringLiteral("Object variable or With block variable not set"));
}

QTreeView* Library::viewOf(SongListModel& model) const
{
    for (const auto& [m, v] : views_)
        if (m == &model)
            return v;
    return nullptr;
}

QString Library::listFile(const char* name) const { return AppPath + QLatin1Char('/') + QLatin1String(name); }

// ---------------------------------------------------------------- captions and message line

void Library::setCaption(const char* label, const QString& text) { ctl<QLabel>(form_, label)->setText(text); }

void Library::updateFullCaption()
{
    setCaption("lblFullPlaylistNumSongs", QString::number(full_.count()) + QStringLiteral(" Songs"));
}

void Library::updateDJCaption()
{
    setCaption("lblDJPlaylistClick", QStringLiteral("DJ Playlist - ") + QString::number(dj_.count()));
}

void Library::updateSongBinCaption()
{
    setCaption("lblSongBinClick", QStringLiteral("Song Bin - ") + QString::number(songBin_.count()));
}

void Library::updateCountLabels()
{
    setCaption("lblNumRequestSongs", QString::number(requests_.count()));
    setCaption("lblNumDJPlaylist", QString::number(dj_.count()));
    setCaption("lblNumFullPlaylist", QString::number(full_.count()));
    setCaption("lblNumMostPlayed", QString::number(mostPlayed_.count()));
}

QString Library::messageText() const
{
    if (hooks.messageText)
        return hooks.messageText();
    const QLabel* l = form_ ? form_->findChild<QLabel*>(QStringLiteral("lblMessages")) : nullptr;
    return l ? l->text() : QString();
}

void Library::resetMessage()
{
    if (hooks.resetMessage) {
        hooks.resetMessage();
        return;
    }
    if (QLabel* l = form_ ? form_->findChild<QLabel*>(QStringLiteral("lblMessages")) : nullptr)
        l->setText(kIdleMessage);
}

void Library::showMessage(const QString& text)
{
    if (hooks.showMessage) {
        hooks.showMessage(text);
        return;
    }
    if (QLabel* l = form_ ? form_->findChild<QLabel*>(QStringLiteral("lblMessages")) : nullptr)
        l->setText(text);
}

void Library::addSearchPlaceholder()
{
    searchPlaceholderId_ =
        search_.append(SongRow(QStringLiteral("No Songs Found!"), QStringLiteral("Use Title, Artist or Genre"), {}, {}, {}));
}

bool Library::searchShowsPlaceholder() const
{
    return search_.count() == 1 && search_.at(0).id == searchPlaceholderId_;
}

bool Library::writeCells(SongListModel& list, std::uint64_t id, const SongCells& c, bool markScanned, int hint)
{
    const int at = list.indexOfId(id, hint);
    if (at < 0)
        return false;
    list.setCell(at, field::Title, c.title);
    list.setCell(at, field::Artist, c.artist);
    list.setCell(at, field::Time, c.time);
    list.setCell(at, field::Genre, c.genre);
    if (markScanned)
        list.setCell(at, field::Edited, kScanned);
    return true;
}

// ---------------------------------------------------------------- selection

int Library::selectedRow(QTreeView* list)
{
    const int k = listkeys::selectedRow(list);
    if (k == 0)
        raiseError(91, QStringLiteral("Object variable or With block variable not set"));
    return k;
}

void Library::selectRow(QTreeView* list, int k, bool scrollAndFocus)
{
    QAbstractItemModel* m = list->model();
    if (k < 1 || k > m->rowCount())
        badRow();
    const QModelIndex at = m->index(k - 1, 0);
    {
        // Scrolling, where wanted, is done below, once.
        const KeepScrollPosition keep(list);
        list->selectionModel()->setCurrentIndex(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    if (scrollAndFocus) {
        list->scrollTo(at);
        list->setFocus();
    }
}

// ---------------------------------------------------------------- list files

bool Library::keepsRefusedFile(const QString& path)
{
    const auto at = refused_.find(QFileInfo(path).absoluteFilePath());
    if (at == refused_.end())
        return false;
    const QFileInfo now(at->first);
    if (now.exists() && now.size() == at->second.size && now.lastModified() == at->second.modified)
        return true;
    refused_.erase(at); // moved away or replaced: the list may be saved again
    return false;
}

void Library::saveList(SongListModel& list, const char* fileName, const char* name, const char* location,
                       QString* failure, bool syncFolder)
{
    const auto noted = std::find_if(unsaved_.begin(), unsaved_.end(),
                                    [&](const UnsavedList& u) { return u.name == QLatin1String(name); });
    if (noted != unsaved_.end())
        unsaved_.erase(noted);
    const auto fail = [failure](const QString& why) {
        if (failure)
            *failure = why;
        raiseError(75, QStringLiteral("Path/File access error: ") + why);
    };
    trap(location, [&] {
        // A file refused at load is still what the user has: the list in memory never held it,
        // and writing it would lose the file.
        if (keepsRefusedFile(listFile(fileName)))
            fail(QStringLiteral("%1 was not saved: the file there was too large to load and is kept as it is")
                     .arg(QLatin1String(fileName)));
        // One pass over the rows as they stand: the file is built whole in memory and only
        // then replaces the old one, so nothing can change the list half-way and a failure
        // leaves the previous file as it was.
        const int n = list.fieldCount() == 6 ? 6 : 5;
        QByteArray out;
        out.reserve(qsizetype(list.count()) * 120);
        for (int i = 0; i < list.count(); ++i)
            listfile::appendLine(out, list.at(i).cells, n);
        QString error;
        if (!files::writeWhole(listFile(fileName), out, &error, syncFolder)) {
            unsaved_.push_back({QLatin1String(name), listFile(fileName), error});
            fail(error);
        }
        if (hooks.listSaved)
            hooks.listSaved(QLatin1String(fileName));
    });
}

void Library::SaveFullPlaylist()
{
    // While a refresh is walking, the Full Playlist holds only part of the library: keep the
    // file of the last whole list rather than replace it with a half-built one.
    if (refreshing_)
        return;
    saveList(full_, "FullPlaylist.qnl", "Full Playlist", "SaveFullPlaylist");
}

void Library::SaveMostPlayed() { saveList(mostPlayed_, "MostPlayedPlaylist.qnl", "Most Played", "SaveMostPlayed"); }
void Library::SaveDJPlaylist() { saveList(dj_, "DJPlaylist.qnl", "DJ Playlist", "SaveDJPlaylist"); }
void Library::SaveSongBin() { saveList(songBin_, "SongBin.qnl", "Song Bin", "SaveSongBin"); }

QString Library::saveDJPlaylistNow()
{
    QString failure;
    saveList(dj_, "DJPlaylist.qnl", "DJ Playlist", "SaveDJPlaylist", &failure, true);
    return failure;
}

void Library::tellUnsaved()
{
    if (unsaved_.empty())
        return;
    // "Lists not saved: DJ Playlist, Song Bin (Permission denied)": the lists of one reason together.
    QStringList groups;
    std::vector<bool> told(unsaved_.size(), false);
    for (size_t i = 0; i < unsaved_.size(); ++i) {
        if (told[i])
            continue;
        QStringList names;
        for (size_t k = i; k < unsaved_.size(); ++k) {
            if (!told[k] && unsaved_[k].why == unsaved_[i].why) {
                names << unsaved_[k].name;
                told[k] = true;
            }
        }
        groups << names.join(QStringLiteral(", ")) + QStringLiteral(" (") + unsaved_[i].why + QLatin1Char(')');
    }
    showMessage(QStringLiteral("Lists not saved: ") + groups.join(QStringLiteral("; ")));
}

int Library::loadList(SongListModel& list, const QString& path, const char* location)
{
    int added = 0;
    trap(location, [&] {
        if (!listfile::fileExists(path))
            return;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            raiseError(75, QStringLiteral("Path/File access error: ") + f.errorString());
        // A list costs its bytes, their text (two bytes a character) and every row: a file
        // too large for the memory a list may take is refused whole, before it can exhaust it.
        const qint64 maxBytes = listMemoryBudget / 3;
        const auto refuse = [&](qint64 bytes, qint64 rows) {
            const QFileInfo file(path);
            refused_[file.absoluteFilePath()] = FileStamp{file.size(), file.lastModified()};
            QString what = QStringLiteral("%1 MB").arg((bytes + (1 << 20) - 1) >> 20);
            if (rows > 0)
                what += QStringLiteral(", %1 rows or more").arg(rows);
            ui::MsgBox(QStringLiteral("The list file %1 is too large to load (%2).\r\n\r\nIt is kept on disk as it "
                                      "is, and this list is not saved over it while it is there.")
                           .arg(QDir::toNativeSeparators(path), what),
                       vb::mb::Exclamation, QStringLiteral("List File"));
            raiseError(7, QStringLiteral("Out of memory: %1 is too large to load (%2); it is kept as it is")
                              .arg(path, what));
        };
        if (f.size() > maxBytes)
            refuse(f.size(), 0);
        // The file is read, not mapped: another program may cut it short while it loads (a copy
        // over it, a sync tool, a network share), and the pages of a mapping would then vanish
        // under the parser. A read simply ends early, and a row cut off is reported below.
        const QByteArray bytes = f.readAll();
        if (bytes.size() > maxBytes)
            refuse(bytes.size(), 0); // it grew while it was read
        if (hooks.listRead)
            hooks.listRead(path);
        listfile::FieldReader in(bytes);
        const qint64 maxRows = (listMemoryBudget - 3 * qint64(bytes.size())) / kRowCost;
        const qint64 lines = in.lineEstimate();
        if (lines > maxRows)
            refuse(bytes.size(), lines);
        const int n = list.fieldCount();
        std::vector<SongRow> rows;
        rows.reserve(size_t(lines));
        TextPool pool;
        bool complete = true;
        int damaged = 0;
        int nameless = 0;
        for (;;) {
            SongRow r;
            const auto row = in.readRow(r.cells, n);
            if (row == listfile::FieldReader::Row::End)
                break;
            if (row == listfile::FieldReader::Row::Truncated) {
                complete = false;
                break;
            }
            // More rows than lines counted (lone CRs among CR LFs): refused all the same.
            if (qint64(rows.size()) + nameless >= maxRows)
                refuse(bytes.size(), maxRows + 1);
            // A row without a file name is no song: nothing could load or play it, and it is
            // not written back.
            if (r.cells[field::Filename].trimmed().isEmpty()) {
                ++nameless;
                continue;
            }
            if (row != listfile::FieldReader::Row::Complete)
                ++damaged;
            // Time, Genre, Plays and Edited come from small vocabularies.
            pool.share(r.cells[field::Time]);
            pool.share(r.cells[field::Genre]);
            if (n == 6)
                pool.share(r.cells[field::Edited]);
            rows.push_back(std::move(r));
        }
        added = static_cast<int>(rows.size());
        list.appendRows(std::move(rows));
        if (damaged)
            LogError(59, QStringLiteral("Bad record length: %1 line(s) with too few or too many fields").arg(damaged),
                     QLatin1String(location));
        if (nameless)
            LogError(59, QStringLiteral("Bad record: %1 row(s) without a file name skipped in %2")
                             .arg(nameless)
                             .arg(QDir::toNativeSeparators(path)),
                     QLatin1String(location));
        if (!complete)
            raiseError(62, QStringLiteral("Input past end of file"));
    });
    return added;
}

void Library::LoadFullPlaylist(const QString& sFilename)
{
    if (loadList(full_, sFilename, "LoadFullPlaylist") > 0)
        trap("LoadFullPlaylist", [&] { updateFullCaption(); });
}

void Library::LoadMostPlayedPlaylist() { loadList(mostPlayed_, listFile("MostPlayedPlaylist.qnl"), "LoadMostPlayedPlaylist"); }

void Library::LoadDJPlaylist()
{
    if (loadList(dj_, listFile("DJPlaylist.qnl"), "LoadDJPlaylist") > 0)
        trap("LoadDJPlaylist", [&] { updateDJCaption(); });
}

void Library::LoadSongBin()
{
    if (loadList(songBin_, listFile("SongBin.qnl"), "LoadSongBin") > 0)
        trap("LoadSongBin", [&] { updateSongBinCaption(); });
}

void Library::loadStoredLists()
{
    if (full_.count() != 0)
        return;
    const QString fullFile = listFile("FullPlaylist.qnl");
    if (listfile::fileExists(fullFile)) {
        LoadFullPlaylist(fullFile);
        resumeTagScan();
    }
    LoadMostPlayedPlaylist();
    LoadDJPlaylist();
    LoadSongBin();
}

void Library::refreshIfEmpty()
{
    if (full_.count() == 0)
        mnuFullRefreshSongs_Click();
}

// ---------------------------------------------------------------- media scan

bool Library::ParseFiles(const QString& sFilename, QTreeView* list, bool bRefresh)
{
    return trapResult("ParseFiles", false, [&] { return ParseFiles(sFilename, modelOf(list), bRefresh); });
}

bool Library::ParseFiles(const QString& sFilename, SongListModel& list, bool bRefresh)
{
    return trapResult("ParseFiles", false, [&] {
        if (!isMp3Name(sFilename))
            return false;
        const SongCells c = readSongCells(sFilename);
        if (!bRefresh)
            list.append(SongRow(c.title, c.artist, c.time, c.genre, sFilename));
        updateFullCaption();
        return true;
    });
}

void Library::LoadAllDirectories(bool /*bRefresh*/, std::function<void()> done)
{
    walkTimer_->stop();
    walk_.reset();
    walkDone_ = std::move(done);
    std::vector<QString> roots;
    bool noPaths = false;
    trap("LoadAllDirectories", [&] {
        const medialist::ReadResult list = medialist::read();
        if (!list.exists)
            return;
        for (const medialist::Folder& f : list.folders) {
            iFullMP3LastIndex = 1;
            if (f.scan == QLatin1String("Yes"))
                roots.push_back(f.path);
        }
        noPaths = list.folders.empty() && !list.incomplete;
        if (list.incomplete) {
            // The folders before the damaged record are still walked.
            walk_ = std::make_unique<MediaWalk>(roots);
            raiseError(62, QStringLiteral("Input past end of file"));
        }
    });
    if (noPaths) {
        ui::MsgBox(QStringLiteral("No Media Paths! Please restart the program and reconfigure!"),
                   vb::mb::Critical | vb::mb::OKOnly, QStringLiteral("Error"));
        WriteINI(QStringLiteral("Configured"), QStringLiteral("Configured"), QStringLiteral("False"), configFile());
        if (hooks.endProgramAtOnce) {
            hooks.endProgramAtOnce();
            return;
        }
    }
    if (!walk_)
        walk_ = std::make_unique<MediaWalk>(std::move(roots));
    walk_->onError = [](const QString& folder, const QString& reason) {
        LogError(75, QStringLiteral("Path/File access error: ") + folder + QStringLiteral(": ") + reason,
                 QStringLiteral("AddDirectory"));
    };
    walkTimer_->start();
}

void Library::walkSlice()
{
    if (!walk_)
        return;
    std::vector<SongRow> rows;
    const bool finished = walk_->step(rows, kWalkSlice);
    full_.appendRows(std::move(rows));
    if (!finished) {
        walkTimer_->start();
        return;
    }
    walk_.reset();
    if (auto done = std::move(walkDone_)) {
        walkDone_ = nullptr;
        done();
    }
}

void Library::mnuFullRefreshSongs_Click()
{
    trap("mnuFullRefreshSongs_Click", [&] {
        bFullMP3 = false;
        iFullMP3LastIndex = 1;
        showMessage(QStringLiteral("Refreshing Full Playlist From Media Root In Background..."));
        full_.clear();
        unreadable_.clear();
        if (QTreeView* v = viewOf(full_)) {
            // A hidden list hands its focus to the next control, a pitch slider, whose arrow
            // keys would retune a deck: the window keeps it until the list is back.
            if (v->hasFocus() && form_)
                form_->setFocus(Qt::OtherFocusReason);
            v->hide();
        }
        refreshing_ = true;
        LoadAllDirectories(true, [this] { finishRefresh(); });
    });
}

void Library::finishRefresh()
{
    refreshing_ = false;
    trap("mnuFullRefreshSongs_Click", [&] {
        showMessage(QStringLiteral("Finishing Refresh - Please Wait..."));
        updateFullCaption();
        if (QTreeView* v = viewOf(full_)) {
            v->show();
            // The list gets the keys back when nothing else took them meanwhile (also after
            // the first scan, which runs while the window opens).
            if (form_ && form_->window()->focusWidget() == form_ && v->isVisible())
                v->setFocus(Qt::OtherFocusReason);
        }
        resetMessage();
        iFullMP3LastIndex = 1;
        bFullMP3 = true;
    });
    emit refreshFinished();
}

// ---------------------------------------------------------------- background tag scan

bool Library::resumeTagScan()
{
    for (int i = 0; i < full_.count(); ++i) {
        if (full_.cell(i, field::Edited) != kScanned && !unreadable_.count(full_.at(i).id)) {
            iFullMP3LastIndex = i + 1;
            bFullMP3 = true;
            return true;
        }
    }
    return false;
}

void Library::TimerReadMP3_Timer()
{
    trap("TimerReadMP3_Timer", [&] {
        if (!bFullMP3)
            return;
        const int n = full_.count();
        if (n == 0 || iFullMP3LastIndex > n || iFullMP3LastIndex < 1) {
            bFullMP3 = false;
            return;
        }
        const SongRow& r = full_.at(iFullMP3LastIndex - 1);
        if (r.cells[field::Edited] != kScanned && !unreadable_.count(r.id))
            SingleParseFile(full_, iFullMP3LastIndex);
        else
            ++iFullMP3LastIndex;
    });
}

bool Library::SingleParseFile(SongListModel& list, std::int32_t& iRow)
{
    if (iRow < 1 || iRow > list.count())
        return false;
    const std::uint64_t id = list.at(iRow - 1).id;
    const QString path = list.cell(iRow - 1, field::Filename);

    // Moves the scan on: past the last row, back to the first row still unread, if any.
    auto advance = [&] {
        if (iRow >= list.count()) {
            if (&list == &full_ && !resumeTagScan())
                bFullMP3 = false;
            else if (&list != &full_)
                ++iRow;
        } else {
            ++iRow;
        }
    };

    // A row whose path is no MP3 name (only a hand-edited list file holds one) is passed
    // over quietly rather than met again on every tick.
    if (!isMp3Name(path)) {
        unreadable_.insert(id);
        advance();
        return false;
    }
    bool ok = false;
    try {
        ok = trapResult("SingleParseFile", false, [&] {
            // The row read may have moved or gone while the tag was read.
            if (!writeCells(list, id, readSongCells(path), true, iRow - 1))
                return false;
            updateFullCaption();
            return true;
        });
    } catch (...) {
        unreadable_.insert(id);
        advance();
        throw;
    }
    if (!ok && list.indexOfId(id) >= 0 && list.cell(list.indexOfId(id), field::Edited) != kScanned)
        unreadable_.insert(id); // logged once above; not tried again in this run
    advance();
    return ok;
}

// ---------------------------------------------------------------- DJ Playlist and Song Bin

QTreeView* Library::queueList()
{
    QTreeView* dj = ctl<QTreeView>(form_, "lstDJPlayList");
    return !dj->isHidden() ? dj : ctl<QTreeView>(form_, "lstSongBin");
}

void Library::AddToDJList(QTreeView* list, int iTempIndex)
{
    trap("B-267", [&] {
        SongListModel& src = modelOf(list);
        if (src.count() < 1)
            return;
        if (messageText() == kAutoDJHint)
            resetMessage();
        const int k = iTempIndex != 0 ? iTempIndex : selectedRow(list);
        if (k < 1 || k > src.count())
            badRow();
        const QString file = src.cell(k - 1, field::Filename);
        ParseFiles(file, dj_, false);
        updateDJCaption();
    });
}

void Library::removeAndReselect(QTreeView* list, SongListModel& m, int k)
{
    // Neither the removal nor the new selection scrolls the list.
    const KeepScrollPosition keep(list);
    m.removeAt(k - 1);
    const int n = m.count();
    if (n >= 1 && list)
        selectRow(list, k == n + 1 ? k - 1 : k, false);
}

void Library::RemoveFromList(QTreeView* list)
{
    trap("RemoveFromList", [&] {
        SongListModel& m = modelOf(list);
        if (m.count() < 1)
            return;
        removeAndReselect(list, m, selectedRow(list));
        updateDJCaption();
        updateSongBinCaption();
    });
}

void Library::moveToOtherQueue(SongListModel& from, SongListModel& to, const char* location)
{
    trap(location, [&] {
        QTreeView* list = viewOf(from);
        if (from.count() < 1)
            return;
        const int k = listkeys::selectedRow(list);
        if (k == 0)
            return; // nothing selected: nothing to move
        const SongRow& row = from.at(k - 1);
        // The same song: the same title and the same artist, each compared whole and exactly.
        bool present = false;
        for (int i = 0; i < to.count() && !present; ++i)
            present = to.cell(i, field::Title) == row.cells[field::Title] &&
                      to.cell(i, field::Artist) == row.cells[field::Artist];
        if (!present)
            to.append(SongRow(row.cells[field::Title], row.cells[field::Artist], row.cells[field::Time],
                              row.cells[field::Genre], row.cells[field::Filename]));
        removeAndReselect(list, from, k);
        updateDJCaption();
        updateSongBinCaption();
    });
}

void Library::lstDJPlayList_DblClick() { moveToOtherQueue(dj_, songBin_, "lstDJPlayList_DblClick"); }
void Library::lstSongBin_DblClick() { moveToOtherQueue(songBin_, dj_, "lstSongBin_DblClick"); }

void Library::SendSongToTopList()
{
    trap("SendSongToTopList", [&] {
        QTreeView* l = queueList();
        SongListModel& m = modelOf(l);
        if (l->objectName() == QLatin1String("lstDJPlayList") && m.count() < 1)
            return;
        const int k = selectedRow(l);
        if (k != 1)
            m.moveRow(k - 1, 0);
        selectRow(l, k == 1 ? k : 1, true);
    });
}

void Library::picDJPlaylistUp_Click()
{
    trap("picDJPlaylistUp_Click", [&] {
        QTreeView* l = queueList();
        SongListModel& m = modelOf(l);
        if (m.count() < 1)
            return;
        const int k = selectedRow(l);
        if (k == 1) {
            selectRow(l, 1, true);
            return;
        }
        m.moveRow(k - 1, k - 2);
        selectRow(l, k - 1, true);
    });
}

void Library::picDJPlaylistDown_Click()
{
    trap("picDJPlaylistDown_Click", [&] {
        QTreeView* l = queueList();
        SongListModel& m = modelOf(l);
        if (m.count() < 1)
            return;
        const int k = selectedRow(l);
        if (k == m.count()) {
            selectRow(l, k, true);
            return;
        }
        m.moveRow(k - 1, k);
        selectRow(l, k + 1, true);
    });
}

// ---------------------------------------------------------------- a file deleted for good

int Library::removeFileEverywhere(const QString& path)
{
    int removed = 0;
    trap("removeFileEverywhere", [&] {
        // Removes the rows of path from one list; true when it lost any.
        auto purge = [&](SongListModel& m) {
            QTreeView* v = viewOf(m);
            const int selected = listkeys::selectedRow(v);
            int above = 0; // rows removed above the selected one
            bool selectedGone = false;
            int gone = 0;
            const KeepScrollPosition keep(v);
            for (int i = m.count() - 1; i >= 0; --i) {
                if (m.cell(i, field::Filename) != path)
                    continue;
                if (i + 1 == selected)
                    selectedGone = true;
                else if (i + 1 < selected)
                    ++above;
                m.removeAt(i);
                ++gone;
            }
            // The row that moved up into the selected row's place, or the new last row.
            if (selectedGone && m.count() > 0)
                selectRow(v, std::min(selected - above, m.count()), false);
            removed += gone;
            return gone > 0;
        };
        const bool full = purge(full_);
        const bool dj = purge(dj_);
        const bool bin = purge(songBin_);
        const bool most = purge(mostPlayed_);
        purge(search_);
        purge(requests_);
        updateFullCaption();
        updateDJCaption();
        updateSongBinCaption();
        updateCountLabels();
        // Saved as a save would, so a crash or a lost display before the next one cannot bring
        // the deleted song back into a list.
        if (full)
            SaveFullPlaylist();
        if (most)
            SaveMostPlayed();
        if (dj)
            SaveDJPlaylist();
        if (bin)
            SaveSongBin();
        tellUnsaved();
    });
    return removed;
}

// ---------------------------------------------------------------- Most Played

void Library::addToMostPlayed(const DeckSong& song, bool& counted)
{
    const int n = mostPlayed_.count();
    for (int i = 0; i < n; ++i) {
        if (mostPlayed_.cell(i, field::Filename) != song.filename)
            continue;
        double v = 0;
        if (!playsValue(mostPlayed_.cell(i, field::Plays), &v))
            return; // a count that is not a number is left alone
        const std::int32_t p = playsToCount(v);
        if (p == std::numeric_limits<std::int32_t>::max())
            raiseError(6, QStringLiteral("Overflow"));
        mostPlayed_.setCell(i, field::Plays, QString::number(p + 1));
        counted = true;
        return;
    }
    mostPlayed_.append(SongRow(song.title, song.artist, song.time, QStringLiteral("1"), song.filename));
    counted = true;
}

void Library::AddToMostPlayedA(const DeckSong& song, bool& bCountedA)
{
    trap("B-328", [&] { addToMostPlayed(song, bCountedA); });
}

void Library::AddToMostPlayedB(const DeckSong& song, bool& bCountedB)
{
    trap("B-329", [&] { addToMostPlayed(song, bCountedB); });
}

void Library::SortMostPlayed_ByPlays()
{
    trap("SortMostPlayed_ByPlays", [&] {
        // Every count is checked before anything moves, so a bad count leaves the list whole.
        const int n = mostPlayed_.count();
        std::vector<std::pair<std::int32_t, int>> keyed; // (count, old position) of numeric rows
        keyed.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            double v = 0;
            if (playsValue(mostPlayed_.cell(i, field::Plays), &v))
                keyed.emplace_back(playsToCount(v), i);
        }
        // Highest count first; equal counts keep their order. Rows whose count is not a
        // number are dropped.
        std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        std::vector<SongRow> sorted;
        sorted.reserve(keyed.size());
        for (const auto& [count, i] : keyed)
            sorted.push_back(mostPlayed_.at(i));
        if (static_cast<int>(sorted.size()) != n) {
            // Rows go away: rebuild the list in one step.
            mostPlayed_.clear();
            mostPlayed_.appendRows(std::move(sorted));
        } else {
            mostPlayed_.reorder(std::move(sorted));
        }
    });
}

// ---------------------------------------------------------------- periodic save

void Library::TimerSaveLists_Timer()
{
    trap("TimerSaveLists_Timer", [&] {
        if (hooks.updateClock)
            hooks.updateClock();
        // The window repaints what changed (the clock, the lamps, the labels) as it changes;
        // a repaint of the whole window on top of that would only paint the same pixels again.
        if (iSaveCounter <= 10800) {
            ++iSaveCounter;
            return;
        }
        // A save is never started inside another, nor while a refresh is rebuilding the Full
        // Playlist; the counter stays where it is and the next tick tries again.
        if (saving_ || refreshing_)
            return;
        saving_ = true;
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{saving_};
        SaveDJPlaylist();
        SaveFullPlaylist();
        SaveMostPlayed();
        SaveSongBin();
        tellUnsaved();
        iSaveCounter = 0;
        QTreeView* mp = viewOf(mostPlayed_);
        // The list is hidden while it is reordered; a DJ working in it keeps the keys there
        // (a hidden list would hand them to the next control, a deck's pitch slider).
        const bool focused = mp && mp->hasFocus();
        if (mp)
            mp->hide();
        SortMostPlayed_ByPlays();
        if (mp) {
            mp->show();
            if (focused)
                mp->setFocus(Qt::OtherFocusReason);
        }
    });
}
