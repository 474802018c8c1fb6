// The tag and frame-header object of one song file: the ID3v1 tag at the end of the file and
// the first MPEG-1 Layer III frame header near its start, with the play time worked out from
// the frame count a variable-bit-rate file carries in its first frame, or else from the file
// size and the bit rate; a song of MPEG-2 or 2.5 frames is timed by its frames.
//
// Use: set FullName, call ReadMP3Info, read what you need; each tag setter rewrites the tag on
// disk at once. The object keeps no file open between calls, never throws and never logs.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

class clsMP3 {
public:
    void setFullName(const QString& name);
    QString FullName() const;

    // Reads the tag and the frame header. -1 when FullName names no file or folder; every tag
    // and header value is then cleared, so a reused object never shows the previous song. 0 otherwise.
    int ReadMP3Info();

    // Searches the first frame header; "-2" when none was confirmed, otherwise "". Without a
    // confirmed header ValidHeader reads "False"; the texts describe the last candidate examined.
    QString ReadHeader();

    // Tag fields without their leading and trailing blanks; empty when the file has no tag. A
    // field ends at its first NUL, and reads as UTF-8 when it is valid UTF-8 with a multi-byte
    // character in it, otherwise as Windows-1252. Writing is always Windows-1252.
    QString Title() const;
    QString Artist() const;
    QString Album() const;
    QString Year() const;
    QString Comment() const;
    QString Genre() const;

    // Each setter stores the value and rewrites the tag at once (overwriting the file's tag, or
    // appending one). True when the tag was written; false when the file is missing or cannot
    // be written (the value stays in the object). A value equal to what the field reads keeps
    // the field's bytes as they are.
    bool setTitle(const QString& value);
    bool setArtist(const QString& value);
    bool setAlbum(const QString& value);
    bool setYear(const QString& value);
    bool setComment(const QString& value);
    bool setGenre(const QString& value);
    // Tag fields to write together; a field left out keeps what the tag holds.
    struct TagFields {
        std::optional<QString> title {}, artist {}, album {}, year {}, comment {}, genre {};
    };
    // Stores the given fields and rewrites the tag once with all of them, so the file never holds
    // some of them new and the others old. True when the tag was written.
    bool setFields(const TagFields& fields);
    // For each given text field, the characters of its new text the tag cannot hold (Windows-1252
    // has no byte for them, and a setter would store "?"), each once in the order met; empty when
    // it holds them all. A field given back the very text it reads keeps its bytes, so nothing of
    // it is refused. The genre is stored as a number and is never refused.
    TagFields charactersNotHeld(const TagFields& fields) const;
    // Those characters named for a message, one line for each field that has any ("Artist: Ś ą
    // Ł"), in the order Title, Artist, Album, Comment, Year; empty when there are none. A
    // character that shows nothing (a space of another width, a joiner) is named by its code.
    static QString nameCharactersNotHeld(const TagFields& missing);
    // Whether the last tag write succeeded.
    bool lastWriteOk() const;

    // The file ends with an ID3v1 tag, as last read or written by this object.
    bool TagPresent() const;

    // The file's attributes as letters: "R" read-only (no write permission for anyone),
    // "H" hidden (the name starts with a dot); "Normal" when neither; "-1" when the file is
    // missing. Linux files have no system or archive attribute: "S" and "A" are never reported.
    QString FileAttributes() const;
    // Sets the attributes from such a text: "R" takes every write permission away, no "R" (or
    // "Normal") gives the owner write permission back. Hidden is a matter of the file's name and
    // is not changed here; "S" and "A" have nothing to set. False when the file is missing or
    // its permissions cannot be changed.
    bool setFileAttributes(const QString& attributes);

    // Header fields: "1.0", "3", "44100"/"48000"/"32000"/"0    ", "Stereo      " (12 characters),
    // "128"/"32 "/"NA "; empty before a header was decoded.
    QString MPEGVersion() const;
    QString Layer() const;
    QString samplerate() const;
    QString ChannelMode() const;
    QString bitrate() const;
    // Seconds, cut to hundredths after adding 0.05; -1 when the header is not valid. A file whose
    // first frame carries a variable-bit-rate frame count (a Xing or VBRI frame) gets frames x
    // 1152 samples / sample rate; any other file the file length (without a leading ID3v2 tag)
    // at the bit rate of its first frame. A song of MPEG-2 or 2.5 Layer III frames, which the
    // header search cannot see, gets its frames x 576 samples / sample rate as the sound engine
    // reads them, whatever the search made of it.
    float PlayTime() const;
    bool Copyright() const;
    bool Original() const;
    QString ValidHeader() const; // "True" or "False"

    // The length in bytes of the frame the header starts (0 before a header was decoded).
    int FrameLength() const { return frameLength_; }
    // 1-based position of the confirmed frame header, or -2 when none was confirmed.
    std::int64_t HeaderPosition() const { return headerPos_; }

private:
    void clearTag();
    void clearHeader();
    void readTag();
    std::int64_t findFrameHeader();
    void decodeHeader(const unsigned char* h);
    bool writeTag();
    bool setField(QByteArray& field, int width, const QString& value);
    void storeField(QByteArray& field, int width, const QString& value);
    bool keepsBytes(const QByteArray& field, const QString& value) const;
    QString fieldText(const QByteArray& field) const;

    QString fullName_;

    // Tag fields as the tag's bytes (Windows-1252), fixed width; the genre as a name.
    QByteArray title_, artist_, album_, year_, comment_;
    QString genre_;
    bool tagPresent_ = false;
    bool lastWriteOk_ = false;

    // Header fields.
    QString mpegVersion_, layer_, bitrate_, samplerate_, channelMode_;
    int bitrateKbps_ = 0;
    int sampleRateHz_ = 0;
    int padding_ = 0;
    bool copyright_ = false;
    bool original_ = false;
    int frameLength_ = 0;
    bool valid_ = false;
    std::int64_t headerPos_ = -2;
    std::int64_t lengthAtRead_ = 0;
    std::int64_t audioStart_ = 0; // bytes of leading ID3v2 tags
    std::int64_t vbrFrames_ = 0;  // audio frames a Xing or VBRI frame counts; 0 when none does
    double lowRateSeconds_ = 0;   // length of a song of MPEG-2 or 2.5 Layer III frames; 0 for others
};
