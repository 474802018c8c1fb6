// The text format shared by every list file the program keeps (the four song lists and the
// media folder list): one line per row, each field in double quotes, fields separated by one
// comma, CR LF after every line. A double quote inside a field is stored as the seven
// characters CHR(34), so that it can never end the field early.
#pragma once

#include <QByteArray>
#include <QString>

namespace listfile {

// The stand-in for a double quote inside a field.
inline constexpr char QuoteMark[] = "CHR(34)";

// A field's text as stored: every double quote replaced by CHR(34).
QString escape(const QString& text);
// The stored text back: every CHR(34) becomes a double quote again.
QString unescape(const QString& text);

// Appends one line of n fields to out (UTF-8), escaping each field and dropping any NUL in it.
void appendLine(QByteArray& out, const QString* fields, int n);

// Whether a regular file exists at path (a folder of that name does not count).
bool fileExists(const QString& path);

// Takes the fields of a list file one after the other. A field that begins with a double
// quote runs to the next double quote (text after it up to the separator is dropped); any
// other field runs to the next comma or line end, trimmed of blanks. Commas and line ends both
// separate fields; a line end directly after a line end (a blank line) separates nothing.
// The bytes are UTF-8 text, or Windows-1252 when they are not valid UTF-8 as a whole; the
// separators are plain ASCII in both, so fields are cut from the bytes and decoded one by one.
class FieldReader {
public:
    // The reader keeps its own (shared) copy of the bytes.
    explicit FieldReader(const QByteArray& bytes);

    // True when nothing is left to read, not even a line end.
    bool atEnd() const { return pos_ >= size_; }

    // Reads the next field into *out, unescaped when unescape is set. False when the text
    // ended before a whole field could be read (the row is incomplete); *out is then untouched.
    bool next(QString* out, bool unescapeField = true);

    // One row is one line: the fields up to the next line end that is not inside quotes. A
    // damaged line therefore spoils only itself, never the rows after it.
    enum class Row {
        Complete,  // exactly n fields
        Padded,    // fewer than n fields before the line end: the missing ones are empty
        Trimmed,   // more than n fields: the extra ones are dropped
        Truncated, // the text ended inside the row (a file cut off): nothing is returned
        End,       // nothing left but blank lines
    };
    // Reads the next row's n fields (at most 8) into out, skipping blank lines before it.
    Row readRow(QString* out, int n, bool unescapeFields = true);

    // A rough count of the lines left, for callers that reserve room.
    qsizetype lineEstimate() const;

private:
    QString decode(const char* p, qsizetype n) const;

    QByteArray bytes_;
    const char* data_;
    qsizetype size_;
    qsizetype pos_ = 0;
    bool afterComma_ = false;
    bool lineEnded_ = true;         // the last field ended its line (or the text)
    bool endedWithLineEnd_ = false; // ... with a line end rather than the end of the text
    bool utf8_ = true;
};

// Whether bytes are valid UTF-8 (overlong forms and surrogates count as invalid).
bool isValidUtf8(const char* p, qsizetype n);

} // namespace listfile
