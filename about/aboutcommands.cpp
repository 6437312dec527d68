// The main-window commands of the "Опции" menu.
#include "mainwindow.h"

#include <QDesktopServices>

#include "formabout.h"

// "Проверить наличие новой версии": the maker's page decides, given our version
void MainWindow::on_action_9_triggered()
{
    QDesktopServices::openUrl(versionCheckPage());
}

// "О программе": one about box, created on first use
void MainWindow::on_action_11_triggered()
{
    if (!about)
        about = new FormAbout(nullptr);
    about->show();
    about->activateWindow();
}
