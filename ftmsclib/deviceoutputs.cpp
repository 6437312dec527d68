// SPDX-License-Identifier: GPL-3.0-or-later
// What the device sends for each output: the stored duties, a motor's two
// channels held together sent stopped, and the end switches that stop an
// output while they read closed, from the inputs each answer reports.
#include "ftmsclib/device.h"

#include "ftmsclib/ftmsclib.h"

namespace ftlib {

std::uint32_t Device::setEndSwitches(int ta, int output, unsigned inputs)
{
    if (ta < 0 || ta >= protocol::kTaCount || output < 0 || output >= protocol::kOutputs
        || inputs >= (1u << protocol::kInputs))
        return FTLIB_ERR_INVALID_PARAM;
    if (closed_)
        return FTLIB_ERR_DEVICE_NOT_OPEN;
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto &stored = area_.endSwitches[static_cast<std::size_t>(ta)][static_cast<std::size_t>(output)];
        if (stored != inputs) {
            const unsigned switchesBefore = switchInputs(area_, ta);
            const Duties wireBefore = wireDuties(area_, ta);
            stored = static_cast<std::uint8_t>(inputs);
            // A new switch is configured as one before the next exchange.
            if (switchInputs(area_, ta) != switchesBefore)
                ++area_.configGeneration[static_cast<std::size_t>(ta)];
            // A switch named while it reads closed stops its output at once,
            // one cleared lets it drive again.
            if (wireDuties(area_, ta) != wireBefore)
                ++area_.outputGeneration;
            changed = true;
        }
    }
    if (changed)
        wake_.raise();
    return comStatus();
}

std::uint32_t Device::inputState(int ta, InputState &state) const
{
    if (ta < 0 || ta >= protocol::kTaCount)
        return FTLIB_ERR_INVALID_PARAM;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Inputs &inputs = area_.inputs[static_cast<std::size_t>(ta)];
        state.universal = inputs.universal;
        state.counter = inputs.counter;
        state.answered = inputs.answered;
        state.switches = switchInputs(area_, ta);
        state.closed = closedSwitches(area_, ta);
        state.blocked = blockedOutputs(area_, ta);
    }
    return comStatus();
}

Device::Duties Device::wireDuties(const Area &area, int ta)
{
    // An output stopped by its end switch counts as not held, so that the
    // other direction of its motor drives the model back off the switch
    // while the key that drove into it is still down.
    Duties duty = area.duty[static_cast<std::size_t>(ta)];
    const Inputs &inputs = area.inputs[static_cast<std::size_t>(ta)];
    const EndSwitches &switches = area.endSwitches[static_cast<std::size_t>(ta)];
    const unsigned blocked = blockedOutputs(area, ta);
    for (std::size_t o = 0; o < protocol::kOutputs; ++o) {
        // A switch not yet seen may be closed: its output waits for the
        // first answer rather than drive into it for a cycle.
        if ((blocked & (1u << o)) || (switches[o] && !inputs.answered))
            duty[o] = 0;
    }
    Duties out{};
    const MotorModes &modes = area.motorMode[static_cast<std::size_t>(ta)];
    for (std::size_t m = 0; m < protocol::kMotors; ++m) {
        const std::int16_t a = duty[2 * m], b = duty[2 * m + 1];
        if (modes[m] && a > 0 && b > 0)
            continue;
        out[2 * m] = a;
        out[2 * m + 1] = b;
    }
    return out;
}

unsigned Device::switchInputs(const Area &area, int ta)
{
    unsigned inputs = 0;
    for (const std::uint8_t switches : area.endSwitches[static_cast<std::size_t>(ta)])
        inputs |= switches;
    return inputs;
}

unsigned Device::closedSwitches(const Area &area, int ta)
{
    const Inputs &inputs = area.inputs[static_cast<std::size_t>(ta)];
    unsigned closed = 0;
    for (std::size_t n = 0; n < protocol::kInputs; ++n) {
        // A switch reads 0 or 1 (closed); anything else is taken as closed
        // rather than drive on a value that cannot be told apart.
        if (inputs.universal[n] != 0)
            closed |= 1u << n;
    }
    return closed & switchInputs(area, ta);
}

unsigned Device::blockedOutputs(const Area &area, int ta)
{
    const unsigned closed = closedSwitches(area, ta);
    const EndSwitches &switches = area.endSwitches[static_cast<std::size_t>(ta)];
    unsigned blocked = 0;
    for (std::size_t o = 0; o < protocol::kOutputs; ++o) {
        if (switches[o] & closed)
            blocked |= 1u << o;
    }
    return blocked;
}

void Device::inputsAnswered(const std::vector<InputReport> &reports)
{
    std::lock_guard<std::mutex> lock(mutex_);
    bool rewired = false;
    for (const InputReport &report : reports) {
        if (report.ta < 0 || report.ta >= protocol::kTaCount)
            continue;
        const Duties before = wireDuties(area_, report.ta);
        Inputs &inputs = area_.inputs[static_cast<std::size_t>(report.ta)];
        inputs = report.inputs;
        inputs.answered = true;
        rewired = rewired || wireDuties(area_, report.ta) != before;
    }
    // The send-now rule of a setter's change: a switch that closes under a
    // driven output stops it in the very next exchange, not a cycle later.
    if (rewired)
        ++area_.outputGeneration;
}

} // namespace ftlib
