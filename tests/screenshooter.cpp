// SPDX-License-Identifier: GPL-3.0-or-later
// Saves pictures of the main window, the editor and the about box for the
// documentation, with an example list open, the program connected to a
// (simulated) controller and W held. Run by scripts/screenshots under Xvfb.
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>

#include "about/formabout.h"
#include "app/mainwindow.h"
#include "editor/formeditor.h"
#include "tests/testsupport.h"

namespace {

bool save(QWidget *window, const QString &path)
{
    QApplication::processEvents();
    return window->grab().save(path);
}

} // namespace

int main(int argc, char *argv[])
{
    // As the program: fixed windows grow with the screen's scale.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication application(argc, argv);
    const QStringList args = QApplication::arguments();
    if (args.size() != 3 && args.size() != 4) {
        qWarning("usage: screenshooter <list file> <output folder> [file name suffix]");
        return 2;
    }
    const QString list = args.at(1);
    const QDir out(args.at(2));
    const QString suffix = args.size() == 4 ? args.at(3) : QString();

    ModalCloser closer;
    MainWindow w;
    w.show();
    QApplication::processEvents();

    // Open the list as the user does, through the menu and its dialog.
    closer.queueFileName(list);
    w.findChild<QAction *>(QStringLiteral("action_2"))->trigger();

    const bool running = startOnSimulator(w);
    auto *table = w.findChild<QTableWidget *>(QStringLiteral("tableWidget"));
    table->setCurrentCell(0, 0, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

    // W held: its rows show that they drive.
    QKeyEvent pressW = platformKeyEvent(QEvent::KeyPress, Qt::Key_W, 25, 0x77, QStringLiteral("w"));
    QApplication::sendEvent(&w, &pressW);
    bool ok = save(&w, out.filePath(QStringLiteral("mainwindow%1.png").arg(suffix)));
    QKeyEvent releaseW = platformKeyEvent(QEvent::KeyRelease, Qt::Key_W, 25, 0x77, QStringLiteral("w"));
    QApplication::sendEvent(&w, &releaseW);
    w.findChild<QPushButton *>(QStringLiteral("pushButton_7"))->click();
    ok = save(findTopLevel<FormEditor>(), out.filePath(QStringLiteral("editor%1.png").arg(suffix))) && ok;
    w.findChild<QAction *>(QStringLiteral("action_11"))->trigger();
    ok = save(findTopLevel<FormAbout>(), out.filePath(QStringLiteral("about%1.png").arg(suffix))) && ok;

    for (const SeenModal &s : closer.seen) {
        if (!s.className.contains(QLatin1String("FileDialog")))
            qWarning("unexpected box: %s: %s", qPrintable(s.title), qPrintable(s.text));
    }
    w.findChild<QPushButton *>(QStringLiteral("pushButton_5"))->click();
    w.close();
    return ok && running ? 0 : 1;
}
