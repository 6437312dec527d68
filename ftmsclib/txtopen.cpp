// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBOTICS TXT's connection: the address, the connect, the status query,
// and how whole packets are taken from the stream.
#include "ftmsclib/txtsession.h"

#include <algorithm>
#include <cerrno>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/tcpport.h"
#include "ftmsclib/trace.h"
#include "rendezvous/txtaddress.h"

namespace ftlib {

namespace txt = protocol::txt;

namespace {

// The name ftrobopy_server gives itself: a TXT 4.0 that takes the plain
// exchange, and whose "extension" is its servos, not motors.
constexpr const char *kServerName = "TX2013";

std::uint32_t connectFailure(const std::string &address, ConnectError error, int sysError)
{
    switch (error) {
    case ConnectError::None:
        return FTLIB_ERR_SUCCESS;
    case ConnectError::Unresolved:
        trace(address, "the name is not known (%s)", unresolvedText(sysError).c_str());
        return FTLIB_ERR_HOST_UNKNOWN;
    case ConnectError::Refused:
        traceError(address, sysError, "nothing takes connections there (a TXT 4.0 needs ftrobopy_server running)");
        return FTLIB_ERR_CONNECTION_REFUSED;
    case ConnectError::Unreachable:
        traceError(address, sysError, "no way to that network from here");
        return FTLIB_ERR_HOST_UNREACHABLE;
    case ConnectError::NoAnswer:
        traceError(address, sysError, "no answer to the connect");
        return FTLIB_ERR_INIT_COM_TIMEOUT;
    case ConnectError::Reset:
    case ConnectError::Failed:
        break;
    }
    traceError(address, sysError, "cannot connect");
    return FTLIB_ERR_OPEN_COM;
}

} // namespace

std::unique_ptr<TxtSession> TxtSession::create(const std::string &name, const LinkSettings &settings,
                                               std::uint32_t &status)
{
    std::unique_ptr<TxtSession> device(new TxtSession(name, name, settings));
    return device->ready(status) ? std::move(device) : nullptr;
}

std::unique_ptr<Device> TxtSession::open(const std::string &address, std::uint32_t &status, bool guarded)
{
    rendezvous::TxtAddress parsed;
    if (!rendezvous::parseTxtAddress(address, parsed)) {
        status = FTLIB_ERR_INVALID_PARAM;
        return nullptr;
    }
    std::unique_ptr<TxtSession> device = create(address, LinkSettings::forTxt(address), status);
    if (!device)
        return nullptr;
    device->host_ = parsed.host;
    device->port_ = parsed.port;
    const Clock::time_point until = Clock::now() + device->settings().openBudget;
    std::unique_ptr<TcpPort> port;
    status = device->connect(until, port);
    if (status != FTLIB_ERR_SUCCESS)
        return nullptr;
    device->attach(std::move(port), guarded);
    status = device->askStatus(until);
    if (status != FTLIB_ERR_SUCCESS)
        return nullptr;
    device->shareAnswers();
    if (guarded)
        device->startGuarding(device->transport().descriptor());
    return device;
}

std::unique_ptr<Device> TxtSession::openOver(std::unique_ptr<StreamTransport> transport, const std::string &name,
                                             const LinkSettings &settings, std::uint32_t &status)
{
    loadTraceSettings();
    std::unique_ptr<TxtSession> device = create(name, settings, status);
    if (!device)
        return nullptr;
    device->given_ = true;
    device->attach(std::move(transport), false);
    status = device->askStatus(device->transport().now() + settings.openBudget);
    if (status != FTLIB_ERR_SUCCESS)
        return nullptr;
    device->shareAnswers();
    return device;
}

std::uint32_t TxtSession::connect(Clock::time_point until, std::unique_ptr<TcpPort> &port, bool *turnedAway)
{
    port = std::make_unique<TcpPort>();
    int sysError = 0;
    // An address that does not answer costs at most 2 s, whatever the
    // environment asks of the replies.
    const auto deadline = std::min(until, Clock::now() + std::chrono::milliseconds(2000));
    const ConnectError error = port->connect(host_, port_, deadline, sysError);
    if (turnedAway)
        *turnedAway = error == ConnectError::Refused || error == ConnectError::Reset;
    if (error != ConnectError::None)
        return connectFailure(path(), error, sysError);
    trace(path(), "connected; replies awaited %lld ms, a cycle every %lld ms%s",
          static_cast<long long>(settings().replyTimeout.count()), static_cast<long long>(settings().cycle.count()),
          settings().extensions ? "" : ", extensions off");
    return FTLIB_ERR_SUCCESS;
}

std::uint32_t TxtSession::askStatus(Clock::time_point until, bool *ended)
{
    const std::vector<std::uint8_t> query = txt::queryStatus();
    traceSentText(path(), "QueryStatus", query);
    if (!sendBytes(query, std::chrono::milliseconds(settings().replyTimeout))) {
        traceError(path(), transport().lastError(), "cannot send the status query");
        // A new connection's first bytes fail only if the TXT has ended it.
        if (ended)
            *ended = transport().lastError() != ETIMEDOUT;
        return FTLIB_ERR_INIT_COM;
    }
    stream().expect(txt::kStatusReplySize);
    const auto deadline = std::min(until, transport().now() + settings().maxTimeouts * settings().replyTimeout);
    std::vector<std::uint8_t> reply;
    for (;;) {
        const Take took = takePacket(reply);
        if (took == Take::Closed) {
            traceError(path(), transport().lastError(), "the connection ended before the status came");
            if (ended)
                *ended = true;
            return FTLIB_ERR_INIT_COM;
        }
        if (took == Take::Garbled)
            return FTLIB_ERR_INIT_COM;
        if (took == Take::Packet)
            break;
        if (transport().now() >= deadline) {
            trace(path(), "no answer to the status query");
            return FTLIB_ERR_INIT_COM_TIMEOUT;
        }
        if (transport().wait(deadline, -1) == Transport::Wake::Failed)
            return FTLIB_ERR_INIT_COM;
    }
    txt::Status status;
    if (!txt::readStatusReply(reply.data(), reply.size(), status)) {
        trace(path(), "answered the status query with packet 0x%08x: not a TXT", txt::packetId(reply.data()));
        return FTLIB_ERR_INIT_COM;
    }
    identity_.txt = true;
    identity_.txtName = status.name;
    identity_.txtFirmware = status.version;
    plain_ = status.name == kServerName;
    trace(path(), "controller \"%s\", firmware %s%s", status.name.c_str(), txt::versionText(status.version).c_str(),
          plain_ ? " (ftrobopy_server: the Master alone, uncompressed)" : "");
    return FTLIB_ERR_SUCCESS;
}

TxtSession::Take TxtSession::takePacket(std::vector<std::uint8_t> &packet)
{
    std::uint8_t buffer[txt::kCmprHeaderSize + txt::kMaxCmprBody];
    std::size_t got = 0;
    const ReadResult peeked = stream().peek(buffer, sizeof buffer, got);
    if (peeked == ReadResult::Closed)
        return Take::Closed;
    if (peeked == ReadResult::Nothing)
        return Take::Nothing;
    std::size_t length = 0;
    switch (txt::packetLength(buffer, got, length)) {
    case txt::Framing::NeedMore:
        // Woken again once all of it is there.
        stream().expect(length);
        return Take::Nothing;
    case txt::Framing::UnknownId:
        traceReceived(path(), buffer, got);
        trace(path(), "a packet that is none of the TXT's (id 0x%08x)", got >= 4 ? txt::packetId(buffer) : 0u);
        return Take::Garbled;
    case txt::Framing::Oversized:
        traceReceived(path(), buffer, got);
        trace(path(), "a compressed packet larger than any answer");
        return Take::Garbled;
    case txt::Framing::Whole:
        break;
    }
    if (stream().read(buffer, length, got) != ReadResult::Data || got != length)
        return Take::Closed;
    traceReceived(path(), buffer, got);
    stream().expect(txt::kIdSize);
    packet.assign(buffer, buffer + got);
    return Take::Packet;
}

void TxtSession::shareAnswers()
{
    const AnswerShape stopAnswer{static_cast<std::uint32_t>(txt::kIdSize), 0, 0};
    guarding().setAnswers(settings().maxTimeouts * settings().replyTimeout, exchangeAnswer(), stopAnswer);
    guarding().publishFarewell(txt::stopOnline());
}

} // namespace ftlib
