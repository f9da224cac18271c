// The virtual goggles for a program as it ships: preloaded into an
// unmodified, dynamically linked build that uses the Linux side of the seam
// (os_linux), this library answers the C library calls the program makes
// for its devices on the same devices and models as the seam's builds
// (devices.cpp), on the same virtual clock:
//
//   open, ioctl, mmap, close   /dev/remote_i2c and /dev/mem
//   open, read, write, fsync,  the PWM class and the SD card ("/record/...")
//   close, rename, unlink
//   clock_gettime              CLOCK_MONOTONIC reads the virtual clock
//   usleep, sleep              advance it (the C library's usleep still runs,
//                              with nothing to sleep)
//   kill, fork, waitpid,       stay real; noted on the timeline, like the
//   write to descriptor 2      link-time wrappers of the seam's builds
//
// Every other call goes on to the C library. The program reads and writes
// the ADC block as memory, as it does on the goggles: /dev/mem maps the
// model's block, whose data register shows the key input of the moment,
// set again after every sleep (only sleeps move the clock). Conversions the
// block refuses cannot be modelled this way.
//
// The world: with VGOGGLES_WORLD_FD set, the memory file of a test's or a
// tool's world (vg_world_fd(), inherited across exec), so that what the
// program did is there to read when it ends. Without it, goggles of its
// own in AV mode, with no timeline: the keys of VGOGGLES_KEYS (a key script
// as vg_keys_script reads it, from 1 s on); with VGOGGLES_CARD (a folder
// standing in for "/") an SD card, the PWM class and the machine's /proc;
// without it no card, no PWM class and /proc hidden (no stock service to
// stop). Only the program's own process runs on virtual
// time; its watchdog child sleeps for real.
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
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "vgoggles/devices.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

namespace {

bool program_process = true;  // false in a child the program forked

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
using ReadFn = ssize_t (*)(int, void*, size_t);
using WriteFn = ssize_t (*)(int, const void*, size_t);
using FdFn = int (*)(int);
using PathsFn = int (*)(const char*, const char*);
using PathFn = int (*)(const char*);
using ClockFn = int (*)(clockid_t, struct timespec*);
using UsleepFn = int (*)(useconds_t);
using SleepFn = unsigned (*)(unsigned);
using KillFn = int (*)(pid_t, int);
using ForkFn = pid_t (*)();
using WaitpidFn = pid_t (*)(pid_t, int*, int);
OpenFn real_open;
CloseFn real_close;
IoctlFn real_ioctl;
MmapFn real_mmap64;
ReadFn real_read;
WriteFn real_write;
FdFn real_fsync;
PathsFn real_rename;
PathFn real_unlink;
ClockFn real_clock_gettime;
UsleepFn real_usleep;
SleepFn real_sleep;
KillFn real_kill;
ForkFn real_fork;
WaitpidFn real_waitpid;

// Before the constructors of a library built on this one (the benchmark's).
__attribute__((constructor(200))) void attach()
{
    // The devices' own host calls go past this library.
    vg_host = {next(&real_open, "open"),     next(&real_close, "close"),   next(&real_read, "read"),
               next(&real_write, "write"),   next(&real_fsync, "fsync"),   next(&real_rename, "rename"),
               next(&real_unlink, "unlink")};
    if (const char* fd = std::getenv("VGOGGLES_WORLD_FD")) {
        vg_attach(std::atoi(fd))->timeline.program_pid = static_cast<int>(getpid());
        return;
    }
    VgWorld* w = vg();
    w->timeline.quiet = true;
    // A wearer's keys, and a card folder that makes them whole goggles.
    if (const char* keys = std::getenv("VGOGGLES_KEYS"))
        vg_keys_script(keys, 1000, nullptr);
    if (const char* noise = std::getenv("VGOGGLES_ADC_NOISE"))
        w->adc.noise_counts = static_cast<uint32_t>(std::strtoul(noise, nullptr, 10));
    const char* card = std::getenv("VGOGGLES_CARD");
    if (card != nullptr && card[0] == '/') {
        std::snprintf(w->card.root, sizeof w->card.root, "%s", card);
        return;
    }
    w->card.root[0] = '\0';
    w->pwm.present = false;
    w->proc_hidden = true;
}

int open_any(const char* path, int flags, va_list ap)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE)
        mode = va_arg(ap, mode_t);
    if (vg_is_device_path(path))
        return vg_dev_open(path, flags);
    if (vg_is_file_path(path))
        return vg_file_open(path, flags, mode);
    if (vg()->proc_hidden && std::strncmp(path, "/proc", 5) == 0) {
        errno = ENOENT;
        return -1;
    }
    return next(&real_open, "open")(path, flags, mode);
}

