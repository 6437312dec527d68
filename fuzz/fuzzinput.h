// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

// Reads a fuzz input as a sequence of small fields. Past its end every field
// reads as zero, so each input, however cut, is a valid one.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t *data, std::size_t size)
        : data_(data), size_(size)
    {
    }

    bool atEnd() const { return pos_ >= size_; }

    std::uint8_t byte() { return atEnd() ? 0 : data_[pos_++]; }

    // Little-endian, like the protocol's own fields.
    std::uint16_t u16()
    {
        const std::uint16_t low = byte();
        return static_cast<std::uint16_t>(low | (byte() << 8));
    }

    std::uint32_t u32()
    {
        const std::uint32_t low = u16();
        return low | (static_cast<std::uint32_t>(u16()) << 16);
    }

    // Up to `count` bytes, fewer when the input ends first.
    std::vector<std::uint8_t> bytes(std::size_t count)
    {
        const std::size_t n = std::min(count, size_ - std::min(pos_, size_));
        std::vector<std::uint8_t> out(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// A broken property is a finding: abort, so libFuzzer keeps the input.
inline void require(bool holds, const char *what)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}
