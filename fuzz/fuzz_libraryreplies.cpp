// SPDX-License-Identifier: GPL-3.0-or-later
// Bytes a controller sends, read the way the controller library reads them
// (ftmsclib/device.cpp): the console answer to the serial-number probe, then
// the frames that answer the identification and the transfer loop, with the
// timeouts, retries and new sessions of a real conversation.
//
// The input is a list of records, each a tag byte (taken modulo 3) and its
// fields:
//   0  port bytes   u16 count, then that many bytes, read as they come
//   1  reply frame  flags, SID, then the fields of a frame that gets a
//                   correct length and checksum (see replyFrame), so that the
//                   handling behind the checksum is reached as well
//   2  timeout      the reply timeout passes
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "protocol/codec.h"
#include "protocol/console.h"
#include "protocol/session.h"
#include "protocol/transferarea.h"

using namespace protocol;

namespace {

bool sameFrame(const Frame &a, const Frame &b)
{
    return a.from == b.from && a.to == b.to && a.tid == b.tid && a.sid == b.sid && a.command == b.command
        && a.items == b.items && a.payload == b.payload;
}

std::vector<Frame> decodeAll(const std::vector<std::uint8_t> &bytes, bool byteByByte)
{
    FrameDecoder decoder;
    std::vector<Frame> frames;
    Frame frame;
    if (byteByByte) {
        for (std::uint8_t b : bytes) {
            decoder.feed(&b, 1);
            while (decoder.next(frame))
                frames.push_back(frame);
        }
    } else {
        decoder.feed(bytes.data(), bytes.size());
        while (decoder.next(frame))
            frames.push_back(frame);
    }
    return frames;
}

// A decoded frame is a valid one: encoding it again and decoding that gives
// the same frame.
void checkDecoded(const Frame &frame)
{
    require(frame.payload.size() <= kMaxPayload, "decoded payload within the limit");
    const std::vector<std::uint8_t> bytes = encodeFrame(frame);
    require(bytes.size() == frame.payload.size() + kHeaderSize + 3, "decoded frame encodes again");
    const std::vector<Frame> again = decodeAll(bytes, false);
    require(again.size() == 1 && sameFrame(again[0], frame), "decoded frame survives a round trip");
}

enum class Step { Console, Echo, Info, State, ExtensionInfo, Config, Exchange, StatePoll };

// The library's side of the conversation, request by request in the order
// Device::open and Device::loop make them.
class Library {
public:
    Library() { reopen(); }

    void portBytes(const std::vector<std::uint8_t> &bytes)
    {
        if (step_ == Step::Console) {
            console_.feed(bytes.data(), bytes.size());
            if (console_.finished())
                consoleDone();
            return;
        }
        stream_.insert(stream_.end(), bytes.begin(), bytes.end());
        decoder_.feed(bytes.data(), bytes.size());
        Frame reply;
        // Like the library: the first reply that answers the request ends
        // the wait; frames behind it are read with the next request.
        while (decoder_.next(reply)) {
            checkDecoded(reply);
            const ReplyMatch match = session_.match(reply);
            if (match == ReplyMatch::Answer) {
                require(reply.sid == session_.sid(), "the answer's session id is used from now on");
                handle(reply);
                break;
            }
            // During the identification the library gives up on the port.
            if (match == ReplyMatch::WrongCommand && identifying()) {
                reopen();
                break;
            }
        }
    }

    void timeout()
    {
        if (step_ == Step::Console) {
            consoleDone();
            return;
        }
        decoder_.reset();
        if (identifying()) {
            if (--attemptsLeft_ > 0) {
                send();
            } else if (step_ == Step::ExtensionInfo) {
                // Only informative: go on with the next extension.
                nextExtensionInfo(extension_ + 1);
            } else if (step_ == Step::Info) {
                // Unanswered information: carry on without it.
                begin(Step::State, 1);
            } else if (step_ == Step::State) {
                // Unanswered status: the Master alone.
                online_ = 0;
                nextExtensionInfo(1);
            } else {
                reopen();
            }
            return;
        }
        if (++timeoutsInRow_ >= 3) {
            reopen();
            return;
        }
        nextInLoop();
    }

