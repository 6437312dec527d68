// SPDX-License-Identifier: GPL-3.0-or-later
// The TXT's online protocol (protocol/txt.h): words coded against
// references that carry over from packet to packet must come back as they
// went out, whole packets with a matching CRC, and no bytes whatever may
// crash a decoder or move its references when it refuses them.
//
// The input is a list of records, each a tag byte (taken modulo 4) and its
// fields:
//   0  words     u16 count (up to 5000, so runs beyond 275 + 4095 occur),
//                then one byte per word: below 0x80 the word stays as last
//                sent, 0x80 / 0x81 make it 0 / 1, else a u16 follows
//   1  packet    mask byte (bit 0: the extension's block), direction bit 1
//                (command or reply), then the blocks' words as in record 0
//   2  bytes     u16 count, then that many bytes, given to every decoder
//   3  restart   both ends' references back to 0, as StartOnline does
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzzinput.h"
#include "protocol/txt.h"

using namespace protocol::txt;

namespace {

// One direction of a connection: the sender's and the receiver's
// references, and the last words sent (to pick unchanged ones).
struct Direction {
    WordStream sent, received;
    std::vector<std::uint16_t> last;

    void restart()
    {
        sent.reset();
        received.reset();
        last.clear();
    }
};

std::vector<std::uint16_t> words(FuzzInput &in, std::size_t count, Direction &d)
{
    if (d.last.size() < count)
        d.last.resize(count, 0);
    std::vector<std::uint16_t> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t kind = in.byte();
        if (kind < 0x80)
            out[i] = d.last[i];
        else if (kind == 0x80 || kind == 0x81)
            out[i] = kind & 1;
        else
            out[i] = in.u16();
        d.last[i] = out[i];
    }
    return out;
}

void wordsRoundTrip(FuzzInput &in, Direction &d)
{
    const std::vector<std::uint16_t> sent = words(in, in.u16() % 5001, d);
    const std::vector<std::uint8_t> coded = d.sent.encode(sent);
    std::vector<std::uint16_t> back;
    require(d.received.decode(coded.data(), coded.size(), sent.size(), back), "coded words decode");
    require(back == sent, "words come back as sent");
}

template <typename Block>
std::vector<std::uint16_t> joined(const std::vector<Block> &blocks,
                                  std::vector<std::uint16_t> (*wordsOf)(const Block &))
{
    std::vector<std::uint16_t> all;
    for (const Block &b : blocks) {
        const std::vector<std::uint16_t> w = wordsOf(b);
        all.insert(all.end(), w.begin(), w.end());
    }
    return all;
}

template <typename Block>
void packetRoundTrip(FuzzInput &in, Direction &d, std::uint16_t mask, int perBlock,
                     std::vector<std::uint16_t> (*wordsOf)(const Block &), Block (*fromWords)(const std::uint16_t *),
                     std::vector<std::uint8_t> (*pack)(WordStream &, const std::vector<Block> &, std::uint16_t),
                     CmprError (*read)(WordStream &, const std::uint8_t *, std::size_t, std::uint16_t &,
                                       std::vector<Block> &))
{
    const std::size_t count = static_cast<std::size_t>(perBlock) * (1u + (mask & 1u));
    const std::vector<std::uint16_t> all = words(in, count, d);
    std::vector<Block> blocks;
    for (std::size_t at = 0; at < count; at += static_cast<std::size_t>(perBlock))
        blocks.push_back(fromWords(all.data() + at));
    const std::vector<std::uint8_t> packet = pack(d.sent, blocks, mask);
    std::size_t length = 0;
    require(packetLength(packet.data(), packet.size(), length) == Framing::Whole && length == packet.size(),
            "a compressed packet frames as one whole packet");
    std::uint16_t maskBack = 0xFFFF;
    std::vector<Block> back;
    require(read(d.received, packet.data(), packet.size(), maskBack, back) == CmprError::None,
            "a compressed packet is taken, CRC and all");
    require(maskBack == mask && joined(back, wordsOf) == all, "a compressed packet's words come back");
}

// Arbitrary bytes into every decoder; the references of the live
// connection must not move unless a packet was taken.
void decodeAnything(const std::vector<std::uint8_t> &bytes, Direction &commands, Direction &replies)
{
    const std::uint8_t *data = bytes.data();
    const std::size_t size = bytes.size();
    std::size_t length = 0;
    const Framing framing = packetLength(data, size, length);
    require(framing != Framing::Whole || length <= size, "a whole packet lies within the bytes");
    require(framing != Framing::NeedMore || length > size, "more is needed only beyond the bytes");
    Status status;
    Config config;
    Outputs outputs;
    Inputs inputs;
    readStatusReply(data, size, status);
    require(status.name.size() <= kStatusNameSize, "a device name within its 16 bytes");
    readUpdateConfig(data, size, config);
    readExchange(data, size, outputs);
    readExchangeReply(data, size, inputs);
    std::uint16_t mask = 0;
    std::vector<Outputs> outBlocks;
    std::vector<Inputs> inBlocks;
    // Taken by chance: the sender does not know, so both ends start over.
    if (readCompressedExchange(commands.received, data, size, mask, outBlocks) == CmprError::None)
        commands.restart();
    if (readCompressedReply(replies.received, data, size, mask, inBlocks) == CmprError::None)
        replies.restart();
    WordStream scratch;
    std::vector<std::uint16_t> w;
    scratch.decode(data, size, size % 300, w);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput in(data, size);
    Direction commands, replies, raw;
    while (!in.atEnd()) {
        switch (in.byte() % 4) {
        case 0:
            wordsRoundTrip(in, raw);
            break;
        case 1: {
            const std::uint8_t flags = in.byte();
            const auto mask = static_cast<std::uint16_t>(flags & 1);
            if (flags & 2)
                packetRoundTrip<Inputs>(in, replies, mask, kReplyWords, inputWords, inputsFromWords, compressedReply,
                                        readCompressedReply);
            else
                packetRoundTrip<Outputs>(in, commands, mask, kCommandWords, outputWords, outputsFromWords,
                                         compressedExchange, readCompressedExchange);
            break;
        }
        case 2:
            decodeAnything(in.bytes(in.u16() % 4200), commands, replies);
            break;
        default:
            commands.restart();
            replies.restart();
            raw.restart();
            break;
        }
    }
    return 0;
}
