#include "library/listfile.h"

#include <QFileInfo>
#include <QStringDecoder>
#include <cstdint>
#include <cstring>

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
        QByteArray text = escape(fields[i]).toUtf8();
        text.removeIf([](char c) { return c == '\0'; }); // a list file never holds a NUL
        out += text;
        out += '"';
    }
    out += "\r\n";
}

bool fileExists(const QString& path)
{
    const QFileInfo fi(path);
    return fi.exists() && fi.isFile();
}

bool isValidUtf8(const char* p, qsizetype n)
{
    const auto* s = reinterpret_cast<const unsigned char*>(p);
    qsizetype i = 0;
    while (i < n) {
        // Runs of ASCII, the usual case, eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t w;
            std::memcpy(&w, s + i, 8);
            if (w & 0x8080808080808080ULL)
                break;
            i += 8;
        }
        if (i >= n)
            break;
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len;
        std::uint32_t cp;
        if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n)
            return false;
        for (int k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))
            || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

FieldReader::FieldReader(const QByteArray& bytes)
    : bytes_(bytes), data_(bytes_.constData()), size_(bytes_.size()), utf8_(isValidUtf8(data_, size_))
{
    // A byte-order mark at the start is not part of the first field.
    if (utf8_ && size_ >= 3 && std::memcmp(data_, "\xEF\xBB\xBF", 3) == 0)
        pos_ = 3;
}

QString FieldReader::decode(const char* p, qsizetype n) const
{
    if (utf8_) {
        // A field may itself begin with U+FEFF; QString::fromUtf8 would take it for a byte-order
        // mark and drop it, so such a field is decoded without that.
        if (n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) {
            QStringDecoder keepMark(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
            return keepMark(QByteArrayView(p, n));
        }
        return QString::fromUtf8(p, n);
    }
    QStringDecoder cp1252("windows-1252");
    if (cp1252.isValid())
        return cp1252(QByteArrayView(p, n));
    return QString::fromLatin1(p, n);
}

qsizetype FieldReader::lineEstimate() const
{
    const auto count = [&](char c) {
        qsizetype k = 0;
        for (const char* p = data_ + pos_; (p = static_cast<const char*>(std::memchr(p, c, size_t(data_ + size_ - p))));
             ++p)
            ++k;
        return k;
    };
    const qsizetype lf = count('\n');
    return (lf ? lf : count('\r')) + 1;
}

bool FieldReader::next(QString* out, bool unescapeField)
{
    const char* d = data_;
    const qsizetype n = size_;
    qsizetype p = pos_;

    // Blanks before a field; blank lines between rows.
    for (;;) {
        while (p < n && (d[p] == ' ' || d[p] == '\t'))
            ++p;
        if (p < n && (d[p] == '\r' || d[p] == '\n') && !afterComma_) {
            ++p;
            continue;
        }
        break;
    }
    if (p >= n && !afterComma_)
        return false;

    const char* fieldStart;
    qsizetype fieldLength;
    if (p < n && d[p] == '"') {
        const qsizetype start = p + 1;
        const void* close = std::memchr(d + start, '"', size_t(n - start));
        if (!close)
            return false; // the closing quote was cut off: the row is incomplete
        const qsizetype end = static_cast<const char*>(close) - d;
        fieldStart = d + start;
        fieldLength = end - start;
        p = end + 1;
        while (p < n && d[p] != ',' && d[p] != '\r' && d[p] != '\n')
            ++p;
    } else {
        const qsizetype start = p;
        while (p < n && d[p] != ',' && d[p] != '\r' && d[p] != '\n')
            ++p;
        qsizetype end = p;
        while (end > start && (d[end - 1] == ' ' || d[end - 1] == '\t'))
            --end;
        fieldStart = d + start;
        fieldLength = end - start;
    }

    // The separator after the field.
    afterComma_ = false;
    lineEnded_ = true;
    endedWithLineEnd_ = false;
    if (p < n) {
        if (d[p] == ',') {
            afterComma_ = true;
            lineEnded_ = false;
            ++p;
        } else if (d[p] == '\r') {
            ++p;
            if (p < n && d[p] == '\n')
                ++p;
            endedWithLineEnd_ = true;
        } else {
            ++p;
            endedWithLineEnd_ = true;
        }
    }
    pos_ = p;
    const QString field = decode(fieldStart, fieldLength);
    *out = unescapeField ? unescape(field) : field;
    return true;
}

FieldReader::Row FieldReader::readRow(QString* out, int n, bool unescapeFields)
{
    Q_ASSERT(n <= 8);
    // Blank lines between rows.
    afterComma_ = false;
    while (pos_ < size_ && (data_[pos_] == ' ' || data_[pos_] == '\t' || data_[pos_] == '\r' || data_[pos_] == '\n'))
        ++pos_;
    if (atEnd())
        return Row::End;
    QString fields[8];
    int count = 0;
    for (;;) {
        QString f;
        if (!next(&f, unescapeFields))
            return Row::Truncated;
        if (count < n)
            fields[count] = std::move(f);
        ++count;
        if (lineEnded_)
            break;
    }
    // A short row at the very end of the text was cut off; one that ends its line is damaged
    // but complete as far as it goes.
    if (count < n && pos_ >= size_ && !endedWithLineEnd_)
        return Row::Truncated;
    for (int i = 0; i < n; ++i)
        out[i] = std::move(fields[i]);
    return count < n ? Row::Padded : count > n ? Row::Trimmed : Row::Complete;
}

} // namespace listfile
