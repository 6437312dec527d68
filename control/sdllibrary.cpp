// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/sdllibrary.h"

#include <mutex>

const SdlLibrary *SdlLibrary::start(std::string &why)
{
    static std::once_flag once;
    static SdlLibrary functions;
    static const SdlLibrary *loaded = nullptr;
    static std::string notLoaded;
    std::call_once(once, [] {
        if (resolve(functions, notLoaded))
            loaded = &functions;
    });
    if (!loaded) {
        why = notLoaded;
        return nullptr;
    }
    loaded->SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (loaded->SDL_Init(SDL_INIT_GAMECONTROLLER) != 0) {
        why = std::string("SDL не запустилась: ") + loaded->SDL_GetError();
        return nullptr;
    }
    return loaded;
}
