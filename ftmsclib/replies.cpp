// SPDX-License-Identifier: GPL-3.0-or-later
// The one way replies come in, for the open and the transfer loop alike, and
// the one way the link is given up.
#include "ftmsclib/device.h"

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/trace.h"

namespace ftlib {

Device::Received Device::receive()
{
    std::uint8_t buffer[1024];
    std::size_t got = 0;
    bool any = false;
    ReadResult result;
    // A short read means the tty is drained; saves one EAGAIN read per reply.
    while ((result = transport_->read(buffer, sizeof buffer, got)) == ReadResult::Data) {
        any = true;
        bytesReceived_ += got;
        traceReceived(path_, buffer, got);
        decoder_.feed(buffer, got);
        if (got < sizeof buffer)
            break;
    }
    if (result == ReadResult::Closed)
        return Received::Closed;
    return any ? Received::Data : Received::Nothing;
}

bool Device::nextReply(protocol::Frame &reply, protocol::ReplyMatch &match)
{
    if (!decoder_.next(reply))
        return false;
    ++framesSeen_;
    match = session_.match(reply);
    traceReply(path_, reply, match, session_);
    // Each try of a repeated echo opened a session, if it arrived; a later
    // answer to one names the session the device holds now.
    if (match == protocol::ReplyMatch::Stale && reply.tid == 1
        && reply.command == protocol::kCmdEcho + protocol::kReplyOffset && reply.sid != session_.sid()) {
        trace(path_, "a later answer to the repeated echo: session %u", reply.sid);
        session_.resumeSession(reply.sid);
    }
    return true;
}

void Device::loseLink(const char *why, int sysError, Loss loss)
{
    if (sysError != 0)
        traceError(path_, sysError, "%s, link lost", why);
    else
        trace(path_, "%s, link lost", why);
    // From here on this thread writes the last zeros itself.
    emergency_.disarm();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        guardian_.setLive(false);
    }
    // Written with a short bound and not waited for: a controller whose
    // replies are lost on the way back still hears them, and a port that
    // seems gone may still take them.
    const auto deadline = transport_->now() + settings_.lastZerosWrite;
    for (const bool driven : {false, true}) {
        if (driven && zeroTas(true) == zeroTas(false))
            break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - transport_->now());
        std::uint32_t count = 0;
        std::vector<std::uint8_t> payload = outputsPayload(zeroTas(driven), 0, count);
        if (left.count() <= 0 || !send(session_.request(protocol::kCmdExchange, count, std::move(payload)), left)) {
            traceError(path_, transport_->lastError(), "the zero exchange could not be written");
            break;
        }
    }
    lostStatus_ = loss == Loss::Silence ? FTLIB_ERR_TIMEOUT_TA : FTLIB_ERR_OPEN_COM;
    lost_ = true;
}

} // namespace ftlib
