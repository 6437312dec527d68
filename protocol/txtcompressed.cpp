// SPDX-License-Identifier: GPL-3.0-or-later
// The TXT's compressed exchange: the run/toggle/literal codes against the
// references, their bit packing, the CRC over the words and the packets.
#include <algorithm>

#include "protocol/codec.h"
#include "protocol/txt.h"

namespace protocol::txt {

namespace {

// Runs longer than this are written as several codes, as the vendor's
// encoder does.
constexpr std::size_t kLongestRun = 275 + 4095;

// Fills the bit stream from the least significant bit of the first byte;
// every field goes least significant bit first.
class BitWriter {
public:
    void put(std::uint32_t value, int bits)
    {
        acc_ |= (value & ((1u << bits) - 1)) << filled_;
        filled_ += bits;
        while (filled_ >= 8) {
            bytes_.push_back(static_cast<std::uint8_t>(acc_ & 0xFF));
            acc_ >>= 8;
            filled_ -= 8;
        }
    }
    // The last byte padded with 0 bits.
    std::vector<std::uint8_t> finish()
    {
        if (filled_ > 0)
            bytes_.push_back(static_cast<std::uint8_t>(acc_ & 0xFF));
        acc_ = 0;
        filled_ = 0;
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::uint32_t acc_ = 0;
    int filled_ = 0;
};

class BitReader {
public:
    BitReader(const std::uint8_t *data, std::size_t size)
        : data_(data), bits_(data ? size * 8 : 0)
    {
    }
    // False, and nothing consumed, when fewer than `bits` are left.
    bool get(int bits, std::uint32_t &value)
    {
        if (bits_ - pos_ < static_cast<std::size_t>(bits))
            return false;
        value = 0;
        for (int i = 0; i < bits; ++i, ++pos_)
            value |= static_cast<std::uint32_t>((data_[pos_ >> 3] >> (pos_ & 7)) & 1u) << i;
        return true;
    }

private:
    const std::uint8_t *data_;
    std::size_t bits_;
    std::size_t pos_ = 0;
};

void writeRun(BitWriter &out, std::size_t run)
{
    while (run > 0) {
        if (run == 1) {
            out.put(0, 2);
            return;
        }
        out.put(1, 2);
        if (run <= 4) {
            out.put(static_cast<std::uint32_t>(run - 2), 2);
            return;
        }
        out.put(3, 2);
        if (run <= 19) {
            out.put(static_cast<std::uint32_t>(run - 5), 4);
            return;
        }
        out.put(15, 4);
        if (run <= 274) {
            out.put(static_cast<std::uint32_t>(run - 20), 8);
            return;
        }
        out.put(255, 8);
        const std::size_t part = std::min(run, kLongestRun);
        out.put(static_cast<std::uint32_t>(part - 275), 16);
        run -= part;
    }
}

// The length of the run whose code 1 was just read.
bool readRun(BitReader &in, std::size_t &run)
{
    std::uint32_t k = 0;
    if (!in.get(2, k))
        return false;
    if (k < 3) {
        run = k + 2;
        return true;
    }
    if (!in.get(4, k))
        return false;
    if (k < 15) {
        run = k + 5;
        return true;
    }
    if (!in.get(8, k))
        return false;
    if (k < 255) {
        run = k + 20;
        return true;
    }
    if (!in.get(16, k))
        return false;
    run = k + 275;
    return true;
}

bool blocksFit(std::size_t blocks, std::uint16_t mask)
{
    return (mask & ~1u) == 0 && blocks == 1u + (mask & 1u);
}

// `sent` null: every word a literal (code 3), which decodes to the words
// whatever references the other end holds.
std::vector<std::uint8_t> pack(std::uint32_t id, WordStream *sent, const std::vector<std::uint16_t> &words,
                               std::uint16_t mask)
{
    std::vector<std::uint8_t> body;
    if (sent) {
        body = sent->encode(words);
    } else {
        BitWriter literals;
        for (const std::uint16_t word : words) {
            literals.put(3, 2);
            literals.put(word, 16);
        }
        body = literals.finish();
    }
    std::vector<std::uint8_t> out;
    putU32(out, id);
    putU32(out, static_cast<std::uint32_t>(body.size()));
    putU32(out, wordsCrc(words.data(), words.size()));
    putU16(out, mask);
    putU16(out, 0);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// The words of one whole compressed packet; `received` moves on only when
// they are all there and their CRC matches.
CmprError unpack(std::uint32_t id, WordStream &received, const std::uint8_t *data, std::size_t size,
                 std::size_t wordsPerBlock, std::uint16_t &mask, std::vector<std::uint16_t> &words)
{
    if (!data || size < kIdSize)
        return CmprError::Truncated;
    if (packetId(data) != id)
        return CmprError::WrongId;
    if (size < kCmprHeaderSize)
        return CmprError::Truncated;
    const std::uint32_t extra = getU32(data + 4);
    if (extra >= kMaxCmprBody)
        return CmprError::Oversized;
    if (size != kCmprHeaderSize + extra)
        return CmprError::Truncated;
    const std::uint16_t packetMask = getU16(data + 12);
    if (packetMask & ~1u)
        return CmprError::BadMask;
    const std::size_t count = wordsPerBlock * (1u + (packetMask & 1u));
    WordStream next = received;
    std::vector<std::uint16_t> decoded;
    const CmprError error = next.decodeWords(data + kCmprHeaderSize, extra, count, decoded);
    if (error != CmprError::None)
        return error;
    if (wordsCrc(decoded.data(), decoded.size()) != getU32(data + 8))
        return CmprError::BadCrc;
    received = std::move(next);
    mask = packetMask;
    words = std::move(decoded);
    return CmprError::None;
}

} // namespace

void WordStream::reset()
{
    refs_.clear();
}

std::vector<std::uint8_t> WordStream::encode(const std::vector<std::uint16_t> &words)
{
    if (refs_.size() < words.size())
        refs_.resize(words.size(), 0);
    BitWriter out;
    std::size_t run = 0;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::uint16_t word = words[i], ref = refs_[i];
        if (word == ref) {
            ++run;
            continue;
        }
        writeRun(out, run);
        run = 0;
        // A toggle only where it lands on the word: 0 -> 1, or anything else -> 0.
        if ((word == 1 && ref == 0) || (word == 0 && ref != 0)) {
            out.put(2, 2);
        } else {
            out.put(3, 2);
            out.put(word, 16);
        }
        refs_[i] = word;
    }
    writeRun(out, run);
    return out.finish();
}

bool WordStream::decode(const std::uint8_t *data, std::size_t size, std::size_t count,
                        std::vector<std::uint16_t> &words)
{
    return decodeWords(data, size, count, words) == CmprError::None;
}

CmprError WordStream::decodeWords(const std::uint8_t *data, std::size_t size, std::size_t count,
                                  std::vector<std::uint16_t> &words)
{
    BitReader in(data, size);
    std::vector<std::uint16_t> refs = refs_;
    if (refs.size() < count)
        refs.resize(count, 0);
    std::vector<std::uint16_t> out;
    out.reserve(count);
    while (out.size() < count) {
        std::uint32_t code = 0, value = 0;
        std::size_t run = 0;
        const std::size_t at = out.size();
        if (!in.get(2, code))
            return CmprError::Truncated;
        if (code == 0) {
            out.push_back(refs[at]);
        } else if (code == 1) {
            if (!readRun(in, run))
                return CmprError::Truncated;
            if (run > count - at)
                return CmprError::BadCode;
            out.insert(out.end(), refs.begin() + static_cast<std::ptrdiff_t>(at),
                       refs.begin() + static_cast<std::ptrdiff_t>(at + run));
        } else if (code == 2) {
            out.push_back(refs[at] == 0 ? 1 : 0);
        } else {
            if (!in.get(16, value))
                return CmprError::Truncated;
            out.push_back(static_cast<std::uint16_t>(value));
        }
    }
    std::copy(out.begin(), out.end(), refs.begin());
    refs_ = std::move(refs);
    words = std::move(out);
    return CmprError::None;
}

namespace {

// One packet of blocks, commands or replies alike.
template <typename Block>
std::vector<std::uint8_t> packBlocks(std::uint32_t id, WordStream *sent, const std::vector<Block> &blocks,
                                     std::uint16_t mask, std::vector<std::uint16_t> (*wordsOf)(const Block &))
{
    if (!blocksFit(blocks.size(), mask))
        return {};
    std::vector<std::uint16_t> words;
    for (const Block &block : blocks) {
        const std::vector<std::uint16_t> w = wordsOf(block);
        words.insert(words.end(), w.begin(), w.end());
    }
    return pack(id, sent, words, mask);
}

template <typename Block>
CmprError unpackBlocks(std::uint32_t id, WordStream &received, const std::uint8_t *data, std::size_t size,
                       std::size_t perBlock, Block (*fromWords)(const std::uint16_t *), std::uint16_t &mask,
                       std::vector<Block> &blocks)
{
    std::vector<std::uint16_t> words;
    const CmprError error = unpack(id, received, data, size, perBlock, mask, words);
    if (error != CmprError::None)
        return error;
    blocks.clear();
    for (std::size_t at = 0; at < words.size(); at += perBlock)
        blocks.push_back(fromWords(words.data() + at));
    return CmprError::None;
}

} // namespace

std::vector<std::uint8_t> compressedExchange(WordStream &sent, const std::vector<Outputs> &blocks, std::uint16_t mask)
{
    return packBlocks(kExchangeDataCmpr, &sent, blocks, mask, outputWords);
}

std::vector<std::uint8_t> literalExchange(const std::vector<Outputs> &blocks, std::uint16_t mask)
{
    return packBlocks<Outputs>(kExchangeDataCmpr, nullptr, blocks, mask, outputWords);
}

std::vector<std::uint8_t> compressedReply(WordStream &sent, const std::vector<Inputs> &blocks, std::uint16_t mask)
{
    return packBlocks(kExchangeDataCmprReply, &sent, blocks, mask, inputWords);
}

CmprError readCompressedExchange(WordStream &received, const std::uint8_t *data, std::size_t size, std::uint16_t &mask,
                                 std::vector<Outputs> &blocks)
{
    return unpackBlocks(kExchangeDataCmpr, received, data, size, kCommandWords, outputsFromWords, mask, blocks);
}

CmprError readCompressedReply(WordStream &received, const std::uint8_t *data, std::size_t size, std::uint16_t &mask,
                              std::vector<Inputs> &blocks)
{
    return unpackBlocks(kExchangeDataCmprReply, received, data, size, kReplyWords, inputsFromWords, mask, blocks);
}

} // namespace protocol::txt
