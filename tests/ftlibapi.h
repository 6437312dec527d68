#pragma once

#include <dlfcn.h>

#include "ftmsclib.h"

// The controller library loaded by name at run time, as the program does.
struct FtLibApi {
#define KAVRIK_FTLIB_ENTRY(name) decltype(&::name) name = nullptr;
    KAVRIK_FTLIB_ENTRY(ftxGetLibVersion)
    KAVRIK_FTLIB_ENTRY(ftxGetLibVersionStr)
    KAVRIK_FTLIB_ENTRY(ftxInitLib)
    KAVRIK_FTLIB_ENTRY(ftxOpenComDevice)
    KAVRIK_FTLIB_ENTRY(ftxStartTransferArea)
    KAVRIK_FTLIB_ENTRY(SetFtMotorConfig)
    KAVRIK_FTLIB_ENTRY(SetOutPwmValues)
    KAVRIK_FTLIB_ENTRY(ftxStopTransferArea)
    KAVRIK_FTLIB_ENTRY(ftxCloseDevice)
    KAVRIK_FTLIB_ENTRY(ftxCloseLib)
    KAVRIK_FTLIB_ENTRY(GetComStatus)
    KAVRIK_FTLIB_ENTRY(GetAvailableComPorts)
    KAVRIK_FTLIB_ENTRY(EnumComPorts)
#undef KAVRIK_FTLIB_ENTRY

    void *handle = nullptr;
    int resolved = 0;

    bool load(const char *path)
    {
        handle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return false;
#define KAVRIK_FTLIB_RESOLVE(name)                                                 \
    name = reinterpret_cast<decltype(name)>(::dlsym(handle, #name));             \
    resolved += name != nullptr;
        KAVRIK_FTLIB_RESOLVE(ftxGetLibVersion)
        KAVRIK_FTLIB_RESOLVE(ftxGetLibVersionStr)
        KAVRIK_FTLIB_RESOLVE(ftxInitLib)
        KAVRIK_FTLIB_RESOLVE(ftxOpenComDevice)
        KAVRIK_FTLIB_RESOLVE(ftxStartTransferArea)
        KAVRIK_FTLIB_RESOLVE(SetFtMotorConfig)
        KAVRIK_FTLIB_RESOLVE(SetOutPwmValues)
        KAVRIK_FTLIB_RESOLVE(ftxStopTransferArea)
        KAVRIK_FTLIB_RESOLVE(ftxCloseDevice)
        KAVRIK_FTLIB_RESOLVE(ftxCloseLib)
        KAVRIK_FTLIB_RESOLVE(GetComStatus)
        KAVRIK_FTLIB_RESOLVE(GetAvailableComPorts)
        KAVRIK_FTLIB_RESOLVE(EnumComPorts)
#undef KAVRIK_FTLIB_RESOLVE
        return resolved == 13;
    }
};
