#include "shell/startup.h"

#include "platform/ui/vb.h"
#include "shell/frmDoingThings.h"
#include "shell/frmMain.h"
#include "shell/frmShowUpdates.h"
#include "shell/sessionend.h"

#include <QApplication>
#include <QByteArray>
#include <QDialog>
#include <QEventLoop>
#include <QFile>
#include <QPointer>
#include <QScreen>

#include <algorithm>
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
        // The session ended during the load: the event loop will not start, so the window goes
        // now, with the threads it started.
        if (session::ending())
            delete main;
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

int deviceNumberFor(const QString& storedNumber, const QString& storedName, const QString& storedSink,
                    const std::vector<audio::DeviceEntry>& devices, QString* change, QString* sinkToOpen)
{
    change->clear();
    const int count = int(devices.size());
    const int number = deviceNumberFromSetting(storedNumber, count);
    const auto given = [](const QString& v) { return !v.isEmpty() && v != QLatin1String("NULL"); };
    const bool sink = given(storedSink);
    if (sinkToOpen)
        *sinkToOpen = sink ? storedSink : QString();
    if (!sink && !given(storedName))
        return number;
    // The stored device is a server output of that sink, or a device of that name that is none.
    const auto isIt = [&](const audio::DeviceEntry& d) {
        return sink ? d.sink == storedSink : d.sink.isEmpty() && d.name == storedName;
    };
    if (number >= 1 && isIt(devices[size_t(number - 1)]))
        return number;
    const auto listed = std::find_if(devices.begin(), devices.end(), isIt);
    const QString what = !sink                ? QStringLiteral("Sound device \"%1\"").arg(storedName)
                         : given(storedName) ? QStringLiteral("Sound output \"%1\" (%2)").arg(storedName, storedSink)
                                             : QStringLiteral("Sound output %1").arg(storedSink);
    const QString was = number >= 1 ? QStringLiteral("number %1 is now \"%2\"")
                                          .arg(QString::number(number), devices[size_t(number - 1)].name)
                                    : QStringLiteral("its stored number %1 is not listed").arg(storedNumber);
    if (listed != devices.end()) {
        const int now = int(listed - devices.begin()) + 1;
        *change = QStringLiteral("%1 is now number %2 (%3)").arg(what, QString::number(now), was);
        return now;
    }
    if (sink) {
        // Another output would carry the player's sound where it must not go (the pre-listen to
        // the crowd): the player waits for its own.
        *change = QStringLiteral("%1 is not listed (%2): the player waits for it and plays on no other output")
                      .arg(what, was);
        return -1;
    }
    *change = QStringLiteral("%1 is not listed (%2): the system's default device plays instead").arg(what, was);
    return 0;
}

} // namespace startup
