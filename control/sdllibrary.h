// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

#include <SDL.h>

// The SDL 2 functions the pads need. On Linux from the library loaded at run
// time: linked, SDL and the forty libraries it brings would be loaded and
// mapped at every start, pad or not. Where SDL is a static library of the
// program's own, linked.
#define KAVRIK_SDL_FUNCTIONS(F)                                                                                  \
    F(SDL_SetHint)                                                                                               \
    F(SDL_Init)                                                                                                  \
    F(SDL_QuitSubSystem)                                                                                         \
    F(SDL_GetError)                                                                                              \
    F(SDL_TLSCleanup)                                                                                            \
    F(SDL_PumpEvents)                                                                                            \
    F(SDL_PeepEvents)                                                                                            \
    F(SDL_NumJoysticks)                                                                                          \
    F(SDL_IsGameController)                                                                                      \
    F(SDL_JoystickNameForIndex)                                                                                  \
    F(SDL_JoystickPathForIndex)                                                                                  \
    F(SDL_JoystickGetDeviceGUID)                                                                                 \
    F(SDL_JoystickGetGUIDString)                                                                                 \
    F(SDL_JoystickInstanceID)                                                                                    \
    F(SDL_GameControllerNameForIndex)                                                                            \
    F(SDL_GameControllerOpen)                                                                                    \
    F(SDL_GameControllerClose)                                                                                   \
    F(SDL_GameControllerGetJoystick)                                                                             \
    F(SDL_GameControllerName)                                                                                    \
    F(SDL_GameControllerPath)                                                                                    \
    F(SDL_GameControllerUpdate)                                                                                  \
    F(SDL_GameControllerGetButton)                                                                               \
    F(SDL_GameControllerGetAxis)

// SDL's functions by their own names.
struct SdlLibrary {
#define KAVRIK_SDL_POINTER(name) decltype(&::name) name = nullptr;
    KAVRIK_SDL_FUNCTIONS(KAVRIK_SDL_POINTER)
#undef KAVRIK_SDL_POINTER

    // Loads SDL once for the process and starts its game-controller part,
    // without signal handlers of its own (they would replace the ones that
    // stop the motors). nullptr with `why` set when it cannot: not
    // installed, older than 2.24, or its start failed. Any thread; the
    // caller ends its part with SDL_QuitSubSystem(SDL_INIT_GAMECONTROLLER).
    static const SdlLibrary *start(std::string &why);

    // The platform's part, once: fills in every function, or says why it
    // cannot (sdllibrary_loaded.cpp, sdllibrary_linked.cpp).
    static bool resolve(SdlLibrary &functions, std::string &why);
};
