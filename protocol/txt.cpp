// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/txt.h"

#include <algorithm>

#include "protocol/codec.h"

namespace protocol::txt {

namespace {

struct Known {
    std::uint32_t id;
    std::uint32_t reply;
    std::size_t size;      // of the command
    std::size_t replySize; // 0: compressed, sized by its header
};

constexpr Known kKnown[] = {
    {kQueryStatus, kQueryStatusReply, kIdSize, kStatusReplySize},
    {kStartOnline, kStartOnlineReply, kStartOnlineSize, kIdSize},
    {kUpdateConfig, kUpdateConfigReply, kUpdateConfigSize, kIdSize},
    {kExchangeData, kExchangeDataReply, kExchangeSize, kExchangeReplySize},
    {kExchangeDataCmpr, kExchangeDataCmprReply, 0, 0},
    {kStopOnline, kStopOnlineReply, kIdSize, kIdSize},
};

// The fixed size of a packet with this id (command or reply); 0 for the
// compressed exchange, -1 for an unknown id.
long fixedSize(std::uint32_t id)
{
    for (const Known &k : kKnown) {
        if (k.id == id)
            return static_cast<long>(k.size);
        if (k.reply == id)
            return static_cast<long>(k.replySize);
    }
    return -1;
}

void putI16(std::vector<std::uint8_t> &out, std::int16_t value)
{
    putU16(out, static_cast<std::uint16_t>(value));
}

// In a reply block: the words before the IR records, and the records' words.
constexpr std::size_t kFirstIrWord = 25, kIrWords = 25;

std::int16_t getI16(const std::uint8_t *data)
{
    return static_cast<std::int16_t>(getU16(data));
}

// A fixed-size packet: the exact size and the id.
bool isPacket(const std::uint8_t *data, std::size_t size, std::uint32_t id, std::size_t expected)
{
    return data && size == expected && packetId(data) == id;
}

void putText(std::vector<std::uint8_t> &out, const std::string &text, std::size_t field)
{
    const std::size_t n = std::min(text.size(), field);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), field - n, 0);
}

template <std::size_t N>
void append(std::vector<std::uint16_t> &words, const std::array<std::int16_t, N> &values)
{
    for (std::int16_t v : values)
        words.push_back(static_cast<std::uint16_t>(v));
}

template <std::size_t N>
const std::uint16_t *take(const std::uint16_t *words, std::array<std::int16_t, N> &values)
{
    for (std::int16_t &v : values)
        v = static_cast<std::int16_t>(*words++);
    return words;
}

// CRC-32/MPEG-2: polynomial 0x04C11DB7, most significant bit first.
std::uint32_t crcByte(std::uint32_t crc, std::uint8_t byte)
{
    crc ^= static_cast<std::uint32_t>(byte) << 24;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    return crc;
}

} // namespace

std::uint32_t replyIdFor(std::uint32_t command)
{
    for (const Known &k : kKnown) {
        if (k.id == command)
            return k.reply;
    }
    return 0;
}

std::uint32_t packetId(const std::uint8_t *data)
{
    return getU32(data);
}

Framing packetLength(const std::uint8_t *data, std::size_t size, std::size_t &length)
{
    if (size < kIdSize) {
        length = kIdSize;
        return Framing::NeedMore;
    }
    const long fixed = fixedSize(packetId(data));
    if (fixed < 0)
        return Framing::UnknownId;
    if (fixed > 0) {
        length = static_cast<std::size_t>(fixed);
        return size < length ? Framing::NeedMore : Framing::Whole;
    }
    if (size < kCmprHeaderSize) {
        length = kCmprHeaderSize;
        return Framing::NeedMore;
    }
    const std::uint32_t extra = getU32(data + 4);
    // Refused before anything waits for that many bytes.
    if (extra >= kMaxCmprBody)
        return Framing::Oversized;
    length = kCmprHeaderSize + extra;
    return size < length ? Framing::NeedMore : Framing::Whole;
}

std::string versionText(std::uint32_t version)
{
    return std::to_string(version >> 24) + "." + std::to_string((version >> 16) & 0xFF) + "."
        + std::to_string((version >> 8) & 0xFF);
}

