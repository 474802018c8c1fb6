#include "core/genres.h"

#include <QComboBox>
#include <QListWidget>
#include <QStringList>

QString GenreList;

namespace {

// The names as the program has always shown and stored them, misspellings and small letters included.
const char* const kGenres[GenreCount] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz", "Metal",
    "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno", "Industrial",
    "Alternative", "Ska", "Death Metal", "Pranks", "Soundtrack", "Euro-Techno", "Ambient", "Trip Hop", "Vocal",
    "Jazz+Funk", "Fusion", "Trance", "Classical", "Instrumental", "Acid", "House", "Game", "Sound Clip",
    "Gospel", "Noise", "Alt. Rock", "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental Pop",
    "Instrumental Rock", "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk",
    "Eurodance", "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta Rap", "Top 40", "Christian Rap",
    "Pop/Punk", "Jungle", "Native American", "Cabaret", "New Wave", "Phychedelic", "Rave", "Showtunes",
    "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro", "Musical", "Rock & Roll",
    "Hard Rock", "Folk", "Folk/Rock", "National Folk", "Swing", "Fast-Fusion", "Bebob", "Latin", "Revival",
    "Celtic", "Blue Grass", "Avantegarde", "Gothic Rock", "Progressive Rock", "Psychedelic Rock",
    "Symphonic Rock", "Slow Rock", "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech",
    "Chanson", "Opera", "Chamber Music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove",
    "Satire", "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "power Ballad", "Rhythmic Soul",
    "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A Capella", "Euro-House", "Dance Hall", "Goa",
    "Drum & Bass", "Club-House", "Hardcore", "Terror", "indie", "Brit Pop", "Negerpunk", "Polsk Punk", "Beat",
    "Christian Gangsta Rap", "Heavy Metal", "Black Metal", "Crossover", "Comteporary Christian",
    "Christian Rock", "Merengue", "Salsa", "Trash Metal", "Anime", "JPop", "Synth Pop", "Beach Music", "Waltz",
    "Country Waltz", "80s Dance", "90s Dance",
};

bool matches(const QString& item, const QString& text, bool exact)
{
    return exact ? item.compare(text, Qt::CaseInsensitive) == 0 : item.startsWith(text, Qt::CaseInsensitive);
}

// The wrap-round search of the Windows find messages over count items.
template <class ItemText>
int findFrom(int count, const QString& text, int start, bool exact, ItemText itemText)
{
    if (count <= 0)
        return -1;
    if (start < -1 || start >= count)
        start = -1;
    for (int step = 1; step <= count; ++step) {
        const int i = (start + step) % count;
        if (matches(itemText(i), text, exact))
            return i;
    }
    return -1;
}

} // namespace

QString GenreName(int byte)
{
    if (byte < 0 || byte >= GenreCount)
        return QStringLiteral("Unknown");
    return QString::fromLatin1(kGenres[byte]);
}

int GenreIndex(const QString& name)
{
    if (name.isEmpty())
        return 255;
    for (int i = 0; i < GenreCount; ++i) {
        if (name == QLatin1String(kGenres[i]))
            return i;
    }
    return 255;
}

void BuildGenreList()
{
    QString list;
    for (int i = 0; i < GenreCount; ++i) {
        if (i > 0)
            list += QLatin1Char('|');
        list += QLatin1String(kGenres[i]);
    }
    GenreList = list;
}

void FillGenreCombo(QComboBox* box)
{
    if (!box || GenreList.isEmpty())
        return;
    box->addItems(GenreList.split(QLatin1Char('|')));
}

int FindListString(QWidget* control, const QString& text, int start, bool exact)
{
    if (auto* combo = qobject_cast<QComboBox*>(control))
        return findFrom(combo->count(), text, start, exact, [combo](int i) { return combo->itemText(i); });
    if (auto* list = qobject_cast<QListWidget*>(control)) {
        return findFrom(list->count(), text, start, exact, [list](int i) {
            const QListWidgetItem* item = list->item(i);
            return item ? item->text() : QString();
        });
    }
    return 0;
}
