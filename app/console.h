// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Makes --help, --version and a refused command line reach the terminal the
// program was started from. A Windows program of the window kind has no
// console of its own: it takes its parent's (cmd, PowerShell) where there
// is one, and where there is none the toolkit shows its answers in a box.
// Elsewhere the terminal is already there. One file per platform, chosen by
// the build.
void useParentConsole();
