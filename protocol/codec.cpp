// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/codec.h"

#include <algorithm>

namespace protocol {

void putU16(std::vector<std::uint8_t> &out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void putU32(std::vector<std::uint8_t> &out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFF));
}

std::uint16_t getU16(const std::uint8_t *data)
{
    return static_cast<std::uint16_t>(data[0] | (data[1] << 8));
}

std::uint32_t getU32(const std::uint8_t *data)
{
    return static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8)
        | (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
}

std::uint16_t frameChecksum(const std::uint8_t *data, std::size_t size)
{
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < size; ++i)
        sum = static_cast<std::uint16_t>(sum + data[i]);
    return static_cast<std::uint16_t>(0x10000u - sum);
}

std::vector<std::uint8_t> encodeFrame(const Frame &frame)
{
    if (frame.payload.size() > kMaxPayload)
        return {};
    const auto length = static_cast<std::uint16_t>(kMinLength + frame.payload.size());
    std::vector<std::uint8_t> out;
    out.reserve(length + kFrameOverhead);
    out.push_back(kStx);
    out.push_back(kMagic);
    // Length and checksum are the only big-endian fields.
    out.push_back(static_cast<std::uint8_t>(length >> 8));
    out.push_back(static_cast<std::uint8_t>(length & 0xFF));
    putU32(out, frame.from);
    putU32(out, frame.to);
    putU16(out, frame.tid);
    putU16(out, frame.sid);
    putU32(out, frame.command);
    putU32(out, frame.items);
    out.insert(out.end(), frame.payload.begin(), frame.payload.end());
    const std::uint16_t sum = frameChecksum(out.data() + 2, out.size() - 2);
    out.push_back(static_cast<std::uint8_t>(sum >> 8));
    out.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    out.push_back(kEtx);
    return out;
}

void FrameDecoder::feed(const std::uint8_t *data, std::size_t size)
{
    compact();
    buffer_.insert(buffer_.end(), data, data + size);
}

void FrameDecoder::reset()
{
    buffer_.clear();
    pos_ = 0;
}

const char *decodeErrorText(DecodeError error)
{
    switch (error) {
    case DecodeError::BadMagic:
        return "bad magic";
    case DecodeError::BadLength:
        return "bad length";
    case DecodeError::MissingEtx:
        return "missing ETX";
    case DecodeError::BadChecksum:
        return "bad checksum";
    case DecodeError::None:
        break;
    }
    return "none";
}

void FrameDecoder::reject(DecodeError error, std::size_t span)
{
    if (observer_)
        observer_(error, buffer_.data() + pos_, std::min(span, buffer_.size() - pos_));
    // Resume right after this STX: the real frame may start inside the bad one.
    ++pos_;
}

void FrameDecoder::compact()
{
    if (pos_ == 0)
        return;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ = 0;
}

bool FrameDecoder::next(Frame &frame)
{
    for (;;) {
        while (pos_ < buffer_.size() && buffer_[pos_] != kStx)
            ++pos_;
        const std::size_t available = buffer_.size() - pos_;
        if (available < 2)
            return false;
        const std::uint8_t *p = buffer_.data() + pos_;
        if (p[1] != kMagic) {
            reject(DecodeError::BadMagic, 2);
            continue;
        }
        if (available < 4)
            return false;
        const std::size_t length = (static_cast<std::size_t>(p[2]) << 8) | p[3];
        if (length < kMinLength || length > kMaxLength) {
            reject(DecodeError::BadLength, 4);
            continue;
        }
        if (available < length + kFrameOverhead)
            return false;
        if (p[6 + length] != kEtx) {
            reject(DecodeError::MissingEtx, length + kFrameOverhead);
            continue;
        }
        const auto received = static_cast<std::uint16_t>((p[4 + length] << 8) | p[5 + length]);
        if (frameChecksum(p + 2, length + 2) != received) {
            reject(DecodeError::BadChecksum, length + kFrameOverhead);
            continue;
        }
        frame.from = getU32(p + 4);
        frame.to = getU32(p + 8);
        frame.tid = getU16(p + 12);
        frame.sid = getU16(p + 14);
        frame.command = getU32(p + 16);
        frame.items = getU32(p + 20);
        frame.payload.assign(p + kHeaderSize, p + 4 + length);
        pos_ += length + kFrameOverhead;
        return true;
    }
}

} // namespace protocol
