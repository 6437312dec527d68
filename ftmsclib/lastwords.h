// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>

// The last bytes a process writes to a controller as it ends, or after the
// program ended: async-signal-safe calls only, for the fatal-signal handler
// and the guardian alike. The system's calls are in lastwords_posix.cpp;
// the reading of answers and the guardian's last words are shared
// (lastwords.cpp).
namespace ftlib {

struct GuardianShared;

// The size of the answer to a request: `fixed` bytes, or `header` bytes and
// then as many more as the little-endian 32-bit number at `lengthAt` says.
struct AnswerShape {
    std::uint32_t fixed = 0;
    std::uint32_t header = 0;
    std::uint32_t lengthAt = 0;
};

// A monotonic clock, in milliseconds.
long long monotonicMs();

// Writes everything; a port that does not take the bytes within about 50 ms
// is given up.
bool writePreparedFrame(int fd, const std::uint8_t *data, std::size_t size);

// Reads `size` bytes into `out` (or drops them with a null `out`) before
// `deadline` (monotonicMs); false when they do not all come in time or the
// peer has gone.
bool readExactly(int fd, std::uint8_t *out, std::size_t size, long long deadline);

// Reads one whole answer of `shape` within `waitMs`: a request that follows
// it may then go out without overtaking it.
bool readAnswer(int fd, const AnswerShape &shape, int waitMs);

// The guardian's part once the program is gone without an orderly close:
// when a transfer ran with an output driven, it takes the claim on the
// zeros and, unless the program's fatal-signal handler had it first, writes
// them to `port` (see sayLastWords in lastwords.cpp).
void guardianLastWords(int port, GuardianShared &shared);

} // namespace ftlib
