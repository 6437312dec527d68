// SPDX-License-Identifier: GPL-3.0-or-later
// The controller library's own device code, open and transfer loop, driven
// through a transport that answers from the fuzz input, on a clock that
// moves only when the device waits, so timeouts and retries cost nothing.
//
// The first byte chooses the timing: even the defaults, odd Bluetooth's.
// Then, for every frame the device writes, one choice byte (taken modulo 7):
//   0  answer       same TID, the reply code, an SID byte, an item count
//                   byte and that many 4-byte items (the echo gets its own
//                   payload back), with a correct length and checksum
//   1  raw bytes    a length byte and that many bytes, as the port gives them
//   2  silence      nothing comes; the reply timeout passes
//   3  stale first  an answer under the previous TID, then choice 0
//   4  wrong code   the request's TID with another command code
//   5  write fails  the port takes no more bytes
//   6  write stalls the port takes no bytes until the write's time is up
// Bytes written that hold no frame (the console probe) get raw bytes. When
// the input ends the port hangs up. Before the transfer starts, one byte
// sets a duty on each of the Master's first four outputs. Whatever the
// device does, the open ends within its budget.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/txsession.h"
#include "fuzz/fuzzinput.h"
#include "protocol/codec.h"

namespace {

using ftlib::ReadResult;
using ftlib::Transport;

class ScriptedTransport : public Transport {
public:
    explicit ScriptedTransport(FuzzInput &input)
        : input_(input)
    {
    }

    Clock::time_point now() const override { return now_; }

    bool writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds timeout) override
    {
        stalled_ = false;
        if (closed_)
            return false;
        requests_.feed(data, size);
        protocol::Frame request;
        bool anyFrame = false;
        while (requests_.next(request)) {
            anyFrame = true;
            if (!answer(request))
                return false;
            if (stalled_) {
                now_ += timeout;
                return false;
            }
        }
        if (!anyFrame)
            raw();
        return !closed_ || !pending_.empty();
    }

    ReadResult read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) override
    {
        got = std::min(capacity, pending_.size());
        if (got == 0)
            return closed_ ? ReadResult::Closed : ReadResult::Nothing;
        std::copy(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got), buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got));
        return ReadResult::Data;
    }

    Wake wait(Clock::time_point deadline, int wakeFd, int) override
    {
        if (!pending_.empty())
            return Wake::Input;
        if (closed_)
            return Wake::HungUp;
        pollfd woken{wakeFd, POLLIN, 0};
        if (wakeFd >= 0 && ::poll(&woken, 1, 0) > 0)
            return Wake::Woken;
        now_ = std::max(now_, deadline);
        return Wake::Timeout;
    }

    int lastError() const override { return stalled_ ? ETIMEDOUT : closed_ ? EIO : 0; }
    int descriptor() const override { return -1; }
    void close() override { closed_ = true; }
    void abandon() override { closed_ = true; }

private:
    bool answer(const protocol::Frame &request)
    {
        if (input_.atEnd()) {
            closed_ = true;
            return true;
        }
        switch (input_.byte() % 7) {
        case 0:
            reply(request, request.tid, request.command + protocol::kReplyOffset);
            break;
        case 1:
            raw();
            break;
        case 2:
            break;
        case 3:
            reply(request, static_cast<std::uint16_t>(request.tid - 1), request.command + protocol::kReplyOffset);
            reply(request, request.tid, request.command + protocol::kReplyOffset);
            break;
        case 4:
            reply(request, request.tid, request.command + protocol::kReplyOffset + 1 + input_.byte());
            break;
        case 5:
            closed_ = true;
            return false;
        default:
            stalled_ = true;
            break;
        }
        return true;
    }

    void reply(const protocol::Frame &request, std::uint16_t tid, std::uint32_t command)
    {
        protocol::Frame frame;
        frame.from = protocol::kBusMaster;
        frame.to = protocol::kBusMaster;
        frame.tid = tid;
        frame.sid = input_.byte();
        frame.command = command;
        if (request.command == protocol::kCmdEcho) {
            frame.items = request.items;
            frame.payload = request.payload;
        } else {
            frame.items = input_.byte() % 10;
            frame.payload = input_.bytes(4u * input_.byte());
        }
        const std::vector<std::uint8_t> bytes = protocol::encodeFrame(frame);
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    }

    void raw()
    {
        const std::vector<std::uint8_t> bytes = input_.bytes(input_.byte());
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    }

    FuzzInput &input_;
    protocol::FrameDecoder requests_;
    std::vector<std::uint8_t> pending_;
    Clock::time_point now_ = Clock::time_point() + std::chrono::hours(1);
    bool closed_ = false;
    bool stalled_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    std::uint32_t status = FTLIB_ERR_UNKNOWN;
    auto transport = std::make_unique<ScriptedTransport>(input);
    const ScriptedTransport *port = transport.get();
    const auto openStart = port->now();
    const bool bluetooth = input.byte() & 1;
    const ftlib::LinkSettings settings = ftlib::LinkSettings::forLink(bluetooth, "fuzz");
    std::unique_ptr<ftlib::Device> device = ftlib::TxSession::openOver(std::move(transport), "fuzz", settings, status);
    require((device != nullptr) == (status == FTLIB_ERR_SUCCESS), "a device exactly when the open succeeded");
    require(!device || port->now() - openStart <= settings.openBudget, "the open ends within its budget");
    if (!device)
        return 0;
    for (int output = 0; output < 4; ++output)
        require(device->setDuty(0, output, input.byte() * 3) == FTLIB_ERR_SUCCESS, "a duty stored while open");
    require(device->start() == FTLIB_ERR_SUCCESS, "the loop starts");
    // The loop ends by itself when the port hangs up at the input's end, or
    // on three timeouts in a row; the stop waits for that.
    while (device->comStatus() == FTLIB_ERR_SUCCESS)
        std::this_thread::yield();
    const std::uint32_t stopped = device->stop();
    require(stopped == FTLIB_ERR_TIMEOUT_TA, "a lost link is reported by the stop");
    device->close();
    require(device->comStatus() != FTLIB_ERR_SUCCESS, "nothing works after the close");
    return 0;
}
