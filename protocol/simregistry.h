#pragma once

#include <string>
#include <vector>

// Where running simulators announce their pseudo-terminals, so the library's
// port search lists them: one file "<pid>.port" per simulator, holding the
// slave's path, in a per-user folder.
namespace protocol {

// $KAVRIK_SIM_DIR if set (tests give each run its own), else
// $XDG_RUNTIME_DIR/kavrik-sim, else /tmp/kavrik-sim-<uid>.
std::string simulatorDirectory();

// Writes the announcement for this process (atomically, via rename) and
// returns the file's path, or an empty string with `error` set.
std::string announceSimulator(const std::string &ptyPath, std::string &error);
void withdrawSimulator(const std::string &file);

// Paths of the announced pseudo-terminals whose simulator is still alive and
// whose device still exists, sorted. Files of dead simulators are removed.
std::vector<std::string> runningSimulators();

} // namespace protocol
