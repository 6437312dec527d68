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
#define KAVRIK_FTLIB_FIELD(name) decltype(&::name) name = nullptr;
    FTLIB_ENTRY_POINTS(KAVRIK_FTLIB_FIELD)
#undef KAVRIK_FTLIB_FIELD

private:
    bool initialised = false;
};
