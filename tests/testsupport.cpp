// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/testsupport.h"

#include <csignal>

#include <linux/capability.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <SDL.h>

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
#include "control/padinputs.h"
#include "controller/ftconnection.h"

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

QKeyEvent x11KeyEvent(QEvent::Type type, int key, quint32 scanCode, quint32 keysym, const QString &text,
                      Qt::KeyboardModifiers modifiers, bool autoRepeat)
{
    return QKeyEvent(type, key, modifiers, scanCode, keysym, 0, text, autoRepeat);
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

FileSizeLimit::FileSizeLimit(qint64 bytes)
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    savedCurrent = static_cast<qint64>(limit.rlim_cur);
    savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit()
{
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(savedCurrent);
    setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, savedHandler);
}

// The overriding capabilities are among the lower 32; lowering the effective
// set and raising it again within the permitted one needs no privilege.
FileModesEnforced::FileModesEnforced()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    savedEffective = data[0].effective;
    data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    syscall(SYS_capset, &header, data);
}

FileModesEnforced::~FileModesEnforced()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    data[0].effective = savedEffective;
    syscall(SYS_capset, &header, data);
}

namespace {

struct VirtualControl {
    bool button = false;
    int number = 0;
    bool negative = false; // a stick's up or left
};

VirtualControl virtualControl(quint32 input)
{
    // The standard mapping of SDL's virtual game controller: buttons A, B,
    // X, Y, Back, Guide, Start, sticks, shoulders, D-pad; axes left X and Y,
    // right X and Y, left and right trigger.
    switch (input) {
    case pad::A: return {true, 0};
    case pad::B: return {true, 1};
    case pad::X: return {true, 2};
    case pad::Y: return {true, 3};
    case pad::View: return {true, 4};
    case pad::Menu: return {true, 6};
    case pad::LeftStickPress: return {true, 7};
    case pad::RightStickPress: return {true, 8};
    case pad::LeftShoulder: return {true, 9};
    case pad::RightShoulder: return {true, 10};
    case pad::DpadUp: return {true, 11};
    case pad::DpadDown: return {true, 12};
    case pad::DpadLeft: return {true, 13};
    case pad::DpadRight: return {true, 14};
    case pad::LeftStickLeft: return {false, 0, true};
    case pad::LeftStickRight: return {false, 0};
    case pad::LeftStickUp: return {false, 1, true};
    case pad::LeftStickDown: return {false, 1};
    case pad::RightStickLeft: return {false, 2, true};
    case pad::RightStickRight: return {false, 2};
    case pad::RightStickUp: return {false, 3, true};
    case pad::RightStickDown: return {false, 3};
    case pad::LeftTrigger: return {false, 4};
    case pad::RightTrigger: return {false, 5};
    default: return {true, -1};
    }
}

int axisValue(const VirtualControl &control, int percent)
{
    const int level = pad::kFullLevel * percent / 100;
    // The triggers' axes run the whole range, -32768 at rest.
    if (control.number >= SDL_CONTROLLER_AXIS_TRIGGERLEFT)
        return int(qint64(level) * 65535 / pad::kFullLevel - 32768);
    return control.negative ? -level : level;
}

} // namespace

VirtualPad::VirtualPad(const QList<quint32> &held)
{
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_InitSubSystem(SDL_INIT_GAMECONTROLLER) != 0)
        qFatal("SDL: %s", SDL_GetError());
    // The pads thread opens the pad only after this: what is held is held
    // as it comes.
    SDL_LockJoysticks();
    index = SDL_JoystickAttachVirtual(SDL_JOYSTICK_TYPE_GAMECONTROLLER, SDL_CONTROLLER_AXIS_MAX,
                                      SDL_CONTROLLER_BUTTON_DPAD_RIGHT + 1, 0);
    joystick = index < 0 ? nullptr : SDL_JoystickOpen(index);
    if (!joystick)
        qFatal("SDL virtual pad: %s", SDL_GetError());
    // A trigger at rest is at the bottom of its axis.
    setNow(pad::LeftTrigger, 0);
    setNow(pad::RightTrigger, 0);
    for (const quint32 input : held)
        setNow(input, 100);
    SDL_UnlockJoysticks();
}

VirtualPad::~VirtualPad()
{
    unplug();
    SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER);
}

void VirtualPad::set(quint32 input, int percent)
{
    SDL_LockJoysticks();
    setNow(input, percent);
    SDL_UnlockJoysticks();
    // A pad sends every change; SDL's virtual pad has only a state, which
    // the pads thread reads when it next looks. Until it has, another change
    // would hide this one.
    const VirtualControl control = virtualControl(input);
    const int wanted = control.button ? (percent > 0) : axisValue(control, percent);
    QElapsedTimer waited;
    waited.start();
    while ((control.button ? SDL_JoystickGetButton(joystick, control.number)
                           : SDL_JoystickGetAxis(joystick, control.number))
               != wanted
           && waited.elapsed() < 1000)
        ::poll(nullptr, 0, 1);
}

void VirtualPad::setNow(quint32 input, int percent)
{
    const VirtualControl control = virtualControl(input);
    if (!joystick || control.number < 0)
        return;
    if (control.button) {
        SDL_JoystickSetVirtualButton(joystick, control.number, percent > 0 ? SDL_PRESSED : SDL_RELEASED);
        return;
    }
    SDL_JoystickSetVirtualAxis(joystick, control.number, Sint16(axisValue(control, percent)));
}

void VirtualPad::unplug()
{
    if (!joystick)
        return;
    const SDL_JoystickID instance = SDL_JoystickInstanceID(joystick);
    SDL_LockJoysticks();
    SDL_JoystickClose(joystick);
    joystick = nullptr;
    SDL_JoystickDetachVirtual(index);
    // SDL lets a removed pad's inputs go before it says the pad is gone; a
    // pad's device file says so first. Without those releases only the
    // removal itself can stop what the pad drove.
    SDL_FilterEvents(
        [](void *gone, SDL_Event *event) -> int {
            const SDL_JoystickID pad = *static_cast<SDL_JoystickID *>(gone);
            switch (event->type) {
            case SDL_CONTROLLERBUTTONUP:
                return event->cbutton.which != pad;
            case SDL_CONTROLLERAXISMOTION:
                return event->caxis.which != pad;
            default:
                return 1;
            }
        },
        const_cast<SDL_JoystickID *>(&instance));
    SDL_UnlockJoysticks();
}
