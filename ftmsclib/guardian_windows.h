// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// How a guardian is started on Windows. Nothing is inherited: its command
// line names the program's process, the values of the port's and the
// memory's handles in it (the guardian duplicates them from there) and the
// named pipe it talks over:
//   ftmsclib-guardian.exe [launch] <program pid> <port> <memory> <pipe> <kind>
// With "launch" it only starts itself again without it and ends, so that the
// guardian's parent is gone and "End process tree" does not reach it. A
// socket cannot be duplicated from outside: for kind kGuardianSocket the
// program sends the guardian a WSAPROTOCOL_INFOW over the pipe first.
namespace ftlib {

constexpr const wchar_t *kGuardianLaunch = L"launch";
constexpr wchar_t kGuardianComPort = L'c';
constexpr wchar_t kGuardianSocket = L's';
// The pipe's buffers: the protocol info and a few single bytes.
constexpr unsigned kGuardianPipeBuffer = 4096;

} // namespace ftlib
