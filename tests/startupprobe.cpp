// SPDX-License-Identifier: GPL-3.0-or-later
// Starts the program's main window the way main() does and prints, one line
// each, every message box shown on the way and the controls' enabled states,
// for tst_startup to read.
#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTextStream>

#include "app/mainwindow.h"
#include "tests/testsupport.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    ModalCloser closer;
    MainWindow window;
    window.show();
    QApplication::processEvents();

    QTextStream out(stdout);
    out.setCodec("UTF-8");
    for (const SeenModal &s : closer.seen) {
        out << "box\t" << s.title << '\t' << s.text << '\t' << int(s.icon) << '\t'
            << (s.mainWindowVisible ? "after" : "before") << '\n';
    }
    auto enabled = [&](const char *name) { return window.findChild<QWidget *>(QLatin1String(name))->isEnabled(); };
    out << "portSearch\t" << enabled("pushButton") << '\n';
    out << "connectionControls\t"
        << (enabled("comboBox") || enabled("pushButton_2") || enabled("pushButton_3")
            || enabled("pushButton_4") || enabled("pushButton_5"))
        << '\n';
    out.flush();
    window.close();
    return 0;
}
