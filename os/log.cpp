#include "os/log.h"

#include <cstdarg>
#include <cstdio>
#include <unistd.h>

void log_line(const char* fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return;
    if (n >= static_cast<int>(sizeof line))
        n = static_cast<int>(sizeof line) - 1;
    const ssize_t rc = ::write(2, line, static_cast<size_t>(n));
    (void)rc;  // nowhere left to report a failed diagnostic
}
