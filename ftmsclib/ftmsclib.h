// SPDX-License-Identifier: GPL-3.0-or-later
// The C interface of the ROBO TX controller library (libftMscLib.so on Linux,
// ftMscLib.dll on Windows): the thirteen entry points the program looks up by
// name, their argument types and the library's status codes, and the Linux
// library's own two, which a program looks up where they are offered.
//
// Conventions shared by every implementation of this interface:
// - every integer is 32 bits wide; the device handle is an opaque 32-bit value
//   (0 never names an open device);
// - a status of FTLIB_ERR_SUCCESS (0) means success, every error code has the
//   top nibble 0xE;
// - no entry point throws or exits, none prints but where said below, and
//   none blocks its caller beyond the timeout documented for it.
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t FtHandle;

enum {
    FTLIB_ERR_SUCCESS = 0x00000000u,
    FTLIB_ERR_NO_MEMORY = 0xE0000100u,
    FTLIB_ERR_FAILED = 0xE0001000u,
    FTLIB_ERR_TIMEOUT = 0xE000100Cu,
    FTLIB_ERR_INVALID_PARAM = 0xE0001018u,
    FTLIB_ERR_SOME_DEVICES_ARE_OPEN = 0xE0001101u,
    FTLIB_ERR_DEVICE_IS_OPEN = 0xE0001102u,
    FTLIB_ERR_DEVICE_NOT_OPEN = 0xE0001103u,
    FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE = 0xE0001104u,
    FTLIB_ERR_UNKNOWN_DEVICE_HANDLE = 0xE0001283u,
    FTLIB_ERR_LIB_IS_INITIALIZED = 0xE0001286u,
    FTLIB_ERR_LIB_IS_NOT_INITIALIZED = 0xE0001287u,
    FTLIB_ERR_THREAD_NOT_STARTABLE = 0xE00012A0u,
    FTLIB_ERR_THREAD_IS_RUNNING = 0xE00012A5u,
    FTLIB_ERR_THREAD_NOT_RUNNING = 0xE00012A6u,
    FTLIB_ERR_THREAD_SYNCHRONIZED = 0xE00012AFu,
    FTLIB_ERR_TIMEOUT_TA = 0xE00012B0u,
    FTLIB_ERR_ACCESS_DENIED = 0xE0001905u,
    FTLIB_ERR_OPEN_COM = 0xE0001906u,
    FTLIB_ERR_INIT_COM = 0xE0001908u,
    FTLIB_ERR_INIT_COM_TIMEOUT = 0xE0001909u,
    // Linux, a TXT's address: its name is not known, nothing takes
    // connections there, no way to its network from here.
    FTLIB_ERR_HOST_UNKNOWN = 0xE0001910u,
    FTLIB_ERR_CONNECTION_REFUSED = 0xE0001911u,
    FTLIB_ERR_HOST_UNREACHABLE = 0xE0001912u,
    FTLIB_ERR_UNKNOWN = 0xEFFFFFFFu
};

// Selection modes of GetAvailableComPorts.
enum { FT_PORTS_ALL = 0, FT_PORTS_USB = 1, FT_PORTS_BLUETOOTH = 2 };

