// SPDX-License-Identifier: GPL-3.0-or-later
// The library's ROBOTICS TXT session (open, online mode, configuration,
// exchanges, the stop) over a stream that answers from the fuzz input, on a
// clock that moves only when the session waits. The answers are built with
// the device side of the codec, so the conversation goes as deep as the
// input lets it.
//
// The first byte sets the scene: bit 0 the TXT calls itself as
// ftrobopy_server does (the plain exchange), bit 1 its address is on the
// WLAN (longer timeouts), bit 2 extensions off, bit 3 M1 as two single
// outputs. Four bytes then give the Master's O1-O4 a duty, one byte
// Extension 1's O1. Then, for every request the session writes, one choice
// byte (taken modulo 10):
//   0  answer     the right answer; an exchange's takes a mask byte (bit 0:
//                 Extension 1 is there) and one input byte per block
//   1  split      the right answer cut at a byte's position; the rest comes
//                 a byte's worth of milliseconds later (late answers too)
//   2  truncated  the right answer cut, the rest never comes
//   3  wrong id   a 4-byte packet: another command's answer, or any id
//   4  garbage    a length byte and that many bytes
//   5  nothing    no answer; time passes while the session waits
//   6  close      the TXT ends the connection (FIN)
//   7  reset      the connection is reset: what was on its way is lost
//   8  stop       the program asks the stop now; the next choice answers
//   9  twice      the right answer and one more, unasked for
// When the input ends the stop is asked, and every request after it gets
// its right answer.
//
// Checked: a device exactly when the open succeeded, the open within its
// budget, each request one whole packet of the host's in one write, the
// order of online mode (StartOnline first, each controller's configuration
// answered before its outputs drive, a new configuration id each time),
// never both directions of a motor, compressed exchanges that decode
// against the device's references, a lost link reported by the stop, a
// second start on the spent stream lost without a word, and nothing working
// after the close. And the promise: once the stop is asked every request
// carries zero duties, and nothing at all follows StopOnline.
#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include <poll.h>

#include "ftmsclib/ftmsclib.h"
#include "ftmsclib/txtsession.h"
#include "fuzz/fuzzinput.h"
#include "protocol/txt.h"

namespace {

namespace txt = protocol::txt;
using ftlib::ReadResult;
using ftlib::Transport;

// How long the loop may wait for the stop's wake-up, in real time.
constexpr int kStopWakeMs = 10000;

class FuzzedTxt : public ftlib::StreamTransport {
public:
    // `now`: the virtual clock, which outlives a transport that a failed
    // open destroys.
    FuzzedTxt(FuzzInput &input, bool plain, Clock::time_point &now)
        : input_(input)
        , plain_(plain)
        , now_(now)
    {
    }

    // The program thread's side.
    bool stopWanted() const { return stopWanted_; }
    bool exchanged() const { return exchanged_; }
    bool stopCompleted() const { return zerosAnswered_ && stopAnswered_; }

    Clock::time_point now() const override { return now_; }

    bool writeAll(const std::uint8_t *data, std::size_t size, std::chrono::milliseconds) override
    {
        if (size == 0)
            return true;
        // What the answer to this request does comes after it was written.
        const bool gone = reset_ || peerClosed_ || shutDown_ || closed_;
        request(data, size);
        if (gone) {
            error_ = reset_ ? ECONNRESET : EPIPE;
            return false;
        }
        return true;
    }

