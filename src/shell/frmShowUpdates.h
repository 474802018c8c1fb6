// The update notes window: the program's release history, newest release first.
#pragma once

#include <QWidget>

class QPlainTextEdit;
class SkinControl;

class frmShowUpdates : public QWidget {
    Q_OBJECT
public:
    explicit frmShowUpdates(QWidget* parent = nullptr);

    // Opens the window modal over the program and returns at once; closed() follows when the
    // user is done. The window deletes itself when closed.
    static frmShowUpdates* open(QWidget* parent = nullptr);

    // The release history, every line ending in CR LF.
    static QString historyText();

    QPlainTextEdit* txtUpdates = nullptr;
    SkinControl* lblDoneClose = nullptr;

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* e) override;
};
