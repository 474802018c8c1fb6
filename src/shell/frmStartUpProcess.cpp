#include "shell/frmStartUpProcess.h"

#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/deckstate.h"
#include "platform/audio/soundengine.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "shell/frmConfigureSound.h"
#include "shell/frmMediaPaths.h"
#include "shell/sessionend.h"
#include "shell/startup.h"

#include <QCoreApplication>

namespace {

const QString CrLf = QStringLiteral("\r\n");

// Exit status of a run that a check or the user ended before the main window opened.
constexpr int UserDeclined = 0;
constexpr int Refused = 1;

QString firstRunNotice()
{
    return QStringLiteral("Welcome to Quenlow!") + CrLf + CrLf
           + QStringLiteral("First choose the sound device of each player (you can test each one), then the "
                            "folders that hold your music. Quenlow asks for the sound devices at every start.");
}

} // namespace

frmStartUpProcess::frmStartUpProcess(startup::InstanceLock& lock) : lock_(lock) {}

void frmStartUpProcess::endProgram(int code)
{
    ended_ = true;
    // A box that ends the program, closed by the session's end: the status is the session's.
    exitCode_ = session::ending() ? session::exitStatus() : code;
    startup::unloadSplash();
}

bool frmStartUpProcess::stopped()
{
    // The session ended while a dialog or box of the sequence (or of the main window's load) was
    // open: the program ends with the status of any session end.
    if (!ended_ && session::ending())
        endProgram(session::exitStatus());
    return ended_;
}

bool frmStartUpProcess::Form_Load()
{
    // No list is loaded before the main window's load: until then the session ending ends the
    // program at once, from whichever dialog is open, with both sound engines closed and every
    // file as it was.
    endOnSessionEnd([] {
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
    });
    // 1. The splash, painted before anything else happens. The event loop has not started yet,
    //    so letting pending events run here can start no other work of the program.
    startup::showSplash();
    QCoreApplication::processEvents();

    // 2. and 3.
    AppPath = startup::environment().programFolder();
    ErrorTrapOn = true;

    // A second copy is turned away before it shows or writes anything: its first-run and
    // update answers would otherwise go into the settings the running copy is using.
    CheckForAnotherInstance();
    FirstRunNotice();
    UpdatePrompt();
    CheckResolutionOfScreen();
    CheckIfSoundIsOk();
    CheckMediaPaths();
    ConfigureSound();
    LoadQuenlow();
    return !stopped();
}

// 4. Shown on the very first start only.
void frmStartUpProcess::FirstRunNotice()
{
    if (stopped())
        return;
    if (ReadINI(QStringLiteral("PROG"), QStringLiteral("FIRSTRUN"), QStringLiteral("NULL"), configFile())
        != QLatin1String("NULL"))
        return;
    ui::MsgBox(firstRunNotice(), vb::mb::OKOnly);
    // A box closed by the session's end was never read: it is shown again at the next start.
    if (stopped())
        return;
    WriteINI(QStringLiteral("PROG"), QStringLiteral("FIRSTRUN"), QStringLiteral("DONE"), configFile());
}

// 5. Asked when the key is absent or exactly "TRUE"; answered once.
void frmStartUpProcess::UpdatePrompt()
{
    if (stopped())
        return;
    const QString v = ReadINI(QStringLiteral("UPDATES"), QStringLiteral("NEWUPDATE"), QStringLiteral("NULL"), configFile());
    if (v != QLatin1String("NULL") && v != QLatin1String("TRUE"))
        return;
    const QString text = QStringLiteral("I noticed you updated \"Quenlow\".  Would you like to review the changes made?")
                         + CrLf + CrLf + QStringLiteral("You can always view the update list from the Full Playlist Menu.");
    if (ui::MsgBox(text, vb::mb::YesNo, QStringLiteral("Update Detected")) == vb::mb::Yes)
        startup::environment().showUpdates();
    // Unanswered when the session ended meanwhile: asked again at the next start.
    if (stopped())
        return;
    WriteINI(QStringLiteral("UPDATES"), QStringLiteral("NEWUPDATE"), QStringLiteral("FALSE"), configFile());
}

// 6. One running program per program folder.
void frmStartUpProcess::CheckForAnotherInstance()
{
    if (stopped())
        return;
    if (lock_.tryLock(AppPath))
        return;
    ui::MsgBox(QStringLiteral("Quenlow is already running!"), vb::mb::Critical, QStringLiteral("Exiting"));
    endProgram(Refused);
}

// 7.
void frmStartUpProcess::CheckResolutionOfScreen()
{
    if (stopped())
        return;
    ScreenResolution();
}

