#include "platform/ui/dialogs.h"

#include "platform/ui/vb.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>

namespace ui {

namespace {
Dialogs* installed = nullptr;

QWidget* owner() { return QApplication::activeWindow(); }
} // namespace

int WidgetDialogs::messageBox(const QString& text, int flags, const QString& title)
{
    QMessageBox box(owner());
    box.setText(text);
    box.setWindowTitle(title.isEmpty() ? programName() : title);
    switch (flags & 0x70) {
    case vb::mb::Critical: box.setIcon(QMessageBox::Critical); break;
    case vb::mb::Question: box.setIcon(QMessageBox::Question); break;
    case vb::mb::Exclamation: box.setIcon(QMessageBox::Warning); break;
    case vb::mb::Information: box.setIcon(QMessageBox::Information); break;
    default: break;
    }
    struct Choice {
        QMessageBox::StandardButton button;
        int answer;
    };
    std::vector<Choice> choices;
    switch (flags & 0x7) {
    case vb::mb::OKCancel: choices = {{QMessageBox::Ok, vb::mb::OK}, {QMessageBox::Cancel, vb::mb::Cancel}}; break;
    case vb::mb::AbortRetryIgnore:
        choices = {{QMessageBox::Abort, vb::mb::Abort}, {QMessageBox::Retry, vb::mb::Retry},
                   {QMessageBox::Ignore, vb::mb::Ignore}};
        break;
    case vb::mb::YesNoCancel:
        choices = {{QMessageBox::Yes, vb::mb::Yes}, {QMessageBox::No, vb::mb::No},
                   {QMessageBox::Cancel, vb::mb::Cancel}};
        break;
    case vb::mb::YesNo: choices = {{QMessageBox::Yes, vb::mb::Yes}, {QMessageBox::No, vb::mb::No}}; break;
    case vb::mb::RetryCancel: choices = {{QMessageBox::Retry, vb::mb::Retry}, {QMessageBox::Cancel, vb::mb::Cancel}}; break;
    default: choices = {{QMessageBox::Ok, vb::mb::OK}}; break;
    }
    QMessageBox::StandardButtons buttons;
    for (const auto& c : choices)
        buttons |= c.button;
    box.setStandardButtons(buttons);
    box.exec();
    const auto clicked = box.standardButton(box.clickedButton());
    for (const auto& c : choices)
        if (c.button == clicked)
            return c.answer;
    // Closed by the window manager: the last choice (Cancel / No / OK) is the safe answer.
    return choices.back().answer;
}

QString WidgetDialogs::chooseFolder(const QString& prompt)
{
    // Qt's own dialog on every desktop: the user can type or paste a full path into it, and it
    // looks and behaves the same wherever the program runs.
    return QFileDialog::getExistingDirectory(owner(), prompt, QDir::homePath(),
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
}

QString WidgetDialogs::chooseFile(const QString& title, const QString& startFolder, const QString& filter)
{
    return QFileDialog::getOpenFileName(owner(), title, startFolder, filter);
}

int ScriptedDialogs::messageBox(const QString& text, int flags, const QString& title)
{
    shown.push_back({text, flags, title.isEmpty() ? programName() : title});
    if (onShow)
        onShow(shown.back());
    if (answers.empty())
        return vb::mb::OK;
    const int a = answers.front();
    answers.pop_front();
    return a;
}

QString ScriptedDialogs::chooseFolder(const QString&)
{
    if (folders.empty())
        return {};
    QString f = folders.front();
    folders.pop_front();
    return f;
}

QString ScriptedDialogs::chooseFile(const QString&, const QString&, const QString&)
{
    if (files.empty())
        return {};
    QString f = files.front();
    files.pop_front();
    return f;
}

Dialogs& dialogs()
{
    static WidgetDialogs real;
    return installed ? *installed : real;
}

void setDialogs(Dialogs* d) { installed = d; }

QString programName() { return QStringLiteral("Quenlow"); }

int MsgBox(const QString& text, int flags, const QString& title) { return dialogs().messageBox(text, flags, title); }

} // namespace ui
