// The error log and the error trap.
//
// A handler that can fail runs inside trap("B-126", ...): a failure is written as one line to
// QNLERRORS.log in the program folder, counted in lblErrors' tooltip, and the program carries on.
// A log that cannot be written (a full disk during a set) does not stop the music either: the
// user is told once, and logging pauses until a later write of the log succeeds.
#pragma once

#include <QString>
#include <cstdint>
#include <exception>
#include <functional>
#include <utility>

class QDateTime;
class QWidget;

// A run-time failure with an error number and a description, as the trap logs it.
class RuntimeError : public std::exception {
public:
    RuntimeError(int number, QString description);
    int number() const { return number_; }
    const QString& description() const { return description_; }
    const char* what() const noexcept override { return utf8_.c_str(); }

private:
    int number_;
    QString description_;
    std::string utf8_;
};

// Throws a RuntimeError; well-known numbers: 5 invalid call, 6 overflow, 9 subscript out of
// range, 13 type mismatch, 53 file not found, 75 path/file access error, 91 object not set.
[[noreturn]] void raiseError(int number, const QString& description);

// The trap switch: set once by the start-up sequence, never cleared.
extern bool ErrorTrapOn;
// Lines written to the log in this run (32-bit: a long night does not overflow it).
extern std::int32_t ErrorCount;
// The "cannot write the log" message has been shown in this run.
extern bool ErrorMsgShown;

// Appends one line to the error log and updates lblErrors' tooltip. When the line cannot be
// written the log is left as it was (no half line), the message is shown if it never was in
// this run, and the errors of the next RetrySeconds are not written; the first error after
// that tries again, and a write that succeeds resumes logging.
void LogError(int num, const QString& desc, const QString& location);

namespace errorlog {

// The folder that holds QNLERRORS.log: the program's own folder unless a test sets another.
// Setting a folder ends a pause after a failed write.
QString folder();
void setFolder(const QString& folder);

// The label whose tooltip shows the running count; may be null.
void setErrorsLabel(QWidget* label);

// How long logging pauses after a failed write of the log.
inline constexpr int RetrySeconds = 30;

// Whether logging is paused after a failed write.
bool paused();

// While the program closes, nobody is left to be told that the log cannot be written, and its
// box would say the program keeps playing: a line the log does not take then goes to the
// standard error instead, every line is tried (no pause), and the close reads the reason from
// lastFailure() to say so in its own words.
void setClosing(bool closing);
// The system's reason the last write of the log failed; empty once a write succeeded.
QString lastFailure();

// The clock used for the date field (tests pin it); null restores the real clock.
void setClock(std::function<QDateTime()> clock);

// The date field: the short date and the time with seconds in the user's locale, no time zone;
// the time part is left out at exactly midnight.
QString formatDate(const QDateTime& when);

// The tooltip text for a count of logged errors.
QString tooltipText(std::int32_t count);

} // namespace errorlog

// Runs fn under the error trap of the given location: while ErrorTrapOn is True a failure is
// logged and the call returns normally; while it is False the failure goes on to the caller.
void trap(const char* location, const std::function<void()>& fn);

// The same for a function: returns what fn returned, or fallback when it failed.
template <class R, class F>
R trapResult(const char* location, R fallback, F&& fn)
{
    R result = std::move(fallback);
    trap(location, [&] { result = fn(); });
    return result;
}
