#include "shell/frmMediaPaths.h"

#include "core/errorlog.h"
#include "library/medialist.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "shell/startup.h"
#include "shell/startup_labels.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

namespace {
enum Column { NumColumn = 0, PathColumn = 1, ScanColumn = 2 };
} // namespace

QString frmMediaPaths::placeholder() { return QStringLiteral("[Full Path]"); }

frmMediaPaths::frmMediaPaths(QWidget* parent) : QDialog(parent)
{
    using startup::makeCaption;
    using startup::makeLabelButton;
    using startup::pixels;

    setObjectName(QStringLiteral("frmMediaPaths"));
    setWindowTitle(QStringLiteral("Media Paths"));
    setFixedSize(vb::px(6000), vb::px(4700));

    lstMediaPaths_ = new QTreeWidget(this);
    lstMediaPaths_->setObjectName(QStringLiteral("lstMediaPaths"));
    lstMediaPaths_->setGeometry(pixels({120, 120, 5760, 2760}));
    lstMediaPaths_->setHeaderLabels({QStringLiteral("Num"), QStringLiteral("File Path"), QStringLiteral("Scan")});
    lstMediaPaths_->setRootIsDecorated(false);
    lstMediaPaths_->setUniformRowHeights(true);
    lstMediaPaths_->setSelectionMode(QAbstractItemView::SingleSelection);
    lstMediaPaths_->setColumnWidth(NumColumn, vb::px(600));
    lstMediaPaths_->setColumnWidth(PathColumn, vb::px(4200));
    lstMediaPaths_->setColumnWidth(ScanColumn, vb::px(750));

    makeCaption(this, "lblAddNew", QStringLiteral("Add New:"), {120, 3015, 900, 255});
    txtMediaPath_ = new QLineEdit(placeholder(), this);
    txtMediaPath_->setObjectName(QStringLiteral("txtMediaPath"));
    txtMediaPath_->setGeometry(pixels({1050, 2970, 4230, 330}));
    auto* lookup = new QPushButton(QStringLiteral("..."), this);
    lookup->setObjectName(QStringLiteral("cmdLookup"));
    lookup->setGeometry(pixels({5340, 2970, 540, 330}));
    lookup->setAutoDefault(false);

    auto* add = makeLabelButton(this, "lblAdd", QStringLiteral("Add"), {120, 3480, 1200, 360});
    auto* del = makeLabelButton(this, "lblDelSel", QStringLiteral("Delete Selected"), {1440, 3480, 1800, 360});
    auto* scan = makeLabelButton(this, "lblScanYesNo", QStringLiteral("Yes / No"), {3360, 3480, 1200, 360});
    auto* save = makeLabelButton(this, "lblSaveDevices", QStringLiteral("Ok, I Think I Got It!"), {900, 4080, 2000, 420});
    auto* quit = makeLabelButton(this, "lblNoClose", QStringLiteral("Not Right Now Please"), {3100, 4080, 2000, 420});

    connect(lookup, &QPushButton::clicked, this, [this] { cmdLookup_Click(); });
    connect(add, &SkinControl::MouseUp, this, [this] { lblAdd_MouseUp(); });
    connect(del, &SkinControl::MouseUp, this, [this] { lblDelSel_MouseUp(); });
    connect(scan, &SkinControl::MouseUp, this, [this] { lblScanYesNo_MouseUp(); });
    connect(lstMediaPaths_, &QTreeWidget::itemDoubleClicked, this, [this] { lstMediaPaths_DblClick(); });
    connect(save, &SkinControl::Click, this, [this] { lblSaveDevices_Click(); });
    connect(quit, &SkinControl::Click, this, [this] { lblNoClose_Click(); });

    LoadMediaList();
}

void frmMediaPaths::addRow(const QString& path, const QString& flag)
{
    auto* item = new QTreeWidgetItem(lstMediaPaths_);
    item->setText(NumColumn, QString::number(lstMediaPaths_->topLevelItemCount()));
    item->setText(PathColumn, path);
    item->setText(ScanColumn, flag);
}

