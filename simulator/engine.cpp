// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/engine.h"

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

namespace txsim {

using protocol::Frame;

DeviceEngine::DeviceEngine(EngineOptions options)
    : options_(std::move(options))
{
    state_.ta[0].online = true;
    for (int k = 1; k <= protocol::kMaxExtensions; ++k)
        state_.ta[static_cast<std::size_t>(k)].online = k <= options_.extensions;
}

void DeviceEngine::setListener(Listener listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

Snapshot DeviceEngine::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void DeviceEngine::setExtensionOnline(int extension, bool online)
{
    if (extension < 1 || extension > protocol::kMaxExtensions)
        return;
    std::vector<Event> events;
    Listener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        TaView &ta = state_.ta[static_cast<std::size_t>(extension)];
        ta.online = online;
        if (!online) {
            // An extension that drops off the bus stops its motors.
            for (int o = 0; o < protocol::kOutputs; ++o)
                setDuty(ta, extension, o, 0, events);
            ta.configured = false;
        }
        listener = listener_;
    }
    if (listener) {
        for (const Event &e : events)
            listener(e);
    }
}

void DeviceEngine::deliver(const std::vector<Event> &events)
{
    Listener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        listener = listener_;
    }
    if (listener) {
        for (const Event &e : events)
            listener(e);
    }
}

bool DeviceEngine::setInput(int ta, int input, bool closed)
{
    if (ta < 0 || ta >= protocol::kTaCount || input < 0 || input >= protocol::kInputs)
        return false;
    std::vector<Event> events;
    {
        // A switch is there whether its controller is on the bus or not.
        std::lock_guard<std::mutex> lock(mutex_);
        setInputClosed(state_, ta, input, closed, events);
    }
    deliver(events);
    return true;
}

bool DeviceEngine::setCounter(int ta, int counter, std::uint16_t value)
{
    if (ta < 0 || ta >= protocol::kTaCount || counter < 0 || counter >= protocol::kCounters)
        return false;
    std::vector<Event> events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inputs_[static_cast<std::size_t>(ta)].counter[static_cast<std::size_t>(counter)] = static_cast<std::int16_t>(value);
        events.push_back(counterEvent(ta, counter, value));
    }
    deliver(events);
    return true;
}

bool DeviceEngine::inUse(std::uint32_t ta) const
{
    return ta < protocol::kTaCount && state_.ta[ta].online;
}

void DeviceEngine::allOff(std::vector<Event> &events)
{
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        for (int o = 0; o < protocol::kOutputs; ++o)
            setDuty(state_.ta[static_cast<std::size_t>(ta)], ta, o, 0, events);
    }
    conflict_ = {};
}

void DeviceEngine::tick(Clock::time_point now)
{
    std::vector<Event> events;
    Listener listener;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (watchdogOff(state_, options_.watchdog, lastExchange_, now, events))
            conflict_ = {};
        listener = listener_;
    }
    if (listener) {
        for (const Event &e : events)
            listener(e);
    }
}

namespace {

// Text and bytes that a frame decoder skips: no 0x02 is followed by 0x55.
std::vector<std::uint8_t> noise()
{
    static const std::uint8_t bytes[] = {'\r', '\n', 'E', 'R', 'R', 'O', 'R', '\r', '\n', 0x02, 0x00, 0xFF, 0x03, 0x7E};
    return std::vector<std::uint8_t>(std::begin(bytes), std::end(bytes));
}

} // namespace

