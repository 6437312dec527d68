// SPDX-License-Identifier: GPL-3.0-or-later
#include "simulator/txtengine.h"

#include <algorithm>
#include <utility>

namespace txsim {

namespace txt = protocol::txt;

namespace {

Violation readError(txt::CmprError error)
{
    return error == txt::CmprError::BadCrc ? Violation::CrcMismatch : Violation::Malformed;
}

} // namespace

TxtEngine::TxtEngine(TxtOptions options)
    : options_(std::move(options))
{
    if (options_.name.size() > txt::kStatusNameSize)
        options_.name.resize(txt::kStatusNameSize);
    state_.ta[0].online = true;
    state_.ta[1].online = options_.extension;
    // What every client configures; the TXT's own default is not known.
    state_.ta[0].motorMode.fill(1);
    state_.ta[1].motorMode.fill(1);
}

void TxtEngine::setListener(Listener listener)
{
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = std::move(listener);
}

Snapshot TxtEngine::snapshot() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

void TxtEngine::deliver(const Events &events)
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

void TxtEngine::setLatency(std::chrono::milliseconds latency)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_.latency = latency;
}

void TxtEngine::connect()
{
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.clear();
    closed_ = false;
    link_ = Link::Idle;
    received_.reset();
    sent_.reset();
    configId_ = {};
    flaggedOrder_ = false;
    lastDue_ = {};
    lastExchangeDue_ = {};
    state_.ta[0].configured = state_.ta[1].configured = false;
}

void TxtEngine::setExtensionPresent(bool present)
{
    Events events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        TaView &ext = state_.ta[1];
        ext.online = present;
        if (!present) {
            for (int o = 0; o < protocol::kOutputs; ++o)
                setDuty(ext, 1, o, 0, events);
            ext.configured = false;
            conflict_[1] = {};
        }
    }
    deliver(events);
}

bool TxtEngine::setInput(int ta, int input, bool closed)
{
    if (ta < 0 || ta > txt::kMaxExtensions || input < 0 || input >= protocol::kInputs)
        return false;
    Events events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        setInputClosed(state_, ta, input, closed, events);
    }
    deliver(events);
    return true;
}

bool TxtEngine::setCounter(int ta, int counter, std::uint16_t value)
{
    if (ta < 0 || ta > txt::kMaxExtensions || counter < 0 || counter >= protocol::kCounters)
        return false;
    Events events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        inputs_[static_cast<std::size_t>(ta)].counterValue[static_cast<std::size_t>(counter)] = static_cast<std::int16_t>(value);
        events.push_back(counterEvent(ta, counter, value));
    }
    deliver(events);
    return true;
}

txt::Inputs TxtEngine::answerOf(int ta) const
{
    txt::Inputs in = inputs_[static_cast<std::size_t>(ta)];
    for (int i = 0; i < protocol::kInputs; ++i)
        in.input[static_cast<std::size_t>(i)] = inputValue(state_.ta[static_cast<std::size_t>(ta)], i);
    return in;
}

void TxtEngine::tick(Clock::time_point now)
{
    Events events;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (watchdogOff(state_, options_.watchdog, lastExchange_, now, events))
            conflict_ = {};
    }
    deliver(events);
}

void TxtEngine::flag(Events &events, Violation violation, bool closes, int ta, int index)
{
    flagViolation(state_, events, ta, index, violation);
    events.back().closes = closes;
}

bool TxtEngine::receive(const std::uint8_t *data, std::size_t size, Clock::time_point now, std::vector<TxtReply> &replies)
{
    Events events;
    bool open = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_)
            return false;
        buffer_.insert(buffer_.end(), data, data + size);
        // Unanswered: not yet due, or answered from this very read.
        bool outstanding = now < lastDue_;
        std::size_t pos = 0;
        while (open) {
            std::size_t length = 0;
            const txt::Framing framing = txt::packetLength(buffer_.data() + pos, buffer_.size() - pos, length);
            if (framing == txt::Framing::NeedMore)
                break;
            if (framing != txt::Framing::Whole) {
                // No way to find the next packet: the stream is out of step.
                flag(events, framing == txt::Framing::UnknownId ? Violation::UnknownId : Violation::Oversized, true);
                open = false;
                break;
            }
            const std::uint8_t *packet = buffer_.data() + pos;
            pos += length;
            std::vector<std::uint8_t> reply;
            const std::uint32_t id = txt::packetId(packet);
            open = handle(packet, length, reply, events);
            if (outstanding)
                flag(events, Violation::Pipelined);
            if (open && !reply.empty()) {
                queue(std::move(reply), id == txt::kExchangeData || id == txt::kExchangeDataCmpr, now, replies);
                outstanding = true;
            }
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos));
        if (!open) {
            closed_ = true;
            buffer_.clear();
        }
    }
    deliver(events);
    return open;
}

void TxtEngine::queue(std::vector<std::uint8_t> bytes, bool paced, Clock::time_point now, std::vector<TxtReply> &replies)
{
    // In order, and each exchange a pacing step after the one before.
    Clock::time_point due = std::max(now + options_.latency, lastDue_);
    if (paced) {
        due = std::max(due, lastExchangeDue_ + kPacing);
        lastExchangeDue_ = due;
    }
    lastDue_ = due;
    replies.push_back(TxtReply{std::move(bytes), due});
}

