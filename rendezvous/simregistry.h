// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

// Where running simulators announce themselves, so the library's port search
// lists them: one file "<pid>.port" per simulator, holding the slave's path of
// a simulated ROBO TX or the address ("127.0.0.1:65000") of a simulated
// ROBOTICS TXT, in a folder only this user can write. Where the simulator
// does not run (simregistry_none.cpp), none is announced or listed.
namespace rendezvous {

// $KAVRIK_SIM_DIR if set (tests give each run its own); else kavrik-sim in
// the user's runtime folder ($XDG_RUNTIME_DIR, or /run/user/<uid> when the
// variable is unset but the folder is the user's); else /tmp/kavrik-sim-<uid>.
std::string simulatorDirectory();

// True when `dir` is a real folder (no symlink) owned by this user with mode
// 0700: nobody else can have put entries there. `reason` says why not.
bool privateDirectory(const std::string &dir, std::string &reason);

// Writes the announcement for this process (atomically, via rename) and
// returns the file's path, or an empty string with `error` set. Refuses a
// folder that is not private.
// `where` is the pty path or the TCP address.
std::string announceSimulator(const std::string &where, std::string &error);
void withdrawSimulator(const std::string &file);

// Paths of the announced pseudo-terminals, sorted. An entry counts only from
// a private folder, as a regular file of this user, naming a /dev/pts slave
// that its simulator process still holds open (one that hung up has closed
// it, and the number may now belong to somebody's terminal). Files of dead
// simulators are removed.
std::vector<std::string> runningSimulators();

// Addresses ("127.0.0.1:PORT") of the announced TXT simulators, sorted, by
// the same rules, an entry counting only while its process holds a socket
// listening on that address (or on every address at that port), as
// /proc/net/tcp and the process's descriptors show.
std::vector<std::string> runningTxtSimulators();

} // namespace rendezvous
