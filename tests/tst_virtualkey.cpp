// SPDX-License-Identifier: GPL-3.0-or-later
#include <QtTest>

#include "control/padthread.h"
#include "control/virtualkey.h"
#include "tests/platformfiles.h"
#include "tests/testsupport.h"

// X11 delivers the physical key as its keycode (the Linux input code + 8)
// and a keysym that changes with Shift and the layout; the binding key code
// must follow the physical key only.
class TestVirtualKey : public QObject
{
    Q_OBJECT

private slots:
    void x11Events_data();
    void x11Events();
    void pressAndShiftedReleaseMatch();
    void syntheticEvents_data();
    void syntheticEvents();
    // Which input devices are taken for game pads (SDL is loaded for them).
    void padDevices_data();
    void padDevices();
};

void TestVirtualKey::x11Events_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<uint>("keysym");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<uint>("expected");

    QTest::newRow("a") << int(Qt::Key_A) << 38u << 0x61u << "a" << 0 << 65u;
    QTest::newRow("Shift+A") << int(Qt::Key_A) << 38u << 0x41u << "A" << int(Qt::ShiftModifier) << 65u;
    QTest::newRow("Russian ф is the A key") << 0x424 << 38u << 0x6c6u << "ф" << 0 << 65u;
    QTest::newRow("z") << int(Qt::Key_Z) << 52u << 0x7au << "z" << 0 << 90u;
    QTest::newRow("q") << int(Qt::Key_Q) << 24u << 0x71u << "q" << 0 << 81u;
    QTest::newRow("m") << int(Qt::Key_M) << 58u << 0x6du << "m" << 0 << 77u;
    QTest::newRow("1") << int(Qt::Key_1) << 10u << 0x31u << "1" << 0 << 49u;
    QTest::newRow("Shift+1 gives !") << int(Qt::Key_Exclam) << 10u << 0x21u << "!" << int(Qt::ShiftModifier) << 49u;
    QTest::newRow("0") << int(Qt::Key_0) << 19u << 0x30u << "0" << 0 << 48u;
    QTest::newRow("Space") << int(Qt::Key_Space) << 65u << 0x20u << " " << 0 << 32u;
    QTest::newRow("Enter") << int(Qt::Key_Return) << 36u << 0xff0du << "\r" << 0 << 13u;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 22u << 0xff08u << "\b" << 0 << 8u;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 9u << 0xff1bu << "\x1b" << 0 << 27u;
    QTest::newRow("Tab") << int(Qt::Key_Tab) << 23u << 0xff09u << "\t" << 0 << 9u;
    QTest::newRow("Left") << int(Qt::Key_Left) << 113u << 0xff51u << "" << 0 << 37u;
    QTest::newRow("Up") << int(Qt::Key_Up) << 111u << 0xff52u << "" << 0 << 38u;
    QTest::newRow("Right") << int(Qt::Key_Right) << 114u << 0xff53u << "" << 0 << 39u;
    QTest::newRow("Down") << int(Qt::Key_Down) << 116u << 0xff54u << "" << 0 << 40u;
    QTest::newRow("F1") << int(Qt::Key_F1) << 67u << 0xffbeu << "" << 0 << 112u;
    QTest::newRow("F10") << int(Qt::Key_F10) << 76u << 0xffc7u << "" << 0 << 121u;
    QTest::newRow("F11") << int(Qt::Key_F11) << 95u << 0xffc8u << "" << 0 << 122u;
    QTest::newRow("F12") << int(Qt::Key_F12) << 96u << 0xffc9u << "" << 0 << 123u;
    QTest::newRow("left Shift") << int(Qt::Key_Shift) << 50u << 0xffe1u << "" << 0 << 16u;
    QTest::newRow("right Ctrl") << int(Qt::Key_Control) << 105u << 0xffe4u << "" << 0 << 17u;
    QTest::newRow("backslash, | with Shift") << int(Qt::Key_Bar) << 51u << 0x7cu << "|" << int(Qt::ShiftModifier) << 0xDCu;
    QTest::newRow("keypad 5") << int(Qt::Key_5) << 84u << 0xffb5u << "5" << int(Qt::KeypadModifier) << 0x65u;
    QTest::newRow("Delete") << int(Qt::Key_Delete) << 119u << 0xffffu << "\x7f" << 0 << 0x2Eu;
}