std::vector<std::uint8_t> idOnly(std::uint32_t id)
{
    std::vector<std::uint8_t> out;
    putU32(out, id);
    return out;
}

std::vector<std::uint8_t> queryStatus()
{
    return idOnly(kQueryStatus);
}

std::vector<std::uint8_t> stopOnline()
{
    return idOnly(kStopOnline);
}

std::vector<std::uint8_t> statusReply(const Status &status)
{
    std::vector<std::uint8_t> out = idOnly(kQueryStatusReply);
    putText(out, status.name, kStatusNameSize);
    putU32(out, status.version);
    return out;
}

bool readStatusReply(const std::uint8_t *data, std::size_t size, Status &status)
{
    if (!isPacket(data, size, kQueryStatusReply, kStatusReplySize))
        return false;
    // All 16 bytes may be name: the bound, not a NUL, ends it.
    const std::uint8_t *name = data + kIdSize;
    const std::uint8_t *end = std::find(name, name + kStatusNameSize, 0);
    status.name.assign(name, end);
    status.version = getU32(data + kIdSize + kStatusNameSize);
    return true;
}

std::vector<std::uint8_t> startOnline()
{
    std::vector<std::uint8_t> out = idOnly(kStartOnline);
    putText(out, "Online", kStartOnlineNameSize);
    return out;
}

std::vector<std::uint8_t> updateConfig(const Config &config)
{
    std::vector<std::uint8_t> out = idOnly(kUpdateConfig);
    putI16(out, config.configId);
    putI16(out, config.extension);
    // Program state request and old-transfer flag: unused, sent as 0; then filler.
    out.insert(out.end(), 4, 0);
    out.insert(out.end(), config.motor.begin(), config.motor.end());
    for (const InputConfig &input : config.input)
        out.insert(out.end(), {input.mode, input.digital, 0, 0});
    for (std::uint8_t mode : config.counter)
        out.insert(out.end(), {mode, 0, 0, 0});
    // The motor configuration the TXT does not use.
    out.insert(out.end(), kUpdateConfigSize - out.size(), 0);
    return out;
}

bool readUpdateConfig(const std::uint8_t *data, std::size_t size, Config &config)
{
    if (!isPacket(data, size, kUpdateConfig, kUpdateConfigSize))
        return false;
    Config read;
    read.configId = getI16(data + 4);
    read.extension = getI16(data + 6);
    std::copy(data + 12, data + 16, read.motor.begin());
    for (std::size_t i = 0; i < read.input.size(); ++i) {
        read.input[i].mode = data[16 + 4 * i];
        read.input[i].digital = data[17 + 4 * i];
    }
    for (std::size_t i = 0; i < read.counter.size(); ++i)
        read.counter[i] = data[48 + 4 * i];
    config = read;
    return true;
}

std::vector<std::uint8_t> exchange(const Outputs &outputs)
{
    std::vector<std::uint8_t> out = idOnly(kExchangeData);
    // The fields lie in the order of the compressed exchange's words.
    for (std::uint16_t word : outputWords(outputs))
        putU16(out, word);
    // The structure's padding to a multiple of 4.
    out.insert(out.end(), 2, 0);
    return out;
}

bool readExchange(const std::uint8_t *data, std::size_t size, Outputs &outputs)
{
    if (!isPacket(data, size, kExchangeData, kExchangeSize))
        return false;
    std::array<std::uint16_t, kCommandWords> words{};
    for (std::size_t i = 0; i < words.size(); ++i)
        words[i] = getU16(data + kIdSize + 2 * i);
    outputs = outputsFromWords(words.data());
    return true;
}

std::vector<std::uint8_t> exchangeReply(const Inputs &inputs)
{
    const std::vector<std::uint16_t> words = inputWords(inputs);
    std::vector<std::uint8_t> out = idOnly(kExchangeDataReply);
    for (std::size_t i = 0; i < kFirstIrWord; ++i)
        putU16(out, words[i]);
    // Here the IR values are single bytes (16-bit words only when
    // compressed), and the microphone is not sent.
    for (std::size_t i = kFirstIrWord; i < kFirstIrWord + kIrWords; ++i)
        out.push_back(static_cast<std::uint8_t>(words[i] & 0xFF));
    out.push_back(0);
    return out;
}

