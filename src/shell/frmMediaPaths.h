// The media folder dialog: edits the list of folders the media scan visits (MediaList.qnl in
// the program folder), each with its scan flag. Add a folder through the folder chooser, delete
// one, switch a folder's flag between "Yes" and "No", and save.
//
// Start-up opens it when no folder is recorded; the Full Playlist menu opens it on demand, with
// the quit label hidden.
#pragma once

#include <QDialog>

class QLineEdit;
class QTreeWidget;

class frmMediaPaths : public QDialog {
    Q_OBJECT
public:
    explicit frmMediaPaths(QWidget* parent = nullptr);

    // True only when start-up opened the dialog because MediaList.qnl was missing; then saving
    // brings the start-up splash forward again.
    bool bStartup = false;

    // The handlers, by the names the dialog's controls know them.
    void LoadMediaList();
    void cmdLookup_Click();
    void lblAdd_MouseUp();
    void lblDelSel_MouseUp();
    void lblScanYesNo_MouseUp();
    void lstMediaPaths_DblClick();
    void lblSaveDevices_Click();
    void lblNoClose_Click();

    // The user chose not to run the program ("Not Right Now Please"): the opener ends it.
    bool quitRequested() const { return quit_; }
    // The list was saved.
    bool saved() const { return saved_; }

    // The text box's text while it holds no choice.
    static QString placeholder();

private:
    void addRow(const QString& path, const QString& flag);
    void renumber();
    void toggleSelected();

    QTreeWidget* lstMediaPaths_;
    QLineEdit* txtMediaPath_;
    bool quit_ = false;
    bool saved_ = false;
};
