// Message boxes and file/folder choosers behind one interface, so tests can script the answers
// and no test ever blocks on a modal window.
#pragma once

#include <QString>
#include <QStringList>
#include <deque>
#include <functional>
#include <vector>

class QWidget;

namespace ui {

class Dialogs {
public:
    virtual ~Dialogs() = default;
    // flags and result use the vb::mb values (OKOnly, YesNo, Critical, ... / OK, Yes, No, ...).
    virtual int messageBox(const QString& text, int flags, const QString& title) = 0;
    // An existing folder chosen by the user, or the empty text when cancelled.
    virtual QString chooseFolder(const QString& prompt) = 0;
    // An existing file chosen by the user, or the empty text when cancelled.
    virtual QString chooseFile(const QString& title, const QString& startFolder, const QString& filter) = 0;
};

// The real dialogs, shown modally over the active window.
class WidgetDialogs : public Dialogs {
public:
    int messageBox(const QString& text, int flags, const QString& title) override;
    QString chooseFolder(const QString& prompt) override;
    QString chooseFile(const QString& title, const QString& startFolder, const QString& filter) override;
};

// Answers from a script; records every box it was asked to show.
class ScriptedDialogs : public Dialogs {
public:
    struct Shown {
        QString text;
        int flags;
        QString title;
    };
    std::vector<Shown> shown;
    std::deque<int> answers;        // popped per message box; vb::mb::OK when empty
    std::deque<QString> folders;    // popped per folder chooser; empty text when empty
    std::deque<QString> files;      // popped per file chooser; empty text when empty
    std::function<void(const Shown&)> onShow; // runs while the "box" is open

    int messageBox(const QString& text, int flags, const QString& title) override;
    QString chooseFolder(const QString& prompt) override;
    QString chooseFile(const QString& title, const QString& startFolder, const QString& filter) override;
};

// The dialogs in use; WidgetDialogs unless a test installed others. Not owned.
Dialogs& dialogs();
void setDialogs(Dialogs* d); // nullptr restores the real dialogs

// The program's name, the title of message boxes that name none.
QString programName();

// Shorthand for dialogs().messageBox(); an empty title shows the program's name.
int MsgBox(const QString& text, int flags = 0, const QString& title = {});

} // namespace ui
