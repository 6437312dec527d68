// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/emergencystop.h"

#include <atomic>
#include <cstddef>

#include "ftmsclib/fatalsignal.h"
#include "ftmsclib/framecell.h"
#include "ftmsclib/lastwords.h"

namespace ftlib {

namespace {

constexpr int kSlots = 16;

// Only lock-free atomics may be touched from a signal handler.
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free
                  && std::atomic<std::atomic<bool> *>::is_always_lock_free && std::atomic<long>::is_always_lock_free
                  && std::atomic<std::uint32_t>::is_always_lock_free,
              "the fatal-signal handler needs lock-free atomics");

struct Slot {
    std::atomic<bool> claimed{false};
    std::atomic<int> fd{-1};
    std::atomic<bool> writing{false};
    std::atomic<std::atomic<bool> *> zerosClaim{nullptr};
    std::atomic<std::atomic<bool> *> zerosWritten{nullptr};
    // The process that armed it: a child forked without exec inherits the
    // table, and must not write to its parent's port, nor take the claim.
    std::atomic<long> owner{0};
    // On a link where no request may overtake the answer to the one before:
    // a request is outstanding, and how long its answer may take.
    std::atomic<bool> awaiting{false};
    std::atomic<std::uint32_t> answerWaitMs{0};
    FrameCell frame;
};

// Static storage, constant-initialised: ready before any constructor runs.
Slot slots[kSlots];
std::atomic<bool> dyingFlag{false};

void writeZeros()
{
    const long self = currentProcessId();
    for (Slot &slot : slots) {
        const int fd = slot.fd.load();
        if (fd < 0 || slot.owner.load() != self)
            continue;
        // A request the loop is writing right now must not land after the
        // zeros. Bounded: the handler may run on the loop's own thread.
        for (int i = 0; i < 100 && slot.writing.load(); ++i)
            pauseBriefly();
        // Nor may the zeros overtake the answer the loop waits for: that
        // comes first (or its time passes: the loop may be the one dying).
        const long long answerBy = monotonicMs() + slot.answerWaitMs.load();
        while (slot.awaiting.load() && monotonicMs() < answerBy)
            pauseBriefly();
        // The guardian writes nothing once this has.
        std::atomic<bool> *claim = slot.zerosClaim.load();
        if (claim && claim->exchange(true))
            continue;
        std::uint8_t frame[FrameCell::kCapacity];
        const std::size_t size = slot.frame.read(frame);
        std::atomic<bool> *written = slot.zerosWritten.load();
        if (size > 0 && writePreparedFrame(fd, frame, size) && written)
            written->store(true);
    }
}

} // namespace

void stopOutputsDying()
{
    dyingFlag.store(true);
    writeZeros();
}

bool EmergencyStop::dying()
{
    return dyingFlag.load();
}

void EmergencyStop::arm(int fd, const std::vector<std::uint8_t> &frame, std::atomic<bool> *claim)
{
    disarm();
    for (int i = 0; i < kSlots; ++i) {
        bool expected = false;
        if (slots[i].claimed.compare_exchange_strong(expected, true)) {
            slot_ = i;
            publish(frame);
            slots[i].zerosClaim.store(claim);
            slots[i].owner.store(currentProcessId());
            slots[i].awaiting.store(false);
            slots[i].answerWaitMs.store(0);
            // Last: the handler only looks at entries with a port.
            slots[i].fd.store(fd);
            return;
        }
    }
}

void EmergencyStop::publish(const std::vector<std::uint8_t> &frame)
{
    if (slot_ >= 0)
        slots[slot_].frame.publish(frame.data(), frame.size());
}

void EmergencyStop::setClaim(std::atomic<bool> *claim)
{
    if (slot_ >= 0)
        slots[slot_].zerosClaim.store(claim);
}

void EmergencyStop::setWritten(std::atomic<bool> *written)
{
    if (slot_ >= 0)
        slots[slot_].zerosWritten.store(written);
}

void EmergencyStop::setAnswerWait(std::uint32_t ms)
{
    if (slot_ >= 0)
        slots[slot_].answerWaitMs.store(ms);
}

void EmergencyStop::setAwaiting(bool awaiting)
{
    if (slot_ >= 0)
        slots[slot_].awaiting.store(awaiting);
}

void EmergencyStop::disarm()
{
    if (slot_ < 0)
        return;
    Slot &slot = slots[slot_];
    // Sequentially consistent with the handler's store of the dying flag: a
    // handler that still saw this port keeps the caller from closing it.
    slot.fd.store(-1);
    slot.zerosClaim.store(nullptr);
    slot.zerosWritten.store(nullptr);
    slot.writing.store(false);
    slot.awaiting.store(false);
    slot.claimed.store(false);
    slot_ = -1;
}

bool EmergencyStop::beginWrite()
{
    // The store before the load, the handler's in the opposite order: either
    // the loop sees the flag and writes nothing, or the handler sees the
    // write under way and waits for it.
    if (slot_ >= 0)
        slots[slot_].writing.store(true);
    if (!dyingFlag.load())
        return true;
    endWrite();
    return false;
}

void EmergencyStop::endWrite()
{
    if (slot_ >= 0)
        slots[slot_].writing.store(false);
}

} // namespace ftlib
