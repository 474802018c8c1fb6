// The small widget classes the skinned window is built from.
//
// SkinControl stands for both a picture box and a label of the window: it shows a picture or a
// caption and raises MouseDown, MouseUp, MouseMove, Click, DblClick, KeyDown and KeyUp as the
// handlers expect them. It accepts its own mouse events, so a press on a button inside a panel
// never starts a drag of the panel. Coordinates are in twips (15 to a pixel); Button is 1 left,
// 2 right, 4 middle; Shift is 1 Shift, 2 Ctrl, 4 Alt. Key codes are Windows virtual-key codes.
#pragma once

#include <QLabel>
#include <QList>
#include <QPixmap>
#include <cstdint>

class ImageList {
public:
    ImageList() = default;
    explicit ImageList(QList<QPixmap> images) : images_(std::move(images)) {}
    // The picture at a 1-based index, as the handlers number them; a null pixmap out of range.
    QPixmap ListImage(int index) const
    {
        return index >= 1 && index <= images_.size() ? images_[index - 1] : QPixmap();
    }
    int Count() const { return int(images_.size()); }
    void add(const QPixmap& p) { images_.push_back(p); }

private:
    QList<QPixmap> images_;
};

class SkinControl : public QLabel {
    Q_OBJECT
public:
    enum Kind { Picture, Label };
    explicit SkinControl(QWidget* parent = nullptr, Kind kind = Picture);

    Kind kind() const { return kind_; }

    // The picture shown, as a picture box's Picture property.
    void setPicture(const QPixmap& p);
    QPixmap picture() const { return picture_; }

    // Whether "&" in the caption marks the access key (underlined, "&&" for one "&"). Off by
    // default: a caption shows its text literally, as song titles, artists and genres must
    // ("Rock & Roll"). Only fixed captions that underline their key letter turn it on.
    void setUseMnemonic(bool on);
    bool useMnemonic() const { return useMnemonic_; }

    // ForeColor and BackColor as &HBBGGRR values. A label without a BackColor is transparent
    // over the skin beneath it.
    void setForeColor(std::uint32_t bgr);
    std::uint32_t foreColor() const { return foreColor_; }
    void setBackColor(std::uint32_t bgr);
    std::uint32_t backColor() const { return backColor_; }
    bool hasBackColor() const { return hasBackColor_; }

signals:
    void MouseDown(int button, int shift, double x, double y);
    void MouseUp(int button, int shift, double x, double y);
    void MouseMove(int button, int shift, double x, double y);
    void Click();
    void DblClick();
    void KeyDown(int keyCode, int shift);
    void KeyUp(int keyCode, int shift);

protected:
    void paintEvent(QPaintEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseDoubleClickEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void keyReleaseEvent(QKeyEvent* e) override;

private:
    Kind kind_;
    QPixmap picture_;
    bool pressedInside_ = false;
    bool useMnemonic_ = false;
    std::uint32_t foreColor_ = 0;
    std::uint32_t backColor_ = 0;
    bool hasBackColor_ = false;
};

// Mouse button and shift values of an event, as the handlers take them.
int mouseButtonValue(Qt::MouseButtons b);
int mouseShiftValue(Qt::KeyboardModifiers m);
