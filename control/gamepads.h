// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <memory>
#include <vector>

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include "control/padinputs.h"
#include "control/padthread.h"

class QSocketNotifier;
class QWidget;

// Game pads drive like keys: while the main window has the keyboard, an
// input pressed there drives its bindings (sticks and triggers in
// proportion) until it is let go; elsewhere in the program the focused
// widget may take it (the editor's key field). An input counts only from a
// fresh press: one held as the pad came, or across a change of the
// keyboard's window, drives nothing until let go. A pad that goes away stops
// what it drove at once. Lives on the GUI thread; the pads themselves are
// read on a PadThread.
class GamePads : public QObject
{
    Q_OBJECT

public:
    GamePads(QWidget *mainWindow, QObject *parent);
    ~GamePads() override;

    // Keys may no longer reach the main window (the keyboard guard says
    // so): every input stops driving and needs a fresh press.
    void keyboardLost();
    // Looks for pads and reads them now, as a pad's device coming or having
    // input would make it: SDL's virtual pads (tests, benchmarks) have none.
    void readNow();
    // The pads connected now.
    QStringList padNames() const;

private:
    // Where an input was pressed: only where it was pressed does it count.
    enum class Route : quint8 { None, Drive, Elsewhere };

    struct Pad {
        QString name;
        std::array<int, pad::kInputCount> level{};
        std::array<Route, pad::kInputCount> pressedFor{};
        // Given to the focused widget during this press.
        std::array<bool, pad::kInputCount> offered{};
    };

    // Reads the pads from now on, or once an input device that may be one
    // is plugged in: until then no thread waits for one.
    void startReading(bool now);
    void take(const std::vector<PadEvent> &events);
    void inputChanged(Pad &pad, const PadEvent &event);
    void padRemoved(int instance);
    // Gives the binding list the input's level over every pad that drives
    // it, when that changed.
    void drive(quint32 code);
    Route route() const;

    QWidget *mainWindow;
    QHash<int, Pad> pads;
    // The level each input drives at now (0: it drives nothing).
    std::array<int, pad::kInputCount> driven{};
    std::unique_ptr<PadThread> reader;
    // Before the thread: the input devices that come.
    std::unique_ptr<InputDeviceWatch> devices;
    std::unique_ptr<QSocketNotifier> newDevices;
};