bool readExchangeReply(const std::uint8_t *data, std::size_t size, Inputs &inputs)
{
    if (!isPacket(data, size, kExchangeDataReply, kExchangeReplySize))
        return false;
    std::array<std::uint16_t, kReplyWords> words{};
    for (std::size_t i = 0; i < kFirstIrWord; ++i)
        words[i] = getU16(data + kIdSize + 2 * i);
    const std::uint8_t *ir = data + kIdSize + 2 * kFirstIrWord;
    for (std::size_t i = 0; i < kIrWords; ++i) {
        // Four signed axes, then the unsigned bits, per record.
        const bool axis = i % 5 < 4;
        words[kFirstIrWord + i] = axis ? static_cast<std::uint16_t>(static_cast<std::int8_t>(ir[i])) : ir[i];
    }
    inputs = inputsFromWords(words.data());
    return true;
}

std::vector<std::uint16_t> outputWords(const Outputs &outputs)
{
    std::vector<std::uint16_t> words;
    words.reserve(kCommandWords);
    append(words, outputs.duty);
    append(words, outputs.master);
    append(words, outputs.distance);
    append(words, outputs.motorCommandId);
    append(words, outputs.counterResetId);
    words.insert(words.end(), {outputs.soundCommandId, outputs.soundIndex, outputs.soundRepeat});
    return words;
}

Outputs outputsFromWords(const std::uint16_t *words)
{
    Outputs out;
    words = take(words, out.duty);
    words = take(words, out.master);
    words = take(words, out.distance);
    words = take(words, out.motorCommandId);
    words = take(words, out.counterResetId);
    out.soundCommandId = words[0];
    out.soundIndex = words[1];
    out.soundRepeat = words[2];
    return out;
}

std::vector<std::uint16_t> inputWords(const Inputs &inputs)
{
    std::vector<std::uint16_t> words;
    words.reserve(kReplyWords);
    append(words, inputs.input);
    append(words, inputs.counterLevel);
    append(words, inputs.counterValue);
    append(words, inputs.counterResetAck);
    append(words, inputs.motorCommandAck);
    words.push_back(inputs.soundAck);
    for (const IrRecord &ir : inputs.ir) {
        append(words, std::array<std::int16_t, 4>{{ir.leftX, ir.leftY, ir.rightX, ir.rightY}});
        words.push_back(ir.bits);
    }
    append(words, std::array<std::int16_t, 2>{{inputs.micLin, inputs.micLog}});
    return words;
}

Inputs inputsFromWords(const std::uint16_t *words)
{
    Inputs in;
    words = take(words, in.input);
    words = take(words, in.counterLevel);
    words = take(words, in.counterValue);
    words = take(words, in.counterResetAck);
    words = take(words, in.motorCommandAck);
    in.soundAck = *words++;
    for (IrRecord &ir : in.ir) {
        std::array<std::int16_t, 4> axes{};
        words = take(words, axes);
        ir.leftX = axes[0];
        ir.leftY = axes[1];
        ir.rightX = axes[2];
        ir.rightY = axes[3];
        ir.bits = *words++;
    }
    in.micLin = static_cast<std::int16_t>(words[0]);
    in.micLog = static_cast<std::int16_t>(words[1]);
    return in;
}

const char *cmprErrorText(CmprError error)
{
    switch (error) {
    case CmprError::WrongId:
        return "wrong id";
    case CmprError::Truncated:
        return "truncated";
    case CmprError::Oversized:
        return "oversized";
    case CmprError::BadCode:
        return "bad code";
    case CmprError::BadCrc:
        return "CRC mismatch";
    case CmprError::BadMask:
        return "bad extension mask";
    case CmprError::None:
        break;
    }
    return "none";
}

std::uint32_t bytesCrc(const std::uint8_t *data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = crcByte(crc, data[i]);
    return crc;
}

std::uint32_t wordsCrc(const std::uint16_t *words, std::size_t count)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    // High byte first: the opposite of the wire order.
    for (std::size_t i = 0; i < count; ++i)
        crc = crcByte(crcByte(crc, static_cast<std::uint8_t>(words[i] >> 8)), static_cast<std::uint8_t>(words[i] & 0xFF));
    return crc;
}

} // namespace protocol::txt
