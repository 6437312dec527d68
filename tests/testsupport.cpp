// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QMainWindow>
#include <QPushButton>
#include <QScreen>
#include <QThread>

#include "app/mainwindow.h"
#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

ModalCloser::ModalCloser(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &ModalCloser::answer);
    timer.start(5);
}

void ModalCloser::answer()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == accepting)
        return;
    SeenModal s;
    s.className = QString::fromLatin1(modal->metaObject()->className());
    s.title = modal->windowTitle();
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow *>(w) && w->isVisible())
            s.mainWindowVisible = true;
    }
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        s.text = box->text();
        s.why = box->informativeText();
        s.icon = box->icon();
        for (QAbstractButton *button : box->buttons())
            s.buttons.append(button->text());
        seen.append(s);
        const QString wanted = buttonTexts.isEmpty() ? QString() : buttonTexts.takeFirst();
        for (QAbstractButton *button : box->buttons()) {
            const QMessageBox::ButtonRole role = box->buttonRole(button);
            if (wanted.isEmpty() ? role == QMessageBox::AcceptRole || role == QMessageBox::YesRole
                                 : button->text() == wanted) {
                button->click();
                return;
            }
        }
        box->reject();
    } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        s.nameFilters = dialog->nameFilters();
        s.fitsScreen = dialog->screen()->availableGeometry().contains(dialog->frameGeometry());
        seen.append(s);
        const QString name = fileNames.isEmpty() ? QString() : fileNames.takeFirst();
        if (name.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(name);
            // Accepting may ask whether to replace a file, or say that it is
            // missing, in a box this timer cannot answer from inside its own
            // slot: accept later, and leave the dialog alone until then.
            accepting = dialog;
            QMetaObject::invokeMethod(
                dialog,
                [self = QPointer<ModalCloser>(this), dialog] {
                    static_cast<QDialog *>(dialog)->accept();
                    if (self)
                        self->accepting = nullptr;
                },
                Qt::QueuedConnection);
        }
    } else if (auto *other = qobject_cast<QDialog *>(modal)) {
        seen.append(s);
        other->reject();
    }
}

KeyBinding makeBinding(const QString &keyText, int keyCode, int controller, int motor, bool direction, int speed)
{
    KeyBinding b;
    b.keyText = keyText;
    b.keyCode = keyCode;
    b.controller = controller;
    b.motor = motor;
    b.direction = direction;
    b.speed = speed;
    return b;
}

bool waitForConnectionPanel(MainWindow &window, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (window.connectionBusy()) {
        if (timer.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

bool startOnSimulator(MainWindow &window, const QString &port)
{
    auto click = [&](const char *name) {
        window.findChild<QPushButton *>(QLatin1String(name))->click();
        waitForConnectionPanel(window);
    };
    click("pushButton");
    auto *ports = window.findChild<QComboBox *>(QStringLiteral("comboBox"));
    const int index = port.isEmpty()
        ? ports->findText(QStringLiteral(" ROBO TX simulator"), Qt::MatchEndsWith)
        : ports->findText(port + QLatin1Char(' '), Qt::MatchStartsWith);
    if (index < 0)
        return false;
    ports->setCurrentIndex(index);
    click("pushButton_2");
    click("pushButton_4");
    return ftConnection().transferAreaRunning;
}

void resetProgramState()
{
    bindingList().clear();
    bindingList().forgetHeldBindings();
    ftConnection() = FtConnection();
    // A test may have hidden it, as a library without it would.
    FtLib &lib = ftLib();
    lib.ftxGetDeviceKind = reinterpret_cast<decltype(lib.ftxGetDeviceKind)>(lib.library.resolve("ftxGetDeviceKind"));
    lib.SetFtEndSwitches = reinterpret_cast<decltype(lib.SetFtEndSwitches)>(lib.library.resolve("SetFtEndSwitches"));
    lib.GetFtInputState = reinterpret_cast<decltype(lib.GetFtInputState)>(lib.library.resolve("GetFtInputState"));
    currentFileName().clear();
    lastFileError().clear();
    listSaved() = false;
}

void pretendTransferAreaRuns()
{
    FtConnection &c = ftConnection();
    c.portsFound = c.connected = c.transferAreaRunning = true;
    c.deviceHandle = 5;
}

LoopPauses::LoopPauses()
{
    sinceTick.start();
    connect(&ticker, &QTimer::timeout, this, [this] { longest = qMax(longest, sinceTick.restart()); });
    ticker.start(10);
}

qint64 LoopPauses::longestMs() const
{
    return qMax(longest, sinceTick.elapsed());
}

QStringList visibleTopLevelWindows()
{
    QStringList names;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->isVisible())
            names.append(QString::fromLatin1(w->metaObject()->className()));
    }
    return names;
}

bool writeFileBytes(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray fileBytes(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<cannot read>");
}
