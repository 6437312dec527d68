// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBO TX's transfer loop: configuration, exchanges and status requests in
// turn, one outstanding at a time.
#include "ftmsclib/txsession.h"

#include <algorithm>
#include <cerrno>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/trace.h"

namespace ftlib {

using protocol::Frame;
using protocol::ReplyMatch;
using std::chrono::milliseconds;

namespace {

// A generation that was never sent, so the first comparison asks for it.
constexpr unsigned kNeverSent = ~0u;
// Refused extensions are asked again at the next status poll, then ever
// less often while they stay silent, up to this.
constexpr milliseconds kLongestReask{30000};

// Extension mask (bit k-1) to controller mask (bit k).
constexpr unsigned extensionTas(unsigned extensions)
{
    return extensions << 1;
}

std::string extensionList(unsigned extensions)
{
    std::string list;
    for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
        if (extensions & (1u << (k - 1)))
            list += (list.empty() ? "" : ", ") + std::to_string(k);
    }
    return list;
}

} // namespace

void TxSession::transfer()
{
    LoopState s;
    s.ackedConfigGeneration.fill(kNeverSent);
    s.sentOutputGeneration = kNeverSent;
    const auto now = transport().now();
    s.deadline = now;
    s.nextCycle = now;
    s.nextStatePoll = !statePolling_ ? Clock::time_point::max() : stateUnasked_ ? now : now + settings().statePoll;
    s.idleUntil = now;
    s.nextReask = now;
    for (;;) {
        if (s.pending == Pending::None) {
            Request request;
            if (!chooseRequest(s, request))
                return;
            if (request.kind != Pending::None && !sendRequest(s, request))
                return;
        }
        if (!readPort(s))
            return;
        matchReplies(s);
        if (!countTimeout(s))
            return;
    }
}

bool TxSession::chooseRequest(LoopState &s, Request &request)
{
    const auto now = transport().now();
    const Area area = this->area();
    if (area.stopRequested)
        return chooseZeros(s, area, request);
    if (now < area.silentUntil) {
        s.idleUntil = area.silentUntil;
        return true;
    }
    const unsigned inUse = extensionsInUse();
    // Zeros for driven extensions that dropped out of reach, or were
    // released while out of it: written alongside, not waited for.
    if (const unsigned owed = takeOwedZeros() & ~extensionTas(inUse) & ~1u) {
        request.kind = Pending::Exchange;
        request.command = protocol::kCmdExchange;
        request.payload =
            outputsPayload(area, 1u | extensionTas(inUse) | owed, 1u | extensionTas(inUse), request.count);
        request.namesExtensions = true;
        request.awaited = false;
        return true;
    }
    if (chooseConfig(s, area, request))
        return true;
    if (now >= s.nextStatePoll) {
        request.kind = Pending::State;
        request.command = protocol::kCmdState;
        protocol::appendTaId(request.payload, 0);
        request.count = 1;
        s.nextStatePoll = now + settings().statePoll;
        return true;
    }
    if (s.reaskDue || now >= s.nextCycle
        || (!settings().cycleOnly && area.outputGeneration != s.sentOutputGeneration)) {
        chooseExchange(s, area, now, request);
        return true;
    }
    s.idleUntil = std::min(s.nextCycle, s.nextStatePoll);
    return true;
}

bool TxSession::chooseZeros(LoopState &s, const Area &area, Request &request)
{
    if (s.zeroDone)
        return false;
    // Motors are never left driven: the last exchange carries zeros, first
    // to the extensions out of reach that were driven, unawaited, then to
    // those in use, answered.
    const bool wide = !s.wideZerosSent && zeroTas(true) != zeroTas(false);
    s.wideZerosSent = true;
    request.kind = Pending::Zero;
    request.command = protocol::kCmdExchange;
    request.payload = outputsPayload(area, zeroTas(wide), 0, request.count);
    request.namesExtensions = request.count > 1;
    request.awaited = !wide;
    return true;
}

