// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's connection panel: port search, connect, disconnect,
// start and stop of the transfer area.
#include "app/mainwindow.h"

#include <QRegExp>
#include <QTimer>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "ui_mainwindow.h"

// "Поиск портов": ask the library for the ports and list them
void MainWindow::on_pushButton_clicked()
{
    if (ftConnection().findPorts())
        showPortsList();
    else
        showMessage(tr("Информация"), tr("COM порты не обнаружены"), QMessageBox::Information);
    updateConnectionWidgets();
}

// "Подключиться": open the controller on the chosen port
void MainWindow::on_pushButton_2_clicked()
{
    const QString choice = ui->comboBox->currentText();
    // The library describes each port after a blank; only the part before
    // it names the port.
    QString port = choice;
    port.replace(QRegExp(QStringLiteral(" .*")), QString());
    if (ftConnection().openDevice(port.toLatin1())) {
        ftConnection().connectedPort = choice;
    } else {
        showMessage(tr("Ошибка"),
                    tr("Не удалось подключиться к контроллеру через ") + QLatin1Char('"') + choice
                        + QLatin1Char('"'),
                    QMessageBox::Critical);
    }
    updateConnectionWidgets();
}

// "Отключиться": close the controller
void MainWindow::on_pushButton_3_clicked()
{
    if (ftConnection().closeDevice()) {
        bindingList().forgetHeldBindings();
        linkCheck->stop();
    } else {
        showMessage(tr("Ошибка"), tr("Не удалось отключиться от контроллера"), QMessageBox::Critical);
    }
    updateConnectionWidgets();
}

// "Старт": start the transfer area, after which keys drive motors
void MainWindow::on_pushButton_4_clicked()
{
    if (ftConnection().startTransferArea()) {
        bindingList().forgetHeldBindings();
        linkCheck->start();
    } else {
        showMessage(tr("Ошибка"), tr("Не удалось запустить Transfer Area"), QMessageBox::Critical);
    }
    updateConnectionWidgets();
}

// "Стоп": stop the transfer area
void MainWindow::on_pushButton_5_clicked()
{
    if (ftConnection().stopTransferArea()) {
        bindingList().forgetHeldBindings();
        linkCheck->stop();
    } else {
        showMessage(tr("Ошибка"), tr("Не удалось остановить Transfer Area"), QMessageBox::Critical);
    }
    updateConnectionWidgets();
}

// A cable pulled or a controller switched off while running would otherwise
// go unnoticed: keys would do nothing and only "Стоп" would fail.
void MainWindow::checkLink()
{
    FtConnection &connection = ftConnection();
    if (!connection.transferAreaRunning) {
        linkCheck->stop();
        return;
    }
    if (connection.linkAlive())
        return;
    // Stopped before the box, whose own event loop would run this again.
    linkCheck->stop();
    bindingList().forgetHeldBindings();
    connection.closeLostDevice();
    updateConnectionWidgets();
    showMessage(tr("Ошибка"),
                tr("Связь с контроллером через \"%1\" потеряна. Проверьте кабель и питание "
                   "контроллера, затем нажмите \"Поиск портов\" и подключитесь снова.")
                    .arg(connection.connectedPort),
                QMessageBox::Critical);
}

void MainWindow::showPortsList()
{
    ui->comboBox->clear();
    ui->comboBox->addItems(ftConnection().portNames);
}

void MainWindow::updateConnectionWidgets()
{
    const FtConnection &c = ftConnection();
    ui->comboBox->setEnabled(c.portsFound);
    ui->pushButton_2->setEnabled(c.portsFound && !c.connected);
    ui->pushButton_3->setEnabled(c.portsFound && c.connected);
    ui->pushButton_4->setEnabled(c.portsFound && c.connected && !c.transferAreaRunning);
    ui->pushButton_5->setEnabled(c.portsFound && c.connected && c.transferAreaRunning);
}
