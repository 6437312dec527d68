// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBO TX's conversation at open: the console probe, the echo that opens a
// session, and what the controller says about itself and its extensions.
#include "ftmsclib/txsession.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/trace.h"
#include "protocol/console.h"

namespace ftlib {

using protocol::Frame;
using protocol::ReplyMatch;

namespace {

std::string versionText(const std::array<std::uint8_t, 4> &v)
{
    char text[32];
    std::snprintf(text, sizeof text, "V %u.%02u, DLL %u", v[2], v[3], v[1]);
    return text;
}

std::vector<std::uint8_t> taIdPayload(int ta)
{
    std::vector<std::uint8_t> payload;
    protocol::appendTaId(payload, static_cast<std::uint32_t>(ta));
    return payload;
}

} // namespace

std::uint32_t TxSession::identify()
{
    openDeadline_ = transport().now() + settings().openBudget;
    readConsole();
    std::uint32_t status = askEcho();
    if (status == FTLIB_ERR_SUCCESS)
        status = askInformation();
    if (status != FTLIB_ERR_SUCCESS)
        return status;
    if (!settings().extensions) {
        statePolling_ = false;
        trace(path(), "extensions off (KAVRIK_FTLIB_EXTENSIONS=0): the Master alone");
        return FTLIB_ERR_SUCCESS;
    }
    status = askStatus();
    return status == FTLIB_ERR_SUCCESS ? greetExtensions() : status;
}

void TxSession::readConsole()
{
    const std::vector<std::uint8_t> probe = protocol::consoleProbe();
    traceSentText(path(), "console probe", probe);
    if (!transport().writeAll(probe.data(), probe.size(), writeBound(openDeadline_))) {
        traceError(path(), transport().lastError(), "cannot write the console probe");
        return;
    }
    protocol::ConsoleAnswerParser console;
    std::vector<std::uint8_t> &seen = consoleBytes_;
    const auto deadline = std::min(transport().now() + settings().probeTimeout, openDeadline_);
    while (!console.finished() && transport().now() < deadline) {
        const Transport::Wake wake = transport().wait(deadline, -1);
        if (wake == Transport::Wake::Timeout || wake == Transport::Wake::Failed)
            break;
        std::uint8_t buffer[256];
        std::size_t got = 0;
        // A closed port shows at the echo, which must be answered.
        if (transport().read(buffer, sizeof buffer, got) == ReadResult::Closed)
            break;
        console.feed(buffer, got);
        if (seen.size() < 4096)
            seen.insert(seen.end(), buffer, buffer + got);
    }
    identity_.serial = console.serial();
    consoleAnswered_ = console.finished();
    traceConsoleAnswer(path(), seen);
    trace(path(), "serial number %s%s", console.serial().empty() ? "unknown" : console.serial().c_str(),
          console.finished() ? "" : " (console answer incomplete)");
}

std::uint32_t TxSession::askEcho()
{
    Frame reply;
    const std::vector<std::uint8_t> echo = protocol::echoPayload();
    Asking asking;
    asking.attempts = settings().maxTimeouts;
    asking.newSession = true;
    // The echo is asked again while the link may still be forming, but
    // leaves the information and the status their time within the open.
    asking.until = openDeadline_ - 2 * settings().replyTimeout;
    if (settings().echoWindow.count() > 0)
        asking.keepTrying = std::min(transport().now() + settings().echoWindow, asking.until);
    int attempt = 0;
    switch (transact(protocol::kCmdEcho, echo, reply, asking, attempt)) {
    case Outcome::Answer:
        break;
    case Outcome::NotAsked:
    case Outcome::NoAnswer:
        // Bytes that came but never formed a frame: something else answers.
        if (framesSeen_ == 0 && (bytesReceived_ > 0 || (!consoleBytes_.empty() && !consoleAnswered_))) {
            trace(path(), "no answer to the echo request, but %zu bytes that form no frame: not a ROBO TX",
                  bytesReceived_ + (consoleAnswered_ ? 0 : consoleBytes_.size()));
            return FTLIB_ERR_INIT_COM;
        }
        trace(path(), "no answer to the echo request");
        return FTLIB_ERR_INIT_COM_TIMEOUT;
    case Outcome::WrongCommand:
    case Outcome::PortFailed:
        return FTLIB_ERR_INIT_COM;
    }
    // An answer to an earlier try may come later, each of a new session:
    // nextReply() takes those as they come.
    if (attempt > 0)
        trace(path(), "echo answered after %d tries; later answers to the others are taken as they come", attempt + 1);
    Frame echoRequest;
    echoRequest.items = 1;
    echoRequest.payload = echo;
    identity_.echo = protocol::classifyEcho(echoRequest, reply);
    if (identity_.echo == protocol::EchoReply::Other)
        trace(path(), "echo reply with unexpected payload (%zu bytes), accepted", reply.payload.size());
    return FTLIB_ERR_SUCCESS;
}

// Information and status are only informative: one try each, and a
// controller that keeps quiet is driven as a Master alone.
std::uint32_t TxSession::askInformation()
{
    Frame reply;
    switch (askMasterOnce(protocol::kCmdInfo, reply)) {
    case Outcome::Answer:
        identity_.infoAnswered = true;
        if (protocol::readInfo(reply, identity_.info))
            trace(path(), "controller \"%s\", firmware %s, session %u", identity_.info.name.c_str(),
                  versionText(identity_.info.firmwareVersion).c_str(), session_.sid());
        else
            trace(path(), "information reply not understood (%zu bytes), carrying on", reply.payload.size());
        return FTLIB_ERR_SUCCESS;
    case Outcome::NoAnswer:
        trace(path(), "no answer to the information request; carrying on without name and firmware");
        return FTLIB_ERR_SUCCESS;
    case Outcome::NotAsked:
        trace(path(), "the open's time is up: information not asked; carrying on without name and firmware");
        return FTLIB_ERR_SUCCESS;
    case Outcome::WrongCommand:
    case Outcome::PortFailed:
        break;
    }
    return FTLIB_ERR_INIT_COM;
}

std::uint32_t TxSession::askStatus()
{
    Frame reply;
    switch (askMasterOnce(protocol::kCmdState, reply)) {
    case Outcome::Answer:
        identity_.stateAnswered = true;
        if (unsigned online = 0; protocol::readOnlineExtensions(reply, online))
            onlineExtensions_ = online;
        else
            trace(path(), "status reply not understood (%zu bytes), carrying on with the Master alone",
                  reply.payload.size());
        break;
    case Outcome::NoAnswer:
        statePolling_ = false;
        trace(path(), "no answer to the status request; the Master alone, and no more status requests");
        break;
    case Outcome::NotAsked:
        // The transfer asks at once and drives the extensions it learns of.
        stateUnasked_ = true;
        trace(path(), "the open's time is up: status not asked; the transfer asks for it");
        break;
    case Outcome::WrongCommand:
    case Outcome::PortFailed:
        return FTLIB_ERR_INIT_COM;
    }
    identity_.onlineExtensions = onlineExtensions_;
    return FTLIB_ERR_SUCCESS;
}

std::uint32_t TxSession::greetExtensions()
{
    // However many extensions the device reports, asking them takes a few
    // reply timeouts in all; the ones not asked are driven all the same.
    Asking once;
    once.until = std::min(openDeadline_, transport().now() + settings().extensionTimeouts * settings().replyTimeout);
    for (int k = 1; k <= protocol::kMaxExtensions; ++k) {
        if (!(onlineExtensions_ & (1u << (k - 1))))
            continue;
        if (transport().now() >= once.until) {
            trace(path(), "extension %d online, not asked for its name: the open's time is up", k);
            continue;
        }
        Frame reply;
        protocol::TaInfo info;
        int attempt = 0;
        const Outcome outcome = transact(protocol::kCmdInfo, taIdPayload(k), reply, once, attempt);
        if (outcome == Outcome::WrongCommand || outcome == Outcome::PortFailed)
            return FTLIB_ERR_INIT_COM;
        if (outcome == Outcome::Answer && protocol::readInfo(reply, info))
            trace(path(), "extension %d \"%s\"", k, info.name.c_str());
        else if (outcome == Outcome::NotAsked)
            trace(path(), "extension %d online, not asked for its name: the open's time is up", k);
        else
            trace(path(), "extension %d online", k);
    }
    return FTLIB_ERR_SUCCESS;
}

TxSession::Outcome TxSession::askMasterOnce(std::uint32_t command, Frame &reply)
{
    Asking once;
    once.until = openDeadline_;
    int attempt = 0;
    return transact(command, taIdPayload(0), reply, once, attempt);
}

TxSession::Outcome TxSession::transact(std::uint32_t command, const std::vector<std::uint8_t> &payload, Frame &reply,
                                 const Asking &asking, int &attempt)
{
    Outcome outcome = Outcome::NotAsked;
    for (attempt = 0; (attempt < asking.attempts || transport().now() < asking.keepTrying)
                      && transport().now() < asking.until;
         ++attempt) {
        // A repeated echo must still say "new session" (TID 1, SID 0).
        if (asking.newSession)
            session_.restart();
        const Frame request = session_.request(command, 1, payload);
        outcome = Outcome::NoAnswer;
        // Not even a port that takes no bytes holds the open beyond its time.
        if (!send(request, writeBound(asking.until))) {
            if (transport().lastError() != ETIMEDOUT) {
                traceError(path(), transport().lastError(), "cannot write command %u", command);
                return Outcome::PortFailed;
            }
            trace(path(), "the port took no bytes (command %u, attempt %d)", command, attempt + 1);
            continue;
        }
        const Outcome answer = awaitAnswer(command, asking.until, reply);
        if (answer != Outcome::NoAnswer)
            return answer;
        decoder_.reset();
        trace(path(), "no answer to command %u within %lld ms (attempt %d)", command,
              static_cast<long long>(settings().replyTimeout.count()), attempt + 1);
    }
    return outcome;
}

TxSession::Outcome TxSession::awaitAnswer(std::uint32_t command, Clock::time_point until, Frame &reply)
{
    const auto deadline = std::min(transport().now() + settings().replyTimeout, until);
    while (transport().now() < deadline) {
        const Transport::Wake wake = transport().wait(deadline, -1);
        if (wake == Transport::Wake::Timeout || wake == Transport::Wake::Failed)
            break;
        if (receive() == Received::Closed) {
            traceError(path(), transport().lastError(), "the port closed while waiting for the answer to command %u",
                       command);
            return Outcome::PortFailed;
        }
        ReplyMatch match;
        while (nextReply(reply, match)) {
            if (match == ReplyMatch::Answer)
                return Outcome::Answer;
            if (match == ReplyMatch::WrongCommand)
                return Outcome::WrongCommand;
        }
    }
    return Outcome::NoAnswer;
}

std::chrono::milliseconds TxSession::writeBound(Clock::time_point until) const
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - transport().now());
    return std::max(std::chrono::milliseconds(0), std::min(settings().replyTimeout, left));
}

} // namespace ftlib
