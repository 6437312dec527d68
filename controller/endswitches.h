// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <utility>

#include <QObject>
#include <QTimer>

#include "bindings/keybinding.h"
#include "ftmsclib/ftmsclib.h"

class BindingList;
class FtConnection;

// The end switches of the list as the library knows them, and the inputs the
// library reports back while the transfer runs. The library stops an output
// at its switch in its own transfer loop; this only tells it which inputs
// stop which outputs and reads what it saw, for the table and the inputs
// window. Lives on the GUI thread; the library's calls here never wait for
// the controller, and none is made on the key path.
class EndSwitches : public QObject
{
    Q_OBJECT

public:
    static constexpr int controllers = maxExtensions + 1;
    using Masks = std::array<std::array<quint32, 8>, controllers>;

    explicit EndSwitches(QObject *parent = nullptr);

    // For every output (controller, output within it), the inputs of the
    // bindings that drive it (bit n-1 for In); bindings outside the
    // controller's numbering name none.
    static Masks switchesOf(const BindingList &list);
    static bool anySwitch(const BindingList &list);

    // Tells the library the list's switches where they differ from what it
    // was told; `everything` tells it every output's again (at a start, when
    // the device may be another since the last). False when the list names a
    // switch and the library has no entry point for it: nothing stops then.
    bool tell(const BindingList &list, const FtConnection &connection, bool everything);
    // Reads the inputs while the transfer runs and someone looks: the list
    // has switches, or the inputs window is open.
    void updateReading(const FtConnection &connection);
    void setWatched(bool watched);

    // The last report of controller c, null when there is none (not running,
    // not answered yet, or the library cannot tell).
    const FtInputState *inputs(int controller) const;
    // Bit n-1: In of controller c is an end switch that reads closed.
    quint32 closedSwitches(int controller) const;
    // True the first time only: the user is told once per run that the
    // library in use stops at no switch.
    bool takeUnsupportedNotice() { return !std::exchange(unsupportedTold, true); }

signals:
    // Which end switches read closed changed.
    void closedChanged();
    // A new report was read (only while the inputs window is open).
    void inputsRead();

private:
    void read();
    void forgetInputs();

    QTimer timer;
    Masks told{};
    bool switchesTold = false;
    bool watched = false;
    bool unsupportedTold = false;
    std::array<FtInputState, controllers> states{};
    std::array<bool, controllers> known{};
};
