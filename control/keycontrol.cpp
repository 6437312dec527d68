// Key presses and releases to motor commands.
#include "bindinglist.h"

#include "ftconnection.h"
#include "ftlib.h"
#include "processobjects.h"

void BindingList::handleKey(quint32 key, bool pressed)
{
    const FtConnection &connection = ftConnection();
    if (!connection.transferAreaRunning)
        return;
    const auto setOutPwmValues = ftLib().SetOutPwmValues;
    for (const KeyBinding &entry : records) {
        if (static_cast<quint32>(entry.keyCode) != key)
            continue;
        const KeyBinding copy = entry;
        const int duty = updateHeldBindings(copy, pressed);
        if (setOutPwmValues)
            setOutPwmValues(connection.deviceHandle, entry.controller, outputWithinController(entry), duty);
    }
}

int BindingList::updateHeldBindings(const KeyBinding &binding, bool pressed)
{
    const qint32 output = outputNumber(binding);
    if (pressed) {
        heldBindings[output].append(binding);
        return binding.speed;
    }

    const auto found = heldBindings.find(output);
    if (found == heldBindings.end())
        return 0;
    QList<KeyBinding> &held = *found;
    for (int i = 0; i < held.size(); ++i) {
        if (held.at(i).keyCode == binding.keyCode && held.at(i).speed == binding.speed) {
            held.removeAt(i);
            break;
        }
    }
    if (held.isEmpty()) {
        heldBindings.erase(found);
        return 0;
    }
    // Back to the most recently pressed key still held on this output.
    return held.constLast().speed;
}

void BindingList::releaseHeldBindings()
{
    const FtConnection &connection = ftConnection();
    const auto setOutPwmValues = ftLib().SetOutPwmValues;
    if (connection.transferAreaRunning && setOutPwmValues) {
        for (const QList<KeyBinding> &held : qAsConst(heldBindings)) {
            if (held.isEmpty())
                continue;
            const KeyBinding &b = held.constFirst();
            setOutPwmValues(connection.deviceHandle, b.controller, outputWithinController(b), 0);
        }
    }
    heldBindings.clear();
}
