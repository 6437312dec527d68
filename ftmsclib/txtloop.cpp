// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBOTICS TXT's part of the transfer cycle: online mode around it, the
// connection made anew for each start, its requests in order, one
// outstanding at a time, and the stop that ends online mode.
#include "ftmsclib/txtsession.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/tcpport.h"
#include "ftmsclib/trace.h"

namespace ftlib {

namespace txt = protocol::txt;

namespace {

// A TXT still tearing down the connection that just ended turns the next
// one away for a moment (refused, or ended before it answers): a start this
// soon after a stop tries again until then, a little apart.
constexpr std::chrono::milliseconds kTeardown{500};
constexpr std::chrono::milliseconds kRetryPause{20};
// No status of the library's: a stop came while the start waited.
constexpr std::uint32_t kStoppedMeanwhile = ~0u;

const char *commandName(std::uint32_t command)
{
    switch (command) {
    case txt::kStartOnline:
        return "StartOnline";
    case txt::kUpdateConfig:
        return "UpdateConfig";
    case txt::kExchangeData:
        return "ExchangeData";
    case txt::kExchangeDataCmpr:
        return "ExchangeDataCmpr";
    case txt::kStopOnline:
        return "StopOnline";
    default:
        return "QueryStatus";
    }
}

} // namespace

bool TxtSession::prepare()
{
    if (!spent_)
        return true;
    // StopOnline ended the last connection: online mode takes a new one.
    if (given_) {
        loseLink("online mode ended on this stream", 0, Loss::PortGone);
        return false;
    }
    const std::uint32_t status = reconnect();
    if (status == FTLIB_ERR_SUCCESS) {
        spent_ = false;
        shareAnswers();
        return true;
    }
    // A stop while it waited to try again: nothing was driven on a
    // connection that never came, and the next start tries anew.
    if (status == kStoppedMeanwhile)
        return false;
    loseLink("cannot connect again", 0, status == FTLIB_ERR_INIT_COM_TIMEOUT ? Loss::Silence : Loss::PortGone);
    return false;
}

std::uint32_t TxtSession::reconnect()
{
    const Clock::time_point until = Clock::now() + settings().openBudget;
    const Clock::time_point retryUntil = std::min(until, endedAt_ + kTeardown);
    for (;;) {
        std::unique_ptr<TcpPort> port;
        bool turnedAway = false;
        std::uint32_t status = connect(until, port, &turnedAway);
        if (status == FTLIB_ERR_SUCCESS) {
            replaceTransport(std::move(port));
            status = askStatus(until, &turnedAway);
        }
        if (status == FTLIB_ERR_SUCCESS || !turnedAway || Clock::now() + kRetryPause >= retryUntil)
            return status;
        trace(path(), "turned away right after the last connection ended; trying again");
        std::this_thread::sleep_for(kRetryPause);
        if (area().stopRequested)
            return kStoppedMeanwhile;
    }
}

void TxtSession::beginTransfer(Clock::time_point)
{
    loop_ = LoopState{};
    // Each online period starts from fresh references at both ends, with
    // new configuration ids, and finds out anew whether the extension is
    // there.
    sent_.reset();
    received_.reset();
    mask_ = 0;
    configId_.fill(0);
    present_ = 0;
    online_ = false;
    spent_ = true;
}

bool TxtSession::chooseOpening(Request &request)
{
    if (loop_.online)
        return false;
    request.kind = Pending::Start;
    request.command = txt::kStartOnline;
    request.payload = txt::startOnline();
    return true;
}

unsigned TxtSession::configuredTas() const
{
    return 1u | (mask_ & 1u) << 1;
}

void TxtSession::buildConfig(const Area &area, int ta, Request &request)
{
    request.command = txt::kUpdateConfig;
    request.payload = configBytes(area, ta);
}

void TxtSession::buildExchange(const Area &area, Request &request)
{
    loop_.exchanged = true;
    request.command = plain_ ? txt::kExchangeData : txt::kExchangeDataCmpr;
    request.payload = exchangeBytes(area, false, sent_);
}

bool TxtSession::buildZeros(const Area &, Request &request)
{
    // Answered before StopOnline; after it the TXT takes nothing but a new
    // connection.
    if (!loop_.online || !loop_.exchanged)
        return false;
    request.command = plain_ ? txt::kExchangeData : txt::kExchangeDataCmpr;
    request.payload = exchangeBytes(Area{}, true, sent_);
    return true;
}

bool TxtSession::chooseFarewell(Request &request)
{
    if (loop_.online && !loop_.stopDone) {
        // Nothing may follow it, not even the zeros of a program that dies
        // while it is on its way.
        online_ = false;
        request.kind = Pending::Stop;
        request.command = txt::kStopOnline;
        request.payload = txt::stopOnline();
        return true;
    }
    stream().shutdown();
    endedAt_ = Clock::now();
    return false;
}

void TxtSession::stamp(Request &request)
{
    // Said before the bytes go: a guardian that finds the program gone
    // waits for this answer before its zeros follow, and has none after
    // StopOnline.
    guarding().setAwaiting(true, answerFor(request.command));
}

bool TxtSession::write(const Request &request, std::chrono::milliseconds timeout)
{
    traceSentText(path(), commandName(request.command), request.payload);
    return sendBytes(request.payload, timeout);
}

void TxtSession::writeFailed()
{
    guarding().setAwaiting(false);
}

bool TxtSession::takeAnswers(Transport::Wake wake)
{
    if (wake != Transport::Wake::Input && wake != Transport::Wake::HungUp)
        return true;
    // A whole answer may still be there before the end of the connection.
    std::vector<std::uint8_t> packet;
    for (;;) {
        switch (takePacket(packet)) {
        case Take::Packet:
            if (!takeReply(packet))
                return false;
            continue;
        case Take::Garbled:
            loseLink("the TXT sent no answer of its protocol", 0, Loss::Garbled);
            return false;
        case Take::Closed:
            break;
        case Take::Nothing:
            if (wake != Transport::Wake::HungUp)
                return true;
            break;
        }
        const int error = transport().lastError();
        loseLink(error == 0 ? "the TXT closed the connection" : "the connection failed", error, Loss::PortGone);
        return false;
    }
}

bool TxtSession::takeReply(const std::vector<std::uint8_t> &reply)
{
    const std::uint32_t command = cycle().pendingCommand;
    if (cycle().pending == Pending::None || txt::packetId(reply.data()) != txt::replyIdFor(command)) {
        trace(path(), "packet 0x%08x does not answer %s", txt::packetId(reply.data()), commandName(command));
        loseLink("the TXT answered out of step", 0, Loss::Garbled);
        return false;
    }
    const Pending kind = answered();
    guarding().setAwaiting(false);
    switch (kind) {
    case Pending::Start:
        loop_.online = true;
        online_ = true;
        trace(path(), "online");
        break;
    case Pending::Exchange:
    case Pending::Zero:
        return takeExchange(reply);
    case Pending::Stop:
        loop_.stopDone = true;
        trace(path(), "online mode ended");
        break;
    default:
        break;
    }
    return true;
}

bool TxtSession::takeExchange(const std::vector<std::uint8_t> &reply)
{
    if (plain_) {
        txt::Inputs inputs;
        if (txt::readExchangeReply(reply.data(), reply.size(), inputs)) {
            takeInputs({inputs});
            return true;
        }
        loseLink("an exchange answer of the wrong size", 0, Loss::Garbled);
        return false;
    }
    std::uint16_t mask = 0;
    std::vector<txt::Inputs> blocks;
    const txt::CmprError error = txt::readCompressedReply(received_, reply.data(), reply.size(), mask, blocks);
    if (error != txt::CmprError::None) {
        trace(path(), "compressed answer refused: %s", txt::cmprErrorText(error));
        loseLink("the TXT's answer does not decode", 0, Loss::Garbled);
        return false;
    }
    takeInputs(blocks);
    const unsigned present = settings().extensions ? mask & 1u : 0u;
    if (present != present_) {
        trace(path(), present ? "extension 1 online" : "extension 1 offline");
        present_ = present;
        // Once there, the exchanges carry it for the rest of the
        // connection: its stream positions, never used before, start from 0
        // at both ends. It is configured first.
        if (present && !mask_) {
            mask_ = 1;
            cycle().ackedConfigGeneration[1] = TransferCycle::kNeverSent;
        }
        cycle().sentOutputGeneration = TransferCycle::kNeverSent;
    }
    return true;
}

void TxtSession::endConversation()
{
    stream().shutdown();
}

unsigned TxtSession::extensionsInUse() const
{
    return plain_ || !settings().extensions ? 0u : present_.load() & 1u;
}

DeviceKind TxtSession::kind() const
{
    // Its status query names no extension: the exchanges' answers do. A TXT
    // 4.0's ftrobopy_server is the same TXT, only its exchanges reach less.
    return DeviceKind{Model::Txt, txt::kMaxExtensions, true};
}

} // namespace ftlib
