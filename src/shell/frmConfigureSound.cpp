#include "shell/frmConfigureSound.h"

#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/deckstate.h"
#include "platform/audio/soundengine.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "shell/startup.h"
#include "shell/startup_labels.h"

#include <QFileInfo>
#include <QListWidget>

namespace {
const QString NoSelection = QStringLiteral("Sel:");
const QString CrLf = QStringLiteral("\r\n");
} // namespace

// What differs between the two players: the engine, the controls, the handles the test sound
// is kept in and the wording of the engine's errors.
struct frmConfigureSound::Player {
    char letter;
    SoundBinding& fmod;
    QListWidget* list;
    SkinControl* sel;
    long& stream;
    int& channel;
    QString (*errorText)(int);
};

frmConfigureSound::frmConfigureSound(QWidget* parent) : QDialog(parent)
{
    using startup::makeCaption;
    using startup::makeLabelButton;
    using startup::pixels;

    setObjectName(QStringLiteral("frmConfigureSound"));
    setWindowTitle(QStringLiteral("Configure Your Sound Devices"));
    setFixedSize(vb::px(7200), vb::px(4350));

    makeCaption(this, "lblPlayerA", QStringLiteral("Player A:"), {150, 150, 3300, 255});
    lstPlayerA_ = new QListWidget(this);
    lstPlayerA_->setObjectName(QStringLiteral("lstPlayerA"));
    lstPlayerA_->setGeometry(pixels({150, 420, 3300, 2250}));
    lblPlayerASel_ = makeCaption(this, "lblPlayerASel", NoSelection, {150, 2730, 3300, 255});
    auto* testA = makeLabelButton(this, "lblPlayerATest", QStringLiteral("Test Me!"), {150, 3030, 1500, 330});

    makeCaption(this, "lblPlayerB", QStringLiteral("Player B:"), {3750, 150, 3300, 255});
    lstPlayerB_ = new QListWidget(this);
    lstPlayerB_->setObjectName(QStringLiteral("lstPlayerB"));
    lstPlayerB_->setGeometry(pixels({3750, 420, 3300, 2250}));
    lblPlayerBSel_ = makeCaption(this, "lblPlayerBSel", NoSelection, {3750, 2730, 3300, 255});
    auto* testB = makeLabelButton(this, "lblPlayerBTest", QStringLiteral("Test Me!"), {3750, 3030, 1500, 330});

    auto* refresh = makeLabelButton(this, "lblRefresh", QStringLiteral("Refresh Lists"), {150, 3720, 1950, 390});
    auto* save = makeLabelButton(this, "lblSaveDevices", QStringLiteral("Ok, I Think I Got It!"), {2250, 3720, 2550, 390});
    auto* quit = makeLabelButton(this, "lblNoClose", QStringLiteral("Not Right Now Please"), {4950, 3720, 2100, 390});

    for (QListWidget* l : {lstPlayerA_, lstPlayerB_})
        l->setSelectionMode(QAbstractItemView::SingleSelection);

    // A failure in a handler is logged and the dialog stays usable.
    auto on = [this](const char* location, void (frmConfigureSound::*handler)()) {
        return [this, location, handler] { trap(location, [&] { (this->*handler)(); }); };
    };
    connect(lstPlayerA_, &QListWidget::itemSelectionChanged, this, on("lstPlayerA_Click", &frmConfigureSound::lstPlayerA_Click));
    connect(lstPlayerB_, &QListWidget::itemSelectionChanged, this, on("lstPlayerB_Click", &frmConfigureSound::lstPlayerB_Click));
    connect(testA, &SkinControl::Click, this, on("lblPlayerATest_Click", &frmConfigureSound::lblPlayerATest_Click));
    connect(testB, &SkinControl::Click, this, on("lblPlayerBTest_Click", &frmConfigureSound::lblPlayerBTest_Click));
    connect(refresh, &SkinControl::Click, this, on("lblRefresh_Click", &frmConfigureSound::lblRefresh_Click));
    connect(save, &SkinControl::Click, this, on("lblSaveDevices_Click", &frmConfigureSound::lblSaveDevices_Click));
    connect(quit, &SkinControl::Click, this, on("lblNoClose_Click", &frmConfigureSound::lblNoClose_Click));

    LoadDevices();
    lstPlayerA_->setFocus();
}

frmConfigureSound::Player frmConfigureSound::player(char which)
{
    DeckState& d = deckState();
    if (which == 'A')
        return {'A', FMod, lstPlayerA_, lblPlayerASel_, d.StreamA, d.ChannelA, &SoundErrorTextA};
    return {'B', FMod2, lstPlayerB_, lblPlayerBSel_, d.StreamB, d.ChannelB, &SoundErrorTextB};
}

int frmConfigureSound::selectedRow(const QListWidget* list)
{
    const auto items = list->selectedItems();
    return items.isEmpty() ? -1 : list->row(items.first());
}

void frmConfigureSound::LoadDevices()
{
    // The same devices, in the same order, in both lists; nothing is preselected. An output of
    // the sound server keeps its sink's name beside it, which the save stores.
    for (const audio::DeviceEntry& device : audio::outputDevices()) {
        for (QListWidget* list : {lstPlayerA_, lstPlayerB_}) {
            auto* item = new QListWidgetItem(device.name, list);
            item->setData(Qt::UserRole, device.sink);
        }
    }
}

// Closing an engine ends whatever it plays, and the handles that pointed into it go with it, so
// nothing later plays or stops a stream that no longer exists.
void frmConfigureSound::closeEngine(const Player& p)
{
    p.fmod.FSOUND_Close();
    p.stream = 0;
    p.channel = 0;
}

