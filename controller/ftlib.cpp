#include "ftlib.h"

#include <cstring>

namespace {

// The interface version this program was written against, with its zero.
constexpr char expectedVersion[] = "01.05.11  (2012/02/19)";
constexpr int versionBufferSize = 23;
static_assert(sizeof(expectedVersion) == versionBufferSize, "the check compares 23 bytes");

template<typename Function>
void resolve(QLibrary &library, const char *name, Function &entryPoint)
{
    entryPoint = reinterpret_cast<Function>(library.resolve(name));
}

} // namespace

FtLib::FtLib()
    : library(QStringLiteral("ftMscLib"))
{
    // The first lookup loads the library. EnumComPorts is looked up before
    // GetAvailableComPorts, as the Windows build always did.
    resolve(library, "ftxGetLibVersion", ftxGetLibVersion);
    resolve(library, "ftxGetLibVersionStr", ftxGetLibVersionStr);
    resolve(library, "ftxInitLib", ftxInitLib);
    resolve(library, "ftxOpenComDevice", ftxOpenComDevice);
    resolve(library, "ftxStartTransferArea", ftxStartTransferArea);
    resolve(library, "SetFtMotorConfig", SetFtMotorConfig);
    resolve(library, "SetOutPwmValues", SetOutPwmValues);
    resolve(library, "ftxStopTransferArea", ftxStopTransferArea);
    resolve(library, "ftxCloseDevice", ftxCloseDevice);
    resolve(library, "ftxCloseLib", ftxCloseLib);
    resolve(library, "GetComStatus", GetComStatus);
    resolve(library, "EnumComPorts", EnumComPorts);
    resolve(library, "GetAvailableComPorts", GetAvailableComPorts);
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
