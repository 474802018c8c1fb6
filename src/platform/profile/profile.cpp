#include "platform/profile/profile.h"

#include "platform/files/wholefile.h"

#include <QFile>
#include <QStringDecoder>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <vector>

namespace profile {
namespace {

struct Line {
    QByteArray text;       // without its line end
    QByteArray ending;     // "\r\n", "\n", "\r" or empty for a last line without one
};

std::vector<Line> splitLines(const QByteArray& bytes)
{
    std::vector<Line> lines;
    qsizetype start = 0;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c == '\r' || c == '\n') {
            Line l{bytes.mid(start, i - start), {}};
            if (c == '\r' && i + 1 < n && bytes[i + 1] == '\n') {
                l.ending = "\r\n";
                ++i;
            } else {
                l.ending = QByteArray(1, c);
            }
            lines.push_back(std::move(l));
            start = i + 1;
        }
    }
    if (start < n)
        lines.push_back({bytes.mid(start), {}});
    return lines;
}

bool isBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

QString trimBlanks(const QString& s)
{
    qsizetype b = 0, e = s.size();
    while (b < e && isBlank(s[b]))
        ++b;
    while (e > b && isBlank(s[e - 1]))
        --e;
    return s.mid(b, e - b);
}

// The section name of a header line, or a null string when the line is not a header.
QString sectionName(const QString& line)
{
    const QString t = trimBlanks(line);
    if (!t.startsWith(QLatin1Char('[')))
        return {};
    const qsizetype close = t.indexOf(QLatin1Char(']'));
    const QString name = trimBlanks(close < 0 ? t.mid(1) : t.mid(1, close - 1));
    return name.isNull() ? QStringLiteral("") : name;
}

// Splits a "key=value" line; false for lines without '=' (comments, junk).
bool keyValue(const QString& line, QString* key, QString* value)
{
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq < 0)
        return false;
    *key = trimBlanks(line.left(eq));
    if (value)
        *value = trimBlanks(line.mid(eq + 1));
    return true;
}

// The bytes of a line's key name as the file spells them, without the blanks around it.
QByteArray storedKey(const QByteArray& line)
{
    const qsizetype eq = line.indexOf('=');
    qsizetype b = 0, e = eq < 0 ? line.size() : eq;
    while (b < e && (line[b] == ' ' || line[b] == '\t'))
        ++b;
    while (e > b && (line[e - 1] == ' ' || line[e - 1] == '\t'))
        --e;
    return line.mid(b, e - b);
}

// Holds the lock file beside a profile file for one read-change-replace. Another program of
// ours holds it only for the few milliseconds of its own write, so the wait is short; one that
// keeps it longer than a second does not freeze the window, the write fails instead. Where no
// lock file can be made (a read-only folder, a file system without locks) the write goes on
// and reports its own failure, if any.
class WriteLock {
public:
    explicit WriteLock(const QString& file)
    {
        const QByteArray name = QFile::encodeName(file + QStringLiteral(".lock"));
        fd_ = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd_ < 0)
            return;
        for (int waited = 0;; ++waited) {
            if (::flock(fd_, LOCK_EX | LOCK_NB) == 0)
                return;
            if (errno != EWOULDBLOCK && errno != EINTR)
                return;
            if (waited >= MaxWaitMs) {
                busy_ = true;
                return;
            }
            ::usleep(1000);
        }
    }
    ~WriteLock()
    {
        if (fd_ >= 0)
            ::close(fd_); // releases the lock
    }
    WriteLock(const WriteLock&) = delete;
    WriteLock& operator=(const WriteLock&) = delete;

    bool busy() const { return busy_; }

private:
    static constexpr int MaxWaitMs = 1000;
    int fd_ = -1;
    bool busy_ = false;
};

