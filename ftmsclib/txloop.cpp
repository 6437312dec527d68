// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBO TX's part of the transfer cycle: its requests under transaction
// ids, the status it polls, the zeros for extensions out of reach, and what
// its answers tell of the extensions.
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

constexpr unsigned kNeverSent = TransferCycle::kNeverSent;
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

void TxSession::beginTransfer(Clock::time_point now)
{
    loop_ = LoopState{};
    loop_.nextStatePoll = !statePolling_ ? Clock::time_point::max() : stateUnasked_ ? now : now + settings().statePoll;
    loop_.nextReask = now;
}

bool TxSession::chooseOwed(const Area &area, Request &request)
{
    const unsigned inUse = extensionsInUse();
    // Zeros for driven extensions that dropped out of reach, or were
    // released while out of it: written alongside, not waited for.
    const unsigned owed = takeOwedZeros() & ~extensionTas(inUse) & ~1u;
    if (!owed)
        return false;
    request.kind = Pending::Exchange;
    request.command = protocol::kCmdExchange;
    request.payload = outputsPayload(area, 1u | extensionTas(inUse) | owed, 1u | extensionTas(inUse), request.count);
    request.awaited = false;
    return true;
}

unsigned TxSession::configuredTas() const
{
    return 1u | extensionTas(extensionsInUse());
}

void TxSession::buildConfig(const Area &area, int ta, Request &request)
{
    request.command = protocol::kCmdConfig;
    protocol::appendTa(request.payload, static_cast<std::uint32_t>(ta), config(area, ta));
    request.count = 1;
}

bool TxSession::choosePoll(Clock::time_point now, Request &request)
{
    if (now < loop_.nextStatePoll)
        return false;
    request.kind = Pending::Status;
    request.command = protocol::kCmdState;
    protocol::appendTaId(request.payload, 0);
    request.count = 1;
    loop_.nextStatePoll = now + settings().statePoll;
    return true;
}

void TxSession::buildExchange(const Area &area, Request &request)
{
    const unsigned inUse = extensionsInUse();
    request.command = protocol::kCmdExchange;
    // Refused extensions the controller reports online are named, with
    // zeros: driven again once it answers for them.
    loop_.pendingReasking = loop_.reaskDue ? refused_ & onlineExtensions_ & ~inUse : 0u;
    loop_.reaskDue = false;
    const unsigned wire = 1u | extensionTas(inUse);
    request.payload = outputsPayload(area, wire | extensionTas(loop_.pendingReasking), wire, request.count);
    loop_.pendingNamesExtensions = request.count > 1;
}

bool TxSession::buildZeros(const Area &area, Request &request)
{
    // First to the extensions out of reach that were driven, unawaited,
    // then to those in use, answered.
    const bool wide = !loop_.wideZerosSent && zeroTas(true) != zeroTas(false);
    loop_.wideZerosSent = true;
    request.command = protocol::kCmdExchange;
    request.payload = outputsPayload(area, zeroTas(wide), 0, request.count);
    request.awaited = !wide;
    return true;
}

void TxSession::stamp(Request &request)
{
    stamped_ = session_.request(request.command, request.count, std::move(request.payload));
}

bool TxSession::write(const Request &, milliseconds timeout)
{
    return send(stamped_, timeout);
}

bool TxSession::takeAnswers(Transport::Wake wake)
{
    if (wake == Transport::Wake::Input || wake == Transport::Wake::HungUp) {
        // A hang-up is reported at once rather than after three timeouts.
        const Received received = receive();
        if (received == Received::Closed && transport().lastError() == 0) {
            loseLink("device hung up (end of file)", 0, Loss::PortGone);
            return false;
        }
        if (received == Received::Closed || wake == Transport::Wake::HungUp) {
            loseLink("device hung up", received == Received::Closed ? transport().lastError() : EIO, Loss::PortGone);
            return false;
        }
    }
    matchReplies();
    return true;
}

