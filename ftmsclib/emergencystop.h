// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

// Switches the outputs of every running transfer off when the process dies of
// SIGSEGV, SIGBUS or SIGABRT: each transfer loop keeps an all-zero exchange
// ready in a fixed table that the signal handler writes to the port with
// write(2) alone (no locks, no allocation). A child the program forks
// inherits the table but writes nothing from it. The table is shared
// (emergencystop.cpp), the handlers are the system's
// (emergencystop_linux.cpp).
namespace ftlib {

// One transfer loop's entry in the table. arm/publish/disarm and the write
// brackets belong to the loop's thread; dying() may be asked from any thread.
class EmergencyStop {
public:
    EmergencyStop() = default;
    ~EmergencyStop() { disarm(); }
    EmergencyStop(const EmergencyStop &) = delete;
    EmergencyStop &operator=(const EmergencyStop &) = delete;

    // Installs the handlers for the three signals once per process, each
    // remembering the disposition found (an ignored signal is left alone).
    static void installHandlers();
    // True once a fatal signal is being handled; from then on the library
    // neither writes to nor closes a port.
    static bool dying();

    // Takes a free entry for `fd` with `frame` as the bytes to write. Without
    // a free entry (more open transfers than the table holds) nothing is
    // written for this one at a fatal signal. `claim`: where the guardian
    // (if any) and the handler agree which of them writes the zeros, so that
    // they go out once; it must stay valid until replaced or disarmed, and
    // while dying() afterwards.
    void arm(int fd, const std::vector<std::uint8_t> &frame, std::atomic<bool> *claim);
    void setClaim(std::atomic<bool> *claim);
    // Set once the handler has written the zeros (null: nobody asks).
    void setWritten(std::atomic<bool> *written);
    // Replaces the frame to write (the next transaction id, the TAs in use).
    void publish(const std::vector<std::uint8_t> &frame);
    // A link on which no request may overtake the answer to the one before
    // (TCP): the zeros wait up to `ms` for the answer to a request
    // outstanding (setAwaiting) as the process dies.
    void setAnswerWait(std::uint32_t ms);
    void setAwaiting(bool awaiting);
    // Gives the entry up; the port may be closed afterwards unless dying().
    void disarm();

    // Every write of the loop goes between these: false means a fatal signal
    // is being handled and the write must not happen (endWrite is then not
    // called). Keeps a request with outputs on from following the zeros.
    bool beginWrite();
    void endWrite();

private:
    int slot_ = -1;
};

} // namespace ftlib
