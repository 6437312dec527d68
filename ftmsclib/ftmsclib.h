// The C interface of the ROBO TX controller library (libftMscLib.so on Linux,
// ftMscLib.dll on Windows): the thirteen entry points the program looks up by
// name, their argument types and the library's status codes.
//
// Conventions shared by every implementation of this interface:
// - every integer is 32 bits wide; the device handle is an opaque 32-bit value
//   (0 never names an open device);
// - a status of FTLIB_ERR_SUCCESS (0) means success, every error code has the
//   top nibble 0xE;
// - no entry point throws, prints or exits; none blocks its caller beyond the
//   timeout documented for it.
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
uint32_t ftxInitLib(void);
// Opens the port and identifies the controller. Returns the new handle, or 0
// with *errCode set to the reason. The port is a path without blanks.
FtHandle ftxOpenComDevice(const char *port, uint32_t baud, uint32_t *errCode);
uint32_t ftxStartTransferArea(FtHandle h);
uint32_t SetFtMotorConfig(FtHandle h, int32_t shmId, int32_t motorIdx, bool status);
// Stores one output's duty for the next exchange; never blocks on I/O and may
// be called from any thread.
uint32_t SetOutPwmValues(FtHandle h, int32_t shmId, int32_t outIdx, int32_t duty);
uint32_t ftxStopTransferArea(FtHandle h);
uint32_t ftxCloseDevice(FtHandle h);
uint32_t ftxCloseLib(void);
uint32_t GetComStatus(FtHandle h);
// Rescans the ports and returns how many were found.
uint32_t GetAvailableComPorts(int32_t selectMode);
// Copies entry idx of the last scan ("<path> <description>") into buf;
// returns idx, or FTLIB_ERR_INVALID_PARAM.
uint32_t EnumComPorts(uint32_t idx, char *buf, uint32_t len);

#ifdef __cplusplus
}
#endif
