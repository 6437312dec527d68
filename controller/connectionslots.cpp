// SPDX-License-Identifier: GPL-3.0-or-later
// The main window's connection panel: port search, connect, disconnect,
// start and stop of the transfer area.
#include "app/mainwindow.h"

#include <QApplication>
#include <QRegExp>
#include <QThread>
#include <QTimer>

#include "bindings/bindinglist.h"
#include "bindings/rowmarks.h"
#include "common/processobjects.h"
#include "controller/connectionworker.h"
#include "controller/failurereasons.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "ui_mainwindow.h"

namespace {

// The library describes each port after a blank; only the part before it
// names the port.
QString portOf(const QString &choice)
{
    QString port = choice;
    port.replace(QRegExp(QStringLiteral(" .*")), QString());
    return port;
}

} // namespace

// "Поиск портов": ask the library for the ports and list them
void MainWindow::on_pushButton_clicked()
{
    if (connectionBusy())
        return;
    beginConnectionWork(ConnectionWork::Search);
    ConnectionWorker *w = connectionWorker();
    const quint64 request = connectionRequest;
    QMetaObject::invokeMethod(w, [w, request] { w->searchPorts(request); }, Qt::QueuedConnection);
}

void MainWindow::portsSearched(quint64 request, const QStringList &names)
{
    if (request != connectionRequest)
        return;
    endConnectionWork();
    if (ftConnection().takePorts(names))
        showPortsList();
    else
        showMessage(tr("Информация"), tr("COM порты не обнаружены"), QMessageBox::Information);
    updateConnectionWidgets();
}

// "Подключиться": open the controller on the chosen port
void MainWindow::on_pushButton_2_clicked()
{
    if (connectionBusy())
        return;
    openingChoice = ui->comboBox->currentText();
    beginConnectionWork(ConnectionWork::Open);
    ConnectionWorker *w = connectionWorker();
    const quint64 request = connectionRequest;
    const QByteArray name = portOf(openingChoice).toLatin1();
    QMetaObject::invokeMethod(w, [w, request, name] { w->openPort(request, name); }, Qt::QueuedConnection);
}

void MainWindow::portOpened(quint64 request, bool called, quint32 handle, quint32 errorCode)
{
    FtConnection::Opened opened;
    opened.called = called;
    opened.handle = handle;
    opened.errorCode = errorCode;
    // A connect cancelled after the worker looked: the port goes back here.
    if (request != connectionRequest) {
        FtConnection::giveBack(opened);
        return;
    }
    endConnectionWork();
    if (ftConnection().takeOpened(opened)) {
        ftConnection().connectedPort = openingChoice;
    } else {
        showMessage(tr("Ошибка"),
                    tr("Не удалось подключиться к контроллеру через ") + QLatin1Char('"') + openingChoice
                        + QLatin1Char('"'),
                    QMessageBox::Critical, called ? openFailureReason(portOf(openingChoice), errorCode) : QString());
    }
    updateConnectionWidgets();
}

// "Отключиться": close the controller; while a connect is under way, cancel it
void MainWindow::on_pushButton_3_clicked()
{
    if (connectionWork == ConnectionWork::Open) {
        worker->wanted = ++connectionRequest;
        endConnectionWork();
        updateConnectionWidgets();
        return;
    }
    stopDevice(true);
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
    stopDevice(false);
}

// Both wait for the controller's answer to the last zeros, on the
// connection's thread.
void MainWindow::stopDevice(bool close)
{
    if (connectionBusy())
        return;
    beginConnectionWork(close ? ConnectionWork::Close : ConnectionWork::Stop);
    ConnectionWorker *w = connectionWorker();
    const quint64 request = connectionRequest;
    const quint32 handle = ftConnection().deviceHandle;
    QMetaObject::invokeMethod(
        w, [w, request, handle, close] { w->stopDevice(request, handle, close); }, Qt::QueuedConnection);
}

void MainWindow::deviceStopped(quint64 request, bool closed, bool called, quint32 status)
{
    if (request != connectionRequest)
        return;
    endConnectionWork();
    FtConnection &connection = ftConnection();
    if (closed ? connection.takeClosed({called, status}) : connection.takeStopped({called, status})) {
        bindingList().forgetHeldBindings();
        linkCheck->stop();
    } else {
        showMessage(tr("Ошибка"),
                    closed ? tr("Не удалось отключиться от контроллера") : tr("Не удалось остановить Transfer Area"),
                    QMessageBox::Critical);
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
    if (status == FTLIB_ERR_SUCCESS)
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
                QMessageBox::Critical, linkLossReason(status));
}

void MainWindow::showPortsList()
{
    ui->comboBox->clear();
    ui->comboBox->addItems(ftConnection().portNames);
}

ConnectionWorker *MainWindow::connectionWorker()
{
    if (!worker) {
        connectionThread = new QThread(this);
        worker = new ConnectionWorker;
        worker->moveToThread(connectionThread);
        connect(worker, &ConnectionWorker::portsSearched, this, &MainWindow::portsSearched);
        connect(worker, &ConnectionWorker::portOpened, this, &MainWindow::portOpened);
        connect(worker, &ConnectionWorker::deviceStopped, this, &MainWindow::deviceStopped);
        connectionThread->start();
    }
    return worker;
}

void MainWindow::beginConnectionWork(ConnectionWork work)
{
    if (work == ConnectionWork::Stop || work == ConnectionWork::Close) {
        // The motors first, here and now; no key drives until it is done.
        bindingList().releaseHeldBindings();
        ftConnection().stopping = true;
    }
    connectionWork = work;
    connectionWorker()->wanted = ++connectionRequest;
    QApplication::setOverrideCursor(Qt::BusyCursor);
    updateConnectionWidgets();
}

void MainWindow::endConnectionWork()
{
    if (connectionWork == ConnectionWork::None)
        return;
    connectionWork = ConnectionWork::None;
    ftConnection().stopping = false;
    QApplication::restoreOverrideCursor();
}

// A search, an open, a stop or a close still under way ends before the
// window does (the library's calls are bounded); a device it opens is closed
// again at once.
void MainWindow::stopConnectionThread()
{
    endConnectionWork();
    if (!connectionThread)
        return;
    worker->wanted = ++connectionRequest;
    connectionThread->quit();
    connectionThread->wait();
    // An open that ended before the request changed is still on its way.
    QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    delete worker;
    worker = nullptr;
}

void MainWindow::updateConnectionWidgets()
{
    if (connectionBusy()) {
        // One way out while a connect is under way: "Отключиться" cancels it.
        for (QWidget *w : {static_cast<QWidget *>(ui->pushButton), static_cast<QWidget *>(ui->comboBox),
                           static_cast<QWidget *>(ui->pushButton_2), static_cast<QWidget *>(ui->pushButton_4),
                           static_cast<QWidget *>(ui->pushButton_5)})
            w->setEnabled(false);
        ui->pushButton_3->setEnabled(connectionWork == ConnectionWork::Open);
        return;
    }
    ui->pushButton->setEnabled(ftLib().library.isLoaded());
    const FtConnection &c = ftConnection();
    rowMarks->connectionChanged(c.connected, c.missingExtensions);
    ui->comboBox->setEnabled(c.portsFound);
    ui->pushButton_2->setEnabled(c.portsFound && !c.connected);
    ui->pushButton_3->setEnabled(c.portsFound && c.connected);
    ui->pushButton_4->setEnabled(c.portsFound && c.connected && !c.transferAreaRunning);
    ui->pushButton_5->setEnabled(c.portsFound && c.connected && c.transferAreaRunning);
}