void* map_any(void* addr, size_t length, int prot, int flags, int fd, off64_t offset)
{
    if (!vg_is_device_fd(fd))
        return next(&real_mmap64, "mmap64")(addr, length, prot, flags, fd, offset);
    void* block = vg_dev_mmap(fd, length, offset);
    if (block == nullptr)
        return MAP_FAILED;  // errno as the device left it
    vg_adc_settle();
    return block;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int fd = open_any(path, flags, ap);
    va_end(ap);
    return fd;
}

int open64(const char* path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    const int fd = open_any(path, flags, ap);
    va_end(ap);
    return fd;
}

int close(int fd)
{
    if (vg_is_device_fd(fd))
        return vg_dev_close(fd);
    if (vg_is_modelled_fd(fd))
        return vg_file_close(fd);
    return next(&real_close, "close")(fd);
}

int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (vg_is_device_fd(fd))
        return vg_i2c_ioctl(fd, request, arg);
    return next(&real_ioctl, "ioctl")(fd, request, arg);
}

void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept
{
    return map_any(addr, length, prot, flags, fd, offset);
}

void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept
{
    return map_any(addr, length, prot, flags, fd, offset);
}

ssize_t read(int fd, void* buf, size_t count)
{
    if (vg_is_modelled_fd(fd))
        return vg_file_read(fd, buf, count);
    return next(&real_read, "read")(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    if (vg_is_modelled_fd(fd))
        return vg_file_write(fd, buf, count);
    if (fd == 2)
        vg_note_stderr(buf, count);
    return next(&real_write, "write")(fd, buf, count);
}

int fsync(int fd)
{
    if (vg_is_modelled_fd(fd))
        return vg_file_fsync(fd);
    return next(&real_fsync, "fsync")(fd);
}

int rename(const char* from, const char* to) noexcept
{
    if (vg_is_file_path(from) || vg_is_file_path(to))
        return vg_file_rename(from, to);
    return next(&real_rename, "rename")(from, to);
}

int unlink(const char* path) noexcept
{
    if (vg_is_file_path(path))
        return vg_file_unlink(path);
    return next(&real_unlink, "unlink")(path);
}

int clock_gettime(clockid_t clock, struct timespec* now) noexcept
{
    if (clock != CLOCK_MONOTONIC || !program_process)
        return next(&real_clock_gettime, "clock_gettime")(clock, now);
    vg_clock_now(now);
    return 0;
}

int usleep(useconds_t usec)
{
    if (!program_process)
        return next(&real_usleep, "usleep")(usec);
    vg_advance(usec);
    vg_adc_settle();
    return next(&real_usleep, "usleep")(0);
}

unsigned int sleep(unsigned int seconds)
{
    if (!program_process)
        return next(&real_sleep, "sleep")(seconds);
    vg_advance(static_cast<uint64_t>(seconds) * 1000000);
    vg_adc_settle();
    return 0;
}

int kill(pid_t pid, int sig) noexcept
{
    vg_note_kill(pid, sig);
    return next(&real_kill, "kill")(pid, sig);
}

pid_t fork() noexcept
{
    const pid_t child = next(&real_fork, "fork")();
    if (child == 0)
        program_process = false;
    vg_note_fork(child);
    return child;
}

pid_t waitpid(pid_t pid, int* status, int options)
{
    const pid_t got = next(&real_waitpid, "waitpid")(pid, status, options);
    vg_note_reap(got);
    return got;
}

}  // extern "C"
