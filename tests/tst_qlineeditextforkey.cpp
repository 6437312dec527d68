// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QComboBox>
#include <QtTest>

#include "editor/formeditor.h"
#include "editor/qlineeditextforkey.h"
#include "tests/testsupport.h"

class TestQLineEditExtForKey : public QObject
{
    Q_OBJECT

private slots:
    void capture_data();
    void capture();
    void lastKeyWins();
    void tabMovesFocus();
};

void TestQLineEditExtForKey::capture_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<uint>("scanCode");
    QTest::addColumn<uint>("keysym");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("captured");
    QTest::addColumn<QString>("shown");

    QTest::newRow("a") << int(Qt::Key_A) << 38u << 0x61u << "a" << 0 << 65 << "a" << "a";
    QTest::newRow("Shift+A") << int(Qt::Key_A) << 38u << 0x41u << "A" << int(Qt::ShiftModifier) << 65 << "A" << "A";
    QTest::newRow("Backspace shows nothing") << int(Qt::Key_Backspace) << 22u << 0xff08u << "\b" << 0 << 8 << "\b" << "";
    QTest::newRow("F1 has no text") << int(Qt::Key_F1) << 67u << 0xffbeu << "" << 0 << 112 << "" << "";
    QTest::newRow("arrow has no text") << int(Qt::Key_Up) << 111u << 0xff52u << "" << 0 << 38 << "" << "";
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << 50u << 0xffe1u << "" << int(Qt::ShiftModifier) << 16 << "" << "";
    QTest::newRow("Space stays a blank") << int(Qt::Key_Space) << 65u << 0x20u << " " << 0 << 32 << " " << " ";
    QTest::newRow("Escape keeps its control character") << int(Qt::Key_Escape) << 9u << 0xff1bu << "\x1b" << 0 << 27 << "\x1b" << "\x1b";
    QTest::newRow("Ctrl+A keeps its control character") << int(Qt::Key_A) << 38u << 0x61u << "\x01" << int(Qt::ControlModifier) << 65 << "\x01" << "\x01";
    // Characters that would split or end a list-file line get a name.
    QTest::newRow("| gets a name") << int(Qt::Key_Bar) << 51u << 0x7cu << "|" << int(Qt::ShiftModifier) << 0xDC << "Bar" << "Bar";
    QTest::newRow("Enter gets a name") << int(Qt::Key_Return) << 36u << 0xff0du << "\r" << 0 << 13 << "Return" << "Return";
    QTest::newRow("Ctrl+J gets a name") << int(Qt::Key_J) << 44u << 0x6au << "\n" << int(Qt::ControlModifier) << 74 << "Ctrl+J" << "Ctrl+J";
    QTest::newRow("Ctrl+M gets a name") << int(Qt::Key_M) << 58u << 0x6du << "\r" << int(Qt::ControlModifier) << 77 << "Ctrl+M" << "Ctrl+M";
}

void TestQLineEditExtForKey::capture()
{
    QFETCH(int, key);
    QFETCH(uint, scanCode);
    QFETCH(uint, keysym);
    QFETCH(QString, text);
    QFETCH(int, modifiers);
    QFETCH(int, code);
    QFETCH(QString, captured);
    QFETCH(QString, shown);

    QLineEditExtForKey field;
    field.setText(QStringLiteral("Введите..."));
    field.setCursorPosition(3);
    QKeyEvent press = platformKeyEvent(QEvent::KeyPress, key, scanCode, keysym, text, Qt::KeyboardModifiers(modifiers));
    QApplication::sendEvent(&field, &press);
    QCOMPARE(field.capturedCode, code);
    QCOMPARE(field.capturedText, captured);
    QCOMPARE(field.text(), shown);
    QVERIFY(press.isAccepted());
    // The stored text must come back from a list file unchanged.
    QVERIFY(!field.capturedText.contains(QLatin1Char('|')));
    QVERIFY(!field.capturedText.contains(QLatin1Char('\r')));
    QVERIFY(!field.capturedText.contains(QLatin1Char('\n')));
}

void TestQLineEditExtForKey::lastKeyWins()
{
    QLineEditExtForKey field;
    for (const auto &k : {std::make_tuple(int(Qt::Key_W), 25u, "w"), std::make_tuple(int(Qt::Key_S), 39u, "s")}) {
        QKeyEvent press = platformKeyEvent(QEvent::KeyPress, std::get<0>(k), std::get<1>(k), 0,
                                      QString::fromLatin1(std::get<2>(k)));
        QApplication::sendEvent(&field, &press);
    }
    QCOMPARE(field.text(), QStringLiteral("s"));
    QCOMPARE(field.capturedCode, 83);
    // The repeats of a key held since before capture nothing; editing keys
    // edit nothing.
    QKeyEvent repeat = platformKeyEvent(QEvent::KeyPress, Qt::Key_W, 25, 0x77, QStringLiteral("w"), Qt::NoModifier, true);
    QApplication::sendEvent(&field, &repeat);
    QCOMPARE(field.text(), QStringLiteral("s"));
    QCOMPARE(field.capturedCode, 83);
    QVERIFY(repeat.isAccepted());
    QKeyEvent undo = platformKeyEvent(QEvent::KeyPress, Qt::Key_Z, 52, 0x7a, QStringLiteral("\x1a"), Qt::ControlModifier);
    QApplication::sendEvent(&field, &undo);
    QCOMPARE(field.text(), QStringLiteral("\x1a"));
    QCOMPARE(field.capturedCode, 90);
}

void TestQLineEditExtForKey::tabMovesFocus()
{
    FormEditor editor;
    editor.show();
    QApplication::setActiveWindow(&editor);
    QVERIFY(QTest::qWaitForWindowActive(&editor));
    auto *field = editor.findChild<QLineEditExtForKey *>(QStringLiteral("lineEdit"));
    field->setFocus();
    field->capturedCode = 65;
    field->capturedText = QStringLiteral("a");
    QTest::keyClick(field, Qt::Key_Tab);
    QVERIFY(!field->hasFocus());
    QCOMPARE(field->capturedCode, 65); // Tab was not captured
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    QVERIFY(field->hasFocus());
    QCOMPARE(field->capturedText, QStringLiteral("a"));
    editor.close();
}

QTEST_MAIN(TestQLineEditExtForKey)
#include "tst_qlineeditextforkey.moc"
