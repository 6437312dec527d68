// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

// Where the trace goes, the system's part (trace_posix.cpp): a file opened
// for appending, or the standard error, each line written whole or dropped,
// never waited for. traceClockUs() (trace.h) is the system's too. Called
// under the trace's own lock, from any thread.
namespace ftlib {

// The file's descriptor, or -1 with the system's error number in
// `sysError`.
int openTraceFile(const std::string &path, int &sysError);
// -1 is none.
void closeTraceFile(int fd);
// To `fd`, or to the standard error for -1.
void writeTraceLine(int fd, const std::string &line);
// What the system says of its error number `sysError` (errno; on Windows
// the system's or Winsock's code, or ETIMEDOUT), for a line.
std::string systemErrorText(int sysError);

} // namespace ftlib
