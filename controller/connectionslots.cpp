// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's connection panel: port search, connect, disconnect,
// start and stop of the transfer area.
#include "app/mainwindow.h"

#include <QLineEdit>
#include <QTimer>

#include "bindings/bindinglist.h"
#include "bindings/rowmarks.h"
#include "common/processobjects.h"
#include "controller/connectionrunner.h"
#include "controller/endswitches.h"
#include "controller/failurereasons.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "ui_mainwindow.h"

namespace {

// Stop and disconnect: the motors first, here and now, then the call that
// waits for the controller's answer, on the connection's thread.
void stopDevice(ConnectionRunner &runner, bool close)
{
    if (runner.busy())
        return;
    bindingList().releaseHeldBindings();
    runner.stopDevice(close);
}

} // namespace

// "Поиск портов": ask the library for the ports and list them
void MainWindow::on_pushButton_clicked()
{
    if (connectionBusy())
        return;
    connectionRunner->searchPorts();
    updateConnectionWidgets();
}

// "Подключиться": open the controller on the chosen port, or at the typed
// address
void MainWindow::on_pushButton_2_clicked()
{
    if (connectionBusy())
        return;
    QString choice = ui->comboBox->currentText();
    // A typed text may carry the blanks of a paste around it; a search's
    // entry goes as the library gave it.
    if (!ftConnection().portNames.contains(choice))
        choice = choice.trimmed();
    connectionRunner->openPort(choice);
    updateConnectionWidgets();
}

// "Отключиться": close the controller; while a connect is under way, cancel it
void MainWindow::on_pushButton_3_clicked()
{
    if (!connectionRunner->cancelOpen())
        stopDevice(*connectionRunner, true);
    updateConnectionWidgets();
}

// "Старт": start the transfer area, after which keys drive motors
void MainWindow::on_pushButton_4_clicked()
{
    // Told before the start, so that the first exchange already stops at them.
    const bool stopsAtSwitches = endSwitches->tell(bindingList(), ftConnection(), true);
    if (ftConnection().startTransferArea()) {
        bindingList().forgetHeldBindings();
        linkCheck->start();
    } else {
        showMessage(tr("Ошибка"), tr("Не удалось запустить Transfer Area"), QMessageBox::Critical);
    }
    updateConnectionWidgets();
    // The motors still run as before; the user must not count on a stop
    // that nothing makes.
    if (!stopsAtSwitches && ftConnection().transferAreaRunning && endSwitches->takeUnsupportedNotice()) {
        showMessage(tr("Внимание"),
                    tr("Библиотека ftMscLib, с которой работает программа, не поддерживает концевые "
                       "выключатели: моторы не остановятся на них. Привязки с концевыми выключателями "
                       "ведут моторы так же, как без них."),
                    QMessageBox::Warning);
    }
}

// "Стоп": stop the transfer area
void MainWindow::on_pushButton_5_clicked()
{
    stopDevice(*connectionRunner, false);
    updateConnectionWidgets();
}

bool MainWindow::connectionBusy() const
{
    return connectionRunner->busy();
}

