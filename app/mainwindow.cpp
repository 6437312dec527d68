// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/mainwindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QTimer>

#include "about/formabout.h"
#include "bindings/bindinglist.h"
#include "bindings/bindingstable.h"
#include "bindings/rowmarks.h"
#include "common/fontfit.h"
#include "common/messagebox.h"
#include "common/processobjects.h"
#include "control/keyboardguard.h"
#include "controller/endswitches.h"
#include "controller/forminputs.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"
#include "editor/formeditor.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    // The form's geometry is fixed; the font is chosen to fit it.
    fitFont(this);
    rowMarks = new RowMarks(ui->tableWidget, fitBindingsCells(ui->tableWidget));
    // The port list's entries name the port and then the device.
    tipCutTexts(ui->comboBox);
    // What is typed into the port box is what is opened, not an entry that
    // begins the same way; "Подключиться" waits for a text. Joined by hand:
    // the slot table stays as it is.
    ui->comboBox->setCompleter(nullptr);
    connect(ui->comboBox, &QComboBox::editTextChanged, this, &MainWindow::updateConnectionWidgets);
    about = nullptr;
    editor = new FormEditor(nullptr);
    connect(editor, SIGNAL(buttonsChanged()), this, SLOT(buttonsChanged()));
    keyboard = new KeyboardGuard(this);
    connectionRunner = new ConnectionRunner(this);
    connect(connectionRunner, &ConnectionRunner::finished, this, &MainWindow::connectionDone);
    // After each change of the held keys; a duty's answer may also have told
    // of an extension that is not there.
    bindingList().setHeldObserver([this] {
        const FtConnection &connection = ftConnection();
        rowMarks->connectionChanged(connection.connected, connection.missingExtensions, connection.kind);
        rowMarks->drivingChanged();
    });
    endSwitches = new EndSwitches(this);
    connect(endSwitches, &EndSwitches::closedChanged, this, [this] {
        std::array<quint32, EndSwitches::controllers> closed{};
        for (int c = 0; c < EndSwitches::controllers; ++c)
            closed[static_cast<std::size_t>(c)] = endSwitches->closedSwitches(c);
        rowMarks->switchesChanged(closed);
    });
    linkCheck = new QTimer(this);
    // A lost link is reported within a second: the library gives up after
    // three missed replies (about 0.6 s), and this looks ten times a second,
    // which leaves room for a busy machine. A look is an atomic read.
    linkCheck->setInterval(100);
    connect(linkCheck, &QTimer::timeout, this, &MainWindow::checkLink);

    // Only the load decides the port search; a failed check below still
    // leaves it enabled.
    ui->pushButton->setEnabled(ftLib().library.load());

    switch (ftLib().checkLibrary()) {
    case LibraryCheck::Passed:
        break;
    case LibraryCheck::OtherVersion:
        showMessage(tr("Внимание"), tr("Эта версия библиотеки может работать неккоректно"),
                    QMessageBox::Warning);
        break;
    case LibraryCheck::Failed:
        showMessage(tr("Ошибка"), tr("Не удалось загрузить библиотеку \"ftMscLib\""),
                    QMessageBox::Critical);
        break;
    }
}

MainWindow::~MainWindow()
{
    // Work still under way on the connection's thread ends first; a device
    // it opens meanwhile is closed again.
    delete connectionRunner;
    bindingList().setHeldObserver(nullptr);
    delete inputsWindow;
    delete endSwitches;
    delete rowMarks;
    delete ui;
    // Parentless windows are not destroyed with their owner; nothing needs
    // them once the main window is gone.
    delete about;
    delete editor;
}

void MainWindow::showMessage(const QString &title, const QString &text, QMessageBox::Icon icon, const QString &why)
{
    execMessageBox(title, text, icon, why);
}

void MainWindow::updateFileActions()
{
    ui->action_5->setEnabled(!listSaved());
    ui->action_6->setEnabled(true);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // At the session's end the desktop closes the windows itself and ends
    // the program as a signal would; a question would only hold it up.
    bool endOfSession = false;
#if QT_CONFIG(sessionmanager)
    endOfSession = qApp->isSavingSession();
#endif
    if (!endOfSession && !unsavedBindingsHandled()) {
        event->ignore();
        return;
    }
    if (about)
        about->close();
    if (inputsWindow)
        inputsWindow->close();
    editor->close();
    event->accept();
}

// "Выход": the same as closing the window from its title bar
void MainWindow::on_action_8_triggered()
{
    close();
}
