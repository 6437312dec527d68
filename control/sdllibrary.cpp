// SPDX-License-Identifier: GPL-3.0-or-later
#include "control/sdllibrary.h"

#include <mutex>

#include <QLibrary>

const SdlLibrary *SdlLibrary::start(std::string &why)
{
    static std::once_flag once;
    static SdlLibrary functions;
    static const SdlLibrary *loaded = nullptr;
    static std::string notLoaded;
    std::call_once(once, [] {
#ifdef Q_OS_WIN
        QLibrary library(QStringLiteral("SDL2"));
#else
        QLibrary library(QStringLiteral("SDL2-2.0"), 0);
#endif
        if (!library.load()) {
            notLoaded = "SDL 2 не найдена: " + library.errorString().toStdString();
            return;
        }
        bool complete = true;
#define KAVRIK_SDL_RESOLVE(name)                                                                                 \
    functions.name = reinterpret_cast<decltype(functions.name)>(library.resolve(#name));                         \
    complete = complete && functions.name;
        KAVRIK_SDL_FUNCTIONS(KAVRIK_SDL_RESOLVE)
#undef KAVRIK_SDL_RESOLVE
        // Stays loaded: SDL may keep threads of its own.
        if (complete)
            loaded = &functions;
        else
            notLoaded = "нужна SDL 2.24 или новее";
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