void TestVirtualKey::x11Events()
{
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    QFETCH(uint, keysym);
    QFETCH(QString, text);
    QFETCH(int, modifiers);
    QFETCH(uint, expected);

    const QKeyEvent press = platformKeyEvent(QEvent::KeyPress, key, scanCode, keysym, text,
                                             Qt::KeyboardModifiers(modifiers));
    if (press.nativeScanCode() != scanCode)
        QSKIP("key events carry no X11 keycode here: Windows keys are typed for real by tst_windowskeys");
    QCOMPARE(virtualKeyCode(&press), quint32(expected));
}

void TestVirtualKey::pressAndShiftedReleaseMatch()
{
    // Pressed without Shift, released while Shift is held: one key, one code.
    const QKeyEvent press = platformKeyEvent(QEvent::KeyPress, Qt::Key_A, 38, 0x61, QStringLiteral("a"));
    const QKeyEvent release = platformKeyEvent(QEvent::KeyRelease, Qt::Key_A, 38, 0x41, QStringLiteral("A"),
                                          Qt::ShiftModifier);
    QCOMPARE(virtualKeyCode(&release), virtualKeyCode(&press));
}

void TestVirtualKey::syntheticEvents_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("expected");

    QTest::newRow("A") << int(Qt::Key_A) << 65u;
    QTest::newRow("7") << int(Qt::Key_7) << 55u;
    QTest::newRow("Space") << int(Qt::Key_Space) << 32u;
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 8u;
    QTest::newRow("Enter on the keypad") << int(Qt::Key_Enter) << 13u;
    QTest::newRow("F5") << int(Qt::Key_F5) << 116u;
    QTest::newRow("Down") << int(Qt::Key_Down) << 40u;
    QTest::newRow("colon is the semicolon key") << int(Qt::Key_Colon) << 0xBAu;
}

void TestVirtualKey::syntheticEvents()
{
    QFETCH(int, key);
    QFETCH(uint, expected);
    const QKeyEvent event(QEvent::KeyPress, key, Qt::NoModifier);
    QCOMPARE(virtualKeyCode(&event), quint32(expected));
}

void TestVirtualKey::padDevices_data()
{
    // The key capabilities as the kernel lists them in sysfs.
    QTest::addColumn<QString>("keys");
    QTest::addColumn<bool>("pad");
    QTest::newRow("Xbox pad: A, B, X, Y, shoulders, sticks") << "7cdb000000000000 0 0 0 0" << true;
    QTest::newRow("joystick: trigger and thumb buttons") << "ffff00000000 0 0 0 0" << true;
    QTest::newRow("keyboard") << "1000000000007 ff9f207ac14057ff febeffdfffefffff fffffffffffffffe" << false;
    QTest::newRow("mouse: its buttons are just below") << "1f0000 0 0 0 0" << false;
    QTest::newRow("graphics tablet: its pen just above") << "1 0 0 0 0 0" << false;
    QTest::newRow("nothing") << "" << false;
    QTest::newRow("not hexadecimal") << "zz 0 0 0 0" << false;
}

void TestVirtualKey::padDevices()
{
    QFETCH(QString, keys);
    QFETCH(bool, pad);
    if (!posixFiles())
        QSKIP("input devices' capabilities are Linux's sysfs words, and no pad is looked for by them here");
    QCOMPARE(hasPadButtons(keys.toStdString()), pad);
}

QTEST_GUILESS_MAIN(TestVirtualKey)
#include "tst_virtualkey.moc"
