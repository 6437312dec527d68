// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

// Which processes hold a file open: what a process can see of other
// processes' files (on Linux from /proc/<pid>/fd, its own user's or all of
// them as root). Where the system names no holders (openfiles_none.cpp),
// there are none: a port in use is then in use by an unnamed program. Any
// thread.
namespace rendezvous {

// This process's id, as the functions below name processes; 0 where the
// system gives none.
long thisProcessId();

// Whether process `pid` has `path` open (the exact path its descriptors
// lead to).
bool processHolds(long pid, const std::string &path);

// The processes that have `path` open, at most `most` of them, in the
// order the system lists them.
std::vector<long> processesHolding(const std::string &path, std::size_t most);

// The process's program name, whole: the file it runs, else the first word
// of its command line, else the kernel's command name (cut to 15 bytes);
// empty when not known.
std::string processName(long pid);

} // namespace rendezvous