bool TxtEngine::handle(const std::uint8_t *packet, std::size_t size, std::vector<std::uint8_t> &reply, Events &events)
{
    const std::uint32_t id = txt::packetId(packet);
    ++state_.frames;
    Event logged;
    logged.kind = EventKind::Frame;
    logged.command = id;
    events.push_back(logged);
    if (link_ == Link::Stopped) {
        // Nothing but a new connection may follow StopOnline.
        flag(events, Violation::AfterStop, true);
        return false;
    }
    switch (id) {
    case txt::kQueryStatus:
        reply = txt::statusReply(txt::Status{options_.name, options_.version});
        return true;
    case txt::kStartOnline:
        startOnline(events);
        reply = txt::idOnly(txt::kStartOnlineReply);
        return true;
    case txt::kUpdateConfig:
        updateConfig(packet, size, events);
        reply = txt::idOnly(txt::kUpdateConfigReply);
        return true;
    case txt::kExchangeData:
        exchange(packet, size, reply, events);
        return true;
    case txt::kExchangeDataCmpr:
        return compressedExchange(packet, size, reply, events);
    case txt::kStopOnline:
        link_ = Link::Stopped;
        reply = txt::idOnly(txt::kStopOnlineReply);
        return true;
    default:
        // A reply id sent to the device: framed, but no command.
        flag(events, Violation::UnknownId, true);
        return false;
    }
}

void TxtEngine::startOnline(Events &events)
{
    link_ = Link::Online;
    // The compressed transfer starts over, and so do the config ids.
    received_.reset();
    sent_.reset();
    configId_ = {};
    flaggedOrder_ = false;
    state_.sid = state_.sid == 0xFFFF ? 1 : static_cast<std::uint16_t>(state_.sid + 1);
    Event e;
    e.kind = EventKind::Session;
    e.value = state_.sid;
    events.push_back(e);
}

void TxtEngine::updateConfig(const std::uint8_t *packet, std::size_t size, Events &events)
{
    txt::Config config;
    if (!txt::readUpdateConfig(packet, size, config))
        return;
    if (link_ != Link::Online) {
        flag(events, Violation::NotOnline, false, config.extension);
        return;
    }
    if (config.extension < 0 || config.extension > txt::kMaxExtensions) {
        flag(events, Violation::Malformed, false, 0, config.extension);
        return;
    }
    const auto ta = static_cast<std::size_t>(config.extension);
    // The TXT ignores a configuration whose id has not changed.
    if (config.configId == configId_[ta]) {
        flag(events, Violation::ConfigIdUnchanged, false, config.extension, config.configId);
        return;
    }
    configId_[ta] = config.configId;
    TaView &view = state_.ta[ta];
    if (!view.online)
        return;
    view.motorMode = config.motor;
    for (std::size_t i = 0; i < view.inputMode.size(); ++i)
        view.inputMode[i] = static_cast<std::uint8_t>(config.input[i].mode | (config.input[i].digital ? 0x80 : 0));
    view.configured = true;
    Event e;
    e.kind = EventKind::Config;
    e.ta = config.extension;
    e.motors = config.motor;
    events.push_back(e);
}

bool TxtEngine::mayDrive(Events &events)
{
    const bool online = link_ == Link::Online;
    if (!flaggedOrder_ && (!online || !state_.ta[0].configured)) {
        flaggedOrder_ = true;
        flag(events, online ? Violation::Unconfigured : Violation::NotOnline);
    }
    return online;
}

void TxtEngine::drive(int ta, const txt::Outputs &outputs, Events &events)
{
    const auto t = static_cast<std::size_t>(ta);
    applyDuties(state_, ta, outputs.duty, conflict_[t], events);
    txt::Inputs &in = inputs_[t];
    txt::Outputs &last = lastOutputs_[t];
    for (std::size_t c = 0; c < in.counterResetAck.size(); ++c) {
        if (outputs.counterResetId[c] != last.counterResetId[c]) {
            in.counterValue[c] = 0;
            in.counterResetAck[c] = outputs.counterResetId[c];
        }
    }
    // Distance runs finish at once: the simulator has no motors.
    in.motorCommandAck = outputs.motorCommandId;
    in.soundAck = outputs.soundCommandId;
    last = outputs;
}

void TxtEngine::exchange(const std::uint8_t *packet, std::size_t size, std::vector<std::uint8_t> &reply, Events &events)
{
    txt::Outputs outputs;
    if (!txt::readExchange(packet, size, outputs))
        return;
    lastExchange_ = Clock::now();
    if (mayDrive(events))
        drive(0, outputs, events);
    reply = txt::exchangeReply(answerOf(0));
}

bool TxtEngine::compressedExchange(const std::uint8_t *packet, std::size_t size, std::vector<std::uint8_t> &reply,
                                   Events &events)
{
    std::uint16_t mask = 0;
    std::vector<txt::Outputs> blocks;
    const txt::CmprError error = txt::readCompressedExchange(received_, packet, size, mask, blocks);
    if (error != txt::CmprError::None) {
        // The references are out of step: online mode ends, as on the TXT.
        flag(events, readError(error), true);
        return false;
    }
    lastExchange_ = Clock::now();
    const bool present = state_.ta[1].online;
    if (mayDrive(events)) {
        drive(0, blocks[0], events);
        // Outputs for an extension that is not there go nowhere.
        if (blocks.size() > 1 && present)
            drive(1, blocks[1], events);
    }
    std::vector<txt::Inputs> answer{answerOf(0)};
    if (present)
        answer.push_back(answerOf(1));
    reply = txt::compressedReply(sent_, answer, present ? 1 : 0);
    return true;
}

} // namespace txsim
