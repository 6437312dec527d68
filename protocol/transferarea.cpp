// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/transferarea.h"

#include <algorithm>

namespace protocol {

namespace {

template <typename T, std::size_t N>
void putBytes(std::vector<std::uint8_t> &out, const std::array<T, N> &values)
{
    for (T v : values)
        out.push_back(static_cast<std::uint8_t>(v));
}

template <typename T, std::size_t N>
void putWords(std::vector<std::uint8_t> &out, const std::array<T, N> &values)
{
    for (T v : values)
        putU16(out, static_cast<std::uint16_t>(v));
}

template <typename T, std::size_t N>
const std::uint8_t *getBytes(const std::uint8_t *in, std::array<T, N> &values)
{
    for (auto &v : values)
        v = static_cast<T>(*in++);
    return in;
}

template <typename T, std::size_t N>
const std::uint8_t *getWords(const std::uint8_t *in, std::array<T, N> &values)
{
    for (auto &v : values) {
        v = static_cast<T>(getU16(in));
        in += 2;
    }
    return in;
}

void putText(std::vector<std::uint8_t> &out, const std::string &text, std::size_t field)
{
    // Always leave room for the terminating zero.
    const std::size_t n = std::min(text.size(), field - 1);
    out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    out.insert(out.end(), field - n, 0);
}

std::string getText(const std::uint8_t *in, std::size_t field)
{
    std::size_t n = 0;
    while (n < field && in[n] != 0)
        ++n;
    return std::string(reinterpret_cast<const char *>(in), n);
}

} // namespace

void appendTaId(std::vector<std::uint8_t> &payload, std::uint32_t taId)
{
    putU32(payload, taId);
}

void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaOutput &ta)
{
    putU32(payload, taId);
    putWords(payload, ta.counterResetIds);
    putBytes(payload, ta.master);
    putWords(payload, ta.duty);
    putWords(payload, ta.distance);
    putWords(payload, ta.motorExIds);
}

void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaInput &ta)
{
    putU32(payload, taId);
    putWords(payload, ta.universal);
    putBytes(payload, ta.counterLevel);
    putWords(payload, ta.counter);
    putU16(payload, static_cast<std::uint16_t>(ta.buttonLeft));
    putU16(payload, static_cast<std::uint16_t>(ta.buttonRight));
    putWords(payload, ta.counterResetAck);
    putWords(payload, ta.motorCmdAck);
}

void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaConfig &ta)
{
    putU32(payload, taId);
    putBytes(payload, ta.motor);
    putBytes(payload, ta.input);
    putBytes(payload, ta.counterMode);
    payload.insert(payload.end(), 32, 0);
}

void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaInfo &ta)
{
    putU32(payload, taId);
    putText(payload, ta.name, 17);
    putText(payload, ta.btAddress, 18);
    payload.push_back(0);
    putU32(payload, ta.taStart);
    putU32(payload, ta.programStart);
    putU32(payload, ta.programSize);
    putBytes(payload, ta.hardwareVersion);
    putBytes(payload, ta.firmwareVersion);
    putBytes(payload, ta.taVersion);
    payload.insert(payload.end(), 4, 0);
}

void appendTa(std::vector<std::uint8_t> &payload, std::uint32_t taId, const TaState &ta)
{
    putU32(payload, taId);
    putBytes(payload, ta.extension);
    putBytes(payload, ta.btChannel);
    payload.insert(payload.end(), 8, 0);
}

TaOutput decodeTaOutput(const std::uint8_t *data)
{
    TaOutput ta;
    data = getWords(data, ta.counterResetIds);
    data = getBytes(data, ta.master);
    data = getWords(data, ta.duty);
    data = getWords(data, ta.distance);
    getWords(data, ta.motorExIds);
    return ta;
}

TaInput decodeTaInput(const std::uint8_t *data)
{
    TaInput ta;
    data = getWords(data, ta.universal);
    data = getBytes(data, ta.counterLevel);
    data = getWords(data, ta.counter);
    ta.buttonLeft = static_cast<std::int16_t>(getU16(data));
    ta.buttonRight = static_cast<std::int16_t>(getU16(data + 2));
    data = getWords(data + 4, ta.counterResetAck);
    getWords(data, ta.motorCmdAck);
    return ta;
}

TaConfig decodeTaConfig(const std::uint8_t *data)
{
    TaConfig ta;
    data = getBytes(data, ta.motor);
    data = getBytes(data, ta.input);
    getBytes(data, ta.counterMode);
    return ta;
}

TaInfo decodeTaInfo(const std::uint8_t *data)
{
    TaInfo ta;
    ta.name = getText(data, 17);
    ta.btAddress = getText(data + 17, 18);
    ta.taStart = getU32(data + 36);
    ta.programStart = getU32(data + 40);
    ta.programSize = getU32(data + 44);
    getBytes(data + 48, ta.hardwareVersion);
    getBytes(data + 52, ta.firmwareVersion);
    getBytes(data + 56, ta.taVersion);
    return ta;
}

TaState decodeTaState(const std::uint8_t *data)
{
    TaState ta;
    data = getBytes(data, ta.extension);
    getBytes(data, ta.btChannel);
    return ta;
}

bool splitItems(const Frame &frame, std::size_t structSize, std::vector<Item> &items)
{
    items.clear();
    const std::size_t each = kTaIdSize + structSize;
    if (frame.items > kTaCount || frame.payload.size() != frame.items * each)
        return false;
    for (std::size_t i = 0; i < frame.items; ++i) {
        const std::uint8_t *p = frame.payload.data() + i * each;
        items.push_back(Item{getU32(p), p + kTaIdSize});
    }
    return true;
}

bool readInfo(const Frame &reply, TaInfo &info)
{
    std::vector<Item> items;
    if (!splitItems(reply, kTaInfoSize, items) || items.empty())
        return false;
    info = decodeTaInfo(items[0].data);
    return true;
}

bool readOnlineExtensions(const Frame &reply, unsigned &online)
{
    std::vector<Item> items;
    if (!splitItems(reply, kTaStateSize, items) || items.empty())
        return false;
    const TaState state = decodeTaState(items[0].data);
    online = 0;
    for (int k = 0; k < kMaxExtensions; ++k) {
        if (state.extension[static_cast<std::size_t>(k)] == kExtensionOnline)
            online |= 1u << k;
    }
    return true;
}

} // namespace protocol
