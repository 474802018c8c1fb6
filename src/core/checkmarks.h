// The check-mark settings of the popup menus: choices for the run that the decks, the auto-DJ
// and the housekeeping timer read. They start from their initial marks at every start and are
// never stored.
#pragma once

struct CheckMarks {
    // Seconds before a song's end at which the auto-DJ starts its crossfade: 10, 15, 20 or 25.
    int crossfadeSeconds = 15;

    // Where the auto-fill takes songs from when the DJ Playlist runs empty.
    enum class FillSource { FullPlaylist, MostPlayed };
    FillSource autoFillSource = FillSource::FullPlaylist;

    // "Remove Song From List When Loading Player".
    bool removeWhenLoading = true;

    // "Take Requests": the housekeeping timer polls the request database only while set.
    bool takeRequests = true;

    // The list font marks (Normal 8, Large 12, Largest 16 points); none is checked until the
    // main window's load sets one from the stored size.
    enum class FontMark { None, Normal, Large, Largest };
    FontMark fontMark = FontMark::None;

    // Sets the crossfade time when it is one of the four choices; other values are ignored.
    void setCrossfadeSeconds(int s)
    {
        if (s == 10 || s == 15 || s == 20 || s == 25)
            crossfadeSeconds = s;
    }
};

// The one set of marks for the running program.
CheckMarks& checkMarks();