QString frmStartUpProcess::ScreenResolution()
{
    const QSize s = startup::environment().screenSize();
    const int width = s.width();
    const int height = s.height();
    // Only a screen that is small both ways is refused.
    if (width < 1024 && height < 768) {
        ui::MsgBox(QStringLiteral("1024x768 needed to operate 'Quenlow' correctly!,  Exiting program"), vb::mb::Critical,
                   QStringLiteral("Screen Resolution"));
        endProgram(Refused);
    }
    return QStringLiteral("%1 X %2").arg(width).arg(height);
}

// 8. The sound device dialog, on every start. It leaves both engines closed.
void frmStartUpProcess::CheckIfSoundIsOk()
{
    if (stopped())
        return;
    frmConfigureSound dialog;
    startup::environment().runModal(dialog);
    if (dialog.quitRequested())
        endProgram(UserDeclined);
}

// 9. The media folder dialog, when no folder is recorded. A file that cannot be read in full
//    counts with the records read so far.
void frmStartUpProcess::CheckMediaPaths()
{
    if (stopped())
        return;
    const QString noPaths = QStringLiteral("I didn't find any media paths! I will let you configure those.");
    const QString title = QStringLiteral("No Media Paths Found");
    const medialist::ReadResult r = medialist::read(medialist::fileName());
    mediaPaths_ = r.folders;
    if (r.exists && !mediaPaths_.empty())
        return;
    ui::MsgBox(noPaths, vb::mb::Critical, title);
    frmMediaPaths dialog;
    // Only a missing list makes the dialog's save bring the splash forward again.
    dialog.bStartup = !r.exists;
    startup::environment().runModal(dialog);
    if (dialog.quitRequested())
        endProgram(UserDeclined);
}

// 10. Both engines on the devices the dialog saved, with the spectrum the beat lamps read.
void frmStartUpProcess::ConfigureSound()
{
    if (stopped())
        return;
    // A stored number stands only while its device is still the stored one (PADEVICENAME, or
    // for an output of the sound server PADEVICESINK): a card unplugged, a sound server down or
    // an output added since the dialog moves every device after it.
    // An output of the server that is missing now is waited for, and the message line says so
    // once the main window opens.
    const std::vector<audio::DeviceEntry> devices = audio::outputDevices();
    DeckState& d = deckState();
    QStringList missing;
    auto device = [&](const char* number, const char* name, const char* sink, char player, QString& sinkToOpen) {
        const auto read = [](const char* key) {
            return ReadINI(QStringLiteral("SoundDevices"), QLatin1String(key), QStringLiteral("NULL"), configFile());
        };
        QString change;
        const int n = startup::deviceNumberFor(read(number), read(name), read(sink), devices, &change, &sinkToOpen);
        if (!change.isEmpty())
            LogError(0, QStringLiteral("Player %1: ").arg(QChar(player)) + change, QStringLiteral("ConfigureSound"));
        if (n < 0) {
            const QString shown = read(name);
            missing << QStringLiteral("Player %1's sound output \"%2\" is missing: the player plays once it is back.")
                           .arg(QChar(player), shown != QLatin1String("NULL") && !shown.isEmpty() ? shown : sinkToOpen);
        }
        return n;
    };
    QString sinkA, sinkB;
    d.DeviceA = device("PADEVICENUM", "PADEVICENAME", "PADEVICESINK", 'A', sinkA);
    d.DeviceB = device("PBDEVICENUM", "PBDEVICENAME", "PBDEVICESINK", 'B', sinkB);
    d.OutputNotice = missing.join(QLatin1Char(' '));
    if (initEngine('A', d.DeviceA, sinkA))
        initEngine('B', d.DeviceB, sinkB);
}

bool frmStartUpProcess::initEngine(char which, int device, const QString& sink)
{
    SoundBinding& fmod = which == 'A' ? FMod : FMod2;
    if (sink.isEmpty())
        fmod.FSOUND_SetDriver(device);
    else
        fmod.engine().setDriverSink(sink, true);
    if ((fmod.FSOUND_Init(44100, 32, 2) & 0xFF) == 0) {
        const int code = fmod.FSOUND_GetError();
        const QString why = which == 'A' ? SoundErrorTextA(code) : SoundErrorTextB(code);
        ui::MsgBox(QStringLiteral("An error occured initializing device") + CrLf + why, vb::mb::OKOnly);
        endProgram(Refused);
        return false;
    }
    fmod.FSOUND_DSP_SetActive(fmod.FSOUND_DSP_GetFFTUnit(), 1);
    return true;
}

// 11.
void frmStartUpProcess::LoadQuenlow()
{
    if (stopped())
        return;
    startup::environment().showMain();
    // The main window's load unloads the splash; make sure of it whatever that load did.
    startup::unloadSplash();
    stopped();
}