    ReadResult read(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) override
    {
        const ReadResult result = peek(buffer, capacity, got);
        if (result == ReadResult::Data) {
            pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got));
            taken(buffer, got);
        }
        return result;
    }

    ReadResult peek(std::uint8_t *buffer, std::size_t capacity, std::size_t &got) override
    {
        got = 0;
        if (reset_) {
            error_ = ECONNRESET;
            return ReadResult::Closed;
        }
        got = std::min(capacity, pending_.size());
        if (got > 0) {
            std::copy(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got), buffer);
            return ReadResult::Data;
        }
        if (peerClosed_ || shutDown_) {
            error_ = 0;
            return ReadResult::Closed;
        }
        return ReadResult::Nothing;
    }

    void expect(std::size_t bytes) override { lowWater_ = std::max<std::size_t>(bytes, 1); }

    void shutdown() override { shutDown_ = true; }

    Wake wait(Clock::time_point deadline, int wakeFd, int) override
    {
        require(deadline != Clock::time_point::max(), "every wait has a deadline");
        if (stopWanted_ && !stopAsked_ && wakeFd >= 0) {
            // The program asks the stop while the loop waits here: from the
            // wake-up on, every request must be the stop's.
            pollfd woken{wakeFd, POLLIN, 0};
            require(::poll(&woken, 1, kStopWakeMs) == 1, "the stop wakes the loop");
            stopAsked_ = true;
            return Wake::Woken;
        }
        if (reset_ || peerClosed_ || shutDown_)
            return Wake::HungUp;
        if (!later_.empty() && laterAt_ <= deadline) {
            now_ = std::max(now_, laterAt_);
            pending_.insert(pending_.end(), later_.begin(), later_.end());
            later_.clear();
        }
        if (pending_.size() >= lowWater_)
            return Wake::Input;
        pollfd woken{wakeFd, POLLIN, 0};
        if (wakeFd >= 0 && ::poll(&woken, 1, 0) > 0)
            return Wake::Woken;
        now_ = std::max(now_, deadline);
        return Wake::Timeout;
    }

    int lastError() const override { return error_; }
    int descriptor() const override { return -1; }
    void close() override { closed_ = true; }
    void abandon() override { closed_ = true; }