    const Frame &request() const { return request_; }
    const std::vector<std::uint8_t> &stream() const { return stream_; }

private:
    bool identifying() const
    {
        return step_ == Step::Echo || step_ == Step::Info || step_ == Step::State || step_ == Step::ExtensionInfo;
    }

    bool inUse(int ta) const { return ta == 0 || (online_ & (1u << (ta - 1))); }

    // The link is given up: the program would open the port again.
    void reopen()
    {
        console_ = ConsoleAnswerParser();
        session_.restart();
        decoder_.reset();
        online_ = 0;
        configured_ = 0;
        cycles_ = 0;
        timeoutsInRow_ = 0;
        step_ = Step::Console;
    }

    void consoleDone()
    {
        const std::string &serial = console_.serial();
        require(serial.size() <= 32, "serial number bounded");
        bool digit = false;
        for (char c : serial) {
            require((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'),
                    "serial number of letters and digits only");
            digit = digit || (c >= '0' && c <= '9');
        }
        require(serial.empty() || digit, "serial number holds a digit");
        begin(Step::Echo, 3);
    }

    void begin(Step step, int attempts)
    {
        step_ = step;
        attemptsLeft_ = attempts;
        send();
    }

    void send()
    {
        std::vector<std::uint8_t> payload;
        std::uint32_t command = 0;
        std::uint32_t items = 1;
        switch (step_) {
        case Step::Echo:
            // Every attempt opens a new session (TID 1, SID 0).
            session_.restart();
            command = kCmdEcho;
            payload = echoPayload();
            break;
        case Step::Info:
        case Step::ExtensionInfo:
            command = kCmdInfo;
            appendTaId(payload, static_cast<std::uint32_t>(step_ == Step::Info ? 0 : extension_));
            break;
        case Step::State:
        case Step::StatePoll:
            command = kCmdState;
            appendTaId(payload, 0);
            break;
        case Step::Config: {
            command = kCmdConfig;
            TaConfig config;
            config.motor.fill(1);
            config.input.fill(kInputDigital5k);
            appendTa(payload, static_cast<std::uint32_t>(extension_), config);
            break;
        }
        case Step::Exchange:
            command = kCmdExchange;
            items = 0;
            for (int ta = 0; ta < kTaCount; ++ta) {
                if (inUse(ta)) {
                    appendTa(payload, static_cast<std::uint32_t>(ta), TaOutput{});
                    ++items;
                }
            }
            break;
        case Step::Console:
            return;
        }
        request_ = session_.request(command, items, payload);
        require(!encodeFrame(request_).empty(), "every request fits in a frame");
    }

    void nextExtensionInfo(int from)
    {
        for (int k = from; k <= kMaxExtensions; ++k) {
            if (inUse(k)) {
                extension_ = k;
                begin(Step::ExtensionInfo, 1);
                return;
            }
        }
        nextInLoop();
    }

    // Configuration first, for every TA in use that lacks it; then exchanges,
    // with a state request every few cycles.
    void nextInLoop()
    {
        for (int ta = 0; ta < kTaCount; ++ta) {
            if (inUse(ta) && !(configured_ & (1u << ta))) {
                extension_ = ta;
                begin(Step::Config, 1);
                return;
            }
        }
        begin(cycles_ % 4 == 3 ? Step::StatePoll : Step::Exchange, 1);
    }

    void handle(const Frame &reply)
    {
        switch (step_) {
        case Step::Echo:
            classifyEcho(request_, reply);
            begin(Step::Info, 1);
            return;
        case Step::Info:
        case Step::ExtensionInfo: {
            TaInfo info;
            if (readInfo(reply, info)) {
                require(info.name.size() <= 17 && info.btAddress.size() <= 18, "info texts within their fields");
                require(info.name.find('\0') == std::string::npos, "info name ends at its zero");
            }
            if (step_ == Step::Info)
                begin(Step::State, 1);
            else
                nextExtensionInfo(extension_ + 1);
            return;
        }
        case Step::State:
        case Step::StatePoll: {
            const Step step = step_;
            unsigned online = online_;
            if (readOnlineExtensions(reply, online)) {
                require(online <= 0xFF, "only eight extensions");
                // An extension that comes back is configured again.
                configured_ &= ~((online & ~online_) << 1);
                online_ = online;
            }
            timeoutsInRow_ = 0;
            if (step == Step::State) {
                nextExtensionInfo(1);
            } else {
                ++cycles_;
                nextInLoop();
            }
            return;
        }
        case Step::Config:
            configured_ |= 1u << extension_;
            timeoutsInRow_ = 0;
            nextInLoop();
            return;
        case Step::Exchange:
            ++cycles_;
            timeoutsInRow_ = 0;
            nextInLoop();
            return;
        case Step::Console:
            return;
        }
    }

    Step step_ = Step::Console;
    ConsoleAnswerParser console_;
    Session session_;
    FrameDecoder decoder_;
    Frame request_;
    int attemptsLeft_ = 0;
    int timeoutsInRow_ = 0;
    unsigned online_ = 0;
    // The TA asked about or configured by the current request.
    int extension_ = 0;
    unsigned configured_ = 0;
    int cycles_ = 0;
    std::vector<std::uint8_t> stream_;
};

// A reply with a correct length and checksum. Flags: bit 0 takes the TID of
// the outstanding request, bit 1 the command it expects; bit 2 makes the
// payload free-form instead of structures of the expected kind; bit 3
// changes one byte after encoding; bits 4-5 give 1-4 pieces to read it in.
std::vector<std::vector<std::uint8_t>> replyFrame(FuzzInput &in, const Frame &request)
{
    const std::uint8_t flags = in.byte();
    Frame reply;
    reply.from = kBusMaster;
    reply.to = kBusMaster;
    reply.sid = in.u16();
    reply.tid = (flags & 0x01) ? request.tid : in.u16();
    reply.command = (flags & 0x02) ? request.command + kReplyOffset : in.u32();
    if (flags & 0x04) {
        reply.items = in.u32();
        reply.payload = in.bytes(in.u16() % (kMaxPayload + 1));
    } else if (request.command == kCmdEcho) {
        // A controller echoes the request or answers with nothing.
        if (in.byte() & 1) {
            reply.items = request.items;
            reply.payload = request.payload;
        }
    } else {
        std::size_t structSize = 0;
        if (request.command == kCmdInfo)
            structSize = kTaInfoSize;
        else if (request.command == kCmdState)
            structSize = kTaStateSize;
        else if (request.command == kCmdExchange)
            structSize = kTaInputSize;
        reply.items = in.byte() % (kTaCount + 1);
        for (std::uint32_t i = 0; i < reply.items; ++i) {
            appendTaId(reply.payload, in.byte());
            const std::vector<std::uint8_t> structure = in.bytes(structSize);
            reply.payload.insert(reply.payload.end(), structure.begin(), structure.end());
        }
    }
    std::vector<std::uint8_t> bytes = encodeFrame(reply);
    require(!bytes.empty(), "reply fits in a frame");
    if (flags & 0x08) {
        const std::uint8_t change = in.byte();
        bytes[in.u16() % bytes.size()] ^= change ? change : 0x01;
    }
    const std::size_t pieces = 1 + ((flags >> 4) & 0x03);
    std::vector<std::vector<std::uint8_t>> out;
    const std::size_t each = (bytes.size() + pieces - 1) / pieces;
    for (std::size_t at = 0; at < bytes.size(); at += each)
        out.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                         bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + each)));
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput in(data, size);
    Library library;
    while (!in.atEnd()) {
        switch (in.byte() % 3) {
        case 0:
            library.portBytes(in.bytes(in.u16() % 2048));
            break;
        case 1:
            for (const std::vector<std::uint8_t> &piece : replyFrame(in, library.request()))
                library.portBytes(piece);
            break;
        default:
            library.timeout();
            break;
        }
    }
    // However the bytes were cut into reads, the same frames come out.
    const std::vector<Frame> whole = decodeAll(library.stream(), false);
    const std::vector<Frame> single = decodeAll(library.stream(), true);
    require(whole.size() == single.size(), "frame count independent of the reads");
    for (std::size_t i = 0; i < whole.size(); ++i)
        require(sameFrame(whole[i], single[i]), "frames independent of the reads");
    return 0;
}
