// SPDX-License-Identifier: GPL-3.0-or-later
// A ROBO TX's serial port opened, and the one way its bytes go out and its
// replies come in, for the open and the transfer loop alike.
#include "ftmsclib/txsession.h"

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/serialport.h"
#include "ftmsclib/trace.h"
#include "rendezvous/portfailure.h"

namespace ftlib {

using protocol::Frame;

namespace {

// Why the port could not be opened, for the trace, as a status.
std::uint32_t openFailure(const std::string &path, const std::string &canonicalPath, PortError error, int sysError)
{
    const std::uint32_t status = error == PortError::AccessDenied ? FTLIB_ERR_ACCESS_DENIED
        : error == PortError::Busy                                ? FTLIB_ERR_DEVICE_IS_OPEN
        : error == PortError::NoAnswer                            ? FTLIB_ERR_INIT_COM_TIMEOUT
                                                                  : FTLIB_ERR_OPEN_COM;
    const rendezvous::PortFailure failure = rendezvous::classifyPortFailure(status, path, canonicalPath);
    switch (failure.kind) {
    case rendezvous::PortFailureKind::AccessDenied:
        traceError(path, sysError,
                   "access denied; add the user to the group that owns the port, usually 'dialout' (sudo usermod "
                   "-aG dialout $USER, then log in again)");
        break;
    case rendezvous::PortFailureKind::InUse: {
        const std::string holders = holderList(failure.holders, true);
        traceError(path, sysError,
                   "the port is in use%s%s; is another Kavrik or kavrik-txprobe connected to it, or is ModemManager "
                   "probing it (the installed udev rule keeps ModemManager away from a ROBO TX)?",
                   holders.empty() ? "" : " by ", holders.c_str());
        break;
    }
    default:
        traceError(path, sysError, "cannot open");
        break;
    }
    return status;
}

// An open that got no answer: opened before us, without taking the port for
// itself, another program may read the controller's answers away.
void traceUnanswered(const std::string &path, const std::string &canonicalPath, std::uint32_t status)
{
    const rendezvous::PortFailure failure = rendezvous::classifyPortFailure(status, path, canonicalPath);
    if (failure.kind != rendezvous::PortFailureKind::NoAnswer)
        return;
    const std::string holders = holderList(failure.holders, false);
    if (!holders.empty())
        trace(path, "the port is open in %s as well, which may take the controller's answers", holders.c_str());
}

} // namespace

std::unique_ptr<TxSession> TxSession::create(const std::string &path, const std::string &canonicalPath,
                                             const LinkSettings &settings, std::uint32_t &status)
{
    std::unique_ptr<TxSession> device(new TxSession(path, canonicalPath, settings));
    if (traceFrames()) {
        device->decoder_.setRejectObserver([port = path](protocol::DecodeError error, const std::uint8_t *data,
                                                         std::size_t size) { traceRejected(port, error, data, size); });
    }
    return device->ready(status) ? std::move(device) : nullptr;
}

std::unique_ptr<Device> TxSession::open(const std::string &path, const std::string &canonicalPath,
                                        std::uint32_t &status, bool guarded)
{
    std::unique_ptr<TxSession> device = create(path, canonicalPath, LinkSettings::forPort(path, canonicalPath), status);
    if (!device)
        return nullptr;
    auto port = std::make_unique<SerialPort>();
    int sysError = 0;
    const PortError opened = port->open(path, sysError);
    if (opened != PortError::None) {
        status = openFailure(path, canonicalPath, opened, sysError);
        return nullptr;
    }
    const int descriptor = port->descriptor();
    device->attach(std::move(port), guarded);
    const LinkSettings &settings = device->settings();
    trace(path, "opened; replies awaited %lld ms, a cycle every %lld ms%s",
          static_cast<long long>(settings.replyTimeout.count()), static_cast<long long>(settings.cycle.count()),
          settings.extensions ? "" : ", extensions off");
    status = device->identify();
    if (status != FTLIB_ERR_SUCCESS) {
        traceUnanswered(path, canonicalPath, status);
        return nullptr;
    }
    // Nothing is driven before the transfer starts, and the open does not
    // wait for the guardian: it starts beside.
    if (guarded)
        device->startGuarding(descriptor);
    return device;
}

std::unique_ptr<Device> TxSession::openOver(std::unique_ptr<Transport> transport, const std::string &name,
                                            const LinkSettings &settings, std::uint32_t &status)
{
    loadTraceSettings();
    std::unique_ptr<TxSession> device = create(name, name, settings, status);
    if (!device)
        return nullptr;
    device->attach(std::move(transport), false);
    status = device->identify();
    return status == FTLIB_ERR_SUCCESS ? std::move(device) : nullptr;
}

bool TxSession::send(const Frame &frame, std::chrono::milliseconds timeout)
{
    const std::vector<std::uint8_t> bytes = protocol::encodeFrame(frame);
    traceSentFrame(path(), frame, bytes);
    return sendBytes(bytes, timeout);
}

void TxSession::traceZeros(const std::vector<std::uint8_t> &bytes) const
{
    if (!traceFrames())
        return;
    protocol::FrameDecoder frames;
    frames.feed(bytes.data(), bytes.size());
    Frame frame;
    std::size_t offset = 0;
    while (frames.next(frame)) {
        const std::size_t size = protocol::encodeFrame(frame).size();
        traceSentFrame(path(), frame, std::vector<std::uint8_t>(bytes.begin() + offset, bytes.begin() + offset + size));
        offset += size;
    }
}

TxSession::Received TxSession::receive()
{
    std::uint8_t buffer[1024];
    std::size_t got = 0;
    bool any = false;
    ReadResult result;
    // A short read means the tty is drained; saves one EAGAIN read per reply.
    while ((result = transport().read(buffer, sizeof buffer, got)) == ReadResult::Data) {
        any = true;
        bytesReceived_ += got;
        traceReceived(path(), buffer, got);
        decoder_.feed(buffer, got);
        if (got < sizeof buffer)
            break;
    }
    if (result == ReadResult::Closed)
        return Received::Closed;
    return any ? Received::Data : Received::Nothing;
}

bool TxSession::nextReply(Frame &reply, protocol::ReplyMatch &match)
{
    if (!decoder_.next(reply))
        return false;
    ++framesSeen_;
    match = session_.match(reply);
    traceReply(path(), reply, match, session_);
    // Each try of a repeated echo opened a session, if it arrived; a later
    // answer to one names the session the device holds now.
    if (match == protocol::ReplyMatch::Stale && reply.tid == 1
        && reply.command == protocol::kCmdEcho + protocol::kReplyOffset && reply.sid != session_.sid()) {
        trace(path(), "a later answer to the repeated echo: session %u", reply.sid);
        session_.resumeSession(reply.sid);
    }
    return true;
}

} // namespace ftlib
