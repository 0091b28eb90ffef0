// The diagnostic trace: one line per listing, open and close, on standard error.
#pragma once

#if defined(__GNUC__)
#define TARVOLEX_PRINTF_FORMAT(index, first) __attribute__((format(printf, index, first)))
#else
#define TARVOLEX_PRINTF_FORMAT(index, first)
#endif

namespace tarvolex {

// Writes "HH:MM:SS.000  Tarvolex: " in local time, then the formatted message, to standard
// error. Two writes, no lock, no flush; a failed write is ignored.
void traceLog(const char *format, ...) TARVOLEX_PRINTF_FORMAT(1, 2);

} // namespace tarvolex
