// SPDX-License-Identifier: GPL-3.0-or-later
// The end of a process that did not close its devices, on Windows: by the
// time the library hears of it (DLL_PROCESS_DETACH from ExitProcess), every
// other thread is gone, the transfer loops among them, so the closing that
// the library does at exit on Linux would send nothing and then dismiss the
// guardians. The zeros go out here instead, on the exiting thread, as at a
// crash; the devices are then abandoned, not closed (see Device::close).
#include <windows.h>

#include "ftmsclib/fatalsignal.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    // A null `reserved` is FreeLibrary: the loops still run, and the
    // library's own close at unload stops them as usual.
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        ftlib::stopOutputsDying();
    return TRUE;
}
