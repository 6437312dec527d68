// SPDX-License-Identifier: GPL-3.0-or-later
// The transfer loop: configuration, exchanges and status requests in turn,
// one outstanding at a time, and what goes on the wire.
#include "ftmsclib/device.h"

#include <algorithm>
#include <cerrno>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/trace.h"

namespace ftlib {

using protocol::Frame;
using protocol::ReplyMatch;

namespace {

// A generation that was never sent, so the first comparison asks for it.
constexpr unsigned kNeverSent = ~0u;

} // namespace

void Device::loop()
{
    LoopState s;
    s.ackedConfigGeneration.fill(kNeverSent);
    s.sentOutputGeneration = kNeverSent;
    const auto now = transport_->now();
    s.deadline = now;
    s.nextCycle = now;
    s.nextStatePoll = statePolling_ ? now + settings_.statePoll : Clock::time_point::max();
    s.idleUntil = now;
    try {
        const std::vector<std::uint8_t> zeros = preparedZeros();
        emergency_.arm(transport_->descriptor(), zeros);
        guardian_.publish(zeros);
        guardian_.setLive(true);
        for (;;) {
            if (s.pending == Pending::None) {
                Request request;
                if (!chooseRequest(s, request))
                    break;
                if (request.kind != Pending::None && !sendRequest(s, request))
                    break;
            }
            if (!readPort(s))
                break;
            matchReplies(s);
            if (!countTimeout(s))
                break;
        }
    } catch (...) {
        // Nothing may escape the thread (std::terminate would end the
        // program): an allocation failure loses the link like silence does.
        try {
            loseLink("internal failure (out of memory?)", 0, Loss::Silence);
        } catch (...) {
            lostStatus_ = FTLIB_ERR_TIMEOUT_TA;
            lost_ = true;
        }
    }
    emergency_.disarm();
    guardian_.setLive(false);
}

bool Device::chooseRequest(LoopState &s, Request &request)
{
    const auto now = transport_->now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_ && s.zeroDone)
        return false;
    const unsigned inUse = extensionsInUse();
    const auto used = [inUse](int ta) { return ta == 0 || (inUse & (1u << (ta - 1))); };
    if (stopRequested_) {
        // Motors are never left driven: the last exchange carries zeros.
        request.kind = Pending::Zero;
        request.command = protocol::kCmdExchange;
        request.payload = zeroOutputs(request.count);
        request.namesExtensions = request.count > 1;
        return true;
    }
    if (now < silentUntil_) {
        s.idleUntil = silentUntil_;
        return true;
    }
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        const auto t = static_cast<std::size_t>(ta);
        if (used(ta) && s.ackedConfigGeneration[t] != configGeneration_[t]) {
            // Configuration goes first: outputs are only driven once the
            // controller knows which pairs form motors.
            request.kind = Pending::Config;
            request.command = protocol::kCmdConfig;
            protocol::appendTa(request.payload, static_cast<std::uint32_t>(ta), config(ta));
            request.count = 1;
            request.ta = ta;
            request.configGeneration = configGeneration_[t];
            return true;
        }
    }
    if (now >= s.nextStatePoll) {
        request.kind = Pending::State;
        request.command = protocol::kCmdState;
        protocol::appendTaId(request.payload, 0);
        request.count = 1;
        s.nextStatePoll = now + settings_.statePoll;
        return true;
    }
    if (now >= s.nextCycle || (!settings_.cycleOnly && outputGeneration_ != s.sentOutputGeneration)) {
        request.kind = Pending::Exchange;
        request.command = protocol::kCmdExchange;
        for (int ta = 0; ta < protocol::kTaCount; ++ta) {
            if (used(ta)) {
                protocol::appendTa(request.payload, static_cast<std::uint32_t>(ta), wireOutputs(ta));
                ++request.count;
            }
        }
        request.namesExtensions = request.count > 1;
        s.sentOutputGeneration = outputGeneration_;
        s.nextCycle = now + settings_.cycle;
        return true;
    }
    s.idleUntil = std::min(s.nextCycle, s.nextStatePoll);
    return true;
}

bool Device::sendRequest(LoopState &s, Request &request)
{
    if (!send(session_.request(request.command, request.count, std::move(request.payload)), settings_.replyTimeout)) {
        // No zeros to send either: the port takes no writes.
        loseLink("write failed", transport_->lastError(), Loss::PortGone);
        return false;
    }
    s.pending = request.kind;
    s.pendingTa = request.ta;
    s.pendingConfigGeneration = request.configGeneration;
    s.pendingNamesExtensions = request.namesExtensions;
    s.deadline = transport_->now() + settings_.replyTimeout;
    publishPreparedZeros();
    return true;
}

