// A program folder of its own for every start-up test, scripted message boxes and folder
// choosers, both engines on the manual clock, and the sequence's hooks pointed at the test.
#pragma once

#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "core/soundbindings.h"
#include "decks/deckstate.h"
#include "platform/audio/portaudiohost.h"
#include "platform/audio/soundengine.h"
#include "platform/ui/dialogs.h"
#include "platform/ui/skin.h"
#include "platform/ui/vb.h"
#include "shell/frmConfigureSound.h"
#include "shell/frmMediaPaths.h"
#include "shell/startup.h"
#include "support/testutil.h"

#include <QDir>
#include <QListWidget>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <gtest/gtest.h>

class StartupTest : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString dir;
    ui::ScriptedDialogs boxes;
    int mainShown = 0;
    int updatesShown = 0;

    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        holdAudioSession();
        useFolder(tmp.path());
        ui::setDialogs(&boxes);
        startup::resetEnvironment();
        auto& env = startup::environment();
        env.programFolder = [this] { return dir; };
        env.screenSize = [] { return QSize(1280, 1024); };
        env.showMain = [this] { ++mainShown; };
        env.showUpdates = [this] { ++updatesShown; };
        env.runModal = [](QDialog&) { ADD_FAILURE() << "no dialog expected"; };
        EngineA().setManualClock(true);
        EngineB().setManualClock(true);
        deckState().reset();
        trapWas_ = ErrorTrapOn;
        ErrorTrapOn = true;
    }

    void TearDown() override
    {
        FMod.FSOUND_Close();
        FMod2.FSOUND_Close();
        startup::unloadSplash();
        startup::resetEnvironment();
        ui::setDialogs(nullptr);
        errorlog::setFolder({});
        deckState().reset();
        ErrorTrapOn = trapWas_;
    }

    // Makes folder the program folder of the next steps.
    void useFolder(const QString& folder)
    {
        dir = folder;
        QDir().mkpath(folder);
        AppPath = folder;
        errorlog::setFolder(folder);
    }

    QString file(const QString& name) const { return dir + QLatin1Char('/') + name; }
    QByteArray bytes(const QString& name) const { return testutil::readAll(file(name)); }
    QString ini(const QString& section, const QString& key) const
    {
        return ReadINI(section, key, QStringLiteral("NULL"), file(QStringLiteral("config.ini")));
    }
    QString errorLog() const { return QString::fromUtf8(bytes(QStringLiteral("QNLERRORS.log"))); }

    // Row of the silent device, which every machine has: the last one.
    static int silentRow() { return int(audio::outputDeviceNames().size()) - 1; }

    // Selects a row of a device list as a click would.
    static void pick(frmConfigureSound& d, const char* list, int row)
    {
        ctl<QListWidget>(&d, list)->setCurrentRow(row);
    }

    static QTreeWidget* mediaRows(frmMediaPaths& d) { return ctl<QTreeWidget>(&d, "lstMediaPaths"); }

    // The rows of the media folder dialog as "num|path|flag".
    static QStringList rowsOf(frmMediaPaths& d)
    {
        QStringList out;
        QTreeWidget* t = mediaRows(d);
        for (int i = 0; i < t->topLevelItemCount(); ++i) {
            const QTreeWidgetItem* r = t->topLevelItem(i);
            out << r->text(0) + QLatin1Char('|') + r->text(1) + QLatin1Char('|') + r->text(2);
        }
        return out;
    }

private:
    // The device list starts and ends the system's audio session each time it is read; the
    // sound modules it loads are unloaded again at its end with allocations the leak checker
    // can no longer name. One session held for the whole test program keeps them loaded.
    static void holdAudioSession()
    {
        static const bool held = audio::pa::acquire();
        (void)held;
    }

    bool trapWas_ = false;
};
