# SPDX-License-Identifier: GPL-3.0-or-later
# Cross-building for 64-bit Windows with Debian's MinGW-w64 (POSIX threads).
# KAVRIK_WINDOWS_PREFIXES names the cross-built Qt and SDL 2
# (scripts/build-windows). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# Passed on to the compiler checks, which run this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KAVRIK_WINDOWS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KAVRIK_WINDOWS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Debian has no wine64 on the PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
# One .exe that needs only Windows' own DLLs: the C++ runtime and the
# threads library are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -Wl,--gc-sections")