void frmMediaPaths::renumber()
{
    for (int k = 0; k < lstMediaPaths_->topLevelItemCount(); ++k)
        lstMediaPaths_->topLevelItem(k)->setText(NumColumn, QString::number(k + 1));
}

void frmMediaPaths::LoadMediaList()
{
    trap("LoadMediaList", [&] {
        const medialist::ReadResult r = medialist::read(medialist::fileName());
        for (const medialist::Folder& f : r.folders)
            addRow(f.path, f.scan); // an empty flag already reads as "Yes"
        if (r.incomplete)
            raiseError(62, QStringLiteral("Input past end of file"));
    });
}

void frmMediaPaths::cmdLookup_Click()
{
    try {
        const QString path =
            ui::dialogs().chooseFolder(QStringLiteral("Select a folder - Folders under one selected will be added also"));
        if (path.isEmpty())
            return; // cancelled: the box keeps its text
        if (path.contains(QLatin1String("::")) || path == QLatin1String("EntireNetwork"))
            return; // a place without a folder path
        txtMediaPath_->setText(path);
    } catch (...) {
        txtMediaPath_->setText(placeholder());
    }
}

void frmMediaPaths::lblAdd_MouseUp()
{
    trap("lblAdd_MouseUp", [&] {
        const QString text = txtMediaPath_->text();
        // Nothing chosen yet (or the box was emptied): choose first, add with the next click.
        // A blank path would only make the scan look in no folder at all.
        if (text == placeholder() || text.trimmed().isEmpty()) {
            cmdLookup_Click();
            return;
        }
        addRow(text, QStringLiteral("Yes"));
        txtMediaPath_->setText(placeholder());
    });
}

void frmMediaPaths::lblDelSel_MouseUp()
{
    trap("lblDelSel_MouseUp", [&] {
        if (lstMediaPaths_->topLevelItemCount() == 0)
            return;
        const auto selected = lstMediaPaths_->selectedItems();
        if (selected.isEmpty())
            raiseError(91, QStringLiteral("Object variable or With block variable not set"));
        delete lstMediaPaths_->takeTopLevelItem(lstMediaPaths_->indexOfTopLevelItem(selected.first()));
        renumber();
    });
}

void frmMediaPaths::toggleSelected()
{
    if (lstMediaPaths_->topLevelItemCount() == 0)
        return;
    const auto selected = lstMediaPaths_->selectedItems();
    if (selected.isEmpty())
        raiseError(91, QStringLiteral("Object variable or With block variable not set"));
    QTreeWidgetItem* row = selected.first();
    row->setText(ScanColumn, row->text(ScanColumn) == QLatin1String("Yes") ? QStringLiteral("No") : QStringLiteral("Yes"));
}

void frmMediaPaths::lblScanYesNo_MouseUp()
{
    trap("lblScanYesNo_MousUp", [&] { toggleSelected(); });
}

void frmMediaPaths::lstMediaPaths_DblClick()
{
    trap("lstMediaPaths_DblClick", [&] { toggleSelected(); });
}

void frmMediaPaths::lblSaveDevices_Click()
{
    trap("lblSaveDevices_Click", [&] {
        const int n = lstMediaPaths_->topLevelItemCount();
        if (n == 0) {
            ui::MsgBox(QStringLiteral("You need at least one media path for me to work!"), vb::mb::Critical,
                       QStringLiteral("Need Media Path"));
            cmdLookup_Click();
            return;
        }
        std::vector<medialist::Folder> folders;
        folders.reserve(size_t(n));
        for (int k = 0; k < n; ++k) {
            const QTreeWidgetItem* row = lstMediaPaths_->topLevelItem(k);
            folders.push_back({row->text(PathColumn), row->text(ScanColumn)});
        }
        // Written whole and then renamed over the old list: a failed write keeps the old list,
        // and the dialog stays open so that nothing the user entered is lost.
        QString why;
        if (!medialist::write(folders, medialist::fileName(), &why))
            raiseError(75, QStringLiteral("Path/File access error: ") + why);
        saved_ = true;
        accept();
        if (bStartup)
            startup::bringSplashForward();
    });
}

void frmMediaPaths::lblNoClose_Click()
{
    quit_ = true;
    done(QDialog::Rejected);
}
