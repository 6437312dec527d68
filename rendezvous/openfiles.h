// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

// Which processes hold a file open, from /proc/<pid>/fd: what a process can
// see of other processes' files (its own user's, or all of them as root).
namespace rendezvous {

// Whether process `pid` has `path` open (the exact path its descriptors
// lead to).
bool processHolds(long pid, const std::string &path);

// The processes that have `path` open, at most `most` of them, in the
// order /proc lists them.
std::vector<long> processesHolding(const std::string &path, std::size_t most);

// The process's program name, whole: the file it runs, else the first word
// of its command line, else the kernel's command name (cut to 15 bytes);
// empty when not known.
std::string processName(long pid);

} // namespace rendezvous
