// The seam as the virtual goggles have it. Device nodes and sysfs files get
// real descriptor numbers (of /dev/null), so the program's close() calls
// stay real and no number can clash; what happens behind them is modelled.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "os/os.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr int MAX_FD = 1024;
enum FdKind : uint8_t { FD_REAL = 0, FD_I2C, FD_MEM, FD_PWM, FD_CARD };
FdKind fd_kind[MAX_FD];
uint8_t fd_pwm_attr[MAX_FD];

int placeholder_fd(FdKind kind)
{
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0 && fd < MAX_FD)
        fd_kind[fd] = kind;
    return fd;
}

FdKind kind_of(int fd) { return fd >= 0 && fd < MAX_FD ? fd_kind[fd] : FD_REAL; }

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

bool on_card(const char* path) { return starts_with(path, "/record/"); }

}  // namespace

bool vg_card_path(const char* path, char* out, size_t size)
{
    const VgCard& card = vg()->card;
    if (card.root[0] == '\0')
        return false;
    const int n = std::snprintf(out, size, "%s%s", card.root, path);
    return n > 0 && static_cast<size_t>(n) < size;
}

int os_dev_open(const char* path, int flags)
{
    VgWorld* w = vg();
    if (std::strcmp(path, "/dev/remote_i2c") == 0) {
        VgI2cDriver& d = w->i2c;
        d.last_open_flags = static_cast<uint32_t>(flags);
        if (!d.present) {
            errno = ENOENT;
            return -1;
        }
        for (int& held : d.fds) {
            if (held < 0) {
                held = placeholder_fd(FD_I2C);
                ++d.opens;
                return held;
            }
        }
        errno = EBUSY;
        return -1;
    }
    if (std::strcmp(path, "/dev/mem") == 0) {
        w->adc.last_open_flags = static_cast<uint32_t>(flags);
        if (!w->adc.present) {
            errno = EACCES;
            return -1;
        }
        return placeholder_fd(FD_MEM);
    }
    errno = ENOENT;
    return -1;
}

int os_dev_ioctl(int fd, unsigned long request, void* arg) { return vg_i2c_ioctl(fd, request, arg); }

void* os_dev_mmap(int fd, size_t length, int64_t offset)
{
    VgAdc& a = vg()->adc;
    a.last_map_offset = offset;
    if (kind_of(fd) != FD_MEM || a.map_fails || length != sizeof a.block || offset != 0x60632000)
        return nullptr;
    ++a.maps;
    return a.block;
}

int os_dev_close(int fd)
{
    if (kind_of(fd) == FD_I2C) {
        VgI2cDriver& d = vg()->i2c;
        for (int& held : d.fds) {
            if (held == fd)
                held = -1;
        }
        ++d.closes;
    }
    if (fd >= 0 && fd < MAX_FD)
        fd_kind[fd] = FD_REAL;
    return ::close(fd);
}

uint32_t os_reg_load(const volatile uint32_t* reg)
{
    const auto* base = reinterpret_cast<const volatile uint8_t*>(vg()->adc.block);
    const auto at = reinterpret_cast<const volatile uint8_t*>(reg) - base;
    if (at >= 0 && at < 4096)
        return vg_adc_load(static_cast<uint32_t>(at));
    return *reg;
}

void os_reg_store(volatile uint32_t* reg, uint32_t value)
{
    const auto* base = reinterpret_cast<const volatile uint8_t*>(vg()->adc.block);
    const auto at = reinterpret_cast<const volatile uint8_t*>(reg) - base;
    if (at >= 0 && at < 4096)
        vg_adc_store(static_cast<uint32_t>(at), value);
    else
        *reg = value;
}

int os_file_open(const char* path, int flags, mode_t mode)
{
    if (starts_with(path, "/sys/class/pwm/")) {
        const int handle = vg_pwm_open(path, flags);
        if (handle < 0) {
            errno = -handle;
            return -1;
        }
        const int fd = placeholder_fd(FD_PWM);
        if (fd >= 0 && fd < MAX_FD)
            fd_pwm_attr[fd] = static_cast<uint8_t>(handle);
        return fd;
    }
    if (on_card(path)) {
        VgCard& card = vg()->card;
        ++card.opens;
        char real[512];
        if (!vg_card_path(path, real, sizeof real)) {
            errno = ENOENT;  // no card in the slot
            return -1;
        }
        const int fd = ::open(real, flags | O_CLOEXEC, mode);
        if (fd >= 0 && fd < MAX_FD)
            fd_kind[fd] = FD_CARD;
        return fd;
    }
    return ::open(path, flags, mode);
}

ssize_t os_file_read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }

ssize_t os_file_write(int fd, const void* buf, size_t count)
{
    switch (kind_of(fd)) {
    case FD_PWM: {
        const int rc = vg_pwm_write(fd_pwm_attr[fd], static_cast<const char*>(buf), count);
        if (rc < 0) {
            errno = -rc;
            return -1;
        }
        return static_cast<ssize_t>(count);
    }
    case FD_CARD:
        ++vg()->card.writes;
        if (vg()->card.full) {
            errno = ENOSPC;
            return -1;
        }
        return ::write(fd, buf, count);
    default:
        return ::write(fd, buf, count);
    }
}

int os_file_fsync(int fd)
{
    if (kind_of(fd) == FD_CARD)
        ++vg()->card.fsyncs;
    return ::fsync(fd);
}

int os_file_close(int fd)
{
    if (fd >= 0 && fd < MAX_FD)
        fd_kind[fd] = FD_REAL;
    return ::close(fd);
}

int os_file_rename(const char* from, const char* to)
{
    if (!on_card(from) || !on_card(to))
        return ::rename(from, to);
    VgCard& card = vg()->card;
    ++card.renames;
    if (card.crash_before_rename)
        ::kill(::getpid(), SIGKILL);  // the battery is pulled right here
    char real_from[512], real_to[512];
    if (!vg_card_path(from, real_from, sizeof real_from) || !vg_card_path(to, real_to, sizeof real_to)) {
        errno = ENOENT;
        return -1;
    }
    return ::rename(real_from, real_to);
}

int os_file_unlink(const char* path)
{
    if (!on_card(path))
        return ::unlink(path);
    char real[512];
    if (!vg_card_path(path, real, sizeof real)) {
        errno = ENOENT;
        return -1;
    }
    return ::unlink(real);
}

int os_clock_monotonic(struct timespec* now)
{
    const uint64_t us = vg()->now_us;
    now->tv_sec = static_cast<time_t>(us / 1000000);
    now->tv_nsec = static_cast<long>((us % 1000000) * 1000);
    return 0;
}

int os_usleep(unsigned int usec)
{
    vg_advance(usec);
    return 0;
}

unsigned int os_sleep(unsigned int seconds)
{
    vg_advance(static_cast<uint64_t>(seconds) * 1000000);
    return 0;
}
