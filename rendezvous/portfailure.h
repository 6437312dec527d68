// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Why a port could not be used, as the controller library's status says it,
// with what the system shows about the port: the one reading that the
// library's trace, Kavrik's box and kavrik-txprobe each put in their own
// words. No Qt.
namespace rendezvous {

// The controller library's guardian, by its whole program name: it holds
// the port of the program that started it, beside that program.
constexpr const char *kGuardianProgram = "ftmsclib-guardian";

enum class PortFailureKind {
    None,           // no failure
    InUse,          // another open file holds the port
    AccessDenied,   // no permission for the device
    NotFound,       // no such port, or not a serial one (on Bluetooth: not bound)
    NoAnswer,       // nothing answered the controller's requests
    NotAController, // something answered, but not as a controller does
    Other,          // a status none of these explain
};

struct PortHolder {
    long pid = 0;
    // The whole program name (not the kernel's 15 characters).
    std::string program;
    bool thisProcess = false;
};

struct PortFailure {
    PortFailureKind kind = PortFailureKind::None;
    // A Bluetooth serial port (see bluetoothPort).
    bool bluetooth = false;
    // For InUse and NoAnswer: the processes that hold the port, in the order
    // the system lists them, this one among them. A guardian is none of
    // them: the program beside it is the one to name.
    std::vector<PortHolder> holders;
};

// `status`: an FTLIB_ERR_* code of an open of `path`; `canonicalPath`: the
// device it leads to, or empty when not known.
PortFailure classifyPortFailure(std::uint32_t status, const std::string &path, const std::string &canonicalPath);

// How the system names Bluetooth serial ports (per platform; where a name
// tells nothing, no port is one, and the name and command are empty).
// Whether the port is a Bluetooth serial port, by the name given or the
// device it leads to (empty when not known).
bool bluetoothPort(const std::string &path, const std::string &canonicalPath = std::string());
// The name the system gives Bluetooth serial port `number`.
std::string bluetoothPortName(int number);
// The command that binds a Bluetooth serial port to a paired device.
const char *bluetoothBindCommand();

} // namespace rendezvous
