// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

// What a modal window showed before the closer answered it.
struct SeenModal
{
    QString className;
    QString title;
    QString text;                        // message boxes
    QString why;                         // ... their additional text
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;                 // ... the texts of their buttons
    QStringList nameFilters;             // file dialogs
    bool fitsScreen = true;              // within the screen's free area
    bool mainWindowVisible = false;
};

// Answers every modal message box and file dialog that opens while it is
// armed, records what each showed, and so keeps tests from hanging on them.
// Message boxes are answered with the button of the next queued text, or
// with their accepting button when none is queued; file dialogs with the
// next queued name, an empty name (or none queued) cancels.
class ModalCloser : public QObject
{
    Q_OBJECT

public:
    explicit ModalCloser(QObject *parent = nullptr);
    void queueFileName(const QString &name) { fileNames.append(name); }
    void queueButton(const QString &text) { buttonTexts.append(text); }
    QList<SeenModal> seen;

private:
    void answer();

    QTimer timer;
    QStringList fileNames;
    QStringList buttonTexts;
    QPointer<QWidget> accepting;
};

// Counts the key events that reach what it filters (a window handle).
class KeyCounter : public QObject
{
public:
    int keys = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)
            ++keys;
        return false;
    }
};

// A key event for a physical key given as X11 names it (scan code = X
// keycode, keysym) and the text it types: on X11 as the server delivers it;
// on Windows as an event the program made itself, without the message's
// virtual key, so the key is told by the toolkit's key (real Windows keys
// are typed through XTest into Wine by the Windows key test). One file per
// platform, chosen by the build.
QKeyEvent platformKeyEvent(QEvent::Type type, int key, quint32 scanCode, quint32 keysym, const QString &text,
                           Qt::KeyboardModifiers modifiers = Qt::NoModifier, bool autoRepeat = false);

#include "bindings/keybinding.h"

class MainWindow;

KeyBinding makeBinding(const QString &keyText, int keyCode, int controller, int motor, bool direction, int speed);

// As a user does: search the ports, pick the simulator whose entry starts
// with `port` (any simulator when empty), connect and start. False when no
// such entry is listed or the transfer area does not run.
bool startOnSimulator(MainWindow &window, const QString &port = QString());
// Handles events until the window's port search or connect has ended (false
// after `ms`).
bool waitForConnectionPanel(MainWindow &window, int ms = 20000);

// Puts the process-wide program state back to its start values.
void resetProgramState();
// As after a connect and a start: a controller connected through the
// library's handle 5, its transfer area running, the ports found.
void pretendTransferAreaRuns();

// The first top-level widget of a class, such as the main window's editor.
template<typename T>
T *findTopLevel()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *found = qobject_cast<T *>(w))
            return found;
    }
    return nullptr;
}

// While it lives, how long the event loop went without turning at most: a
// frozen window shows as one long pause, a busy machine only as short ones.
class LoopPauses : public QObject
{
public:
    LoopPauses();
    qint64 longestMs() const;

private:
    QTimer ticker;
    QElapsedTimer sinceTick;
    qint64 longest = 0;
};

// Top-level widgets that are visible, for checks that nothing is left open.
QStringList visibleTopLevelWindows();

// Scratch files: write bytes to a new file; read a file back ("<cannot read>"
// when it cannot be opened).
bool writeFileBytes(const QString &name, const QByteArray &bytes);
QByteArray fileBytes(const QString &name);

