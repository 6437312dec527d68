// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QLibrary>

#include "ftmsclib/entrypoints.h"
#include "ftmsclib/ftmsclib.h"

enum class LibraryCheck {
    Passed,       // loaded, initialised, the expected interface version
    OtherVersion, // loaded and initialised, but another version text
    Failed        // not loaded, an entry point missing, or initialisation failed
};

// Owns the controller library loaded at run time and its entry points; an
// entry point that could not be found stays null and is never called.
class FtLib
{
public:
    FtLib();
    FtLib(const FtLib &) = delete;
    FtLib &operator=(const FtLib &) = delete;

    // Initialises the library (at most once per run) and compares its
    // version text with the interface version the program was written for.
    LibraryCheck checkLibrary();

    QLibrary library;
    // The entry points, in the order of ftmsclib/entrypoints.h (ftlib.cpp
    // checks that each listed one is here, of the library's own type).
    decltype(&::ftxGetLibVersion) ftxGetLibVersion = nullptr;
    decltype(&::ftxGetLibVersionStr) ftxGetLibVersionStr = nullptr;
    decltype(&::ftxInitLib) ftxInitLib = nullptr;
    decltype(&::ftxOpenComDevice) ftxOpenComDevice = nullptr;
    decltype(&::ftxStartTransferArea) ftxStartTransferArea = nullptr;
    decltype(&::SetFtMotorConfig) SetFtMotorConfig = nullptr;
    decltype(&::SetOutPwmValues) SetOutPwmValues = nullptr;
    decltype(&::ftxStopTransferArea) ftxStopTransferArea = nullptr;
    decltype(&::ftxCloseDevice) ftxCloseDevice = nullptr;
    decltype(&::ftxCloseLib) ftxCloseLib = nullptr;
    decltype(&::GetComStatus) GetComStatus = nullptr;
    decltype(&::GetAvailableComPorts) GetAvailableComPorts = nullptr;
    decltype(&::EnumComPorts) EnumComPorts = nullptr;
    // Not one of the thirteen: looked up where the library offers them.
    decltype(&::ftxGetOnlineExtensions) ftxGetOnlineExtensions = nullptr;
    decltype(&::ftxGetDeviceKind) ftxGetDeviceKind = nullptr;
    decltype(&::SetFtEndSwitches) SetFtEndSwitches = nullptr;
    decltype(&::GetFtInputState) GetFtInputState = nullptr;

private:
    bool initialised = false;
};
