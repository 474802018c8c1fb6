// The skin's own widget: the events a picture or label raises for the mouse, delivered as the
// window system delivers them (through the window, so the toolkit makes its own double clicks).
#include "platform/ui/skin.h"

#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

// A window holding one skinned control that records what it raises.
struct Rig {
    QWidget window;
    SkinControl* control = new SkinControl(&window, SkinControl::Picture);
    QStringList events;

    Rig()
    {
        window.resize(200, 100);
        control->setGeometry(20, 20, 80, 40);
        QObject::connect(control, &SkinControl::MouseDown, [this](int b, int, double, double) {
            events << QStringLiteral("down%1").arg(b);
        });
        QObject::connect(control, &SkinControl::MouseUp, [this](int b, int, double, double) {
            events << QStringLiteral("up%1").arg(b);
        });
        QObject::connect(control, &SkinControl::Click, [this] { events << QStringLiteral("click"); });
        QObject::connect(control, &SkinControl::DblClick, [this] { events << QStringLiteral("dblclick"); });
        window.show();
    }
    std::string seen()
    {
        const QString s = events.join(' ');
        events.clear();
        return s.toStdString();
    }
    QWindow* handle() { return window.windowHandle(); }
    QPoint centre() const { return control->geometry().center(); }
};

} // namespace

TEST(SkinControl, MouseEventsComeInTheOrderTheHandlersExpect)
{
    Rig rig;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&rig.window));

    // One click.
    QTest::mouseClick(rig.handle(), Qt::LeftButton, {}, rig.centre());
    EXPECT_EQ(rig.seen(), "down1 up1 click");

    // A double click is one click and one double click, never two clicks.
    QTest::mouseDClick(rig.handle(), Qt::LeftButton, {}, rig.centre());
    EXPECT_EQ(rig.seen(), "down1 up1 click dblclick up1");

    // A plain click after it is a click again.
    QTest::mouseClick(rig.handle(), Qt::LeftButton, {}, rig.centre(), 600);
    EXPECT_EQ(rig.seen(), "down1 up1 click");

    // A right click and a press let go outside the control raise no Click.
    QTest::mouseClick(rig.handle(), Qt::RightButton, {}, rig.centre(), 600);
    QTest::mousePress(rig.handle(), Qt::LeftButton, {}, rig.centre(), 600);
    QTest::mouseRelease(rig.handle(), Qt::LeftButton, {}, QPoint(150, 90));
    EXPECT_EQ(rig.seen(), "down2 up2 down1 up1");
}

TEST(SkinControl, CaptionsShowTheirTextAsItIsUnlessTheyUnderlineAnAccessKey)
{
    // Drawn dark on white: whether a caption shows any ink at all.
    auto ink = [](const QString& text, bool mnemonic) {
        SkinControl label(nullptr, SkinControl::Label);
        label.resize(120, 30);
        label.setBackColor(0xFFFFFF);
        label.setForeColor(0x000000);
        label.setUseMnemonic(mnemonic);
        label.setText(text);
        const QImage image = label.grab().toImage();
        int dark = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                dark += qGray(image.pixel(x, y)) < 128;
        return dark;
    };
    // A lone "&" (a genre cut short, a title) is drawn; as an access-key mark it would vanish.
    EXPECT_GT(ink(QStringLiteral("&"), false), 0);
    EXPECT_EQ(ink(QStringLiteral("&"), true), 0);
    // "Rock & Roll" shows its "&": more ink than the same words without it.
    EXPECT_GT(ink(QStringLiteral("Rock & Roll"), false), ink(QStringLiteral("Rock   Roll"), false));
}