// The connection's thread is done: its result taken over, or why not shown.
void MainWindow::connectionDone(const ConnectionRunner::Result &result)
{
    FtConnection &connection = ftConnection();
    switch (result.work) {
    case ConnectionRunner::Work::None:
        break;
    case ConnectionRunner::Work::Search:
        if (connection.takePorts(result.ports))
            showPortsList();
        else
            showMessage(tr("Информация"), tr("COM порты не обнаружены"), QMessageBox::Information);
        break;
    case ConnectionRunner::Work::Open:
        if (connection.takeOpened(result.opened)) {
            connection.connectedPort = result.choice;
            connection.portTyped = !connection.portNames.contains(result.choice);
        } else {
            showMessage(tr("Ошибка"),
                        tr("Не удалось подключиться к контроллеру через ") + QLatin1Char('"') + result.choice
                            + QLatin1Char('"'),
                        QMessageBox::Critical,
                        result.opened.called
                            ? openFailureReason(FtConnection::portOf(result.choice), result.opened.errorCode)
                            : QString());
        }
        break;
    case ConnectionRunner::Work::Stop:
    case ConnectionRunner::Work::Close: {
        const bool closed = result.work == ConnectionRunner::Work::Close;
        if (closed ? connection.takeClosed(result.answer) : connection.takeStopped(result.answer)) {
            bindingList().forgetHeldBindings();
            linkCheck->stop();
        } else {
            // The box's own event loop would let the link check stack its
            // loss over this box; the loss is told once this one is read.
            linkCheck->stop();
            showMessage(tr("Ошибка"),
                        closed ? tr("Не удалось отключиться от контроллера")
                               : tr("Не удалось остановить Transfer Area"),
                        QMessageBox::Critical);
            if (connection.transferAreaRunning)
                linkCheck->start();
        }
        break;
    }
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
    // A stop or a close under way tells itself how it went.
    if (connectionBusy())
        return;
    const quint32 status = connection.linkStatus();
    if (status == FTLIB_ERR_SUCCESS) {
        // A TXT tells of its extension only in the transfer's answers, and
        // an extension plugged in or pulled out changes it: the table follows
        // without a key pressed.
        if (connection.kind.extensionsOnlyWhileRunning && connection.askOnlineExtensions())
            rowMarks->connectionChanged(connection.connected, connection.missingExtensions, connection.kind);
        return;
    }
    // Stopped before the box, whose own event loop would run this again.
    linkCheck->stop();
    bindingList().forgetHeldBindings();
    connection.closeLostDevice();
    updateConnectionWidgets();
    showMessage(tr("Ошибка"),
                tr("Связь с контроллером через \"%1\" потеряна. Проверьте кабель и питание "
                   "контроллера, затем нажмите \"Поиск портов\" и подключитесь снова.")
                    .arg(connection.connectedPort),
                QMessageBox::Critical, linkLossReason(connection.kind, status));
}

void MainWindow::showPortsList()
{
    ui->comboBox->clear();
    ui->comboBox->addItems(ftConnection().portNames);
}

void MainWindow::updateConnectionWidgets()
{
    if (connectionBusy()) {
        // One way out while a connect is under way: "Отключиться" cancels it.
        for (QWidget *w : {static_cast<QWidget *>(ui->pushButton), static_cast<QWidget *>(ui->comboBox),
                           static_cast<QWidget *>(ui->pushButton_2), static_cast<QWidget *>(ui->pushButton_4),
                           static_cast<QWidget *>(ui->pushButton_5)})
            w->setEnabled(false);
        ui->pushButton_3->setEnabled(connectionRunner->work() == ConnectionRunner::Work::Open);
        return;
    }
    ui->pushButton->setEnabled(ftLib().library.isLoaded());
    const FtConnection &c = ftConnection();
    endSwitches->updateReading(c);
    rowMarks->connectionChanged(c.connected, c.missingExtensions, c.kind);
    // A typed address needs no search to find it.
    const bool portKnown = c.portsFound || (c.connected && c.portTyped);
    // Typed into while nothing is connected, also when the search found
    // nothing. While connected the box shows the port in use and never holds
    // the keyboard, which drives the motors then: it would keep keys from
    // the window (an arrow moves through its entries).
    if (QLineEdit *typed = ui->comboBox->lineEdit())
        typed->setReadOnly(c.connected);
    ui->comboBox->setFocusPolicy(c.connected ? Qt::NoFocus : Qt::ClickFocus);
    QWidget *focused = focusWidget();
    if (c.connected && focused && (focused == ui->comboBox || ui->comboBox->isAncestorOf(focused)))
        focused->clearFocus();
    ui->comboBox->setEnabled(portKnown || !c.connected);
    ui->pushButton_2->setEnabled(!c.connected && !ui->comboBox->currentText().trimmed().isEmpty());
    ui->pushButton_3->setEnabled(portKnown && c.connected);
    ui->pushButton_4->setEnabled(portKnown && c.connected && !c.transferAreaRunning);
    ui->pushButton_5->setEnabled(portKnown && c.connected && c.transferAreaRunning);
}
