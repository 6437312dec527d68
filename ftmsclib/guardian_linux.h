// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How a guardian is started on Linux: its side of the socket, the memory and
// the program's pidfd, under these numbers after the start.
namespace ftlib {

constexpr int kGuardianPortFd = 3;
constexpr int kGuardianSocketFd = 4;
constexpr int kGuardianMemoryFd = 5;
constexpr int kGuardianProgramFd = 6;

} // namespace ftlib
