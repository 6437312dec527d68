// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <dlfcn.h>

#include "ftmsclib/entrypoints.h"
#include "ftmsclib/ftmsclib.h"

// The controller library loaded by name at run time, as the program does.
struct FtLibApi {
#define KAVRIK_FTLIB_ENTRY(name) decltype(&::name) name = nullptr;
    FTLIB_ENTRY_POINTS(KAVRIK_FTLIB_ENTRY)
#undef KAVRIK_FTLIB_ENTRY
    // The Linux library's own, beside the thirteen.
    decltype(&::ftxGetOnlineExtensions) ftxGetOnlineExtensions = nullptr;
    decltype(&::ftxGetDeviceKind) ftxGetDeviceKind = nullptr;
    decltype(&::SetFtEndSwitches) SetFtEndSwitches = nullptr;
    decltype(&::GetFtInputState) GetFtInputState = nullptr;

    void *handle = nullptr;
    int resolved = 0;

    bool load(const char *path)
    {
        handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return false;
#define KAVRIK_FTLIB_RESOLVE(name)                                                 \
    name = reinterpret_cast<decltype(name)>(::dlsym(handle, #name));             \
    resolved += name != nullptr;                                                 \
    ++listed;
        int listed = 0;
        FTLIB_ENTRY_POINTS(KAVRIK_FTLIB_RESOLVE)
#undef KAVRIK_FTLIB_RESOLVE
        ftxGetOnlineExtensions =
            reinterpret_cast<decltype(ftxGetOnlineExtensions)>(::dlsym(handle, "ftxGetOnlineExtensions"));
        ftxGetDeviceKind = reinterpret_cast<decltype(ftxGetDeviceKind)>(::dlsym(handle, "ftxGetDeviceKind"));
        SetFtEndSwitches = reinterpret_cast<decltype(SetFtEndSwitches)>(::dlsym(handle, "SetFtEndSwitches"));
        GetFtInputState = reinterpret_cast<decltype(GetFtInputState)>(::dlsym(handle, "GetFtInputState"));
        return resolved == listed;
    }
};