bool TxSession::chooseConfig(LoopState &s, const Area &area, Request &request)
{
    const unsigned inUse = extensionsInUse();
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        const auto t = static_cast<std::size_t>(ta);
        const bool used = ta == 0 || (inUse & (1u << (ta - 1)));
        if (used && s.ackedConfigGeneration[t] != area.configGeneration[t]) {
            // Configuration goes first: outputs are only driven once the
            // controller knows which pairs form motors.
            request.kind = Pending::Config;
            request.command = protocol::kCmdConfig;
            protocol::appendTa(request.payload, static_cast<std::uint32_t>(ta), config(area, ta));
            request.count = 1;
            request.ta = ta;
            request.configGeneration = area.configGeneration[t];
            return true;
        }
    }
    return false;
}

void TxSession::chooseExchange(LoopState &s, const Area &area, Clock::time_point now, Request &request)
{
    const unsigned inUse = extensionsInUse();
    request.kind = Pending::Exchange;
    request.command = protocol::kCmdExchange;
    // Refused extensions the controller reports online are named, with
    // zeros: driven again once it answers for them.
    if (s.reaskDue)
        request.reasking = refused_ & onlineExtensions_ & ~inUse;
    s.reaskDue = false;
    const unsigned wire = 1u | extensionTas(inUse);
    request.payload = outputsPayload(area, wire | extensionTas(request.reasking), wire, request.count);
    request.namesExtensions = request.count > 1;
    s.sentOutputGeneration = area.outputGeneration;
    s.nextCycle = now + settings().cycle;
}

bool TxSession::sendRequest(LoopState &s, Request &request)
{
    const auto timeout = request.awaited ? settings().replyTimeout : settings().lastZerosWrite;
    bool stalled = false;
    const protocol::Frame frame = session_.request(request.command, request.count, std::move(request.payload));
    // The zeros kept ready take the transaction id after this request's
    // before it goes: a program killed right after the write must not have
    // its guardian repeat this one's.
    publishZeros();
    if (!send(frame, timeout)) {
        const int error = transport().lastError();
        stalled = true;
        if (error != ETIMEDOUT) {
            // A port that fails a write is gone: hung up or unplugged.
            loseLink("write failed", error, Loss::PortGone);
            return false;
        }
        // A port that takes no bytes for a while (a congested radio link) is
        // not gone: the request counts as unanswered, and only the loss rule
        // gives the link up.
        trace(path(), "the port took no bytes for %lld ms (command %u)",
              static_cast<long long>(timeout.count()), request.command);
    }
    if (!request.awaited) {
        // Nothing to wait for: choose the next request at once.
        s.idleUntil = transport().now();
        return true;
    }
    s.pending = request.kind;
    s.pendingTa = request.ta;
    s.pendingConfigGeneration = request.configGeneration;
    s.pendingNamesExtensions = request.namesExtensions;
    s.pendingReasking = request.reasking;
    s.deadline = stalled ? transport().now() : transport().now() + settings().replyTimeout;
    return true;
}

bool TxSession::readPort(LoopState &s)
{
    Transport::Wake wake;
    if (!awaitPort(s.pending != Pending::None ? s.deadline : s.idleUntil, wake))
        return false;
    if (wake != Transport::Wake::Input && wake != Transport::Wake::HungUp)
        return true;
    // A hang-up is reported at once rather than after three timeouts.
    const Received received = receive();
    if (received == Received::Closed && transport().lastError() == 0)
        loseLink("device hung up (end of file)", 0, Loss::PortGone);
    else if (received == Received::Closed || wake == Transport::Wake::HungUp)
        loseLink("device hung up", received == Received::Closed ? transport().lastError() : EIO, Loss::PortGone);
    else
        return true;
    return false;
}

void TxSession::matchReplies(LoopState &s)
{
    Frame reply;
    ReplyMatch match;
    while (s.pending != Pending::None && nextReply(reply, match)) {
        // A wrong command is waited past like a stale reply: the timeout
        // that follows decides.
        if (match != ReplyMatch::Answer)
            continue;
        replyAnswered();
        if (s.pending == Pending::Exchange || s.pending == Pending::Zero)
            takeInputs(reply);
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
            if (s.pendingReasking)
                takeReasked(s, reply);
            break;
        case Pending::State:
            takeState(s, reply);
            break;
        case Pending::None:
            break;
        }
        s.pending = Pending::None;
    }
}

