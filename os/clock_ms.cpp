#include "os/os.h"

int32_t os_now_ms()
{
    struct timespec ts {};  // a failing clock read is ignored: it reads as zero
    os_clock_monotonic(&ts);
    // Only the low 32 bits of the seconds enter; the sum wraps modulo 2^32.
    const uint32_t ms = static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
    return static_cast<int32_t>(ms);
}
