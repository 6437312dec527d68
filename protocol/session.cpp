// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/session.h"

#include <utility>

#include "protocol/transferarea.h"

namespace protocol {

void Session::restart()
{
    tid_ = 0;
    sid_ = 0;
    outstanding_ = false;
}

Frame Session::request(std::uint32_t command, std::uint32_t items, std::vector<std::uint8_t> payload)
{
    // TID 0 is never used. A wrap must not say "new session" either: a device
    // that keeps the SID at 0 would switch every output off.
    if (tid_ == 0xFFFF)
        tid_ = sid_ == 0 ? 2 : 1;
    else
        tid_ = static_cast<std::uint16_t>(tid_ + 1);
    Frame frame;
    frame.from = kBusMaster;
    frame.to = kBusWildcard;
    frame.tid = tid_;
    frame.sid = sid_;
    frame.command = command;
    frame.items = items;
    frame.payload = std::move(payload);
    command_ = command;
    outstanding_ = true;
    return frame;
}

ReplyMatch Session::match(const Frame &reply)
{
    if (!outstanding_ || reply.tid != tid_)
        return ReplyMatch::Stale;
    if (reply.command != command_ + kReplyOffset)
        return ReplyMatch::WrongCommand;
    outstanding_ = false;
    // A device may start a new session on its own (a reset); follow it.
    sid_ = reply.sid;
    return ReplyMatch::Answer;
}

std::vector<std::uint8_t> echoPayload()
{
    std::vector<std::uint8_t> payload;
    appendTaId(payload, 0);
    for (std::uint8_t b = 1; b <= 4; ++b)
        payload.push_back(b);
    return payload;
}

EchoReply classifyEcho(const Frame &request, const Frame &reply)
{
    if (reply.items == 0 && reply.payload.empty())
        return EchoReply::Empty;
    if (reply.items == request.items && reply.payload == request.payload)
        return EchoReply::Echoed;
    return EchoReply::Other;
}

} // namespace protocol