// Version word: byte 2 main version, byte 1 release, byte 0 sub-version.
uint32_t ftxGetLibVersion(void);
// Writes the zero-terminated version text into buf (at most maxLen bytes
// including the zero); FTLIB_ERR_INVALID_PARAM, writing nothing, when it does
// not fit.
uint32_t ftxGetLibVersionStr(char *buf, uint32_t maxLen);
// Must come before the device functions (else FTLIB_ERR_LIB_IS_NOT_INITIALIZED);
// a second call gives FTLIB_ERR_LIB_IS_INITIALIZED. The version and port
// functions work without it.
uint32_t ftxInitLib(void);
// Opens the port and identifies the controller. Returns the new handle, or 0
// with *errCode set to the reason. The port is a path without blanks.
// Linux: the baud rate is ignored (38400 is always used); errCode may be
// NULL; text after a first blank is ignored. The port is held exclusively
// (an advisory lock and TIOCEXCL) until ftxCloseDevice. The console probe
// and the echo must be answered; information and status get one try each,
// and a controller that leaves them unanswered is driven as a Master alone.
// Reasons: FTLIB_ERR_OPEN_COM (no such or unusable device),
// FTLIB_ERR_ACCESS_DENIED (no permission: see the trace for the 'dialout'
// hint), FTLIB_ERR_DEVICE_IS_OPEN (open in this process, or held by another
// program: see the trace), FTLIB_ERR_INIT_COM_TIMEOUT (no answer to the
// echo), FTLIB_ERR_INIT_COM (the port failed, or a reply came under the
// request's transaction id with another command). Blocks for at most 2 s
// on USB or a pty and 12 s on Bluetooth, whatever the device claims: the
// console probe (0.5 s; 1 s on Bluetooth), three reply timeouts for the echo
// (on Bluetooth it is re-sent while the radio link may still be forming),
// one for the information and one for the status, and two for all the
// online extensions together, each cut to what is left of the bound. After
// a repeated echo the library waits for the later answers a slow device may
// still send, and goes on in the session the last one names.
// Linux, a ROBOTICS TXT: a port name that is no path is a TXT's address
// ("192.168.7.2", "192.168.7.2:65000", a host name; 65000 by default). The
// open connects (2 s at most for an address that does not answer, a name
// looked up within the same time) and asks the TXT's status, its identity;
// reasons: FTLIB_ERR_HOST_UNKNOWN, FTLIB_ERR_CONNECTION_REFUSED,
// FTLIB_ERR_HOST_UNREACHABLE, FTLIB_ERR_INIT_COM_TIMEOUT (no answer),
// FTLIB_ERR_INIT_COM (something else answered). Online mode waits for the
// transfer's start (see ftxStartTransferArea).
// Linux: a successful open also starts two guardians, processes
// ftmsclib-guardian (from the library's own folder, else the installed
// library's), beside its return: the open does not wait for them. Each holds
// a copy of the port (so nobody else can open the port while one lives) and
// the program's own process (a pidfd); both share with the transfer the
// prepared exchange with every output at 0, in one memory. When the program
// is gone however it ended (SIGKILL, _exit(), a crash no handler sees, an
// exec), and a transfer was running with an output driven since it started,
// one of them writes that exchange once, unless the fatal-signal handler has
// (they share one claim); then they clear the port's exclusivity and end.
// The transfer takes them over before it sends anything, asks each to
// answer five times a second, and replaces one that ends or does not answer
// for 0.3 s (stopped) while the other watches (at once after one that was
// ready; else after a second, then less often). A child forked without exec
// that calls exit() leaves them, and the parent's devices, alone. Without a
// working guardian (the program missing, say) the device works as before,
// and the library says so once on stderr (or in the trace file), even with
// the trace off.
FtHandle ftxOpenComDevice(const char *port, uint32_t baud, uint32_t *errCode);
// Starts the background transfer: the configuration of the master and every
// online extension first, then an exchange every 10 ms (50 ms on Bluetooth;
// KAVRIK_FTLIB_CYCLE_MS changes it). A TXT: online mode (after a stop on a
// new connection), its configuration under a new id, then the compressed
// exchange with the Master and, once the TXT says it is there, Extension 1
// (ftrobopy_server on a TXT 4.0: the plain exchange, the Master alone),
// strictly one request outstanding; the TXT itself times its answers 10 ms
// apart. Its loss rule is the same (three reply timeouts, 200 ms on USB and
// on this computer, 250 ms otherwise), but nothing is sent again while an
// answer is awaited. Returns at once;
// FTLIB_ERR_THREAD_IS_RUNNING when already running. An exchange naming
// extensions that goes unanswered brings a new status request, and if that
// does not explain it, the Master alone is driven from then on; neither
// counts against the link.
uint32_t ftxStartTransferArea(FtHandle h);
// shmId 0 = master, 1-8 = extensions; motorIdx 0-3; status true = motor
// (O2m+1/O2m+2 as one H-bridge), false = two single outputs. Sent before the
// next exchange; never blocks on I/O.
uint32_t SetFtMotorConfig(FtHandle h, int32_t shmId, int32_t motorIdx, bool status);
// Stores one output's duty for the next exchange; never blocks on I/O and may
// be called from any thread.
// Linux: shmId 0-8, outIdx 0-7, duty >= 0 (else FTLIB_ERR_INVALID_PARAM and
// nothing changes); duties above 512 are taken as 512. The value is sent at
// once when no reply is outstanding, otherwise right after the reply. In
// motor mode a motor whose both channels are non-zero is sent stopped (both
// 0) while the stored values stay, so releasing one key drives the other
// direction. Values for an extension the transfer does not reach (off the
// bus) are kept until it comes, and the answer is then, Linux,
// FTLIB_ERR_NO_SUCH_DEVICE_INSTANCE: the caller may tell its user.
uint32_t SetOutPwmValues(FtHandle h, int32_t shmId, int32_t outIdx, int32_t duty);
// Sends one exchange with every output at 0, then ends the transfer; the
// stored duties become 0. A TXT: the zeros answered, then StopOnline, which
// ends the connection. Returns within four reply timeouts (about 0.8 s on
// USB); FTLIB_ERR_THREAD_NOT_RUNNING when not running.
uint32_t ftxStopTransferArea(FtHandle h);
// Stops the transfer if it runs, restores the port's settings and closes it;
// the handle is invalid afterwards. Linux: before the port closes, the
// guardians are told to end without writing and waited for, 0.5 s at most
// (then killed), so the close may take that long after the stop.
uint32_t ftxCloseDevice(FtHandle h);
// Closes every device. Linux: at process exit the library does the same by
// itself, so outputs are switched off even when nothing was closed.
uint32_t ftxCloseLib(void);
// Linux, a process dying of SIGSEGV, SIGBUS or SIGABRT (an out-of-memory
// abort among them): best effort, the library writes one prepared exchange
// with every output at 0 to the port of each running transfer, with write(2)
// alone (no locks, no allocation), then restores the disposition it found and
// lets the signal go on to it (the default action, or a handler installed
// before, such as a sanitizer's). The handlers are installed once, at the
// first ftxStartTransferArea, chained to what was there; a signal found
// ignored is left alone, and a handler the program installs later replaces
// the library's for good (it may call the one it found itself). Once such a
// signal was handled the library writes nothing more and closes no port: a
// process that survives it sees its links lost (GetComStatus). Up to
// 16 transfers at a time are covered. A process that ends where none of its
// own code runs (SIGKILL, _exit()) is the guardian's (see ftxOpenComDevice).
// Power loss and a kernel panic leave the outputs to the controller; what a
// real one does when the traffic stops is not public.
// FTLIB_ERR_SUCCESS while the link works; once it was lost,
// FTLIB_ERR_TIMEOUT_TA when the controller fell silent (three reply timeouts
// in a row) and, Linux, FTLIB_ERR_OPEN_COM when the port itself went (a
// hang-up, an unplugged cable, a failed write; a TXT's connection closed or
// reset), FTLIB_ERR_INIT_COM when a TXT's answers fell out of step with
// the requests (another answer than the one awaited, or one that does not
// decode). Linux: before a loss
// after timeouts (or a failed wait on the port) is declared, one more
// exchange with every output at 0 is written (within 50 ms, its reply not
// awaited), so a controller that still listens stops its motors; after a
// hang-up or a failed write there is nothing left to write to. After a loss
// the setters, start and stop return FTLIB_ERR_TIMEOUT_TA; close still works.
uint32_t GetComStatus(FtHandle h);
// Not one of the thirteen: the Linux library's own, which a program looks up
// where it is offered. The extensions the transfer reaches now, bit k-1 for
// extension k (online as the controller last said, and answering); the
// status is GetComStatus's. FTLIB_ERR_INVALID_PARAM for a null pointer.
uint32_t ftxGetOnlineExtensions(FtHandle h, uint32_t *extensions);
// What ftxGetDeviceKind says a controller is.
enum { FT_DEVICE_ROBO_TX = 1, FT_DEVICE_ROBOTICS_TXT = 2 };
// Bits of ftxGetDeviceKind's features. EXTENSIONS_WHILE_RUNNING: the
// controller names its extensions only in the transfer's answers, so
// ftxGetOnlineExtensions says none before ftxStartTransferArea and follows
// it while the transfer runs.
enum { FT_FEATURE_EXTENSIONS_WHILE_RUNNING = 0x00000001u };
// Not one of the thirteen either, looked up where it is offered: what the
// device open under h is, as the open found it (the session it speaks, not
// the port's name), and what it can take. *kind: FT_DEVICE_ROBO_TX or
// FT_DEVICE_ROBOTICS_TXT; *maxExtensions: the extensions it can have at
// most (8 for a ROBO TX, 1 for a TXT), Extension 1 to that number;
// *features: FT_FEATURE_* bits, other bits 0. The answer is the same from
// the open to the close, also after the link was lost. FTLIB_ERR_SUCCESS,
// else nothing is written: FTLIB_ERR_INVALID_PARAM for a null pointer,
// FTLIB_ERR_LIB_IS_NOT_INITIALIZED, FTLIB_ERR_UNKNOWN_DEVICE_HANDLE for a
// handle that is not open. Never waits for the controller; any thread.
uint32_t ftxGetDeviceKind(FtHandle h, uint32_t *kind, uint32_t *maxExtensions, uint32_t *features);
// Not one of the thirteen either, looked up where offered: end switches.
// Names the inputs (bit n-1 = In, I1-I8) of controller shmId (0 = master,
// 1-8 = extensions) that stop output outIdx (0-7) while one of them reads
// closed; 0 clears. Each such input is configured as a switch (resistance,
// digital) before the next exchange. From then on, in the first exchange
// after an answer that shows one of them closed, the output is sent 0,
// whatever duty is stored; the stored duty stays and is sent again in the
// first exchange after an answer that shows them all open. A stopped output
// counts as 0 for its motor's other channel, which then drives even while
// this one's duty is still set. The fatal-signal
// zeros, the guardians and the loss rule are not changed by it. Kept across
// stops and starts until cleared or the device closes; never blocks on I/O;
// any thread. FTLIB_ERR_INVALID_PARAM for shmId, outIdx or inputs out of
// range (nothing changes), else GetComStatus's status.
uint32_t SetFtEndSwitches(FtHandle h, int32_t shmId, int32_t outIdx, uint32_t inputs);
// The inputs of one controller as its last answer reported them.
typedef struct FtInputState {
    // I1-I8: 0/1 in a digital mode (1 = closed), the raw value otherwise.
    int16_t universal[8];
    // C1-C4: the counts.
    int16_t counter[4];
    // Bit n-1: In is an end switch of some output.
    uint32_t switches;
    // Bit n-1: In is an end switch and reads closed.
    uint32_t closed;
    // Bit o: output o is sent 0 right now because a switch of it is closed.
    uint32_t blocked;
    // 1 once an answer of the running transfer reported these inputs;
    // 0 before (everything else then 0, but switches).
    uint32_t answered;
} FtInputState;
// Copies controller shmId's FtInputState; never waits for the controller;
// any thread. FTLIB_ERR_INVALID_PARAM for a null pointer or shmId out of
// range, else GetComStatus's status (the last state stays readable after a
// loss).
uint32_t GetFtInputState(FtHandle h, int32_t shmId, FtInputState *state);
// Rescans the ports and returns how many were found.
// Linux: a rescan takes microseconds (sysfs) and gives the same order for the
// same set of ports; FTLIB_ERR_INVALID_PARAM for a mode other than 0-2.
// Mode 0 also lists a ROBOTICS TXT on one of its own networks, as its
// address and link ("192.168.7.2 ROBOTICS TXT (USB)", WLAN 192.168.8.2,
// Bluetooth 192.168.9.2), after the ROBO TX on USB. Only where this machine
// has an address on such a network is the TXT there asked (a TCP connect and
// a status query, all networks at once, at most 250 ms in all; its answer or
// silence then serves the rescans of the next second); elsewhere nothing is
// sent. A TXT this process has open is listed without being asked. A TXT on
// another network (its WLAN client mode) is opened by its address instead.
uint32_t GetAvailableComPorts(int32_t selectMode);
// Copies entry idx of the last scan ("<path> <description>") into buf;
// returns idx, or FTLIB_ERR_INVALID_PARAM.
uint32_t EnumComPorts(uint32_t idx, char *buf, uint32_t len);

#ifdef __cplusplus
}
#endif
