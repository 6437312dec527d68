// SPDX-License-Identifier: GPL-3.0-or-later
#include "controller/ftlib.h"

#include <cstring>
#include <type_traits>

#include "controller/librarysearch.h"

namespace {

// The interface version this program was written against, with its zero.
constexpr char expectedVersion[] = "01.05.11  (2012/02/19)";
constexpr int versionBufferSize = 23;
static_assert(sizeof(expectedVersion) == versionBufferSize, "the check compares 23 bytes");

#define KAVRIK_FTLIB_FIELD_CHECK(name)                                                             \
    static_assert(std::is_same<decltype(FtLib::name), decltype(&::name)>::value, #name " has no field");
FTLIB_ENTRY_POINTS(KAVRIK_FTLIB_FIELD_CHECK)
#undef KAVRIK_FTLIB_FIELD_CHECK

template<typename Function>
void resolve(QLibrary &library, const char *name, Function &entryPoint)
{
    entryPoint = reinterpret_cast<Function>(library.resolve(name));
}

} // namespace

FtLib::FtLib()
    : library(QStringLiteral("ftMscLib"))
{
    restrictLibrarySearch();
    // The first lookup loads the library; the order of the others changes
    // nothing for it. EnumComPorts comes before GetAvailableComPorts so that
    // a trace of the lookups (ltrace, an audit library, a Windows API
    // monitor) reads the same on every build and release, and can be
    // compared line by line with one from a user's machine.
#define KAVRIK_FTLIB_RESOLVE(name)                                                                 \
    if (std::strcmp(#name, "GetAvailableComPorts") != 0)                                           \
        resolve(library, #name, name);
    FTLIB_ENTRY_POINTS(KAVRIK_FTLIB_RESOLVE)
#undef KAVRIK_FTLIB_RESOLVE
    resolve(library, "GetAvailableComPorts", GetAvailableComPorts);
    resolve(library, "ftxGetOnlineExtensions", ftxGetOnlineExtensions);
    resolve(library, "ftxGetDeviceKind", ftxGetDeviceKind);
    resolve(library, "SetFtEndSwitches", SetFtEndSwitches);
    resolve(library, "GetFtInputState", GetFtInputState);
}

LibraryCheck FtLib::checkLibrary()
{
    if (!library.load() || !ftxGetLibVersionStr || !ftxInitLib)
        return LibraryCheck::Failed;
    if (!initialised) {
        if (ftxInitLib() != FTLIB_ERR_SUCCESS)
            return LibraryCheck::Failed;
        initialised = true;
    }

    char version[versionBufferSize] = {};
    ftxGetLibVersionStr(version, versionBufferSize);
    if (std::memcmp(version, expectedVersion, versionBufferSize) != 0)
        return LibraryCheck::OtherVersion;
    return LibraryCheck::Passed;
}
