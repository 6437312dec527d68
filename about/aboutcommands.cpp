// SPDX-License-Identifier: GPL-3.0-or-later
// The main-window commands of the "Опции" menu.
#include "app/mainwindow.h"

#include <QDesktopServices>

#include "about/formabout.h"

// "Проверить наличие новой версии": the maker's page decides, given our version
void MainWindow::on_action_9_triggered()
{
    // Without a browser the command would do nothing visible: show the
    // address, which the box lets the user select and copy.
    if (!QDesktopServices::openUrl(versionCheckPage())) {
        showMessage(tr("Информация"),
                    tr("Не удалось открыть браузер. Есть ли новая версия, можно узнать по адресу:\n%1")
                        .arg(versionCheckPage().toString()),
                    QMessageBox::Information);
    }
}

// "О программе": one about box, created on first use
void MainWindow::on_action_11_triggered()
{
    if (!about)
        about = new FormAbout(nullptr);
    about->show();
    about->activateWindow();
}
