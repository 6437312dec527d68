// SPDX-License-Identifier: GPL-3.0-or-later
// Started by bench_startup: the program's own start-up (as in main()) or,
// built as emptywindowapp, the same with a bare QMainWindow. Prints "shown"
// when the window is first painted, then its resident memory, and ends.
#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QFile>
#include <QMainWindow>

#ifndef EMPTY_WINDOW
#include "app/mainwindow.h"
#include "bench/samplebindings.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#endif

namespace {

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

class FirstPaint : public QObject
{
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !seen) {
            seen = true;
            std::printf("shown\n");
            std::fflush(stdout);
            QMetaObject::invokeMethod(qApp, [] {
                std::printf("rss %ld\n", residentKiB());
                std::fflush(stdout);
                QApplication::quit();
            }, Qt::QueuedConnection);
        }
        return false;
    }
    bool seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    FirstPaint firstPaint;
#ifdef EMPTY_WINDOW
    QMainWindow window;
    window.resize(551, 302);
#else
    const int bindings = argc > 2 && std::strcmp(argv[1], "--bindings") == 0 ? std::atoi(argv[2]) : 0;
    for (int n = 0; n < bindings; ++n) {
        bindingList().append(sampleBinding(n));
    }
    MainWindow window;
    if (bindings > 0)
        window.updateBindingsTable();
#endif
    window.installEventFilter(&firstPaint);
    window.show();
    return application.exec();
}
