// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Winsock is started once per process, by the first of the library's users
// that needs it (a TXT's connection, the TXT search), on any thread, and
// stays started: a socket of a running transfer or of a guardian's start
// may outlive any one user.
namespace ftlib {

// False, with Winsock's error in `sysError`, when it cannot be started.
bool startWinsock(int &sysError);

} // namespace ftlib
