// A stand-in main window for library tests: the six song list views and the labels the library
// writes, a temporary program folder and error log, and tags served from a table.
#pragma once

#include "core/errorlog.h"
#include "core/settings.h"
#include "library/library.h"
#include "library/songtag.h"

#include <QLabel>
#include <QTemporaryDir>
#include <QTreeView>
#include <QWidget>
#include <gtest/gtest.h>
#include <map>
#include <memory>

class LibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        ErrorTrapOn = true;
        savedReader = tagReader();
        tagReader() = [this](const QString& path) -> SongTag {
            ++tagReads;
            if (throwFor == path)
                raiseError(5, QStringLiteral("Invalid procedure call or argument"));
            auto it = tags.find(path);
            return it == tags.end() ? SongTag{} : it->second;
        };
        form = std::make_unique<QWidget>();
        for (const char* name : {"lstFullPlaylist", "lstDJPlayList", "lstSongBin", "lstMostPlayed", "lstSearch",
                                 "lstRequests"}) {
            auto* v = new QTreeView(form.get());
            v->setObjectName(QLatin1String(name));
        }
        for (const char* name : {"lblFullPlaylistNumSongs", "lblDJPlaylistClick", "lblSongBinClick", "lblMessages",
                                 "lblNumRequestSongs", "lblNumDJPlaylist", "lblNumFullPlaylist", "lblNumMostPlayed"}) {
            auto* l = new QLabel(form.get());
            l->setObjectName(QLatin1String(name));
        }
        lib = std::make_unique<Library>(form.get());
        ErrorCount = 0;
    }

    void TearDown() override
    {
        lib.reset();
        form.reset();
        tagReader() = savedReader;
        ErrorTrapOn = false;
        errorlog::setFolder({});
    }

    QTreeView* view(const char* name) { return form->findChild<QTreeView*>(QLatin1String(name)); }
    QString label(const char* name) { return form->findChild<QLabel*>(QLatin1String(name))->text(); }
    QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }

    // Fills a list with rows whose titles are the given letters (Filename /m/<letter>.mp3).
    static void fill(SongListModel& m, const QStringList& titles)
    {
        for (const QString& t : titles)
            m.append(SongRow(t, QStringLiteral("Art"), QStringLiteral("3:00"), QStringLiteral("Rock"),
                             QStringLiteral("/m/") + t + QStringLiteral(".mp3")));
    }
    static QStringList titles(const SongListModel& m)
    {
        QStringList out;
        for (int i = 0; i < m.count(); ++i)
            out << m.cell(i, field::Title);
        return out;
    }

    QTemporaryDir dir;
    std::unique_ptr<QWidget> form;
    std::unique_ptr<Library> lib;
    std::map<QString, SongTag> tags;
    QString throwFor;
    int tagReads = 0;
    TagReader savedReader;
};
