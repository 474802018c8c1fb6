#include "menus/frmDBPath.h"

#include "core/errorlog.h"
#include "core/settings.h"
#include "library/requestdb.h"
#include "library/songlistmodel.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

frmDBPath::frmDBPath(SongListModel& requests, QWidget* parent) : QDialog(parent), requests_(requests)
{
    setObjectName(QStringLiteral("frmDBPath"));
    setWindowTitle(QStringLiteral("Set DB Path"));
    setModal(true);

    txtDBPath = new QLineEdit(this);
    txtDBPath->setObjectName(QStringLiteral("txtDBPath"));
    txtDBPath->setMinimumWidth(vb::px(6000));
    auto* lookup = new QPushButton(QStringLiteral("..."), this);
    lookup->setObjectName(QStringLiteral("cmdLookup"));
    lookup->setAutoDefault(false);
    auto* save = new QPushButton(QStringLiteral("Save"), this);
    save->setObjectName(QStringLiteral("cmdSave"));
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cmdCancel"));
    cancel->setAutoDefault(false);

    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(txtDBPath, 1);
    pathRow->addWidget(lookup);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(save);
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(pathRow);
    layout->addLayout(buttons);

    connect(lookup, &QPushButton::clicked, this, [this] { cmdLookup_Click(); });
    connect(save, &QPushButton::clicked, this, [this] { cmdSave_Click(); });
    connect(cancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });

    Form_Load();
}

void frmDBPath::Form_Load()
{
    trap("frmDBPath_Form_Load", [&] {
        // No database configured shows as an empty box, not as a made-up path.
        txtDBPath->setText(requestdb::isConfigured(RequestDBPath) ? RequestDBPath : QString());
        sOldDBPath = RequestDBPath;
    });
}

void frmDBPath::cmdLookup_Click()
{
    trap("frmDBPath_cmdLookup_Click", [&] {
        const QString chosen = ui::dialogs().chooseFile(
            QStringLiteral("Request Database"), AppPath,
            QStringLiteral("Request Database (*.db *.sqlite *.sqlite3 *.mdb);;All Files (*)"));
        if (!chosen.isEmpty())
            txtDBPath->setText(chosen);
    });
}

void frmDBPath::cmdSave_Click()
{
    trap("frmDBPath_cmdSave_Click", [&] {
        const QString path = txtDBPath->text();
        if (!requestdb::isUsable(path)) {
            ui::MsgBox(QStringLiteral("Choose a Different Path!"), vb::mb::OKOnly);
            return;
        }
        // The run uses the new database either way; a settings file that cannot be written is
        // logged, as the next start would not find the choice.
        if (!WriteINI(QStringLiteral("Requests"), QStringLiteral("RequestDB"), path, configFile()))
            LogError(75, QStringLiteral("Path/File access error: the request database path could not be saved"),
                     QStringLiteral("frmDBPath_cmdSave_Click"));
        if (path != sOldDBPath)
            requests_.clear();
        RequestDBPath = path;
        accept();
    });
}

void frmDBPath::cmdCancel_Click() { reject(); }