bool Device::readPort(LoopState &s)
{
    const Transport::Wake wake = transport_->wait(s.pending != Pending::None ? s.deadline : s.idleUntil, wakeFd_);
    if (wake == Transport::Wake::Failed) {
        loseLink("cannot wait on the port", transport_->lastError(), Loss::Silence);
        return false;
    }
    if (wake == Transport::Wake::Woken)
        drainWake();
    if (wake != Transport::Wake::Input && wake != Transport::Wake::HungUp)
        return true;
    // A hang-up is reported at once rather than after three timeouts.
    // Nothing can be sent to a port that has hung up, so no zeros.
    const Received received = receive();
    if (received == Received::Closed && transport_->lastError() == 0)
        loseLink("device hung up (end of file)", 0, Loss::PortGone);
    else if (received == Received::Closed || wake == Transport::Wake::HungUp)
        loseLink("device hung up", received == Received::Closed ? transport_->lastError() : EIO, Loss::PortGone);
    else
        return true;
    return false;
}

void Device::matchReplies(LoopState &s)
{
    Frame reply;
    ReplyMatch match;
    while (s.pending != Pending::None && nextReply(reply, match)) {
        // A wrong command is waited past like a stale reply: the timeout
        // that follows decides.
        if (match != ReplyMatch::Answer)
            continue;
        s.timeouts = 0;
        switch (s.pending) {
        case Pending::Config:
            s.ackedConfigGeneration[static_cast<std::size_t>(s.pendingTa)] = s.pendingConfigGeneration;
            break;
        case Pending::Zero:
            s.zeroDone = true;
            break;
        case Pending::Exchange:
            if (s.pendingNamesExtensions)
                s.extensionTimeouts = 0;
            break;
        case Pending::State:
            if (unsigned online = 0; protocol::readOnlineExtensions(reply, online) && online != onlineExtensions_) {
                trace(path_, "extensions online 0x%02x", online);
                // An extension that comes back gets its configuration again.
                for (int k = 0; k < protocol::kMaxExtensions; ++k) {
                    if ((online & ~onlineExtensions_) & (1u << k))
                        s.ackedConfigGeneration[static_cast<std::size_t>(k + 1)] = kNeverSent;
                }
                onlineExtensions_ = online;
                s.sentOutputGeneration = kNeverSent;
            }
            break;
        case Pending::None:
            break;
        }
        s.pending = Pending::None;
    }
}

bool Device::countTimeout(LoopState &s)
{
    if (s.pending == Pending::None || transport_->now() < s.deadline)
        return true;
    decoder_.reset();
    const Pending timedOut = s.pending;
    s.pending = Pending::None;
    if (timedOut == Pending::Exchange)
        s.sentOutputGeneration = kNeverSent;
    // A controller may ignore exchanges that name an extension it does not
    // have (any more): ask for the states again, then drive the Master alone,
    // before holding it against the link. One lost reply alone costs nothing.
    if (timedOut == Pending::Exchange && s.pendingNamesExtensions) {
        if (++s.extensionTimeouts == 1) {
            trace(path_, "no answer to an exchange naming extensions; asking for their states again");
            s.nextStatePoll = transport_->now();
        } else {
            masterOnly_ = true;
            trace(path_, "exchanges naming extensions stay unanswered; the Master alone from now on");
        }
        return true;
    }
    ++s.timeouts;
    trace(path_, "reply timeout %d (command %u)", s.timeouts, session_.command());
    if (s.timeouts < settings_.maxTimeouts)
        return true;
    // A controller that still listens but no longer answers (replies lost on
    // the way back) must not keep the last duties.
    loseLink("no answer", 0, Loss::Silence);
    return false;
}

unsigned Device::extensionsInUse() const
{
    return settings_.extensions && !masterOnly_ ? onlineExtensions_.load() : 0u;
}

protocol::TaOutput Device::wireOutputs(int ta) const
{
    protocol::TaOutput out;
    const auto &duty = duty_[static_cast<std::size_t>(ta)];
    const auto &modes = motorMode_[static_cast<std::size_t>(ta)];
    for (std::size_t m = 0; m < protocol::kMotors; ++m) {
        const std::int16_t a = duty[2 * m], b = duty[2 * m + 1];
        // Both directions of one motor at once are undefined on the device;
        // the program may hold both keys, so such a motor is sent stopped
        // while the channels keep their values for when one is released.
        if (modes[m] && a > 0 && b > 0)
            continue;
        out.duty[2 * m] = a;
        out.duty[2 * m + 1] = b;
    }
    return out;
}

protocol::TaConfig Device::config(int ta) const
{
    protocol::TaConfig config;
    config.motor = motorMode_[static_cast<std::size_t>(ta)];
    config.input.fill(protocol::kInputDigital5k);
    return config;
}

std::vector<std::uint8_t> Device::zeroOutputs(std::uint32_t &count) const
{
    std::vector<std::uint8_t> payload;
    count = 0;
    const unsigned inUse = extensionsInUse();
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        if (ta == 0 || (inUse & (1u << (ta - 1)))) {
            protocol::appendTa(payload, static_cast<std::uint32_t>(ta), protocol::TaOutput{});
            ++count;
        }
    }
    return payload;
}

std::vector<std::uint8_t> Device::preparedZeros() const
{
    // A copy, so that the loop's own next request keeps its transaction id.
    protocol::Session next = session_;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> payload = zeroOutputs(count);
    return protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
}

void Device::publishPreparedZeros()
{
    const std::vector<std::uint8_t> zeros = preparedZeros();
    emergency_.publish(zeros);
    guardian_.publish(zeros);
}

} // namespace ftlib
