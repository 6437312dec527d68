// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The ROBOTICS TXT's online protocol over TCP: packets, the compressed exchange
// and its CRC. Pure functions without I/O; every multi-byte field is written and
// read one at a time, little-endian, never as a host structure.
//
// No start byte, no length, no checksum: each packet starts with its id, and the
// id fixes the size, except the compressed exchange, whose header gives the size
// of its body.
//
// | Packet                | Id (LE u32) | Bytes  | Layout after the id (offsets from 0)                      |
// |-----------------------|-------------|-------:|-----------------------------------------------------------|
// | QueryStatus           | 0xDC21219A  |      4 |                                                           |
// |  reply                | 0xBAC9723E  |     24 | 4 char[16] name (NUL-padded, maybe none), 20 u32 version  |
// | StartOnline           | 0x163FF61D  |     68 | 4 char[64] name ("Online", NUL-padded)                    |
// |  reply                | 0xCA689F75  |      4 |                                                           |
// | UpdateConfig          | 0x060EF27E  |     96 | 4 i16 config id, 6 i16 extension, 8 u8 0, 9 u8 0, 10 2x0, |
// |                       |             |        | 12 u8[4] motor mode, 16 8 x (mode, digital, 0, 0),        |
// |                       |             |        | 48 4 x (counter mode, 0, 0, 0), 64 32 x 0                 |
// |  reply                | 0x9689A68C  |      4 |                                                           |
// | ExchangeData          | 0xCC3597BA  |     60 | 4 i16[8] duty, 20 i16[4] master, 28 i16[4] distance,      |
// |                       |             |        | 36 i16[4] motor cmd id, 44 i16[4] counter reset id,       |
// |                       |             |        | 52 u16 sound cmd id, 54 u16 index, 56 u16 repeat, 58 2x0  |
// |  reply                | 0x4EEFAC41  |     80 | 4 i16[8] inputs, 20 i16[4] counter level, 28 i16[4]       |
// |                       |             |        | counter value, 36 i16[4] reset ack, 44 i16[4] motor ack,  |
// |                       |             |        | 52 u16 sound ack, 54 5 x (i8 lx, ly, rx, ry, u8 bits), 79 |
// | ExchangeDataCmpr      | 0xFBC56F98  | 16 + n | 4 u32 n, 8 u32 CRC of the words, 12 u16 mask, 14 u16 0,   |
// |  reply                | 0x6F3B54E6  | 16 + m | 16 n (or m) bytes of coded words                          |
// | StopOnline            | 0x9BE5082C  |      4 |                                                           |
// |  reply                | 0xFBF600D2  |      4 |                                                           |
//
// Compressed words: a command block is 27 words per controller (duty 8, master 4,
// distance 4, motor cmd id 4, counter reset id 4, sound id, index, repeat), a
// reply block 52 (inputs 8, counter level 4, value 4, reset ack 4, motor ack 4,
// sound ack, 5 IR records of 5 words, mic linear, mic logarithmic). The master's
// block comes first, then the extension's when mask bit 0 is set. Each word is
// coded against the last value at its stream position, as 2-bit codes packed
// from the least significant bit of the first byte:
//   0                              1 word unchanged
//   1, k (2 bits, 0..2)            k + 2 unchanged
//   1, 3, k (4 bits, 0..14)        k + 5 unchanged
//   1, 3, 15, k (8 bits, 0..254)   k + 20 unchanged
//   1, 3, 15, 255, k (16 bits)     k + 275 unchanged
//   2                              toggle: 1 if the reference is 0, else 0
//   3, v (16 bits)                 the word is v
namespace protocol::txt {

constexpr std::uint16_t kDefaultPort = 65000;
// ids (sheet 2.1)
constexpr std::uint32_t kQueryStatus = 0xDC21219Au, kQueryStatusReply = 0xBAC9723Eu;
constexpr std::uint32_t kStartOnline = 0x163FF61Du, kStartOnlineReply = 0xCA689F75u;
constexpr std::uint32_t kUpdateConfig = 0x060EF27Eu, kUpdateConfigReply = 0x9689A68Cu;
constexpr std::uint32_t kExchangeData = 0xCC3597BAu, kExchangeDataReply = 0x4EEFAC41u;
constexpr std::uint32_t kExchangeDataCmpr = 0xFBC56F98u, kExchangeDataCmprReply = 0x6F3B54E6u;
constexpr std::uint32_t kStopOnline = 0x9BE5082Cu, kStopOnlineReply = 0xFBF600D2u;
constexpr std::size_t kIdSize = 4, kStatusReplySize = 24, kStartOnlineSize = 68, kUpdateConfigSize = 96,
    kExchangeSize = 60, kExchangeReplySize = 80, kCmprHeaderSize = 16, kMaxCmprBody = 4096;
constexpr int kCommandWords = 27, kReplyWords = 52, kMaxExtensions = 1;
constexpr std::size_t kStatusNameSize = 16, kStartOnlineNameSize = 64;

// The reply id that answers `command`; 0 for an id this host does not know.
std::uint32_t replyIdFor(std::uint32_t command);

// How long the whole packet that `data` begins with is (commands and replies alike, by its id):
enum class Framing { NeedMore, Whole, UnknownId, Oversized };
// Whole: `length` = the packet's size (<= size); NeedMore: fewer bytes than the id or the compressed header
// need (`length` = the bytes needed so far, at least); UnknownId; Oversized: compressed extra size >= kMaxCmprBody.
// Also NeedMore when the header is there but not the whole body (`length` = the whole packet's size).
Framing packetLength(const std::uint8_t *data, std::size_t size, std::size_t &length);
std::uint32_t packetId(const std::uint8_t *data); // little-endian u32 at 0, data has >= 4 bytes

struct Status { std::string name; std::uint32_t version = 0; }; // name: up to 16 bytes, may fill all 16 without NUL
std::string versionText(std::uint32_t version); // 0x04060600 -> "4.6.6"
std::vector<std::uint8_t> queryStatus();                    // 4 bytes
// A name longer than 16 bytes is cut to 16.
std::vector<std::uint8_t> statusReply(const Status &status); // 24 bytes (device side)
// The name stops at the first NUL or after 16 bytes.
bool readStatusReply(const std::uint8_t *data, std::size_t size, Status &status); // id and size checked
std::vector<std::uint8_t> startOnline();  // 68 bytes, name "Online" NUL-padded
std::vector<std::uint8_t> stopOnline();   // 4 bytes
std::vector<std::uint8_t> idOnly(std::uint32_t id); // a 4-byte packet (the short replies)

struct InputConfig { std::uint8_t mode = 1; std::uint8_t digital = 1; }; // resistance, digital: a switch
struct Config {
    std::int16_t configId = 0;
    std::int16_t extension = 0; // 0 master, 1 extension
    std::array<std::uint8_t, 4> motor{{1, 1, 1, 1}};
    std::array<InputConfig, 8> input{};
    std::array<std::uint8_t, 4> counter{{1, 1, 1, 1}};
};
std::vector<std::uint8_t> updateConfig(const Config &config);            // 96 bytes
// The read functions below check the id and that `size` is exactly the packet's size;
// on false `config`/`outputs`/`inputs` are left untouched.
bool readUpdateConfig(const std::uint8_t *data, std::size_t size, Config &config);

struct Outputs {
    std::array<std::int16_t, 8> duty{};
    std::array<std::int16_t, 4> master{}, distance{}, motorCommandId{}, counterResetId{};
    std::uint16_t soundCommandId = 0, soundIndex = 0, soundRepeat = 0;
};
struct IrRecord { std::int16_t leftX = 0, leftY = 0, rightX = 0, rightY = 0; std::uint16_t bits = 0; };
struct Inputs {
    std::array<std::int16_t, 8> input{};
    std::array<std::int16_t, 4> counterLevel{}, counterValue{}, counterResetAck{}, motorCommandAck{};
    std::uint16_t soundAck = 0;
    std::array<IrRecord, 5> ir{};
    std::int16_t micLin = 0, micLog = 0; // compressed reply only
};
std::vector<std::uint8_t> exchange(const Outputs &outputs);     // 60 bytes
bool readExchange(const std::uint8_t *data, std::size_t size, Outputs &outputs);
// The uncompressed reply carries the IR values as 8 bits: they are cut to them (and read
// back sign-extended, bits unsigned); micLin/micLog are not sent and read back as 0.
std::vector<std::uint8_t> exchangeReply(const Inputs &inputs);   // 80 bytes
bool readExchangeReply(const std::uint8_t *data, std::size_t size, Inputs &inputs);

// The word lists of the compressed exchange (27 and 52 words per controller).
std::vector<std::uint16_t> outputWords(const Outputs &outputs);
Outputs outputsFromWords(const std::uint16_t *words); // reads kCommandWords words
std::vector<std::uint16_t> inputWords(const Inputs &inputs);
Inputs inputsFromWords(const std::uint16_t *words); // reads kReplyWords words

// CRC-32/MPEG-2 over 16-bit words, each high byte first (sheet 3.6).
std::uint32_t wordsCrc(const std::uint16_t *words, std::size_t count);
// CRC-32/MPEG-2 over plain bytes (its check value: "123456789" -> 0x0376E6E7).
std::uint32_t bytesCrc(const std::uint8_t *data, std::size_t size);

enum class CmprError { None, WrongId, Truncated, Oversized, BadCode, BadCrc, BadMask };
// "wrong id", "truncated", ... (for violation events and the library's reasons).
const char *cmprErrorText(CmprError error);

// One direction's reference values (sheet 3.3): both ends start at 0 (reset at StartOnline).
// A position never sent before has the reference 0. Not thread-safe; one per direction and connection.
class WordStream {
public:
    void reset();
    // Codes `words` against the references as the vendor's encoder chooses (3.4), packs LSB first (3.5),
    // and takes them as the new references.
    std::vector<std::uint8_t> encode(const std::vector<std::uint16_t> &words);
    // Decodes exactly `count` words; false on a truncated stream or a bad code; references updated on success.
    // Bits after the last word are not looked at.
    bool decode(const std::uint8_t *data, std::size_t size, std::size_t count, std::vector<std::uint16_t> &words);
    // The same, saying why: Truncated (the bits ran out), BadCode (a run past `count` words).
    CmprError decodeWords(const std::uint8_t *data, std::size_t size, std::size_t count,
                          std::vector<std::uint16_t> &words);
private:
    std::vector<std::uint16_t> refs_;
};
// Host side. `blocks`: the master's first, then the extension's when mask bit 0 is set.
// An empty vector when `blocks` does not hold exactly the blocks the mask names.
std::vector<std::uint8_t> compressedExchange(WordStream &sent, const std::vector<Outputs> &blocks, std::uint16_t mask);
// The same with every word a literal (code 3): it decodes to `blocks` whatever references the TXT holds, and
// leaves none of the host's to keep. For zeros prepared ahead of an exchange that may or may not have reached it.
std::vector<std::uint8_t> literalExchange(const std::vector<Outputs> &blocks, std::uint16_t mask);
// The read functions take exactly one whole packet (as packetLength() framed it). Errors: WrongId;
// Truncated when `size` is not 16 + its extra size or the coded words run out; Oversized; BadCode
// (a run past the words the mask calls for); BadCrc; BadMask (a mask bit other than bit 0). `mask`,
// `blocks` and the references change only on None; after an error both ends are out of step: end
// online mode.
CmprError readCompressedReply(WordStream &received, const std::uint8_t *data, std::size_t size, std::uint16_t &mask,
                              std::vector<Inputs> &blocks);
// Device side.
CmprError readCompressedExchange(WordStream &received, const std::uint8_t *data, std::size_t size, std::uint16_t &mask,
                                 std::vector<Outputs> &blocks);
std::vector<std::uint8_t> compressedReply(WordStream &sent, const std::vector<Inputs> &blocks, std::uint16_t mask);
} // namespace protocol::txt