bool sameName(const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

QString unquote(QString v)
{
    if (v.size() >= 2) {
        const QChar first = v.front();
        if ((first == QLatin1Char('"') || first == QLatin1Char('\'')) && v.back() == first)
            v = v.mid(1, v.size() - 2);
    }
    return v;
}

// A value is one line: a line break inside it would break the file, so it becomes a blank.
QString oneLine(QString v)
{
    v.replace(QLatin1Char('\r'), QLatin1Char(' '));
    v.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return v;
}

} // namespace

QString decodeText(const QByteArray& bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString s = utf8(bytes);
    if (!utf8.hasError())
        return s;
    QStringDecoder cp1252("windows-1252");
    if (cp1252.isValid())
        return cp1252(bytes);
    return QString::fromLatin1(bytes);
}

QString lookup(const QByteArray& contents, const QString& section, const QString& key, const QString& def)
{
    bool inSection = false;
    bool seenSection = false;
    for (const Line& l : splitLines(contents)) {
        const QString text = decodeText(l.text);
        const QString name = sectionName(text);
        if (!name.isNull()) {
            if (seenSection && inSection)
                break; // only the first section of a name is searched
            inSection = sameName(name, section);
            seenSection = seenSection || inSection;
            continue;
        }
        if (!inSection)
            continue;
        QString k, v;
        if (keyValue(text, &k, &v) && sameName(k, key))
            return unquote(v).left(MaxValueLength);
    }
    return def;
}

QByteArray withValue(const QByteArray& contents, const QString& section, const QString& key, const QString& value)
{
    std::vector<Line> lines = splitLines(contents);
    const QByteArray stored = '=' + oneLine(value).toUtf8();
    const QByteArray newLine = key.toUtf8() + stored;

    qsizetype sectionAt = -1;   // header line of the first section of that name
    qsizetype lastContent = -1; // last non-blank line of that section
    for (qsizetype i = 0; i < qsizetype(lines.size()); ++i) {
        const QString text = decodeText(lines[i].text);
        const QString name = sectionName(text);
        if (!name.isNull()) {
            if (sectionAt >= 0)
                break;
            if (sameName(name, section)) {
                sectionAt = i;
                lastContent = i;
            }
            continue;
        }
        if (sectionAt < 0)
            continue;
        QString k;
        if (keyValue(text, &k, nullptr) && sameName(k, key)) {
            lines[i].text = storedKey(lines[i].text) + stored;
            if (lines[i].ending.isEmpty())
                lines[i].ending = "\r\n";
            QByteArray out;
            for (const Line& l : lines)
                out += l.text + l.ending;
            return out;
        }
        if (!trimBlanks(text).isEmpty())
            lastContent = i;
    }

    if (!lines.empty() && lines.back().ending.isEmpty())
        lines.back().ending = "\r\n";
    if (sectionAt >= 0) {
        lines.insert(lines.begin() + lastContent + 1, Line{newLine, "\r\n"});
    } else {
        lines.push_back(Line{(QLatin1Char('[') + section + QLatin1Char(']')).toUtf8(), "\r\n"});
        lines.push_back(Line{newLine, "\r\n"});
    }
    QByteArray out;
    for (const Line& l : lines)
        out += l.text + l.ending;
    return out;
}

QString getString(const QString& file, const QString& section, const QString& key, const QString& def)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return def;
    return lookup(f.readAll(), section, key, def);
}

bool writeString(const QString& file, const QString& section, const QString& key, const QString& value,
                 QString* error)
{
    const WriteLock lock(file);
    if (lock.busy()) {
        if (error)
            *error = QStringLiteral("the file is held by another program");
        return false;
    }
    QByteArray contents;
    {
        QFile f(file);
        if (f.exists()) {
            if (!f.open(QIODevice::ReadOnly)) {
                if (error)
                    *error = f.errorString();
                return false;
            }
            contents = f.readAll();
        }
    }
    return files::writeWhole(file, withValue(contents, section, key, value), error);
}

} // namespace profile