void DeviceEngine::receive(const std::uint8_t *data, std::size_t size, std::vector<Reply> &replies)
{
    std::vector<Event> events;
    Listener listener;
    if (options_.noise) {
        // Whatever comes, something comes back.
        if (size > 0)
            replies.push_back(Reply{noise(), false, {}});
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Console and frames share the stream; both recognisers see every byte.
        for (std::size_t i = 0; i < size; ++i) {
            if (probe_.feed(data[i])) {
                if (options_.replay)
                    replies.push_back(Reply{options_.replay->consoleAnswer(), false, {}});
                else
                    replies.push_back(Reply{protocol::consoleAnswer(options_.name, options_.serial), false, {}});
                if (replies.back().bytes.empty())
                    replies.pop_back();
                Event e;
                e.kind = EventKind::Probe;
                events.push_back(e);
            }
        }
        decoder_.feed(data, size);
        Frame request;
        while (decoder_.next(request))
            handle(request, replies, events);
        listener = listener_;
    }
    if (listener) {
        for (const Event &e : events)
            listener(e);
    }
}

bool DeviceEngine::ignoresExchange(const Frame &request) const
{
    if (request.command != protocol::kCmdExchange || options_.extensionExchanges == ExtensionExchanges::Answer)
        return false;
    std::vector<protocol::Item> items;
    if (!protocol::splitItems(request, protocol::kTaOutputSize, items))
        return false;
    for (const protocol::Item &item : items) {
        if (item.taId != 0 && (options_.extensionExchanges == ExtensionExchanges::IgnoreAll || !inUse(item.taId)))
            return true;
    }
    return false;
}

void DeviceEngine::handle(const Frame &request, std::vector<Reply> &replies, std::vector<Event> &events)
{
    ++state_.frames;
    Event logged;
    logged.kind = EventKind::Frame;
    logged.value = static_cast<int>(request.command);
    logged.command = request.command;
    logged.tid = request.tid;
    logged.sid = request.sid;
    events.push_back(logged);
    const std::size_t nth = requestCount_[request.command]++;

    if (!options_.replay) {
        if (options_.ignored.count(request.command) || ignoresExchange(request))
            return;
        if (const auto error = options_.errorReplies.find(request.command); error != options_.errorReplies.end()) {
            Frame reply;
            reply.from = protocol::kBusMaster;
            reply.to = protocol::kBusMaster;
            reply.tid = request.tid;
            reply.sid = state_.sid;
            reply.command = error->second;
            replies.push_back(Reply{protocol::encodeFrame(reply), true, {}});
            return;
        }
    }
    Frame reply;
    const bool answer = respond(request, reply, events);
    if (options_.replay) {
        if (const RecordedAnswer *recorded = options_.replay->answer(request.command, nth)) {
            protocol::FrameDecoder decoder;
            decoder.feed(recorded->frame.data(), recorded->frame.size());
            // The recorded reply under this request's TID, as the device
            // would copy it; everything else as it came.
            if (!recorded->answered || !decoder.next(reply))
                return;
            reply.tid = request.tid;
            replies.push_back(Reply{protocol::encodeFrame(reply), true, recorded->delay});
            return;
        }
    }
    if (answer)
        replies.push_back(Reply{protocol::encodeFrame(reply), true, {}});
}

bool DeviceEngine::respond(const Frame &request, Frame &reply, std::vector<Event> &events)
{
    if (request.command == protocol::kCmdEcho && request.sid == 0 && request.tid == 1)
        startSession(events);
    reply.from = protocol::kBusMaster;
    reply.to = protocol::kBusMaster;
    reply.tid = request.tid;
    reply.sid = state_.sid;
    reply.command = request.command + protocol::kReplyOffset;
    std::vector<protocol::Item> items;
    switch (request.command) {
    case protocol::kCmdEcho:
        reply.items = request.items;
        reply.payload = request.payload;
        return true;
    case protocol::kCmdExchange:
        if (!protocol::splitItems(request, protocol::kTaOutputSize, items)) {
            flagViolation(state_, events, 0, 0, Violation::Malformed);
            return false;
        }
        exchange(request, reply, events);
        return true;
    case protocol::kCmdConfig:
        if (!protocol::splitItems(request, protocol::kTaConfigSize, items)) {
            flagViolation(state_, events, 0, 0, Violation::Malformed);
            return false;
        }
        configure(items, reply, events);
        return true;
    case protocol::kCmdInfo:
        if (!protocol::splitItems(request, 0, items) || items.size() != 1 || !inUse(items[0].taId))
            return false;
        describe(items[0].taId, reply);
        return true;
    case protocol::kCmdState:
        reportExtensions(reply);
        return true;
    default:
        // Unknown commands get no answer at all.
        return false;
    }
}

