// SPDX-License-Identifier: GPL-3.0-or-later
// The program in a child process, set up as main() sets it up, connected to
// a simulated controller through the real library and holding a bound key,
// so that a test can end it with a signal, or with _exit(1) when it reads
// "_exit" (as the toolkit's Wayland plugin ends a program whose compositor
// went away). Prints "driving" once the key is down, or why it could not get
// there.
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>

#include "app/mainwindow.h"
#include "app/processobjects.h"
#include "app/termination.h"
#include "bindings/bindinglist.h"
#include "controller/ftconnection.h"
#include "tests/testsupport.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        std::puts("usage: holdprobe SIMULATOR-PORT");
        return 2;
    }
    const QString port = QString::fromLocal8Bit(argv[1]);
    TerminationSignals termination;
    MainWindow window;
    window.show();

    if (!startOnSimulator(window, port)) {
        std::puts("not running on the simulator's port");
        return 3;
    }
    bindingList().append(makeBinding(QStringLiteral("d"), 'D', 0, 1, true, 400));
    window.buttonsChanged();
    QKeyEvent press = x11KeyEvent(QEvent::KeyPress, Qt::Key_D, 40, 0x64, QStringLiteral("d"));
    QApplication::sendEvent(&window, &press);
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char line[16] = {};
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (n > 0 && std::strncmp(line, "_exit", 5) == 0)
            ::_exit(1);
        if (n <= 0)
            input.setEnabled(false);
    });
    std::puts("driving");
    std::fflush(stdout);
    return application.exec();
}
