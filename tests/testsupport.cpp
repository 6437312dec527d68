#include "testsupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMainWindow>

#include "bindinglist.h"
#include "ftconnection.h"
#include "processobjects.h"

ModalCloser::ModalCloser(QObject *parent)
    : QObject(parent)
{
    connect(&timer, &QTimer::timeout, this, &ModalCloser::answer);
    timer.start(5);
}

void ModalCloser::answer()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
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
        s.icon = box->icon();
        seen.append(s);
        for (QAbstractButton *button : box->buttons()) {
            const QMessageBox::ButtonRole role = box->buttonRole(button);
            if (role == QMessageBox::AcceptRole || role == QMessageBox::YesRole) {
                button->click();
                return;
            }
        }
        box->reject();
    } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
        s.nameFilters = dialog->nameFilters();
        seen.append(s);
        const QString name = fileNames.isEmpty() ? QString() : fileNames.takeFirst();
        if (name.isEmpty()) {
            dialog->reject();
        } else {
            dialog->selectFile(name);
            static_cast<QDialog *>(dialog)->accept(); // QFileDialog::accept() checks the name
        }
    } else if (auto *other = qobject_cast<QDialog *>(modal)) {
        seen.append(s);
        other->reject();
    }
}

QKeyEvent x11KeyEvent(QEvent::Type type, int key, quint32 scanCode, quint32 keysym, const QString &text,
                      Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    return QKeyEvent(type, key, modifiers, scanCode, keysym, 0, text, autoRepeat);
}

void resetProgramState()
{
    bindingList().clear();
    bindingList().forgetHeldBindings();
    ftConnection() = FtConnection();
    currentFileName().clear();
    lastFileError().clear();
    listSaved() = false;
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
