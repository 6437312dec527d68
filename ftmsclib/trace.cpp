#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ftlib {

bool traceEnabled()
{
    const char *value = std::getenv("KAVRIK_FTLIB_TRACE");
    return value && *value && std::strcmp(value, "0") != 0;
}

void trace(const char *format, ...)
{
    if (!traceEnabled())
        return;
    char line[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    // One fprintf per line keeps lines of several threads apart.
    std::fprintf(stderr, "ftMscLib: %s\n", line);
}

} // namespace ftlib
