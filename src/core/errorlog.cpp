#include "core/errorlog.h"

#include "core/vb.h"
#include "platform/ui/dialogs.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QWidget>
#include <cstdlib>
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
std::function<void()> g_stopTimers;
std::function<QDateTime()> g_clock;

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

void setFolder(const QString& f) { g_folder = f; }
void setErrorsLabel(QWidget* label) { g_label = label; }
void setStopTimers(std::function<void()> stop) { g_stopTimers = std::move(stop); }
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

bool writeLogLine(int num, const QString& desc, const QString& location)
{
    const QDateTime now = errorlog::g_clock ? errorlog::g_clock() : QDateTime::currentDateTime();
    const QString line = QStringLiteral("Error: Num=") + QString::number(num) + QStringLiteral(", Date=")
                         + errorlog::formatDate(now) + QStringLiteral(", Desc=") + desc + QStringLiteral(", Funtion=")
                         + location + QStringLiteral("\r\n");
    QFile f(errorlog::folder() + QStringLiteral("/QNLERRORS.log"));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    const QByteArray bytes = line.toUtf8();
    if (f.write(bytes) != bytes.size())
        return false;
    return f.flush();
}

[[noreturn]] void fatal()
{
    // Stop the timers first, so nothing behind the box can fail again and stack more boxes.
    const bool first = !ErrorMsgShown;
    ErrorMsgShown = true;
    if (errorlog::g_stopTimers)
        errorlog::g_stopTimers();
    if (first)
        ui::MsgBox(QStringLiteral("There has been an error plus an error writing to the error log. Exiting program!"),
                   vb::mb::OKOnly | vb::mb::Critical, QStringLiteral("Error!"));
    std::_Exit(1);
}

} // namespace

void LogError(int num, const QString& desc, const QString& location)
{
    if (!writeLogLine(num, desc, location))
        fatal();
    if (ErrorCount == std::numeric_limits<std::int32_t>::max())
        fatal();
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