void TxSession::matchReplies()
{
    Frame reply;
    ReplyMatch match;
    while (cycle().pending != Pending::None && nextReply(reply, match)) {
        // A wrong command is waited past like a stale reply: the timeout
        // that follows decides.
        if (match != ReplyMatch::Answer)
            continue;
        const Pending kind = answered();
        if (kind == Pending::Exchange || kind == Pending::Zero)
            takeInputs(reply);
        switch (kind) {
        case Pending::Exchange:
            takeExchange(reply);
            break;
        case Pending::Status:
            takeState(reply);
            break;
        default:
            break;
        }
    }
}

void TxSession::takeExchange(const Frame &reply)
{
    if (loop_.pendingNamesExtensions)
        loop_.extensionTimeouts = 0;
    if (loop_.pendingReasking)
        takeReasked(reply);
}

void TxSession::takeState(const Frame &reply)
{
    unsigned online = 0;
    if (!protocol::readOnlineExtensions(reply, online))
        return;
    if (online != onlineExtensions_) {
        trace(path(), "extensions online 0x%02x", online);
        // An extension that comes back gets its configuration again.
        for (int k = 0; k < protocol::kMaxExtensions; ++k) {
            if ((online & ~onlineExtensions_) & (1u << k))
                cycle().ackedConfigGeneration[static_cast<std::size_t>(k + 1)] = kNeverSent;
        }
        const unsigned before = extensionsInUse();
        onlineExtensions_ = online;
        leaveUse(before);
        cycle().sentOutputGeneration = kNeverSent;
    }
    if ((refused_ & online) && transport().now() >= loop_.nextReask)
        loop_.reaskDue = true;
}

void TxSession::takeReasked(const Frame &reply)
{
    std::vector<protocol::Item> items;
    unsigned answered = 0;
    if (protocol::splitItems(reply, protocol::kTaInputSize, items)) {
        for (const protocol::Item &item : items) {
            if (item.taId >= 1 && item.taId <= static_cast<std::uint32_t>(protocol::kMaxExtensions))
                answered |= 1u << (item.taId - 1);
        }
    }
    const unsigned back = loop_.pendingReasking & answered;
    if (back) {
        trace(path(), "extensions %s answer again: driven again", extensionList(back).c_str());
        refused_ &= ~back;
        for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
            if (back & (1u << (k - 1)))
                cycle().ackedConfigGeneration[static_cast<std::size_t>(k)] = kNeverSent;
        }
        cycle().sentOutputGeneration = kNeverSent;
        loop_.reaskInterval = milliseconds(0);
    }
    if (loop_.pendingReasking & ~answered) {
        loop_.reaskInterval = std::min(std::max(2 * loop_.reaskInterval, settings().statePoll), kLongestReask);
        loop_.nextReask = transport().now() + loop_.reaskInterval;
    }
}

bool TxSession::requestUnanswered(Pending kind)
{
    decoder_.reset();
    // Extensions asked again that keep quiet cost the link nothing; they are
    // asked again later, less often.
    if (kind == Pending::Exchange && loop_.pendingReasking) {
        trace(path(), "extensions %s still do not answer", extensionList(loop_.pendingReasking).c_str());
        loop_.reaskInterval = std::min(std::max(2 * loop_.reaskInterval, settings().statePoll), kLongestReask);
        loop_.nextReask = transport().now() + loop_.reaskInterval;
        return true;
    }
    if (kind == Pending::Exchange && loop_.pendingNamesExtensions)
        return extensionExchangeMissed();
    return replyMissed(cycle().pendingCommand);
}

bool TxSession::extensionExchangeMissed()
{
    // A controller may ignore exchanges that name an extension it does not
    // have (any more): ask for the states again, then stop driving those
    // extensions, before holding it against the link. One lost reply alone
    // costs nothing.
    if (++loop_.extensionTimeouts == 1) {
        trace(path(), "no answer to an exchange naming extensions; asking for their states again");
        loop_.nextStatePoll = transport().now();
        return true;
    }
    const unsigned before = extensionsInUse();
    refused_ |= before;
    loop_.extensionTimeouts = 0;
    loop_.nextReask = transport().now() + settings().statePoll;
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
