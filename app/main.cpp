#include <QApplication>
#include <QIcon>

#include "mainwindow.h"
#ifdef Q_OS_UNIX
#include "termination.h"
#endif

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // The windows set no icon of their own: the platform shows the
    // application's. The desktop entry's name lets the desktop match running
    // windows to the installed entry and icon.
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QStringLiteral(":/icons/kavrik-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    QGuiApplication::setDesktopFileName(QStringLiteral("kavrik"));

#ifdef Q_OS_UNIX
    // Ended by a signal (kill, Ctrl+C, a closed terminal), the program still
    // stops the motors before it goes.
    TerminationSignals termination;
#endif
    MainWindow window;
    window.show();
    return application.exec();
}