void TxSession::takeState(LoopState &s, const Frame &reply)
{
    unsigned online = 0;
    if (!protocol::readOnlineExtensions(reply, online))
        return;
    if (online != onlineExtensions_) {
        trace(path(), "extensions online 0x%02x", online);
        // An extension that comes back gets its configuration again.
        for (int k = 0; k < protocol::kMaxExtensions; ++k) {
            if ((online & ~onlineExtensions_) & (1u << k))
                s.ackedConfigGeneration[static_cast<std::size_t>(k + 1)] = kNeverSent;
        }
        const unsigned before = extensionsInUse();
        onlineExtensions_ = online;
        leaveUse(before);
        s.sentOutputGeneration = kNeverSent;
    }
    if ((refused_ & online) && transport().now() >= s.nextReask)
        s.reaskDue = true;
}

void TxSession::takeReasked(LoopState &s, const Frame &reply)
{
    std::vector<protocol::Item> items;
    unsigned answered = 0;
    if (protocol::splitItems(reply, protocol::kTaInputSize, items)) {
        for (const protocol::Item &item : items) {
            if (item.taId >= 1 && item.taId <= static_cast<std::uint32_t>(protocol::kMaxExtensions))
                answered |= 1u << (item.taId - 1);
        }
    }
    const unsigned back = s.pendingReasking & answered;
    if (back) {
        trace(path(), "extensions %s answer again: driven again", extensionList(back).c_str());
        refused_ &= ~back;
        for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
            if (back & (1u << (k - 1)))
                s.ackedConfigGeneration[static_cast<std::size_t>(k)] = kNeverSent;
        }
        s.sentOutputGeneration = kNeverSent;
        s.reaskInterval = milliseconds(0);
    }
    if (s.pendingReasking & ~answered) {
        s.reaskInterval = std::min(std::max(2 * s.reaskInterval, settings().statePoll), kLongestReask);
        s.nextReask = transport().now() + s.reaskInterval;
    }
}

bool TxSession::countTimeout(LoopState &s)
{
    if (s.pending == Pending::None || transport().now() < s.deadline)
        return true;
    decoder_.reset();
    const Pending timedOut = s.pending;
    s.pending = Pending::None;
    if (timedOut == Pending::Exchange)
        s.sentOutputGeneration = kNeverSent;
    // Extensions asked again that keep quiet cost the link nothing; they are
    // asked again later, less often.
    if (timedOut == Pending::Exchange && s.pendingReasking) {
        trace(path(), "extensions %s still do not answer", extensionList(s.pendingReasking).c_str());
        s.reaskInterval = std::min(std::max(2 * s.reaskInterval, settings().statePoll), kLongestReask);
        s.nextReask = transport().now() + s.reaskInterval;
        return true;
    }
    if (timedOut == Pending::Exchange && s.pendingNamesExtensions)
        return extensionExchangeMissed(s);
    return replyMissed(session_.command());
}

bool TxSession::extensionExchangeMissed(LoopState &s)
{
    // A controller may ignore exchanges that name an extension it does not
    // have (any more): ask for the states again, then stop driving those
    // extensions, before holding it against the link. One lost reply alone
    // costs nothing.
    if (++s.extensionTimeouts == 1) {
        trace(path(), "no answer to an exchange naming extensions; asking for their states again");
        s.nextStatePoll = transport().now();
        return true;
    }
    const unsigned before = extensionsInUse();
    refused_ |= before;
    s.extensionTimeouts = 0;
    s.nextReask = transport().now() + settings().statePoll;
    trace(path(), "exchanges naming extensions %s stay unanswered; the Master alone until they answer again",
          extensionList(before).c_str());
    leaveUse(before);
    return true;
}

void TxSession::leaveUse(unsigned before)
{
    // Whatever an extension was last sent stays on it: one that was driven
    // is sent zeros on its way out of reach.
    if (const unsigned gone = extensionTas(before & ~extensionsInUse()) & drivenTas()) {
        oweZeros(gone);
        trace(path(), "extensions %s out of reach: sent zeros", extensionList(gone >> 1).c_str());
    }
}

} // namespace ftlib
