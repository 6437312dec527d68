// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/endswitches.h"

#include "bindings/bindinglist.h"
#include "common/processobjects.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

namespace {

// Ten reports a second at least; the exchange itself runs every 10 ms.
constexpr int readIntervalMs = 50;

} // namespace

EndSwitches::EndSwitches(QObject *parent)
    : QObject(parent)
{
    timer.setInterval(readIntervalMs);
    connect(&timer, &QTimer::timeout, this, &EndSwitches::read);
}

EndSwitches::Masks EndSwitches::switchesOf(const BindingList &list)
{
    Masks masks{};
    for (int r = 0; r < list.size(); ++r) {
        const KeyBinding &b = list.at(r);
        if (b.endSwitch < 1 || b.endSwitch > maxEndSwitch || b.controller < 0 || b.controller > maxExtensions
            || b.motor < 0 || b.motor > 3)
            continue;
        masks[b.controller][outputWithinController(b)] |= 1u << (b.endSwitch - 1);
    }
    return masks;
}

bool EndSwitches::anySwitch(const BindingList &list)
{
    for (int r = 0; r < list.size(); ++r) {
        if (list.at(r).endSwitch != 0)
            return true;
    }
    return false;
}

bool EndSwitches::tell(const BindingList &list, const FtConnection &connection, bool everything)
{
    const Masks wanted = switchesOf(list);
    switchesTold = wanted != Masks{};
    const FtLib &lib = ftLib();
    if (!lib.SetFtEndSwitches)
        return !switchesTold;
    for (int c = 0; c < controllers; ++c) {
        // A TXT takes one extension; the library refuses the others' numbers.
        if (c > 0 && c > connection.kind.maxExtensions)
            continue;
        for (int o = 0; o < 8; ++o) {
            const quint32 inputs = wanted[c][o];
            if (inputs == told[c][o] && !(everything && inputs != 0))
                continue;
            if (lib.SetFtEndSwitches(connection.deviceHandle, c, o, inputs) == FTLIB_ERR_SUCCESS)
                told[c][o] = inputs;
        }
    }
    updateReading(connection);
    return true;
}

void EndSwitches::updateReading(const FtConnection &connection)
{
    const bool read = connection.transferAreaRunning && (switchesTold || watched) && ftLib().GetFtInputState;
    if (read && !timer.isActive())
        timer.start();
    else if (!read && timer.isActive())
        timer.stop();
    if (!read)
        forgetInputs();
}

void EndSwitches::setWatched(bool on)
{
    watched = on;
    updateReading(ftConnection());
}

const FtInputState *EndSwitches::inputs(int controller) const
{
    if (controller < 0 || controller >= controllers || !known[controller])
        return nullptr;
    return &states[controller];
}

quint32 EndSwitches::closedSwitches(int controller) const
{
    const FtInputState *state = inputs(controller);
    return state ? state->closed & state->switches : 0;
}

void EndSwitches::read()
{
    const FtConnection &connection = ftConnection();
    if (!connection.transferAreaRunning) {
        updateReading(connection);
        return;
    }
    const FtLib &lib = ftLib();
    bool closedMoved = false;
    for (int c = 0; c < controllers; ++c) {
        const quint32 closedBefore = closedSwitches(c);
        const bool online = c == 0
            || (c <= connection.kind.maxExtensions && !(connection.missingExtensions & (1u << (c - 1))));
        FtInputState state{};
        known[c] = online && lib.GetFtInputState(connection.deviceHandle, c, &state) == FTLIB_ERR_SUCCESS
            && state.answered;
        if (known[c])
            states[c] = state;
        closedMoved = closedMoved || closedSwitches(c) != closedBefore;
    }
    if (closedMoved)
        emit closedChanged();
    if (watched)
        emit inputsRead();
}

void EndSwitches::forgetInputs()
{
    bool closedMoved = false;
    for (int c = 0; c < controllers; ++c) {
        closedMoved = closedMoved || closedSwitches(c) != 0;
        known[c] = false;
    }
    if (closedMoved)
        emit closedChanged();
    if (watched)
        emit inputsRead();
}
