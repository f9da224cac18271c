// The goggles' two device nodes for the shipped program on a PC, so that
// callgrind can count an idle main-loop turn of the very program that ships,
// built as it ships (link-time optimised, os_linux for the seam). Preloaded
// into the program, this library answers the C library calls the program
// makes for its devices; every other call goes on to the C library.
//
//   AVMENU_IDLE_TURNS=N LD_PRELOAD=.../libavmenu_idle_goggles.so VelmoX-AVMenu
//
// /dev/remote_i2c is the virtual goggles' transport driver and models (AV
// mode, an idle OSD engine). /dev/mem maps a plain page that stands in for
// the ADC block: the program reads and writes it directly, as it does the
// real one, and this library only sets the data register. After N idle
// turns BACK is pressed and released, so the program leaves as a wearer
// would have it leave. The sleeps go on to the C library's usleep with
// nothing to sleep: the wrapper runs as on the goggles, only the kernel's
// wait is skipped. Time is virtual: the monotonic clock advances by what
// the program asked to sleep.
//
// /proc, the SD card and sysfs are absent here, so the program finds no
// stock service to stop (nothing of this machine is signalled), no settings
// file and no buzzer: start-up takes the same path in every run.
//
// For a value change on the program as it ships, two more settings:
//   AVMENU_IDLE_PRESS=RIGHT|KEY4|none  after the idle turns, that key is held
//       for a few turns (a short press) and let go, a few idle turns pass,
//       and only then BACK; "none" keeps those turns idle, so runs with and
//       without a press differ only by the press. KEY4 has no menu function.
//   AVMENU_IDLE_CARD=DIR  the SD card (/record/...) is DIR/record/...: the
//       settings file can be saved and renamed there.
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include "keys/keys.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr unsigned LOOP_SLEEP_US = 30000;  // the main loop's sleep: one turn
constexpr int BACK_TURNS = 5;              // turns BACK is held: a short press
constexpr uint64_t START_US = 100000000;   // the monotonic clock at start-up

alignas(4096) uint32_t adc_page[ADC_MAP_SIZE / 4];
int i2c_fd = -1;
int mem_fd = -1;
long idle_turns = 0;
int press_key = -1;    // -1: the plain schedule, BACK right after the idle turns
bool press_phase = false;
const char* card = nullptr;
long sleeps = 0;
long loop_sleeps = 0;
uint64_t now_us = START_US;

template <typename F>
F next(F* cache, const char* name)
{
    if (*cache == nullptr)
        *cache = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
    if (*cache == nullptr)
        std::abort();
    return *cache;
}

using OpenFn = int (*)(const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);
using MmapFn = void* (*)(void*, size_t, int, int, int, off64_t);
using UsleepFn = int (*)(useconds_t);
using RenameFn = int (*)(const char*, const char*);
using UnlinkFn = int (*)(const char*);
RenameFn real_rename;
UnlinkFn real_unlink;
OpenFn real_open;
CloseFn real_close;
IoctlFn real_ioctl;
MmapFn real_mmap64;
UsleepFn real_usleep;

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

int placeholder()
{
    return next(&real_open, "open")("/dev/null", O_RDWR | O_CLOEXEC);
}

// Read before the program starts, so that runs with different counts take
// the same path through the program's start-up.
__attribute__((constructor)) void read_turns()
{
    const char* n = std::getenv("AVMENU_IDLE_TURNS");
    idle_turns = n != nullptr ? std::strtol(n, nullptr, 10) : 0;
    if (const char* k = std::getenv("AVMENU_IDLE_PRESS")) {
        press_phase = true;
        press_key = std::strcmp(k, "RIGHT") == 0 ? KEY_RIGHT : std::strcmp(k, "KEY4") == 0 ? KEY_4 : -1;
    }
    card = std::getenv("AVMENU_IDLE_CARD");
}

