#include "trace.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace tarvolex {

void traceLog(const char *format, ...) {
    const std::time_t now = std::time(nullptr);
    std::tm local{}; // stays at 00:00:00 when the clock cannot be converted
    localtime_r(&now, &local);
    std::fprintf(stderr, "%02d:%02d:%02d.000  Tarvolex: ", local.tm_hour, local.tm_min,
                 local.tm_sec);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

} // namespace tarvolex
