// SPDX-License-Identifier: GPL-3.0-or-later
// SDL linked into the program: one file to ship, nothing to find at run
// time.
#include "control/sdllibrary.h"

bool SdlLibrary::resolve(SdlLibrary &functions, std::string &)
{
#define KAVRIK_SDL_LINK(name) functions.name = &::name;
    KAVRIK_SDL_FUNCTIONS(KAVRIK_SDL_LINK)
#undef KAVRIK_SDL_LINK
    return true;
}
