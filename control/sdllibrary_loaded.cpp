// SPDX-License-Identifier: GPL-3.0-or-later
// SDL loaded at run time: a program without a pad does not map it.
#include "control/sdllibrary.h"

#include <QLibrary>

bool SdlLibrary::resolve(SdlLibrary &functions, std::string &why)
{
    QLibrary library(QStringLiteral("SDL2-2.0"), 0);
    if (!library.load()) {
        why = "SDL 2 не найдена: " + library.errorString().toStdString();
        return false;
    }
    bool complete = true;
#define KAVRIK_SDL_RESOLVE(name)                                                                                 \
    functions.name = reinterpret_cast<decltype(functions.name)>(library.resolve(#name));                         \
    complete = complete && functions.name;
    KAVRIK_SDL_FUNCTIONS(KAVRIK_SDL_RESOLVE)
#undef KAVRIK_SDL_RESOLVE
    // Stays loaded: SDL may keep threads of its own.
    if (!complete)
        why = "нужна SDL 2.24 или новее";
    return complete;
}
