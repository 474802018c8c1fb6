// The real main window in a temporary program folder, with both engines on the manual clock,
// scripted dialogs, and the popup menus recorded instead of shown.
#pragma once

#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "decks/decks.h"
#include "decks/deckstate.h"
#include "library/library.h"
#include "library/listkeys.h"
#include "library/requestlink.h"
#include "menus/frmMenu.h"
#include "menus/requestlist.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/vb.h"
#include "shell/frmMain.h"
#include "support/engines.h"
#include "support/programfolder.h"
#include "support/testutil.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <gtest/gtest.h>
#include <memory>

class MenuWindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    ui::ScriptedDialogs dialogs;
    std::unique_ptr<frmMain> w;
    QStringList shown; // the menus shown, by name

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        startFreshRun(dir.path(), dialogs);
        RequestDBPath = requestdb::NoDatabasePath;
        NewRequests = false;
        ASSERT_TRUE(startBothEngines());
        makeWindow();
    }

    void TearDown() override
    {
        releaseDeckStreams();
        w.reset();
        resetDeckWorld();
        leaveProgramFolder();
        checkMarks() = CheckMarks();
        RequestDBPath = requestdb::NoDatabasePath;
        NewRequests = false;
    }

    void makeWindow()
    {
        w.reset();
        w = std::make_unique<frmMain>();
        ASSERT_NE(w->menus, nullptr);
        w->menus->hooks.showPopup = [this](QMenu* m) { shown << m->objectName(); };
    }

    frmMenu& menus() { return *w->menus; }
    Library& lib() { return *w->library; }
    QAction* item(const char* name) { return w->menus->item(name); }
    void trigger(const char* name) { item(name)->trigger(); }
    QTreeView* view(const char* name) { return ctl<QTreeView>(w.get(), name); }
    void select(const char* list, int row) { Library::selectRow(view(list), row, false); }
    DeckState& decks() { return deckState(); }

    // A ten-second song without a tag, copied into the program folder under name.
    QString song(const QString& name)
    {
        const QString path = testutil::copyMedia("tone10s.mp3", dir.path(), name);
        EXPECT_FALSE(path.isEmpty()) << name.toStdString();
        return path;
    }
    // Adds a row for each file to list (its tag read as a list reads it).
    void add(SongListModel& list, const QStringList& files)
    {
        for (const QString& f : files)
            lib().ParseFiles(f, list, false);
    }
    QStringList files(const SongListModel& list) const
    {
        QStringList out;
        for (int i = 0; i < list.count(); ++i)
            out << list.cell(i, field::Filename);
        return out;
    }
    // Loads row of list into deck A or B as a load button does (the row stays).
    void load(char deck, const char* list, int row)
    {
        select(list, row);
        if (deck == 'A')
            w->decks->LoadSongA(view(list), false, true, 0);
        else
            w->decks->LoadSongB(view(list), false, true, 0);
    }
    // Every request database operation asked for so far is done and answered.
    bool settle() { return QTest::qWaitFor([this] { return lib().requestLink().idle(); }, 60000); }
    int errorLines() const
    {
        return int(testutil::readAll(dir.filePath(QStringLiteral("QNLERRORS.log"))).count("\r\n"));
    }
};
