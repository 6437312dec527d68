// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/gamepads.h"

#include <algorithm>

#include <QApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>

#include "bindings/bindinglist.h"
#include "common/processobjects.h"

namespace {

constexpr int indexOf(quint32 code) { return int(code - pad::kFirstInput); }

} // namespace

GamePads::GamePads(QWidget *mainWindow, QObject *parent)
    : QObject(parent)
    , mainWindow(mainWindow)
{
    // The pads are read once the window is up: the start-up does not wait
    // for the thread.
    QTimer::singleShot(0, this, [this] { startReading(false); });
}

void GamePads::startReading(bool now)
{
    if (reader)
        return;
    // Until an input device that may be a game pad is plugged in, no thread
    // waits for one: new devices are watched here, where they can be.
    if (!now && !padPluggedIn()) {
        devices = std::make_unique<InputDeviceWatch>();
        if (devices->fd >= 0) {
            newDevices = std::make_unique<QSocketNotifier>(devices->fd, QSocketNotifier::Read);
            connect(newDevices.get(), &QSocketNotifier::activated, this, [this] {
                devices->drain();
                if (padPluggedIn())
                    startReading(true);
            });
        }
        return;
    }
    if (newDevices)
        newDevices->setEnabled(false);
    devices.reset();
    reader = std::make_unique<PadThread>([this](std::vector<PadEvent> &&events) {
        QMetaObject::invokeMethod(this, [this, events = std::move(events)] { take(events); }, Qt::QueuedConnection);
    });
}

// The thread ends before the members it reports to; what it queued for
// this object is dropped with it.
GamePads::~GamePads() = default;

void GamePads::readNow()
{
    startReading(true);
    reader->wake();
}

QStringList GamePads::padNames() const
{
    QStringList names;
    for (const Pad &pad : pads)
        names.append(pad.name);
    return names;
}

void GamePads::keyboardLost()
{
    for (Pad &pad : pads) {
        pad.pressedFor.fill(Route::None);
        pad.offered.fill(false);
    }
    for (quint32 code = pad::kFirstInput; code <= pad::kLastInput; ++code)
        drive(code);
}

void GamePads::take(const std::vector<PadEvent> &events)
{
    for (const PadEvent &event : events) {
        switch (event.kind) {
        case PadEvent::Kind::Added:
            pads[event.pad].name = QString::fromStdString(event.name);
            break;
        case PadEvent::Kind::Removed:
            padRemoved(event.pad);
            break;
        case PadEvent::Kind::Input: {
            const auto found = pads.find(event.pad);
            if (found != pads.end() && pad::isPadInput(event.code))
                inputChanged(*found, event);
            break;
        }
        }
    }
}

void GamePads::inputChanged(Pad &pad, const PadEvent &event)
{
    const int i = indexOf(event.code);
    const bool wasPressed = pad.level[i] > pad::kDeadZone;
    pad.level[i] = event.level;
    const bool pressed = event.level > pad::kDeadZone;
    if (pressed && !wasPressed) {
        // Held as the pad came: not a press made here.
        pad.pressedFor[i] = event.initial ? Route::None : route();
        pad.offered[i] = false;
    } else if (!pressed) {
        pad.pressedFor[i] = Route::None;
    }
    if (pad.pressedFor[i] == Route::Elsewhere && !pad.offered[i] && event.level >= pad::kCaptureLevel) {
        pad.offered[i] = true;
        if (QWidget *focused = QApplication::focusWidget()) {
            PadInputEvent offer(event.code, pad.name);
            QCoreApplication::sendEvent(focused, &offer);
        }
    }
    drive(event.code);
}

void GamePads::padRemoved(int instance)
{
    const auto found = pads.constFind(instance);
    if (found == pads.constEnd())
        return;
    const Pad gone = *found;
    pads.erase(found);
    // What it drove stops, and an input that another pad holds as well
    // waits for a fresh press there too: the model stops as a whole.
    for (int i = 0; i < pad::kInputCount; ++i) {
        if (gone.pressedFor[i] == Route::None || gone.level[i] <= pad::kDeadZone)
            continue;
        for (Pad &other : pads)
            other.pressedFor[i] = Route::None;
        drive(pad::kFirstInput + quint32(i));
    }
}

void GamePads::drive(quint32 code)
{
    const int i = indexOf(code);
    int level = 0;
    if (route() == Route::Drive) {
        for (const Pad &pad : qAsConst(pads)) {
            if (pad.pressedFor[i] == Route::Drive)
                level = std::max(level, pad.level[i]);
        }
    }
    if (level <= pad::kDeadZone)
        level = 0;
    if (level == driven[i])
        return;
    driven[i] = level;
    bindingList().handleInput(code, level);
}

GamePads::Route GamePads::route() const
{
    if (QApplication::activePopupWidget() || QApplication::activeModalWidget())
        return Route::None;
    const QWidget *active = QApplication::activeWindow();
    if (!active)
        return Route::None;
    return active == mainWindow ? Route::Drive : Route::Elsewhere;
}
