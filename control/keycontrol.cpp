// SPDX-License-Identifier: GPL-3.0-or-later
// Key presses and releases to motor commands.
#include "bindings/bindinglist.h"

#include <algorithm>

#include <QVarLengthArray>

#include "common/processobjects.h"
#include "control/padinputs.h"
#include "controller/ftconnection.h"
#include "controller/ftlib.h"

namespace {

// The answer matters for one thing only: whether the controller has the
// extension the binding names, which the table shows.
void sendDuty(const KeyBinding &binding, int duty)
{
    if (const auto setOutPwmValues = ftLib().SetOutPwmValues) {
        const uint32_t status =
            setOutPwmValues(ftConnection().deviceHandle, binding.controller, outputWithinController(binding), duty);
        ftConnection().noteDutyAnswer(binding.controller, status);
    }
}

bool sameHeldBinding(const KeyBinding &held, const KeyBinding &binding)
{
    return held.keyCode == binding.keyCode && held.speed == binding.speed;
}

} // namespace

void BindingList::handleKey(quint32 key, bool pressed)
{
    if (!ftConnection().keysDrive())
        return;
    bool sent = false;
    if (pressed) {
        for (const KeyBinding &entry : records) {
            if (static_cast<quint32>(entry.keyCode) != key)
                continue;
            const KeyBinding copy = entry;
            sendDuty(copy, updateHeldBindings(copy, true));
            sent = true;
        }
        if (sent)
            heldChanged();
        return;
    }

    // A release undoes what its press started, so it works on the copies
    // taken at the press. The list's order comes first, as the press went...
    for (const KeyBinding &entry : records) {
        if (static_cast<quint32>(entry.keyCode) != key || !isHeld(entry))
            continue;
        const KeyBinding copy = entry;
        sendDuty(copy, updateHeldBindings(copy, false));
        sent = true;
    }
    // ...then whatever the list no longer holds in that form, so that no
    // change to it can leave an output driven. Usually there is none.
    const auto ofKey = [key](const KeyBinding &b) { return static_cast<quint32>(b.keyCode) == key; };
    QVarLengthArray<qint32, 8> leftOver;
    for (auto it = heldBindings.cbegin(); it != heldBindings.cend(); ++it) {
        if (std::any_of(it->cbegin(), it->cend(), ofKey))
            leftOver.append(it.key());
    }
    std::sort(leftOver.begin(), leftOver.end());
    for (const qint32 output : leftOver) {
        // Each round removes one copy; the output's list may go with it.
        for (;;) {
            const auto found = heldBindings.constFind(output);
            if (found == heldBindings.constEnd())
                break;
            const auto copy = std::find_if(found->cbegin(), found->cend(), ofKey);
            if (copy == found->cend())
                break;
            const KeyBinding held = *copy;
            sendDuty(held, updateHeldBindings(held, false));
            sent = true;
        }
    }
    if (sent)
        heldChanged();
}

bool BindingList::isHeld(const KeyBinding &binding) const
{
    const auto found = heldBindings.constFind(outputNumber(binding));
    return found != heldBindings.constEnd()
        && std::any_of(found->cbegin(), found->cend(),
                       [&binding](const KeyBinding &held) { return sameHeldBinding(held, binding); });
}

int BindingList::updateHeldBindings(const KeyBinding &binding, bool pressed)
{
    const qint32 output = outputNumber(binding);
    if (pressed) {
        heldBindings[output].append(binding);
        return heldDuty(binding);
    }

    const auto found = heldBindings.find(output);
    if (found == heldBindings.end())
        return 0;
    QList<KeyBinding> &held = *found;
    for (int i = 0; i < held.size(); ++i) {
        if (sameHeldBinding(held.at(i), binding)) {
            held.removeAt(i);
            break;
        }
    }
    if (held.isEmpty()) {
        heldBindings.erase(found);
        return 0;
    }
    // Back to the most recently pressed key still held on this output.
    return heldDuty(held.constLast());
}

int BindingList::heldDuty(const KeyBinding &held) const
{
    const quint32 code = static_cast<quint32>(held.keyCode);
    if (!pad::isProportional(code))
        return held.speed;
    return pad::proportionalDuty(held.speed, inputLevels.value(code));
}

void BindingList::handleInput(quint32 code, int level)
{
    const bool pressed = level > pad::kDeadZone;
    const auto found = inputLevels.find(code);
    const bool wasPressed = found != inputLevels.end();
    if (!pressed) {
        if (wasPressed)
            inputLevels.erase(found);
        handleKey(code, false);
        return;
    }
    if (!wasPressed) {
        inputLevels.insert(code, level);
        handleKey(code, true);
        return;
    }
    const int before = *found;
    *found = level;
    if (!pad::isProportional(code) || !ftConnection().keysDrive())
        return;
    // Only where its copy is the latest on the output does it drive it.
    for (const QList<KeyBinding> &held : qAsConst(heldBindings)) {
        const KeyBinding &latest = held.constLast();
        if (static_cast<quint32>(latest.keyCode) != code)
            continue;
        const int duty = pad::proportionalDuty(latest.speed, level);
        if (duty != pad::proportionalDuty(latest.speed, before))
            sendDuty(latest, duty);
    }
}

void BindingList::releaseHeldBindings()
{
    if (ftConnection().transferAreaRunning) {
        for (const QList<KeyBinding> &held : qAsConst(heldBindings)) {
            if (!held.isEmpty())
                sendDuty(held.constFirst(), 0);
        }
    }
    heldBindings.clear();
    heldChanged();
}