void DeviceEngine::startSession(std::vector<Event> &events)
{
    // A new session: outputs off, remembered ids forgotten; the counter
    // skips 0 when it wraps.
    if (!options_.sessionZero)
        state_.sid = state_.sid == 0xFFFF ? 1 : static_cast<std::uint16_t>(state_.sid + 1);
    allOff(events);
    inputs_ = {};
    lastOutput_ = {};
    Event e;
    e.kind = EventKind::Session;
    e.value = state_.sid;
    events.push_back(e);
}

void DeviceEngine::configure(const std::vector<protocol::Item> &items, Frame &reply, std::vector<Event> &events)
{
    for (const protocol::Item &item : items) {
        if (!inUse(item.taId))
            continue;
        const protocol::TaConfig config = protocol::decodeTaConfig(item.data);
        TaView &ta = state_.ta[item.taId];
        ta.motorMode = config.motor;
        ta.inputMode = config.input;
        ta.configured = true;
        Event e;
        e.kind = EventKind::Config;
        e.ta = static_cast<int>(item.taId);
        e.motors = config.motor;
        events.push_back(e);
        protocol::appendTaId(reply.payload, item.taId);
        ++reply.items;
    }
}

void DeviceEngine::describe(std::uint32_t taId, Frame &reply) const
{
    protocol::TaInfo info;
    info.name = taId == 0 ? options_.name : "ROBO TX-EXT" + std::to_string(taId);
    info.btAddress = "00:00:00:00:00:00";
    info.hardwareVersion = {0x43, 0, 0, 0};
    info.firmwareVersion = {0x00, 0x06, 0x01, 0x1E};
    info.taVersion = {0x01, 0x01, 0x01, 0x08};
    protocol::appendTa(reply.payload, taId, info);
    reply.items = 1;
}

void DeviceEngine::reportExtensions(Frame &reply) const
{
    protocol::TaState state;
    for (int k = 1; k <= protocol::kMaxExtensions; ++k)
        state.extension[static_cast<std::size_t>(k - 1)] = state_.ta[static_cast<std::size_t>(k)].online ? protocol::kExtensionOnline : 0;
    protocol::appendTa(reply.payload, 0, state);
    reply.items = 1;
}

void DeviceEngine::exchange(const Frame &request, Frame &reply, std::vector<Event> &events)
{
    std::vector<protocol::Item> items;
    protocol::splitItems(request, protocol::kTaOutputSize, items);
    lastExchange_ = Clock::now();
    for (const protocol::Item &item : items) {
        // Structures for extensions that are not on the bus are ignored.
        if (!inUse(item.taId))
            continue;
        const int ta = static_cast<int>(item.taId);
        const protocol::TaOutput out = protocol::decodeTaOutput(item.data);
        applyDuties(state_, ta, out.duty, conflict_[item.taId], events);
        protocol::TaInput &in = inputs_[item.taId];
        protocol::TaOutput &last = lastOutput_[item.taId];
        for (std::size_t c = 0; c < protocol::kCounters; ++c) {
            if (out.counterResetIds[c] != last.counterResetIds[c]) {
                in.counter[c] = 0;
                in.counterResetAck[c] = out.counterResetIds[c];
            }
        }
        // Distance runs finish at once here: the simulator has no motors.
        in.motorCmdAck = out.motorExIds;
        last = out;
        for (int i = 0; i < protocol::kInputs; ++i)
            in.universal[static_cast<std::size_t>(i)] = inputValue(state_.ta[item.taId], i);
        protocol::appendTa(reply.payload, item.taId, in);
        ++reply.items;
    }
}

} // namespace txsim
