// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBOTICS TXT's transfer loop: online mode, configuration and exchanges
// in turn, one request outstanding at a time, and the stop that ends online
// mode.
#include "ftmsclib/txtsession.h"

#include <algorithm>
#include <cerrno>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/tcpport.h"
#include "ftmsclib/trace.h"

namespace ftlib {

namespace txt = protocol::txt;

namespace {

// A generation that was never sent, so the first comparison asks for it.
constexpr unsigned kNeverSent = ~0u;

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
    const Clock::time_point until = Clock::now() + settings().openBudget;
    std::unique_ptr<TcpPort> port;
    std::uint32_t status = connect(until, port);
    if (status == FTLIB_ERR_SUCCESS) {
        replaceTransport(std::move(port));
        status = askStatus(until);
    }
    if (status == FTLIB_ERR_SUCCESS) {
        spent_ = false;
        shareAnswers();
        return true;
    }
    loseLink("cannot connect again", 0, status == FTLIB_ERR_INIT_COM_TIMEOUT ? Loss::Silence : Loss::PortGone);
    return false;
}

void TxtSession::transfer()
{
    LoopState s;
    s.ackedConfigGeneration.fill(kNeverSent);
    s.sentOutputGeneration = kNeverSent;
    const auto now = transport().now();
    s.deadline = now;
    s.nextCycle = now;
    s.idleUntil = now;
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
    for (;;) {
        if (s.pending == Pending::None && !choose(s))
            return;
        if (!readReplies(s) || !countTimeout(s))
            return;
    }
}

bool TxtSession::choose(LoopState &s)
{
    const auto now = transport().now();
    const Area area = this->area();
    if (area.stopRequested)
        return chooseStop(s);
    if (!s.online)
        return request(s, Pending::Start, txt::kStartOnline, txt::startOnline());
    if (now < area.silentUntil) {
        s.idleUntil = area.silentUntil;
        return true;
    }
    // Configuration goes first: outputs are only driven once the TXT knows
    // which pairs form motors.
    if (chooseConfig(s, area))
        return true;
    if (now >= s.nextCycle || (!settings().cycleOnly && area.outputGeneration != s.sentOutputGeneration)) {
        s.sentOutputGeneration = area.outputGeneration;
        s.exchanged = true;
        return request(s, Pending::Exchange, plain_ ? txt::kExchangeData : txt::kExchangeDataCmpr,
                       exchangeBytes(area, false, sent_));
    }
    s.idleUntil = s.nextCycle;
    return true;
}

bool TxtSession::chooseStop(LoopState &s)
{
    // The motors are never left driven: an exchange of zeros, answered, then
    // StopOnline, answered; after it the TXT takes nothing but a new
    // connection.
    if (s.online && s.exchanged && !s.zeroDone)
        return request(s, Pending::Zero, plain_ ? txt::kExchangeData : txt::kExchangeDataCmpr,
                       exchangeBytes(Area{}, true, sent_));
    if (s.online && !s.stopDone) {
        // Nothing may follow it, not even the zeros of a program that dies
        // while it is on its way.
        online_ = false;
        return request(s, Pending::Stop, txt::kStopOnline, txt::stopOnline());
    }
    stream().shutdown();
    return false;
}

bool TxtSession::chooseConfig(LoopState &s, const Area &area)
{
    for (int ta = 0; ta <= static_cast<int>(mask_ & 1u); ++ta) {
        const auto t = static_cast<std::size_t>(ta);
        if (s.ackedConfigGeneration[t] == area.configGeneration[t])
            continue;
        s.pendingTa = ta;
        s.pendingConfigGeneration = area.configGeneration[t];
        return request(s, Pending::Config, txt::kUpdateConfig, configBytes(area, ta));
    }
    return false;
}

bool TxtSession::request(LoopState &s, Pending kind, std::uint32_t command, const std::vector<std::uint8_t> &bytes)
{
    // Said before the bytes go: a guardian that finds the program gone
    // waits for this answer before its zeros follow, and has none after
    // StopOnline.
    guarding().setAwaiting(true, answerFor(command));
    publishZeros();
    traceSentText(path(), commandName(command), bytes);
    if (!sendBytes(bytes, settings().replyTimeout)) {
        guarding().setAwaiting(false);
        const int error = transport().lastError();
        // Part of a request may have gone: the stream is out of step.
        loseLink(error == ETIMEDOUT ? "the connection took no bytes" : "write failed", error,
                 error == ETIMEDOUT ? Loss::Silence : Loss::PortGone);
        return false;
    }
    s.pending = kind;
    s.pendingCommand = command;
    s.deadline = transport().now() + settings().replyTimeout;
    return true;
}

bool TxtSession::readReplies(LoopState &s)
{
    Transport::Wake wake;
    if (!awaitPort(s.pending != Pending::None ? s.deadline : s.idleUntil, wake))
        return false;
    if (wake != Transport::Wake::Input && wake != Transport::Wake::HungUp)
        return true;
    // A whole answer may still be there before the end of the connection.
    std::vector<std::uint8_t> packet;
    for (;;) {
        switch (takePacket(packet)) {
        case Take::Packet:
            if (!takeReply(s, packet))
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

bool TxtSession::takeReply(LoopState &s, const std::vector<std::uint8_t> &reply)
{
    if (s.pending == Pending::None || txt::packetId(reply.data()) != txt::replyIdFor(s.pendingCommand)) {
        trace(path(), "packet 0x%08x does not answer %s", txt::packetId(reply.data()), commandName(s.pendingCommand));
        loseLink("the TXT answered out of step", 0, Loss::Garbled);
        return false;
    }
    replyAnswered();
    guarding().setAwaiting(false);
    const Pending answered = s.pending;
    s.pending = Pending::None;
    switch (answered) {
    case Pending::Start:
        s.online = true;
        online_ = true;
        trace(path(), "online");
        break;
    case Pending::Config:
        s.ackedConfigGeneration[static_cast<std::size_t>(s.pendingTa)] = s.pendingConfigGeneration;
        break;
    case Pending::Exchange:
    case Pending::Zero:
        s.zeroDone = answered == Pending::Zero;
        s.nextCycle = transport().now() + settings().cycle;
        return takeExchange(s, reply);
    case Pending::Stop:
        s.stopDone = true;
        trace(path(), "online mode ended");
        break;
    case Pending::Status:
    case Pending::None:
        break;
    }
    return true;
}

bool TxtSession::takeExchange(LoopState &s, const std::vector<std::uint8_t> &reply)
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
            s.ackedConfigGeneration[1] = kNeverSent;
        }
        s.sentOutputGeneration = kNeverSent;
    }
    return true;
}

bool TxtSession::countTimeout(LoopState &s)
{
    if (s.pending == Pending::None || transport().now() < s.deadline)
        return true;
    // No request goes again: a late answer could not be told from the next
    // one. The same one is awaited until the loss rule gives the link up.
    if (!replyMissed(s.pendingCommand))
        return false;
    s.deadline = transport().now() + settings().replyTimeout;
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
