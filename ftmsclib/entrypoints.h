// SPDX-License-Identifier: GPL-3.0-or-later
// The thirteen entry points of the controller library that the program
// looks up by name, once, in the order of the program's fields for them.
// X(name) is applied to each: the loader, the stand-in library's check and
// the tests all take the names from here.
#pragma once

#define FTLIB_ENTRY_POINTS(X)                                                                      \
    X(ftxGetLibVersion)                                                                            \
    X(ftxGetLibVersionStr)                                                                         \
    X(ftxInitLib)                                                                                  \
    X(ftxOpenComDevice)                                                                            \
    X(ftxStartTransferArea)                                                                        \
    X(SetFtMotorConfig)                                                                            \
    X(SetOutPwmValues)                                                                             \
    X(ftxStopTransferArea)                                                                         \
    X(ftxCloseDevice)                                                                              \
    X(ftxCloseLib)                                                                                 \
    X(GetComStatus)                                                                                \
    X(GetAvailableComPorts)                                                                        \
    X(EnumComPorts)
