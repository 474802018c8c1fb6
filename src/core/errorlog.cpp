#include "core/errorlog.h"

#include "core/vb.h"
#include "platform/files/wholefile.h"
#include "platform/ui/dialogs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QWidget>
#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

bool ErrorTrapOn = false;
std::int32_t ErrorCount = 0;
bool ErrorMsgShown = false;

RuntimeError::RuntimeError(int number, QString description)
    : number_(number), description_(std::move(description)), utf8_(description_.toStdString())
{
}

void raiseError(int number, const QString& description) { throw RuntimeError(number, description); }

namespace errorlog {
namespace {
QString g_folder;
QWidget* g_label = nullptr;
std::function<QDateTime()> g_clock;
// Set while logging pauses after a failed write: no write is tried before this moment.
QDateTime g_retryAt;

// Windows writes the short date with a four-digit year (3/14/2005); Qt's short formats often
// use two. Widen a lone "yy" so the year is never ambiguous.
QString shortDateFormat(const QLocale& loc)
{
    QString f = loc.dateFormat(QLocale::ShortFormat);
    static const QRegularExpression twoDigitYear(QStringLiteral("(?<!y)yy(?!y)"));
    f.replace(twoDigitYear, QStringLiteral("yyyy"));
    return f;
}

// The user's time format with seconds and without a time zone (Qt's long format adds one).
QString longTimeFormat(const QLocale& loc)
{
    QString f = loc.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    f.replace(zone, QStringLiteral(" "));
    return f.trimmed();
}
} // namespace

QString folder()
{
    if (!g_folder.isEmpty())
        return g_folder;
    return QCoreApplication::applicationDirPath();
}

void setFolder(const QString& f)
{
    g_folder = f;
    g_retryAt = {}; // another folder is worth a try at once
}
void setErrorsLabel(QWidget* label) { g_label = label; }
bool paused() { return g_retryAt.isValid(); }
void setClock(std::function<QDateTime()> clock) { g_clock = std::move(clock); }

QString formatDate(const QDateTime& when)
{
    const QLocale loc;
    QString text = loc.toString(when.date(), shortDateFormat(loc));
    if (when.time() != QTime(0, 0, 0))
        text += QLatin1Char(' ') + loc.toString(when.time(), longTimeFormat(loc));
    return text;
}

QString tooltipText(std::int32_t count)
{
    return QString::number(count)
           + QStringLiteral(" errors logged!  Please contact Morbrec Solutions to send the error log for analysis!");
}

} // namespace errorlog

namespace {

QDateTime now() { return errorlog::g_clock ? errorlog::g_clock() : QDateTime::currentDateTime(); }

// Appends the line, unbuffered. A write cut short by a full disk is taken back, so the log
// never holds half a line. False with errno set when the line is not in the log.
bool appendLine(const QByteArray& line)
{
    const QByteArray path = QFile::encodeName(errorlog::folder() + QStringLiteral("/QNLERRORS.log"));
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    struct stat before {};
    const bool sized = ::fstat(fd, &before) == 0;
    qsizetype done = 0;
    int e = 0;
    while (done < line.size()) {
        const ssize_t w = ::write(fd, line.constData() + done, size_t(line.size() - done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            e = w < 0 ? errno : ENOSPC;
            break;
        }
        done += w;
    }
    if (e && done > 0 && sized && ::ftruncate(fd, before.st_size) != 0) {
        // The half line stays; the failure is reported all the same.
    }
    ::close(fd);
    errno = e;
    return e == 0;
}

void logFailed(int e)
{
    errorlog::g_retryAt = now().addSecs(errorlog::RetrySeconds);
    if (ErrorMsgShown)
        return;
    // Set before the box opens: a timer that fails while it is open must not stack a second one.
    ErrorMsgShown = true;
    ui::MsgBox(QStringLiteral("There has been an error plus an error writing to the error log (")
                   + files::reason(e)
                   + QStringLiteral("). Quenlow keeps playing; errors are not logged until the log can be written "
                                    "again."),
               vb::mb::OKOnly | vb::mb::Critical, QStringLiteral("Error!"));
}

} // namespace

void LogError(int num, const QString& desc, const QString& location)
{
    const QDateTime when = now();
    // (A clock set back by more than the pause does not stretch it.)
    const QDateTime& retry = errorlog::g_retryAt;
    if (retry.isValid() && when < retry && when >= retry.addSecs(-errorlog::RetrySeconds))
        return;
    const QString line = QStringLiteral("Error: Num=") + QString::number(num) + QStringLiteral(", Date=")
                         + errorlog::formatDate(when) + QStringLiteral(", Desc=") + desc + QStringLiteral(", Funtion=")
                         + location + QStringLiteral("\r\n");
    if (!appendLine(line.toUtf8())) {
        logFailed(errno);
        return;
    }
    errorlog::g_retryAt = {};
    // The count stops at its largest value rather than wrapping.
    if (ErrorCount < std::numeric_limits<std::int32_t>::max())
        ++ErrorCount;
    if (errorlog::g_label)
        errorlog::g_label->setToolTip(errorlog::tooltipText(ErrorCount));
}

void trap(const char* location, const std::function<void()>& fn)
{
    if (!ErrorTrapOn) {
        fn();
        return;
    }
    try {
        fn();
    } catch (const RuntimeError& e) {
        LogError(e.number(), e.description(), QString::fromLatin1(location));
    } catch (const std::bad_alloc&) {
        LogError(7, QStringLiteral("Out of memory"), QString::fromLatin1(location));
    } catch (const std::exception& e) {
        LogError(5, QString::fromUtf8(e.what()), QString::fromLatin1(location));
    }
}
