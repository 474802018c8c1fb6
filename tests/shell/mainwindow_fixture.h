// A main window in a temporary program folder, with the error trap on and the steps that
// belong to other subsystems replaced by a recorder.
#pragma once

#include "core/checkmarks.h"
#include "core/controls.h"
#include "core/errorlog.h"
#include "core/settings.h"
#include "shell/frmMain.h"

#include <QApplication>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

class MainWindowTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<frmMain> w;
    QStringList calls; // the other subsystems' steps, in the order they ran

    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        AppPath = dir.path();
        errorlog::setFolder(dir.path());
        ErrorTrapOn = true;
        ErrorCount = 0;
        checkMarks() = CheckMarks();
        w = std::make_unique<frmMain>();
        record(w->steps);
    }

    void TearDown() override
    {
        w.reset();
        ErrorTrapOn = false;
        errorlog::setClosing(false);
    }

    void record(frmMain::Steps& s)
    {
        auto rec = [this](const char* name) { return [this, name] { calls << QLatin1String(name); }; };
        s.installKeyboardHook = rec("installKeyboardHook");
        s.openRequestDatabase = rec("openRequestDatabase");
        s.resetDecks = rec("resetDecks");
        s.addSearchPlaceholder = rec("addSearchPlaceholder");
        s.loadStoredLists = rec("loadStoredLists");
        s.closeStartupWindows = rec("closeStartupWindows");
        s.startMediaScanIfEmpty = rec("startMediaScanIfEmpty");
        s.stopDecks = rec("stopDecks");
        s.closeStreams = rec("closeStreams");
        s.closeEngines = rec("closeEngines");
        s.saveLists = rec("saveLists");
        s.removeKeyboardHook = rec("removeKeyboardHook");
        s.endProgram = rec("endProgram");
    }

    QString errorLog() const
    {
        QFile f(dir.path() + QStringLiteral("/QNLERRORS.log"));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    void writeConfig(const QByteArray& text)
    {
        QFile f(dir.path() + QStringLiteral("/config.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }

    template <class T = QWidget>
    T* c(const char* name) const
    {
        return ctl<T>(w.get(), name);
    }

    // Shows the window and makes it the active one, so focus and keys work.
    void showActive()
    {
        w->show();
        w->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(w.get()));
    }
};
