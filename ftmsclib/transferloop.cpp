// SPDX-License-Identifier: GPL-3.0-or-later
// The transfer loop: configuration, exchanges and status requests in turn,
// one outstanding at a time, and what goes on the wire.
#include "ftmsclib/device.h"

#include <algorithm>
#include <atomic>
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
// A guardian that ended before it was ready is started again after a
// second, then ever less often, up to this.
constexpr milliseconds kLongestGuardianBackoff{60000};

// Extension mask (bit k-1) to controller mask (bit k).
constexpr unsigned extensionTas(unsigned extensions)
{
    return extensions << 1;
}

// Said once per process, whatever the trace level: a program that the
// library cannot guard should know.
void tellUnguarded(const std::string &port, const std::string &why)
{
    static std::atomic<bool> told{false};
    if (!told.exchange(true))
        traceAlways(port, "no working guardian (%s): outputs stay as they are if the program is killed", why.c_str());
    else
        trace(port, "no working guardian (%s)", why.c_str());
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

void Device::loop()
{
    LoopState s;
    s.ackedConfigGeneration.fill(kNeverSent);
    s.sentOutputGeneration = kNeverSent;
    const auto now = transport_->now();
    s.deadline = now;
    s.nextCycle = now;
    s.nextStatePoll = !statePolling_ ? Clock::time_point::max() : stateUnasked_ ? now : now + settings_.statePoll;
    s.idleUntil = now;
    s.nextReask = now;
    try {
        // Guarded before anything that drives goes out.
        if (guarded_) {
            takeFirstGuardian();
            superviseGuardian();
        }
        const std::vector<std::uint8_t> zeros = lastZeros();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            emergency_.arm(transport_->descriptor(), zeros, guardian_.zerosClaim());
            guardian_.publish(zeros);
            guardian_.setLive(true);
        }
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
            if (guarded_ && !guardian_.running() && transport_->now() >= nextGuardianStart_)
                superviseGuardian();
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
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.setLive(false);
}

bool Device::chooseRequest(LoopState &s, Request &request)
{
    const auto now = transport_->now();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopRequested_ && s.zeroDone)
        return false;
    const unsigned inUse = extensionsInUse();
    if (stopRequested_) {
        // Motors are never left driven: the last exchange carries zeros,
        // first to the extensions out of reach that were driven, unawaited,
        // then to those in use, answered.
        const bool wide = !s.wideZerosSent && zeroTas(true) != zeroTas(false);
        s.wideZerosSent = true;
        request.kind = Pending::Zero;
        request.command = protocol::kCmdExchange;
        request.payload = outputsPayload(zeroTas(wide), 0, request.count);
        request.namesExtensions = request.count > 1;
        request.awaited = !wide;
        return true;
    }
    if (now < silentUntil_) {
        s.idleUntil = silentUntil_;
        return true;
    }
    // Zeros for driven extensions that dropped out of reach, or were
    // released while out of it: written alongside, not waited for.
    if (const unsigned owed = owedZeros_.exchange(0) & ~extensionTas(inUse) & ~1u) {
        request.kind = Pending::Exchange;
        request.command = protocol::kCmdExchange;
        request.payload = outputsPayload(1u | extensionTas(inUse) | owed, 1u | extensionTas(inUse), request.count);
        request.namesExtensions = true;
        request.awaited = false;
        return true;
    }
    const auto used = [inUse](int ta) { return ta == 0 || (inUse & (1u << (ta - 1))); };
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
    if (s.reaskDue || now >= s.nextCycle || (!settings_.cycleOnly && outputGeneration_ != s.sentOutputGeneration)) {
        request.kind = Pending::Exchange;
        request.command = protocol::kCmdExchange;
        // Refused extensions the controller reports online are named, with
        // zeros: driven again once it answers for them.
        if (s.reaskDue)
            request.reasking = refused_ & onlineExtensions_ & ~inUse;
        s.reaskDue = false;
        const unsigned wire = 1u | extensionTas(inUse);
        request.payload = outputsPayload(wire | extensionTas(request.reasking), wire, request.count);
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
    const auto timeout = request.awaited ? settings_.replyTimeout : settings_.lastZerosWrite;
    bool stalled = false;
    if (!send(session_.request(request.command, request.count, std::move(request.payload)), timeout)) {
        const int error = transport_->lastError();
        stalled = true;
        if (error != ETIMEDOUT) {
            // A port that fails a write is gone: hung up or unplugged.
            loseLink("write failed", error, Loss::PortGone);
            return false;
        }
        // A port that takes no bytes for a while (a congested radio link) is
        // not gone: the request counts as unanswered, and only the loss rule
        // gives the link up.
        trace(path_, "the port took no bytes for %lld ms (command %u)", static_cast<long long>(timeout.count()),
              request.command);
        if (!request.awaited) {
            s.idleUntil = transport_->now();
            return true;
        }
    }
    publishPreparedZeros();
    if (!request.awaited) {
        // Nothing to wait for: choose the next request at once.
        s.idleUntil = transport_->now();
        return true;
    }
    s.pending = request.kind;
    s.pendingTa = request.ta;
    s.pendingConfigGeneration = request.configGeneration;
    s.pendingNamesExtensions = request.namesExtensions;
    s.pendingReasking = request.reasking;
    s.deadline = stalled ? transport_->now() : transport_->now() + settings_.replyTimeout;
    return true;
}

bool Device::readPort(LoopState &s)
{
    const Transport::Wake wake =
        transport_->wait(s.pending != Pending::None ? s.deadline : s.idleUntil, wakeFd_, guardian_.watchFd());
    if (wake == Transport::Wake::Failed) {
        loseLink("cannot wait on the port", transport_->lastError(), Loss::Silence);
        return false;
    }
    if (wake == Transport::Wake::Woken) {
        drainWake();
        if (guarded_)
            superviseGuardian();
    }
    if (wake != Transport::Wake::Input && wake != Transport::Wake::HungUp)
        return true;
    // A hang-up is reported at once rather than after three timeouts.
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

void Device::takeState(LoopState &s, const Frame &reply)
{
    unsigned online = 0;
    if (!protocol::readOnlineExtensions(reply, online))
        return;
    if (online != onlineExtensions_) {
        trace(path_, "extensions online 0x%02x", online);
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
    if ((refused_ & online) && transport_->now() >= s.nextReask)
        s.reaskDue = true;
}

void Device::takeReasked(LoopState &s, const Frame &reply)
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
        trace(path_, "extensions %s answer again: driven again", extensionList(back).c_str());
        refused_ &= ~back;
        for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
            if (back & (1u << (k - 1)))
                s.ackedConfigGeneration[static_cast<std::size_t>(k)] = kNeverSent;
        }
        s.sentOutputGeneration = kNeverSent;
        s.reaskInterval = milliseconds(0);
    }
    if (s.pendingReasking & ~answered) {
        s.reaskInterval = std::min(std::max(2 * s.reaskInterval, settings_.statePoll), kLongestReask);
        s.nextReask = transport_->now() + s.reaskInterval;
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
    // Extensions asked again that keep quiet cost the link nothing; they are
    // asked again later, less often.
    if (timedOut == Pending::Exchange && s.pendingReasking) {
        trace(path_, "extensions %s still do not answer", extensionList(s.pendingReasking).c_str());
        s.reaskInterval = std::min(std::max(2 * s.reaskInterval, settings_.statePoll), kLongestReask);
        s.nextReask = transport_->now() + s.reaskInterval;
        return true;
    }
    // A controller may ignore exchanges that name an extension it does not
    // have (any more): ask for the states again, then stop driving those
    // extensions, before holding it against the link. One lost reply alone
    // costs nothing.
    if (timedOut == Pending::Exchange && s.pendingNamesExtensions) {
        if (++s.extensionTimeouts == 1) {
            trace(path_, "no answer to an exchange naming extensions; asking for their states again");
            s.nextStatePoll = transport_->now();
        } else {
            const unsigned before = extensionsInUse();
            refused_ |= before;
            s.extensionTimeouts = 0;
            s.nextReask = transport_->now() + settings_.statePoll;
            trace(path_, "exchanges naming extensions %s stay unanswered; the Master alone until they answer again",
                  extensionList(before).c_str());
            leaveUse(before);
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

void Device::leaveUse(unsigned before)
{
    // Whatever an extension was last sent stays on it: one that was driven
    // is sent zeros on its way out of reach.
    if (const unsigned gone = extensionTas(before & ~extensionsInUse()) & drivenTas_) {
        owedZeros_ |= gone;
        trace(path_, "extensions %s out of reach: sent zeros", extensionList(gone >> 1).c_str());
    }
}

void Device::superviseGuardian()
{
    std::string how;
    switch (guardian_.check(how)) {
    case Guardian::News::Ready:
        guardianReady_ = true;
        guardianBackoff_ = milliseconds(0);
        trace(path_, "guardian pid %d watches the program", static_cast<int>(guardian_.pid()));
        setGuardianNote("watching (pid " + std::to_string(guardian_.pid()) + ")");
        break;
    case Guardian::News::Ended:
        trace(path_, "the guardian %s%s", how.c_str(), guardianReady_ ? "; starting a new one" : " before it was ready");
        // One that cannot even start up would be started in a loop.
        if (!guardianReady_)
            unguarded("the guardian " + how + " before it was ready");
        guardianReady_ = false;
        break;
    case Guardian::News::None:
        break;
    }
    if (!guardian_.running() && transport_->now() >= nextGuardianStart_)
        startGuardian();
}

void Device::takeFirstGuardian()
{
    if (!firstGuardianStart_.joinable())
        return;
    firstGuardianStart_.join();
    if (!firstGuardianStarted_) {
        unguarded(firstGuardianWhy_);
        return;
    }
    trace(path_, "guardian pid %d started", static_cast<int>(firstGuardian_.pid()));
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.replaceWith(firstGuardian_);
    // Not a guardian that ended: one that was never there.
    firstGuardian_.dismiss();
}

void Device::startGuardian()
{
    Guardian fresh;
    std::string why;
    if (!fresh.start(transport_->descriptor(), why)) {
        unguarded(why);
        return;
    }
    trace(path_, "guardian pid %d started", static_cast<int>(fresh.pid()));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        guardian_.replaceWith(fresh);
        guardian_.publish(lastZeros());
    }
    emergency_.setClaim(guardian_.zerosClaim());
    // The one replaced is gone; its memory goes too, unless a fatal-signal
    // handler may still be looking at it.
    fresh.dismiss(!EmergencyStop::dying());
}

void Device::unguarded(const std::string &why)
{
    guardianBackoff_ = std::min(std::max(2 * guardianBackoff_, milliseconds(1000)), kLongestGuardianBackoff);
    nextGuardianStart_ = transport_->now() + guardianBackoff_;
    tellUnguarded(path_, why);
    setGuardianNote("none: " + why);
}

void Device::setGuardianNote(const std::string &note)
{
    std::lock_guard<std::mutex> lock(mutex_);
    guardianNote_ = note;
}

std::string Device::guardianState() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return guardianNote_;
}

unsigned Device::extensionsInUse() const
{
    return settings_.extensions ? onlineExtensions_.load() & ~refused_.load() : 0u;
}

unsigned Device::zeroTas(bool driven) const
{
    const unsigned inUse = 1u | extensionTas(extensionsInUse());
    return driven ? inUse | drivenTas_.load() : inUse;
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

std::vector<std::uint8_t> Device::outputsPayload(unsigned tas, unsigned wire, std::uint32_t &count) const
{
    std::vector<std::uint8_t> payload;
    count = 0;
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        if (tas & (1u << ta)) {
            protocol::appendTa(payload, static_cast<std::uint32_t>(ta),
                               wire & (1u << ta) ? wireOutputs(ta) : protocol::TaOutput{});
            ++count;
        }
    }
    return payload;
}

std::vector<std::uint8_t> Device::lastZeros() const
{
    // A copy, so that the loop's own next request keeps its transaction id.
    protocol::Session next = session_;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> payload = outputsPayload(zeroTas(false), 0, count);
    std::vector<std::uint8_t> bytes = protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
    if (zeroTas(true) != zeroTas(false)) {
        payload = outputsPayload(zeroTas(true), 0, count);
        const std::vector<std::uint8_t> wide =
            protocol::encodeFrame(next.request(protocol::kCmdExchange, count, std::move(payload)));
        bytes.insert(bytes.end(), wide.begin(), wide.end());
    }
    return bytes;
}

void Device::publishPreparedZeros()
{
    const std::vector<std::uint8_t> zeros = lastZeros();
    emergency_.publish(zeros);
    std::lock_guard<std::mutex> lock(mutex_);
    guardian_.publish(zeros);
}

} // namespace ftlib
