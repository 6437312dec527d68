// SPDX-License-Identifier: GPL-3.0-or-later
// The outputs and the inputs' switches as both simulated controllers keep
// them (declared in engine.h).
#include <algorithm>
#include <limits>

#include "simulator/engine.h"

namespace txsim {

Direction motorDirection(const TaView &ta, int motor)
{
    const auto m = static_cast<std::size_t>(motor);
    if (!ta.motorMode[m])
        return Direction::SingleOutputs;
    const std::int16_t a = ta.duty[2 * m], b = ta.duty[2 * m + 1];
    if (a > 0 && b > 0)
        return Direction::Conflict;
    if (a > 0)
        return Direction::Forward;
    if (b > 0)
        return Direction::Backward;
    return Direction::Stop;
}

void flagViolation(Snapshot &state, std::vector<Event> &events, int ta, int index, Violation violation)
{
    ++state.violations;
    Event e;
    e.kind = EventKind::Violation;
    e.ta = ta;
    e.index = index;
    e.violation = violation;
    events.push_back(e);
}

void setDuty(TaView &view, int ta, int output, std::int16_t duty, std::vector<Event> &events)
{
    auto &stored = view.duty[static_cast<std::size_t>(output)];
    if (stored == duty)
        return;
    stored = duty;
    Event e;
    e.kind = EventKind::Output;
    e.ta = ta;
    e.index = output;
    e.value = duty;
    events.push_back(e);
}

void applyDuties(Snapshot &state, int ta, const std::array<std::int16_t, protocol::kOutputs> &duty,
                 std::array<bool, protocol::kMotors> &conflict, std::vector<Event> &events)
{
    TaView &view = state.ta[static_cast<std::size_t>(ta)];
    for (int o = 0; o < protocol::kOutputs; ++o) {
        std::int16_t d = duty[static_cast<std::size_t>(o)];
        if (d < 0) {
            flagViolation(state, events, ta, o, Violation::NegativeDuty);
            d = 0;
        } else if (d > protocol::kDutyMax) {
            flagViolation(state, events, ta, o, Violation::DutyTooHigh);
            d = protocol::kDutyMax;
        }
        setDuty(view, ta, o, d, events);
    }
    for (int m = 0; m < protocol::kMotors; ++m) {
        const bool both = motorDirection(view, m) == Direction::Conflict;
        auto &known = conflict[static_cast<std::size_t>(m)];
        // Reported once when it begins, not on every cycle.
        if (both && !known)
            flagViolation(state, events, ta, m, Violation::BothDirections);
        known = both;
    }
}

bool watchdogOff(Snapshot &state, std::chrono::milliseconds watchdog, std::chrono::steady_clock::time_point lastExchange,
                 std::chrono::steady_clock::time_point now, std::vector<Event> &events)
{
    if (watchdog.count() <= 0 || now - lastExchange < watchdog)
        return false;
    const std::size_t before = events.size();
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        for (int o = 0; o < protocol::kOutputs; ++o)
            setDuty(state.ta[static_cast<std::size_t>(ta)], ta, o, 0, events);
    }
    // Counted only when it switched something off, not on every tick of the
    // same silence.
    if (events.size() == before)
        return false;
    ++state.watchdogFirings;
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastExchange).count();
    Event e;
    e.kind = EventKind::Watchdog;
    e.value = static_cast<int>(std::min<long long>(idle, std::numeric_limits<int>::max()));
    e.count = state.watchdogFirings;
    events.push_back(e);
    return true;
}

void setInputClosed(Snapshot &state, int ta, int input, bool closed, std::vector<Event> &events)
{
    std::uint8_t &closedInputs = state.ta[static_cast<std::size_t>(ta)].closedInputs;
    const auto bit = static_cast<std::uint8_t>(1u << input);
    if (((closedInputs & bit) != 0) == closed)
        return;
    closedInputs = static_cast<std::uint8_t>(closed ? closedInputs | bit : closedInputs & ~bit);
    Event e;
    e.kind = EventKind::Input;
    e.ta = ta;
    e.index = input;
    e.value = closed ? 1 : 0;
    events.push_back(e);
}

Event counterEvent(int ta, int counter, std::uint16_t value)
{
    Event e;
    e.kind = EventKind::Counter;
    e.ta = ta;
    e.index = counter;
    e.value = value;
    return e;
}

std::int16_t inputValue(const TaView &view, int input)
{
    // The ranges of the exchange's answer: 10 Ω is the least a resistance
    // input reports, 5000 its overrange.
    constexpr std::uint8_t kDigital = 0x80, kResistance = 0x01;
    constexpr std::int16_t kLeastOhms = 10, kOverrangeOhms = 5000;
    const bool closed = view.closedInputs & (1u << input);
    const std::uint8_t mode = view.inputMode[static_cast<std::size_t>(input)];
    if (mode & kDigital)
        return closed ? 1 : 0;
    if (mode == kResistance)
        return closed ? kLeastOhms : kOverrangeOhms;
    return 0;
}

} // namespace txsim