private:
    // What the session wrote: checked, then answered as the input says.
    void request(const std::uint8_t *data, std::size_t size)
    {
        std::size_t length = 0;
        require(txt::packetLength(data, size, length) == txt::Framing::Whole && length == size,
                "each request is one whole packet in one write");
        require(!stopSent_, "nothing follows StopOnline");
        const std::uint32_t id = txt::packetId(data);
        const bool exchange = id == txt::kExchangeData || id == txt::kExchangeDataCmpr;
        require(!stopAsked_ || exchange || id == txt::kStopOnline, "after the stop only zeros and StopOnline");
        require(id == txt::kQueryStatus || id == txt::kStartOnline || online_, "online mode first");
        bool drives = false;
        switch (id) {
        case txt::kQueryStatus:
            require(!online_, "the status query only before online mode");
            break;
        case txt::kStartOnline:
            require(size == txt::kStartOnlineSize && !online_, "StartOnline once");
            // Both ends start the compressed words from 0.
            fromHost_.reset();
            toHost_.reset();
            lastConfigId_.fill(0);
            break;
        case txt::kUpdateConfig: {
            txt::Config config;
            require(txt::readUpdateConfig(data, size, config), "a configuration of the right size");
            require(config.extension == 0 || (config.extension == 1 && extensionSeen_),
                    "Extension 1 configured only once it is there");
            const auto ta = static_cast<std::size_t>(config.extension == 1);
            require(config.configId == lastConfigId_[ta] + 1, "each configuration under the next id, the first 1");
            lastConfigId_[ta] = config.configId;
            lastConfigTa_ = ta;
            motorModes_[ta] = config.motor;
            break;
        }
        case txt::kExchangeData: {
            require(plain_, "the plain exchange only for ftrobopy_server");
            txt::Outputs outputs;
            require(txt::readExchange(data, size, outputs), "a plain exchange of the right size");
            drives = driven(outputs, 0);
            break;
        }
        case txt::kExchangeDataCmpr: {
            require(!plain_, "the compressed exchange only for a TXT");
            std::uint16_t mask = 0;
            std::vector<txt::Outputs> blocks;
            require(txt::readCompressedExchange(fromHost_, data, size, mask, blocks) == txt::CmprError::None,
                    "the compressed exchange decodes");
            require(mask == 0 || extensionSeen_, "Extension 1 sent only once it is there");
            for (std::size_t ta = 0; ta < blocks.size(); ++ta)
                drives = driven(blocks[ta], ta) || drives;
            break;
        }
        case txt::kStopOnline:
            stopSent_ = true;
            break;
        default:
            require(false, "only the host's commands");
        }
        require(!drives || !stopAsked_, "the stop's exchanges carry zero duties");
        if (exchange)
            exchanged_ = true;
        lastId_ = id;
        lastAfterStop_ = stopAsked_;
        answer(id);
    }

    // Whether controller `ta`'s block drives anything, checked against its
    // configuration as the TXT knows it.
    bool driven(const txt::Outputs &outputs, std::size_t ta) const
    {
        bool any = false;
        for (std::size_t m = 0; m < 4; ++m) {
            const std::int16_t a = outputs.duty[2 * m], b = outputs.duty[2 * m + 1];
            require(!motorModes_[ta][m] || a == 0 || b == 0, "a motor never gets both directions");
            any = any || a != 0 || b != 0;
        }
        require(!any || configured_[ta], "nothing drives before its configuration is answered");
        return any;
    }

    void answer(std::uint32_t id)
    {
        if (input_.atEnd() && !stopWanted_)
            stopWanted_ = true;
        std::uint8_t choice = input_.byte() % 10;
        while (choice == 8) {
            stopWanted_ = true;
            choice = input_.byte() % 10;
        }
        switch (choice) {
        case 0:
            give(right(id));
            break;
        case 1: {
            const std::vector<std::uint8_t> bytes = right(id);
            const std::size_t cut = input_.byte() % bytes.size();
            give(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut)));
            later_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end());
            laterAt_ = now_ + std::chrono::milliseconds(input_.byte());
            break;
        }
        case 2: {
            const std::vector<std::uint8_t> bytes = right(id);
            give(std::vector<std::uint8_t>(bytes.begin(),
                                           bytes.begin() + static_cast<std::ptrdiff_t>(input_.byte() % bytes.size())));
            break;
        }
        case 3:
            give(txt::idOnly(wrongId(id)));
            break;
        case 4:
            give(input_.bytes(input_.byte()));
            break;
        case 5:
            break;
        case 6:
            peerClosed_ = true;
            break;
        case 7:
            reset_ = true;
            pending_.clear();
            later_.clear();
            break;
        default:
            give(right(id));
            give(right(id));
            break;
        }
    }

    // A reply id that does not answer `id`.
    std::uint32_t wrongId(std::uint32_t id)
    {
        static constexpr std::array<std::uint32_t, 6> replies{txt::kQueryStatusReply, txt::kStartOnlineReply,
                                                              txt::kUpdateConfigReply, txt::kExchangeDataReply,
                                                              txt::kExchangeDataCmprReply, txt::kStopOnlineReply};
        const std::uint8_t pick = input_.byte();
        std::uint32_t wrong = pick < 0x80 ? replies[pick % replies.size()] : input_.u32();
        if (wrong == txt::replyIdFor(id))
            wrong ^= 1u;
        return wrong;
    }

    std::vector<std::uint8_t> right(std::uint32_t id)
    {
        switch (id) {
        case txt::kQueryStatus:
            return txt::statusReply(txt::Status{plain_ ? "TX2013" : "ROBOTICS TXT", 0x04070000u});
        case txt::kExchangeData: {
            txt::Inputs inputs;
            inputs.input[0] = input_.byte();
            return txt::exchangeReply(inputs);
        }
        case txt::kExchangeDataCmpr: {
            const std::uint16_t mask = input_.byte() & 1u;
            std::vector<txt::Inputs> blocks(1 + mask);
            for (txt::Inputs &block : blocks)
                block.input[0] = input_.byte();
            return txt::compressedReply(toHost_, blocks, mask);
        }
        default:
            return txt::idOnly(txt::replyIdFor(id));
        }
    }

    void give(const std::vector<std::uint8_t> &bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }

    // What the session took as the answer to its last request, whatever the
    // input meant it to be (garbage may begin with a right answer): one
    // whole packet per read.
    void taken(const std::uint8_t *data, std::size_t size)
    {
        if (size < txt::kIdSize || txt::packetId(data) != txt::replyIdFor(lastId_))
            return;
        switch (lastId_) {
        case txt::kStartOnline:
            online_ = true;
            break;
        case txt::kUpdateConfig:
            configured_[lastConfigTa_] = true;
            break;
        case txt::kExchangeDataCmpr:
            // Mask bit 0: Extension 1 is there.
            extensionSeen_ = extensionSeen_ || (size > 12 && (data[12] & 1u));
            [[fallthrough]];
        case txt::kExchangeData:
            zerosAnswered_ = zerosAnswered_ || lastAfterStop_;
            break;
        case txt::kStopOnline:
            stopAnswered_ = true;
            break;
        default:
            break;
        }
    }

    FuzzInput &input_;
    const bool plain_;
    // The last request, and whether it went after the stop was asked.
    std::uint32_t lastId_ = 0;
    bool lastAfterStop_ = false;
    std::vector<std::uint8_t> pending_, later_;
    Clock::time_point laterAt_;
    std::size_t lowWater_ = 1;
    Clock::time_point &now_;
    int error_ = 0;
    bool peerClosed_ = false, reset_ = false, shutDown_ = false, closed_ = false;
    // The device's side of online mode.
    txt::WordStream fromHost_, toHost_;
    std::array<std::int16_t, 2> lastConfigId_{};
    std::size_t lastConfigTa_ = 0;
    std::array<std::array<std::uint8_t, 4>, 2> motorModes_{};
    std::array<bool, 2> configured_{};
    bool online_ = false, extensionSeen_ = false, stopSent_ = false;
    std::atomic<bool> stopWanted_{false}, exchanged_{false}, zerosAnswered_{false}, stopAnswered_{false};
    // Only the loop's thread reads it: set in the wait that the stop woke.
    bool stopAsked_ = false;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::uint8_t scene = input.byte();
    const auto openStart = Transport::Clock::time_point() + std::chrono::hours(1);
    Transport::Clock::time_point now = openStart;
    auto transport = std::make_unique<FuzzedTxt>(input, scene & 1, now);
    const FuzzedTxt *txt = transport.get();
    ftlib::LinkSettings settings = ftlib::LinkSettings::forTxt((scene & 2) ? "192.168.8.2" : "192.168.7.2");
    settings.extensions = !(scene & 4);
    std::uint32_t status = FTLIB_ERR_UNKNOWN;
    std::unique_ptr<ftlib::Device> device =
        ftlib::TxtSession::openOver(std::move(transport), "fuzz", settings, status);
    require((device != nullptr) == (status == FTLIB_ERR_SUCCESS), "a device exactly when the open succeeded");
    require(now - openStart <= settings.openBudget, "the open ends within its budget");
    if (!device)
        return 0;
    if (scene & 8)
        require(device->setMotorConfig(0, 0, false) == FTLIB_ERR_SUCCESS, "a configuration stored while open");
    for (int output = 0; output < 4; ++output)
        require(device->setDuty(0, output, input.byte() * 3) == FTLIB_ERR_SUCCESS, "a duty stored while open");
    // Kept for when Extension 1 comes.
    device->setDuty(1, 0, input.byte() * 3);
    require(device->start() == FTLIB_ERR_SUCCESS, "the loop starts");
    while (device->comStatus() == FTLIB_ERR_SUCCESS && !txt->stopWanted())
        std::this_thread::yield();
    const std::uint32_t stopped = device->stop();
    const bool lost = device->comStatus() != FTLIB_ERR_SUCCESS;
    require(lost ? stopped == FTLIB_ERR_TIMEOUT_TA : stopped == FTLIB_ERR_SUCCESS, "a lost link is reported by the stop");
    require(lost || !txt->exchanged() || txt->stopCompleted(),
            "a stop that succeeds had its zeros and StopOnline answered");
    // A stream given to the session cannot be connected again: a new start
    // gives the link up without a word on it.
    if (!lost) {
        require(device->start() == FTLIB_ERR_SUCCESS, "the loop starts again");
        while (device->comStatus() == FTLIB_ERR_SUCCESS)
            std::this_thread::yield();
        require(device->stop() == FTLIB_ERR_TIMEOUT_TA, "the spent stream is reported lost");
    }
    device->close();
    require(device->comStatus() != FTLIB_ERR_SUCCESS, "nothing works after the close");
    require(device->setDuty(0, 0, 512) != FTLIB_ERR_SUCCESS, "no duty taken after the close");
    require(device->start() != FTLIB_ERR_SUCCESS, "no start after the close");
    return 0;
}
