#pragma once

// Optional diagnostics of the controller library: written to stderr only
// while KAVRIK_FTLIB_TRACE is set to a non-empty value other than "0".
namespace ftlib {

bool traceEnabled();
void trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace ftlib