// What the run did, for scripts/bench to check that two runs differ only by
// idle turns.
__attribute__((destructor)) void report()
{
    char line[96];
    const int n = std::snprintf(line, sizeof line, "idle-goggles: sleeps=%ld loop_sleeps=%ld\n", sleeps, loop_sleeps);
    if (n > 0)
        (void)!write(2, line, static_cast<size_t>(n));
}

// What the ADC gives on this loop turn: no button, then BACK for a few
// turns once the idle turns are done.
void set_key_input()
{
    long back_from = idle_turns;
    uint32_t raw = vg()->adc.idle_raw;
    if (press_phase) {
        // The key for BACK_TURNS turns, as many idle ones, then BACK.
        back_from = idle_turns + 2 * BACK_TURNS;
        if (press_key >= 0 && loop_sleeps >= idle_turns && loop_sleeps < idle_turns + BACK_TURNS)
            raw = vg_key_raw(press_key);
    }
    if (loop_sleeps >= back_from && loop_sleeps < back_from + BACK_TURNS)
        raw = vg_key_raw(KEY_BACK);
    adc_page[ADC_REG_DATA / 4] = raw;
}

// A path on the SD card, moved into AVMENU_IDLE_CARD; null when it is not
// on the card or there is no card.
const char* on_card(const char* path, char* buf, size_t size)
{
    if (card == nullptr || !starts_with(path, "/record/"))
        return nullptr;
    std::snprintf(buf, size, "%s%s", card, path);
    return buf;
}

}  // namespace

// The models note each step on the tests' timeline; the bench keeps none.
void vg_event(const char*, ...) {}

extern "C" {

int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (std::strcmp(path, "/dev/remote_i2c") == 0 && i2c_fd < 0) {
        i2c_fd = placeholder();
        vg()->i2c.fds[0] = i2c_fd;
        return i2c_fd;
    }
    if (std::strcmp(path, "/dev/mem") == 0 && mem_fd < 0) {
        mem_fd = placeholder();
        set_key_input();
        return mem_fd;
    }
    char moved[512];
    if (const char* p = on_card(path, moved, sizeof moved))
        return next(&real_open, "open")(p, flags, mode);
    if (starts_with(path, "/proc") || starts_with(path, "/record/") || starts_with(path, "/sys/")) {
        errno = ENOENT;
        return -1;
    }
    return next(&real_open, "open")(path, flags, mode);
}

int close(int fd)
{
    if (fd >= 0 && fd == i2c_fd) {
        vg()->i2c.fds[0] = -1;
        i2c_fd = -1;
    } else if (fd >= 0 && fd == mem_fd) {
        mem_fd = -1;
    }
    return next(&real_close, "close")(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (fd >= 0 && fd == i2c_fd)
        return vg_i2c_ioctl(fd, request, arg);
    return next(&real_ioctl, "ioctl")(fd, request, arg);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept
{
    if (fd >= 0 && fd == mem_fd)
        return length == sizeof adc_page && offset == ADC_PHYS_BASE ? adc_page : MAP_FAILED;
    return next(&real_mmap64, "mmap64")(addr, length, prot, flags, fd, offset);
}

int clock_gettime(clockid_t clock, struct timespec* now) noexcept
{
    (void)clock;
    now->tv_sec = static_cast<time_t>(now_us / 1000000);
    now->tv_nsec = static_cast<long>(now_us % 1000000 * 1000);
    return 0;
}

int rename(const char* from, const char* to) noexcept
{
    char a[512], b[512];
    const char* f = on_card(from, a, sizeof a);
    const char* t = on_card(to, b, sizeof b);
    return next(&real_rename, "rename")(f != nullptr ? f : from, t != nullptr ? t : to);
}

int unlink(const char* path) noexcept
{
    char moved[512];
    const char* p = on_card(path, moved, sizeof moved);
    return next(&real_unlink, "unlink")(p != nullptr ? p : path);
}

int usleep(useconds_t usec)
{
    now_us += usec;
    ++sleeps;
    if (usec == LOOP_SLEEP_US) {
        ++loop_sleeps;
        set_key_input();
    }
    return next(&real_usleep, "usleep")(0);
}

}  // extern "C"
