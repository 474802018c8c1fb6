// A small tmpfs of the test's own, to run saves against a real full disk. Mounting needs root
// (the test suite runs as root); where the mount is refused, mounted() is false and why() says
// why, so the test can skip with that reason.
#pragma once

#include <QString>
#include <QTemporaryDir>

class SmallDisk {
public:
    explicit SmallDisk(int kilobytes = 512);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool mounted() const { return mounted_; }
    QString why() const { return why_; }
    QString path() const { return dir_.path(); }
    QString filePath(const QString& name) const { return dir_.filePath(name); }

    // Writes a filler file until not one more byte fits.
    void fill();
    // Removes the filler again.
    void makeRoom();

private:
    QTemporaryDir dir_;
    bool mounted_ = false;
    QString why_;
};

#define SKIP_WITHOUT_SMALL_DISK(disk)                                                                    \
    if (!(disk).mounted())                                                                             \
    GTEST_SKIP() << "a full-disk case needs a tmpfs of its own and the mount was refused: "          \
                 << (disk).why().toStdString()
