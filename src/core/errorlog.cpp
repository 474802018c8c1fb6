#include "core/errorlog.h"

#include "platform/files/wholefile.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <QWidget>
#include <cstdio>
#include <limits>

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
bool g_closing = false;
QString g_lastFailure;

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
void setClosing(bool closing) { g_closing = closing; }
QString lastFailure() { return g_lastFailure; }
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

void logFailed(const QString& why, const QString& line)
{
    errorlog::g_lastFailure = why;
    if (errorlog::g_closing) {
        std::fputs((line.trimmed() + QLatin1Char('\n')).toLocal8Bit().constData(), stderr);
        return;
    }
    errorlog::g_retryAt = now().addSecs(errorlog::RetrySeconds);
    if (ErrorMsgShown)
        return;
    // Set before the box opens: a timer that fails while it is open must not stack a second one.
    ErrorMsgShown = true;
    ui::MsgBox(QStringLiteral("There has been an error plus an error writing to the error log (")
                   + why
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
    if (retry.isValid() && when < retry && when >= retry.addSecs(-errorlog::RetrySeconds) && !errorlog::g_closing)
        return;
    const QString line = QStringLiteral("Error: Num=") + QString::number(num) + QStringLiteral(", Date=")
                         + errorlog::formatDate(when) + QStringLiteral(", Desc=") + desc + QStringLiteral(", Funtion=")
                         + location + QStringLiteral("\r\n");
    // Never half a line: what does not fit is taken back.
    QString why;
    if (!files::append(errorlog::folder() + QStringLiteral("/QNLERRORS.log"), line.toUtf8(), &why)) {
        logFailed(why, line);
        return;
    }
    errorlog::g_retryAt = {};
    errorlog::g_lastFailure.clear();
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
