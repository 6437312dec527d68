// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Control interface of the scriptable stand-in for the controller library
// that the tests load in its place. Every entry point it offers is logged
// with its arguments, and each test says what the entry points answer.
//
// At load time the environment can preset two answers, for tests that run
// the program in a child process: FAKE_FTMSCLIB_VERSION (the version text)
// and FAKE_FTMSCLIB_INIT_RESULT (ftxInitLib's result, decimal or 0x hex).

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Back to the defaults: the expected version text, every call succeeds,
// ftxOpenComDevice returns handle 1, ftxGetDeviceKind cannot tell, no ports,
// an empty log, logging on.
void fakeFtReset(void);
// Written into the caller's buffer with its zero, cut at the buffer size.
void fakeFtSetVersionText(const char *text);
void fakeFtSetInitResult(uint32_t result);
// The port list that GetAvailableComPorts counts and EnumComPorts returns.
void fakeFtSetPorts(const char *const *names, int count);
void fakeFtSetOpenResult(uint32_t handle, uint32_t errorCode);
// ftxOpenComDevice takes this long before it answers.
void fakeFtSetOpenDelay(int ms);
// The status returned by ftxStartTransferArea, ftxStopTransferArea,
// ftxCloseDevice, SetOutPwmValues or GetComStatus, named by entry point.
void fakeFtSetResult(const char *entryPoint, uint32_t status);
// What ftxGetDeviceKind answers for any handle: kind 0 (the default) has it
// fail with FTLIB_ERR_FAILED and write nothing, as a library that cannot tell.
void fakeFtSetDeviceKind(uint32_t kind, uint32_t maxExtensions, uint32_t features);
// What GetFtInputState reports for controller shmId from now on: I1-I8
// (8 values; an end switch with a value other than 0 reads closed, and
// blocks the outputs SetFtEndSwitches gave it) and C1-C4 (4 values).
void fakeFtSetInputs(int32_t shmId, const int16_t *universal, const int16_t *counter);
// Off: calls are not logged (for benchmarks that want a call doing nothing).
void fakeFtSetLogging(int on);
// Calls so far, each as "name(arg, arg, ...)".
int fakeFtCallCount(void);
const char *fakeFtCall(int index);
void fakeFtClearLog(void);

#ifdef __cplusplus
}
#endif
