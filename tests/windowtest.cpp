// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/windowtest.h"

#include <QtTest>

#include "app/mainwindow.h"
#include "tests/fakecalls.h"
#include "tests/testsupport.h"

void WindowTest::init()
{
    resetProgramState();
    fakeFtReset();
    closer = new ModalCloser(this);
    window = new MainWindow;
    window->show();
    QApplication::setActiveWindow(window);
    QVERIFY(QTest::qWaitForWindowActive(window));
    pretendTransferAreaRuns();
    fakeFtClearLog();
}

void WindowTest::cleanup()
{
    window->close();
    delete window;
    delete closer;
    QCOMPARE(visibleTopLevelWindows(), QStringList());
}
