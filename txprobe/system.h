// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "txprobe/report.h"

// What kavrik-txprobe asks of the system it runs on (system_posix.cpp,
// system_windows.cpp): the facts of the report that only the system
// knows, the waits, the user's answers and the interrupt.
namespace txprobe {

void sleepMs(int ms);
// One character of the standard input within `ms`: 1, with it in `c`; 0
// when none came; -1 when the input is closed.
int inputChar(char &c, int ms);
// `handler` for Ctrl+C (and SIGTERM where there is one); a closed pipe ends
// nothing.
void catchInterrupts(void (*handler)(int));
std::tm localTime(std::time_t time);
// Every variable of the environment, NAME=value.
std::vector<std::string> environmentVariables();
// The system's own "system" facts: the operating system, its kernel, the
// user and what they may use.
void systemDetails(Report &report);
// The port's "port" facts beyond its name: the device node, its USB
// device.
void portDetails(Report &report, const std::string &canonical);
// The interface of this computer on the TXT's network, by address and
// netmask: the one the connection most likely went out on.
std::string hostInterface(const std::string &host);

} // namespace txprobe
