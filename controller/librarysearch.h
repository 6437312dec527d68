// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Keeps the controller library, looked up by its base name, from being
// found in the current folder: on Windows that is where a double-clicked
// list lies, and a DLL of that name beside it would be loaded and run. The
// program's own folder and the system's stay. Elsewhere the loader never
// looks there. One file per platform, chosen by the build.
void restrictLibrarySearch();
