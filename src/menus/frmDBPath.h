// "Set DB Path": chooses the request database file. Save keeps a path only where a file exists:
// it goes into the settings ([Requests] RequestDB) and becomes the database of the run; the
// Requests list is emptied when the database changed. Cancel changes nothing.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class SongListModel;

class frmDBPath : public QDialog {
    Q_OBJECT
public:
    // requests: the Requests list, emptied when another database is saved.
    explicit frmDBPath(SongListModel& requests, QWidget* parent = nullptr);

    void Form_Load();
    void cmdLookup_Click();
    void cmdSave_Click();
    void cmdCancel_Click();

    QLineEdit* txtDBPath = nullptr;

private:
    SongListModel& requests_;
    QString sOldDBPath;
};
