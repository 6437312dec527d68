// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/console.h"

#include <cstdio>

#include <windows.h>

namespace {

// Output already going somewhere (a pipe, a file) stays there.
void reopenOnConsole(DWORD handle, const char *mode, FILE *stream)
{
    const HANDLE current = GetStdHandle(handle);
    if (current && current != INVALID_HANDLE_VALUE && GetFileType(current) != FILE_TYPE_UNKNOWN)
        return;
    [[maybe_unused]] FILE *reopened = std::freopen("CONOUT$", mode, stream);
}

} // namespace

void useParentConsole()
{
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    reopenOnConsole(STD_OUTPUT_HANDLE, "w", stdout);
    reopenOnConsole(STD_ERROR_HANDLE, "w", stderr);
}
