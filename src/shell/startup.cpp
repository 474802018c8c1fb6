#include "shell/startup.h"

#include "platform/ui/vb.h"
#include "shell/frmDoingThings.h"
#include "shell/frmMain.h"
#include "shell/frmShowUpdates.h"

#include <QApplication>
#include <QByteArray>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QScreen>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace startup {

// --- the instance lock

InstanceLock::~InstanceLock() { unlock(); }

QString InstanceLock::fileName() { return QStringLiteral("Quenlow.lock"); }

bool InstanceLock::tryLock(const QString& folder)
{
    if (fd_ >= 0)
        return true;
    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + fileName());
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return true; // no lock file possible here: nothing tells of another instance
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return !busy;
    }
    // The holder's process number, for whoever wonders which program holds the folder.
    const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
    if (::ftruncate(fd, 0) == 0 && ::write(fd, pid.constData(), size_t(pid.size())) < 0) {
        // the lock is what counts; the number is only a courtesy
    }
    fd_ = fd;
    return true;
}

void InstanceLock::unlock()
{
    if (fd_ < 0)
        return;
    ::flock(fd_, LOCK_UN);
    ::close(fd_);
    fd_ = -1;
}

// --- the hooks

namespace {

Environment defaults()
{
    Environment e;
    e.programFolder = [] { return QCoreApplication::applicationDirPath(); };
    e.screenSize = []() -> QSize {
        const QScreen* s = QGuiApplication::primaryScreen();
        return s ? s->size() : QSize();
    };
    e.runModal = [](QDialog& d) { d.exec(); };
    e.showUpdates = [] {
        // The notes window is modal and returns at once; the sequence waits here until it is
        // closed. The program's event loop has not started yet, so nothing else runs meanwhile.
        QPointer<frmShowUpdates> notes = frmShowUpdates::open();
        QEventLoop wait;
        QObject::connect(notes, &frmShowUpdates::closed, &wait, &QEventLoop::quit);
        if (notes && notes->isVisible())
            wait.exec();
    };
    e.showMain = [] {
        // The main window lives until the program's event loop ends.
        auto* main = new frmMain;
        QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [w = QPointer<frmMain>(main)] { delete w.data(); });
        main->showMain();
    };
    return e;
}

Environment& current()
{
    static Environment e = defaults();
    return e;
}

QPointer<frmDoingThings>& splash()
{
    static QPointer<frmDoingThings> s;
    return s;
}

} // namespace

Environment& environment() { return current(); }

void resetEnvironment() { current() = defaults(); }

// --- the splash

namespace {
void toFront(QWidget* w)
{
    w->show();
    // The offscreen platform used by the tests has no stacking order to change.
    if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        w->raise();
        w->activateWindow();
    }
}
} // namespace

void showSplash()
{
    auto& s = splash();
    if (!s)
        s = new frmDoingThings;
    toFront(s);
}

void bringSplashForward()
{
    if (auto& s = splash())
        toFront(s);
}

void unloadSplash()
{
    auto& s = splash();
    if (!s)
        return;
    s->hide();
    delete s.data();
    s = nullptr;
}

bool splashLoaded() { return !splash().isNull(); }

// --- stored device numbers

int deviceNumberFromSetting(const QString& stored, int deviceCount)
{
    bool ok = false;
    const double v = stored.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(v) || v < 0.5 || v > double(deviceCount) + 0.5)
        return 0;
    const long long n = vb::toWhole(v);
    return n >= 1 && n <= deviceCount ? int(n) : 0;
}

int deviceNumberFor(const QString& storedNumber, const QString& storedName, const QStringList& devices,
                    QString* change)
{
    change->clear();
    const int count = int(devices.size());
    const int number = deviceNumberFromSetting(storedNumber, count);
    if (storedName.isEmpty() || storedName == QLatin1String("NULL"))
        return number;
    if (number >= 1 && devices[number - 1] == storedName)
        return number;
    const int listed = int(devices.indexOf(storedName));
    const QString was = number >= 1 ? QStringLiteral("number %1 is now \"%2\"").arg(number).arg(devices[number - 1])
                                    : QStringLiteral("its stored number %1 is not listed").arg(storedNumber);
    if (listed >= 0) {
        *change = QStringLiteral("Sound device \"%1\" is now number %2 (%3)").arg(storedName).arg(listed + 1).arg(was);
        return listed + 1;
    }
    *change = QStringLiteral("Sound device \"%1\" is not listed (%2): the system's default device plays instead")
                  .arg(storedName, was);
    return 0;
}

} // namespace startup
