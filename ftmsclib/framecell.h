// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "protocol/codec.h"

namespace ftlib {

// One frame that a single thread rewrites while a signal handler, or another
// process sharing the memory, reads it without locks: two copies, each with
// a sequence that is odd while it is rewritten, and the number of the whole
// one. A writer that dies halfway through still leaves the other copy whole.
// Only lock-free atomics, so the reading side is async-signal-safe and works
// across processes.
class FrameCell {
public:
    static constexpr std::size_t kCapacity = protocol::kMaxLength + protocol::kFrameOverhead;

    // Ignores an oversized frame; an empty one means there is none to
    // write. One writer at a time.
    void publish(const std::uint8_t *data, std::size_t size)
    {
        if (size > kCapacity)
            return;
        const unsigned next = (current_.load(std::memory_order_relaxed) + 1) & 1u;
        Buffer &buffer = buffers_[next];
        buffer.sequence.fetch_add(1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        for (std::size_t i = 0; i < size; ++i)
            buffer.bytes[i].store(data[i], std::memory_order_relaxed);
        buffer.size.store(static_cast<unsigned>(size), std::memory_order_relaxed);
        buffer.sequence.fetch_add(1, std::memory_order_release);
        current_.store(next, std::memory_order_release);
    }

    // Copies the whole frame into `out` (kCapacity bytes); 0 when none has
    // been published or no consistent copy could be had.
    std::size_t read(std::uint8_t *out) const
    {
        for (int attempt = 0; attempt < 4; ++attempt) {
            const Buffer &buffer = buffers_[current_.load(std::memory_order_acquire) & 1u];
            const unsigned before = buffer.sequence.load(std::memory_order_acquire);
            if (before & 1u)
                continue;
            std::size_t size = buffer.size.load(std::memory_order_relaxed);
            if (size > kCapacity)
                size = kCapacity;
            for (std::size_t i = 0; i < size; ++i)
                out[i] = buffer.bytes[i].load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (buffer.sequence.load(std::memory_order_relaxed) == before)
                return size;
        }
        return 0;
    }

private:
    struct Buffer {
        std::atomic<unsigned> sequence{0};
        std::atomic<unsigned> size{0};
        std::atomic<std::uint8_t> bytes[kCapacity]{};
    };

    std::atomic<unsigned> current_{0};
    Buffer buffers_[2];
};

static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<unsigned>::is_always_lock_free
                  && std::atomic<std::uint8_t>::is_always_lock_free,
              "a frame cell is read by signal handlers and other processes");

} // namespace ftlib
