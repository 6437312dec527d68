// SPDX-License-Identifier: GPL-3.0-or-later
// The transfer loop's one request cycle, the same for every session: what
// goes next, the zeros kept ready ahead of each request, one request
// outstanding at a time, the wait, and what a missing answer costs. The
// session supplies its bytes and what only its controller asks.
#include "ftmsclib/device.h"

#include <algorithm>
#include <cerrno>

#include "ftmsclib/trace.h"

namespace ftlib {

using std::chrono::milliseconds;

void Device::transfer()
{
    const auto now = transport_->now();
    cycle_.restart(now);
    beginTransfer(now);
    for (;;) {
        if (cycle_.pending == Pending::None) {
            Request request;
            if (!chooseRequest(request))
                return;
            if (request.kind != Pending::None && !sendRequest(request))
                return;
        }
        if (!readAnswers() || !checkTimeout())
            return;
    }
}

bool Device::chooseRequest(Request &request)
{
    TransferCycle &c = cycle_;
    const auto now = transport_->now();
    const Area area = this->area();
    if (area.stopRequested) {
        // Motors are never left driven: the last exchange carries zeros,
        // answered, before anything that ends the conversation.
        if (!c.zeroDone && buildZeros(area, request)) {
            request.kind = Pending::Zero;
            return true;
        }
        return chooseFarewell(request);
    }
    if (chooseOpening(request))
        return true;
    if (now < area.silentUntil) {
        c.idleUntil = area.silentUntil;
        return true;
    }
    if (chooseOwed(area, request))
        return true;
    // Configuration goes first: outputs are only driven once the controller
    // knows which pairs form motors.
    if (chooseConfig(area, request))
        return true;
    if (choosePoll(now, request))
        return true;
    if (exchangeDue() || now >= c.nextCycle
        || (!settings_.cycleOnly && area.outputGeneration != c.sentOutputGeneration)) {
        request.kind = Pending::Exchange;
        buildExchange(area, request);
        c.sentOutputGeneration = area.outputGeneration;
        if (!answersInOrder())
            c.nextCycle = now + settings_.cycle;
        return true;
    }
    c.idleUntil = std::min(c.nextCycle, ownDue());
    return true;
}

bool Device::chooseConfig(const Area &area, Request &request)
{
    const unsigned tas = configuredTas();
    for (int ta = 0; ta < protocol::kTaCount; ++ta) {
        const auto t = static_cast<std::size_t>(ta);
        if (!(tas & (1u << ta)) || cycle_.ackedConfigGeneration[t] == area.configGeneration[t])
            continue;
        request.kind = Pending::Config;
        request.ta = ta;
        request.configGeneration = area.configGeneration[t];
        buildConfig(area, ta, request);
        return true;
    }
    return false;
}

bool Device::sendRequest(Request &request)
{
    TransferCycle &c = cycle_;
    const milliseconds timeout = request.awaited ? settings_.replyTimeout : settings_.lastZerosWrite;
    // The zeros kept ready follow the request before it is written: a
    // program killed right after the write must not have its guardian
    // repeat this request's transaction id, nor send zeros after a
    // StopOnline.
    stamp(request);
    publishZeros();
    bool stalled = false;
    if (!write(request, timeout)) {
        writeFailed();
        const int error = transport_->lastError();
        if (error != ETIMEDOUT) {
            // A port that fails a write is gone: hung up, unplugged, or a
            // connection closed or reset.
            loseLink("write failed", error, Loss::PortGone);
            return false;
        }
        if (answersInOrder()) {
            // Part of a request may have gone: the stream is out of step.
            loseLink("the connection took no bytes", error, Loss::Silence);
            return false;
        }
        // A port that takes no bytes for a while (a congested radio link) is
        // not gone: the request counts as unanswered, and only the loss rule
        // gives the link up.
        stalled = true;
        trace(path_, "the port took no bytes for %lld ms (command %u)", static_cast<long long>(timeout.count()),
              request.command);
    }
    if (!request.awaited) {
        // Nothing to wait for: choose the next request at once.
        c.idleUntil = transport_->now();
        return true;
    }
    c.pending = request.kind;
    c.pendingCommand = request.command;
    c.pendingTa = request.ta;
    c.pendingConfigGeneration = request.configGeneration;
    c.deadline = stalled ? transport_->now() : transport_->now() + settings_.replyTimeout;
    return true;
}

bool Device::readAnswers()
{
    Transport::Wake wake;
    if (!awaitPort(cycle_.pending != Pending::None ? cycle_.deadline : cycle_.idleUntil, wake))
        return false;
    return takeAnswers(wake);
}

Device::Pending Device::answered()
{
    TransferCycle &c = cycle_;
    replyAnswered();
    const Pending kind = c.pending;
    c.pending = Pending::None;
    if (kind == Pending::Config)
        c.ackedConfigGeneration[static_cast<std::size_t>(c.pendingTa)] = c.pendingConfigGeneration;
    else if (kind == Pending::Zero)
        c.zeroDone = true;
    // Where no request may overtake the answer to the one before, the next
    // exchange waits for this answer anyway: the cycle counts from it.
    if (answersInOrder() && (kind == Pending::Exchange || kind == Pending::Zero))
        c.nextCycle = transport_->now() + settings_.cycle;
    return kind;
}

bool Device::checkTimeout()
{
    TransferCycle &c = cycle_;
    if (c.pending == Pending::None || transport_->now() < c.deadline)
        return true;
    if (answersInOrder()) {
        // No request goes again: a late answer could not be told from the
        // next one. The same one is awaited until the loss rule gives the
        // link up.
        if (!replyMissed(c.pendingCommand))
            return false;
        c.deadline = transport_->now() + settings_.replyTimeout;
        return true;
    }
    const Pending timedOut = c.pending;
    c.pending = Pending::None;
    if (timedOut == Pending::Exchange)
        c.sentOutputGeneration = TransferCycle::kNeverSent;
    return requestUnanswered(timedOut);
}

bool Device::requestUnanswered(Pending)
{
    return replyMissed(cycle_.pendingCommand);
}

} // namespace ftlib