// The device of the list's row for the engine's next init: a server's output by its sink's name,
// so the engine opens the output the row shows whatever the server lists by then (an output gone
// meanwhile fails the init); every other device by its number.
void frmConfigureSound::chooseDevice(const Player& p, int row)
{
    const QString sink = p.list->item(row)->data(Qt::UserRole).toString();
    if (sink.isEmpty())
        p.fmod.FSOUND_SetDriver(row + 1);
    else
        p.fmod.engine().setDriverSink(sink, false);
}

void frmConfigureSound::deviceClick(const Player& p)
{
    const int row = selectedRow(p.list);
    if (row < 0)
        return; // the list was cleared
    p.sel->setText(QStringLiteral("Sel: ") + p.list->item(row)->text());
    // The engine may already be running on the device chosen before: close it first, so that
    // choosing again simply moves the player to the new device.
    closeEngine(p);
    chooseDevice(p, row);
    if ((p.fmod.FSOUND_Init(44100, 32, 2) & 0xFF) == 0)
        ui::MsgBox(QStringLiteral("An error occured initializing device selected for Player %1!").arg(p.letter) + CrLf
                       + p.errorText(p.fmod.FSOUND_GetError()),
                   vb::mb::OKOnly);
}

void frmConfigureSound::testDevice(const Player& p)
{
    if (p.sel->text() == NoSelection)
        return; // no device chosen since the lists were loaded
    const int row = selectedRow(p.list);
    if (row < 0)
        return;
    closeEngine(p); // also ends a test sound still playing
    chooseDevice(p, row);
    if (p.letter == 'A')
        p.fmod.FSOUND_SetBufferSize(50);
    if ((p.fmod.FSOUND_Init(44100, 32, 2) & 0xFF) == 0) {
        const QString text = p.letter == 'A'
                                 ? QStringLiteral("An error occured initializing device selected for Player A!")
                                 : QStringLiteral("An error occured initializing device  selected for Player B!");
        ui::MsgBox(text + CrLf + p.errorText(p.fmod.FSOUND_GetError()), vb::mb::OKOnly);
        return;
    }
    const QString wav = AppPath + QStringLiteral("/testdevice.wav");
    if (!QFileInfo(wav).isFile()) {
        ui::MsgBox(QStringLiteral("The test sound is missing. Please put the file testdevice.wav back into the "
                                  "Quenlow folder (%1) and test again.")
                       .arg(AppPath),
                   vb::mb::OKOnly);
        return;
    }
    p.stream = p.fmod.FSOUND_Stream_Open(wav, FSOUND_2D, 0, 0);
    if (p.stream != 0)
        p.channel = p.fmod.FSOUND_Stream_Play(-1, p.stream);
}

void frmConfigureSound::lstPlayerA_Click() { deviceClick(player('A')); }
void frmConfigureSound::lstPlayerB_Click() { deviceClick(player('B')); }
void frmConfigureSound::lblPlayerATest_Click() { testDevice(player('A')); }
void frmConfigureSound::lblPlayerBTest_Click() { testDevice(player('B')); }

void frmConfigureSound::lblRefresh_Click()
{
    // The engines stay as they are; only the lists and captions start again.
    lstPlayerA_->clear();
    lstPlayerB_->clear();
    lblPlayerASel_->setText(NoSelection);
    lblPlayerBSel_->setText(NoSelection);
    LoadDevices();
}

void frmConfigureSound::lblSaveDevices_Click()
{
    const int a = selectedRow(lstPlayerA_);
    if (a < 0) {
        ui::MsgBox(QStringLiteral("You need to select a sound device for Player A!"), vb::mb::Critical,
                   QStringLiteral("Error"));
        return;
    }
    const int b = selectedRow(lstPlayerB_);
    if (b < 0) {
        ui::MsgBox(QStringLiteral("You need to select a sound device for Player B!"), vb::mb::Critical,
                   QStringLiteral("Error"));
        return;
    }
    const QString ini = configFile();
    const QString section = QStringLiteral("SoundDevices");
    WriteINI(section, QStringLiteral("Configure"), QStringLiteral("False"), ini);
    WriteINI(section, QStringLiteral("PADEVICENUM"), QString::number(a + 1), ini);
    WriteINI(section, QStringLiteral("PADEVICENAME"), lstPlayerA_->item(a)->text(), ini);
    WriteINI(section, QStringLiteral("PBDEVICENUM"), QString::number(b + 1), ini);
    WriteINI(section, QStringLiteral("PBDEVICENAME"), lstPlayerB_->item(b)->text(), ini);
    // What finds an output of the sound server again at the next start, wherever the list has it
    // then and whatever it is called; empty for every other device.
    WriteINI(section, QStringLiteral("PADEVICESINK"), lstPlayerA_->item(a)->data(Qt::UserRole).toString(), ini);
    WriteINI(section, QStringLiteral("PBDEVICESINK"), lstPlayerB_->item(b)->data(Qt::UserRole).toString(), ini);

    // Start-up sets both engines up afresh from the saved numbers.
    closeEngine(player('A'));
    closeEngine(player('B'));
    saved_ = true;
    accept();
    startup::bringSplashForward();
}

void frmConfigureSound::lblNoClose_Click()
{
    closeEngine(player('A'));
    closeEngine(player('B'));
    quit_ = true;
    done(QDialog::Rejected);
}

void frmConfigureSound::reject()
{
    closeEngine(player('A'));
    closeEngine(player('B'));
    QDialog::reject();
}
