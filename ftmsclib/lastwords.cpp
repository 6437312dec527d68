// SPDX-License-Identifier: GPL-3.0-or-later
#include "ftmsclib/lastwords.h"

#include "ftmsclib/guardian.h"

namespace ftlib {

namespace {

// Once the zeros are answered, the farewell (a TXT's StopOnline), where
// there is one and nobody has said it.
void sayFarewell(int port, GuardianShared &shared)
{
    const int wait = static_cast<int>(shared.answerWaitMs.load());
    std::uint8_t frame[FrameCell::kCapacity];
    const std::size_t size = shared.farewell.read(frame);
    if (wait > 0 && size > 0 && !shared.farewellClaimed.exchange(true)
        && readAnswer(port, shared.zerosAnswer.load(), wait) && writePreparedFrame(port, frame, size))
        readAnswer(port, shared.farewellAnswer.load(), wait);
}

// The zeros, and on a link where no request may overtake the answer to the
// one before, that answer first, then the farewell.
void sayLastWords(int port, GuardianShared &shared)
{
    const int wait = static_cast<int>(shared.answerWaitMs.load());
    if (wait > 0 && shared.awaiting.load())
        readAnswer(port, shared.awaited.load(), wait);
    std::uint8_t frame[FrameCell::kCapacity];
    const std::size_t size = shared.zeros.read(frame);
    if (size > 0 && writePreparedFrame(port, frame, size))
        sayFarewell(port, shared);
}

} // namespace

bool readAnswer(int fd, const AnswerShape &shape, int waitMs)
{
    const long long deadline = monotonicMs() + waitMs;
    if (shape.fixed > 0)
        return readExactly(fd, nullptr, shape.fixed, deadline);
    std::uint8_t header[64];
    if (shape.header == 0 || shape.header > sizeof header || shape.lengthAt + 4 > shape.header
        || !readExactly(fd, header, shape.header, deadline))
        return false;
    const std::uint8_t *at = header + shape.lengthAt;
    const std::uint32_t length = at[0] | at[1] << 8 | at[2] << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    // More than any answer holds: not an answer of this shape.
    if (length > 65536)
        return false;
    return readExactly(fd, nullptr, length, deadline);
}

void guardianLastWords(int port, GuardianShared &shared)
{
    if (!shared.live.load() || !shared.driven.load())
        return;
    if (!shared.zerosClaimed.exchange(true))
        sayLastWords(port, shared);
    else if (shared.zerosWritten.load())
        // The program's crash handler wrote the zeros as it died; what
        // follows them is left to the guardians.
        sayFarewell(port, shared);
}

} // namespace ftlib
