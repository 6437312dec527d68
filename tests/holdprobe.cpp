// SPDX-License-Identifier: GPL-3.0-or-later
// The program in a child process, set up as main() sets it up, connected to
// a simulated controller through the real library and holding a bound key,
// so that a test can end it with a signal, or with _exit(1) when it reads
// "_exit" (as the toolkit's Wayland plugin ends a program whose compositor
// went away). Prints "driving" once the key is down, or why it could not get
// there. With --keys it binds W and waits for real key events instead
// (tests/wayland/run-wayland-keys).
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <QStringList>

#include "app/mainwindow.h"
#include "app/termination.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "tests/testsupport.h"

int main(int argc, char *argv[])
{
    TerminationSignals::blockStopSignals();
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments().mid(1);
    // By-hand checks on Wayland: a window of another program to move the
    // keyboard to, titled as asked ("other" unless given)...
    if (!arguments.isEmpty() && arguments.size() <= 2 && arguments.first() == QStringLiteral("--other")) {
        QWidget other;
        other.setWindowTitle(arguments.value(1, QStringLiteral("other")));
        other.resize(300, 200);
        other.show();
        return application.exec();
    }
    // ...and the program driven by real key presses of W (Master M1 -->, 512).
    const bool realKeys = arguments.size() == 2 && arguments.first() == QStringLiteral("--keys");
    if (arguments.size() != 1 && !realKeys) {
        std::puts("usage: holdprobe [--keys] SIMULATOR-PORT | holdprobe --other [TITLE]");
        return 2;
    }
    const QString port = arguments.last();
    // A job of its own, as a shell starts a program: stopped by Ctrl+Z
    // (SIGTSTP), which the kernel ignores in a group nobody could continue.
    ::setpgid(0, 0);
    TerminationSignals termination;
    MainWindow window;
    window.show();

    if (!startOnSimulator(window, port)) {
        std::puts("not running on the simulator's port");
        return 3;
    }
    if (realKeys) {
        bindingList().append(makeBinding(QStringLiteral("w"), 'W', 0, 0, true, 512));
        window.buttonsChanged();
    } else {
        bindingList().append(makeBinding(QStringLiteral("d"), 'D', 0, 1, true, 400));
        window.buttonsChanged();
        QKeyEvent press = platformKeyEvent(QEvent::KeyPress, Qt::Key_D, 40, 0x64, QStringLiteral("d"));
        QApplication::sendEvent(&window, &press);
    }
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char line[16] = {};
        const ssize_t n = ::read(STDIN_FILENO, line, sizeof line - 1);
        if (n > 0 && std::strncmp(line, "_exit", 5) == 0)
            ::_exit(1);
        if (n <= 0)
            input.setEnabled(false);
    });
    std::puts(realKeys ? "ready" : "driving");
    std::fflush(stdout);
    return application.exec();
}
