#include "library/listfile.h"

#include "platform/profile/profile.h"

#include <QFileInfo>
#include <QSaveFile>

namespace listfile {

QString escape(const QString& text)
{
    if (!text.contains(QLatin1Char('"')))
        return text;
    QString s = text;
    s.replace(QLatin1Char('"'), QLatin1String(QuoteMark));
    return s;
}

QString unescape(const QString& text)
{
    if (!text.contains(QLatin1String(QuoteMark)))
        return text;
    QString s = text;
    s.replace(QLatin1String(QuoteMark), QStringLiteral("\""));
    return s;
}

void appendLine(QByteArray& out, const QString* fields, int n)
{
    for (int i = 0; i < n; ++i) {
        if (i)
            out += ',';
        out += '"';
        out += escape(fields[i]).toUtf8();
        out += '"';
    }
    out += "\r\n";
}

bool writeWhole(const QString& path, const QByteArray& bytes, QString* error)
{
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        if (error)
            *error = f.errorString();
        return false;
    }
    if (f.write(bytes) != bytes.size()) {
        if (error)
            *error = f.errorString();
        f.cancelWriting();
        return false;
    }
    if (!f.commit()) {
        if (error)
            *error = f.errorString();
        return false;
    }
    return true;
}

bool fileExists(const QString& path)
{
    const QFileInfo fi(path);
    return fi.exists() && fi.isFile();
}

FieldReader::FieldReader(const QByteArray& bytes) : text_(profile::decodeText(bytes)) {}

FieldReader::FieldReader(QString text) : text_(std::move(text)) {}

bool FieldReader::next(QString* out, bool unescapeField)
{
    const QChar* d = text_.constData();
    const qsizetype n = text_.size();
    qsizetype p = pos_;

    // Blanks before a field; blank lines between rows.
    for (;;) {
        while (p < n && (d[p] == QLatin1Char(' ') || d[p] == QLatin1Char('\t')))
            ++p;
        if (p < n && (d[p] == QLatin1Char('\r') || d[p] == QLatin1Char('\n')) && !afterComma_) {
            ++p;
            continue;
        }
        break;
    }
    if (p >= n && !afterComma_)
        return false;

    QString field;
    if (p < n && d[p] == QLatin1Char('"')) {
        const qsizetype start = p + 1;
        qsizetype close = start;
        while (close < n && d[close] != QLatin1Char('"'))
            ++close;
        if (close >= n)
            return false; // the closing quote was cut off: the row is incomplete
        field = QString(d + start, close - start);
        p = close + 1;
        while (p < n && d[p] != QLatin1Char(',') && d[p] != QLatin1Char('\r') && d[p] != QLatin1Char('\n'))
            ++p;
    } else {
        const qsizetype start = p;
        while (p < n && d[p] != QLatin1Char(',') && d[p] != QLatin1Char('\r') && d[p] != QLatin1Char('\n'))
            ++p;
        qsizetype end = p;
        while (end > start && (d[end - 1] == QLatin1Char(' ') || d[end - 1] == QLatin1Char('\t')))
            --end;
        field = QString(d + start, end - start);
    }

    // The separator after the field.
    afterComma_ = false;
    if (p < n) {
        if (d[p] == QLatin1Char(',')) {
            afterComma_ = true;
            ++p;
        } else if (d[p] == QLatin1Char('\r')) {
            ++p;
            if (p < n && d[p] == QLatin1Char('\n'))
                ++p;
        } else {
            ++p;
        }
    }
    pos_ = p;
    *out = unescapeField ? unescape(field) : field;
    return true;
}

bool FieldReader::nextRow(QString* out, int n, bool unescapeFields)
{
    const qsizetype savedPos = pos_;
    const bool savedComma = afterComma_;
    QString fields[8];
    Q_ASSERT(n <= 8);
    for (int i = 0; i < n; ++i) {
        if (!next(&fields[i], unescapeFields)) {
            pos_ = savedPos;
            afterComma_ = savedComma;
            return false;
        }
    }
    for (int i = 0; i < n; ++i)
        out[i] = std::move(fields[i]);
    return true;
}

} // namespace listfile
