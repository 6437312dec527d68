// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/windowsheldkeys.h"

#include <utility>

#include <windows.h>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "control/virtualkey.h"

namespace {

// A lost key-up stops its output within one of these and a message's way.
constexpr int heldCheckIntervalMs = 50;

// Bit 30 of a key message's lParam: the key was down before the message.
constexpr LPARAM keyWasDown = LPARAM(1) << 30;

// Windows' own state of the key, not the thread's record of the messages it
// read. Another desktop's keys (the lock screen's, an elevation prompt's)
// all read as up, so a key let go there counts as let go. For VK_SHIFT it
// is the state of both Shift keys together.
bool keyIsDown(quint32 virtualKey)
{
    return (::GetAsyncKeyState(static_cast<int>(virtualKey)) & 0x8000) != 0;
}

} // namespace

HeldKeys *HeldKeys::start(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent)
{
    return new WindowsHeldKeys(mainWindow, std::move(keyboardLost), parent);
}

WindowsHeldKeys::WindowsHeldKeys(QWidget *mainWindow, std::function<void()> keyboardLost, QObject *parent)
    : HeldKeys(parent)
    , mainWindow(mainWindow)
    , keyboardLost(std::move(keyboardLost))
    , heldCheck(new QTimer(this))
{
    QCoreApplication::instance()->installNativeEventFilter(this);
    heldCheck->setInterval(heldCheckIntervalMs);
    connect(heldCheck, &QTimer::timeout, this, &WindowsHeldKeys::releaseKeysWindowsHasUp);
}

WindowsHeldKeys::~WindowsHeldKeys()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool WindowsHeldKeys::nativeEventFilter(const QByteArray &eventType, void *message, long *)
{
    if (eventType != "windows_generic_MSG")
        return false;
    const auto *msg = static_cast<const MSG *>(message);
    switch (msg->message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
        downBefore.insert(static_cast<quint32>(msg->wParam), (msg->lParam & keyWasDown) != 0);
        break;
    case WM_KEYUP:
    case WM_SYSKEYUP:
        downBefore.remove(static_cast<quint32>(msg->wParam));
        break;
    case WM_KILLFOCUS: {
        // Sent while the focus moves, before the toolkit queues the news.
        const QWindow *main = mainWindow->windowHandle();
        if (main && main->handle() && msg->hwnd == reinterpret_cast<HWND>(main->winId()))
            keyboardLost();
        break;
    }
    default:
        break;
    }
    return false;
}

// The toolkit tells a repeat from a press by its own record of the keys,
// which it empties whenever the program turns inactive and which a change
// of modifiers breaks: the next repeat then arrives as a new press.
// Windows' message says better.
bool WindowsHeldKeys::pressedAgain(const QKeyEvent *press)
{
    const quint32 key = press->nativeVirtualKey();
    const auto found = downBefore.constFind(key);
    // A press that came with no key message (one the program made itself)
    // is taken as it is, and has no state in Windows to compare with.
    if (found == downBefore.constEnd())
        return false;
    const bool again = *found;
    downBefore.erase(found);
    if (again)
        return true;
    pressedHere.insert(key, virtualKeyCode(press));
    if (!heldCheck->isActive())
        heldCheck->start();
    return false;
}

void WindowsHeldKeys::released(const QKeyEvent *release)
{
    pressedHere.remove(release->nativeVirtualKey());
}

// Windows sends no key-up where a system overlay (Win+Space) or another
// desktop (Win+L, Ctrl+Alt+Del, an elevation prompt) takes the keyboard
// without the program turning inactive, nor for the first of two held Shift
// keys let go. A key-up still on its way finds nothing held when it comes.
void WindowsHeldKeys::releaseKeysWindowsHasUp()
{
    if (bindingList().held().isEmpty()) {
        pressedHere.clear();
        heldCheck->stop();
        return;
    }
    const QList<quint32> keys = pressedHere.keys();
    for (const quint32 key : keys) {
        if (!keyIsDown(key))
            bindingList().handleKey(pressedHere.take(key), false);
    }
}
