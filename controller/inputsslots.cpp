// SPDX-License-Identifier: GPL-3.0-or-later
// The main-window command that opens the inputs window.
#include "app/mainwindow.h"

#include "controller/forminputs.h"

// "Входы": one inputs window, created on first use; it does not hold the main window
void MainWindow::on_action_12_triggered()
{
    if (!inputsWindow)
        inputsWindow = new FormInputs(endSwitches, nullptr);
    inputsWindow->show();
    inputsWindow->raise();
}
