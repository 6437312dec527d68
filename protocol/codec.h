// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

// The controller's binary frames ("Fish.X1"), the same in both directions.
//
// | Offset | Size | Field    | Encoding            | Meaning                                   |
// |-------:|-----:|----------|---------------------|-------------------------------------------|
// |      0 |    1 | STX      | byte 0x02           | start of frame                            |
// |      1 |    1 | magic    | byte 0x55           |                                           |
// |      2 |    2 | length L | big-endian u16      | bytes from offset 4 through the payload   |
// |      4 |    4 | from     | little-endian u32   | bus address of the sender                 |
// |      8 |    4 | to       | little-endian u32   | bus address of the receiver               |
// |     12 |    2 | TID      | little-endian u16   | transaction id, copied into the reply     |
// |     14 |    2 | SID      | little-endian u16   | session id                                |
// |     16 |    4 | command  | little-endian u32   | request code; reply = request + 100       |
// |     20 |    4 | items N  | little-endian u32   | number of structures in the payload       |
// |     24 | L-20 | payload  | N x (u32 TA id + structure)                                     |
// |    4+L |    2 | checksum | big-endian u16      | two's complement of the byte sum 2..3+L   |
// |    6+L |    1 | ETX      | byte 0x03           | end of frame                              |
//
// L = 20 + payload size; a frame is L + 7 bytes. Nothing is escaped: 0x02, 0x55
// and 0x03 may occur anywhere inside, only the length delimits a frame.
namespace protocol {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kMagic = 0x55;
constexpr std::uint8_t kEtx = 0x03;
constexpr std::size_t kHeaderSize = 24;
constexpr std::size_t kFrameOverhead = 7;
constexpr std::uint16_t kMinLength = 20;
// Receivers refuse longer frames; the largest real one (nine structures) has L = 488.
constexpr std::uint16_t kMaxLength = 1024;
constexpr std::size_t kMaxPayload = kMaxLength - kMinLength;

// Bus addresses.
constexpr std::uint32_t kBusWildcard = 1;
constexpr std::uint32_t kBusMaster = 2;

// Command codes; a reply carries the request code + kReplyOffset.
constexpr std::uint32_t kCmdEcho = 1;
constexpr std::uint32_t kCmdExchange = 2;
constexpr std::uint32_t kCmdConfig = 5;
constexpr std::uint32_t kCmdInfo = 6;
constexpr std::uint32_t kCmdState = 7;
constexpr std::uint32_t kReplyOffset = 100;

// One decoded or to-be-encoded frame; payload is everything between the header
// and the checksum.
struct Frame {
    std::uint32_t from = 0;
    std::uint32_t to = 0;
    std::uint16_t tid = 0;
    std::uint16_t sid = 0;
    std::uint32_t command = 0;
    std::uint32_t items = 0;
    std::vector<std::uint8_t> payload;
};

// Returns the complete frame bytes, or an empty vector when the payload is
// longer than kMaxPayload.
std::vector<std::uint8_t> encodeFrame(const Frame &frame);

// The checksum over `size` bytes starting at the first length byte.
std::uint16_t frameChecksum(const std::uint8_t *data, std::size_t size);

enum class DecodeError { None, BadMagic, BadLength, MissingEtx, BadChecksum };

// "bad magic", "bad length", "missing ETX", "bad checksum" (for traces).
const char *decodeErrorText(DecodeError error);

// Incremental receiver: feed it bytes as they arrive and take frames out.
// Bytes outside frames are skipped. A rejected frame is dropped and scanning
// resumes at the byte after its STX, so a real frame hidden behind garbage is
// still found. Memory stays bounded by the largest frame plus the bytes fed
// since the last call of next().
class FrameDecoder {
public:
    void feed(const std::uint8_t *data, std::size_t size);
    // Takes the next complete valid frame; false when more bytes are needed.
    bool next(Frame &frame);
    // Forgets every buffered byte (used after a timeout, so a stuck partial
    // frame cannot delay the next reply).
    void reset();

    // Called from next() for every dropped candidate with the reason and the
    // bytes it spanned (as far as they were there), so a trace can show why
    // a reply was not taken.
    using RejectObserver = std::function<void(DecodeError, const std::uint8_t *, std::size_t)>;
    void setRejectObserver(RejectObserver observer) { observer_ = std::move(observer); }

private:
    void reject(DecodeError error, std::size_t span);
    void compact();

    std::vector<std::uint8_t> buffer_;
    std::size_t pos_ = 0;
    RejectObserver observer_;
};

// Little-endian field access used by every structure codec.
void putU16(std::vector<std::uint8_t> &out, std::uint16_t value);
void putU32(std::vector<std::uint8_t> &out, std::uint32_t value);
std::uint16_t getU16(const std::uint8_t *data);
std::uint32_t getU32(const std::uint8_t *data);

} // namespace protocol
