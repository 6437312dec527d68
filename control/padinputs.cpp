// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/padinputs.h"

#include <algorithm>
#include <cmath>

namespace pad {

QString inputText(quint32 code)
{
    // Short enough for the key column; the shoulders and triggers by the
    // names printed on most pads, the D-pad's arrows apart from the sticks'.
    static const char *const names[kInputCount] = {
        "A",   "B",   "X",   "Y",   "RB",  "LB",  "LT",  "RT",  "D↑",  "D↓",  "D←",  "D→",
        "Menu", "View", "LS", "RS", "LS↑", "LS↓", "LS→", "LS←", "RS↑", "RS↓", "RS→", "RS←",
    };
    if (!isPadInput(code))
        return QString();
    return QStringLiteral("Pad ") + QString::fromUtf8(names[code - kFirstInput]);
}

int proportionalDuty(int speed, int level)
{
    if (level <= kDeadZone || speed <= 0)
        return 0;
    if (level >= kFullSpeedLevel)
        return speed;
    const double share = double(level - kDeadZone) / double(kFullSpeedLevel - kDeadZone);
    return std::clamp(int(std::lround(speed * share)), 1, speed);
}

} // namespace pad

PadInputEvent::PadInputEvent(quint32 code, const QString &padName)
    : QEvent(eventType())
    , code(code)
    , padName(padName)
{
    setAccepted(false);
}

QEvent::Type PadInputEvent::eventType()
{
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}
