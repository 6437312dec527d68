// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class MainWindow;
class ModalCloser;

// What the tests that drive outputs through the main window start from:
// the program as after a connect and a start on the fake library (handle
// 5), its window shown and active, a closer armed for its boxes and the
// call log empty. Each test ends with no window left open.
class WindowTest : public QObject
{
    Q_OBJECT

protected slots:
    void init();
    void cleanup();

protected:
    MainWindow *window = nullptr;
    ModalCloser *closer = nullptr;
};
