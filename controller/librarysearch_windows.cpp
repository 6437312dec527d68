// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/librarysearch.h"

#include <string>

#include <windows.h>

void restrictLibrarySearch()
{
    // The documented way drops the current folder from the search order,
    // but Wine ignores it; the program's folder and the system's alone, with
    // the folders of PATH added back one by one (absolute ones only, so
    // that "." does not bring the current folder in again), do the same
    // everywhere.
    SetDllDirectoryW(L"");
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS))
        return;
    const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0)
        return;
    std::wstring path(size, L'\0');
    path.resize(GetEnvironmentVariableW(L"PATH", &path[0], size));
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L';', start);
        if (end == std::wstring::npos)
            end = path.size();
        const std::wstring folder = path.substr(start, end - start);
        const bool absolute = folder.size() > 2 && (folder[1] == L':' || (folder[0] == L'\\' && folder[1] == L'\\'));
        if (absolute)
            AddDllDirectory(folder.c_str());
        start = end + 1;
    }
}
