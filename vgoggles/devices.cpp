#include "vgoggles/devices.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "keys/keys.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr int MAX_FD = 1024;
enum FdKind : uint8_t { FD_REAL = 0, FD_I2C, FD_MEM, FD_PWM, FD_CARD };
FdKind fd_kind[MAX_FD];
uint8_t fd_pwm_attr[MAX_FD];
char fd_card_name[MAX_FD][24];  // the card file's last path element, for the timeline

int sys_open(const char* path, int flags, mode_t mode) { return vg_host.open(path, flags, mode); }
int sys_close(int fd) { return vg_host.close(fd); }

int placeholder_fd(FdKind kind)
{
    const int fd = sys_open("/dev/null", O_RDWR | O_CLOEXEC, 0);
    if (fd >= 0 && fd < MAX_FD)
        fd_kind[fd] = kind;
    return fd;
}

FdKind kind_of(int fd) { return fd >= 0 && fd < MAX_FD ? fd_kind[fd] : FD_REAL; }

void forget(int fd)
{
    if (fd >= 0 && fd < MAX_FD)
        fd_kind[fd] = FD_REAL;
}

bool starts_with(const char* s, const char* prefix) { return std::strncmp(s, prefix, std::strlen(prefix)) == 0; }

bool on_card(const char* path) { return starts_with(path, "/record/"); }

const char* base_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

const char* card_name(int fd) { return fd >= 0 && fd < MAX_FD ? fd_card_name[fd] : "?"; }

const char* fail_text(long rc) { return rc < 0 ? " fail" : ""; }

int open_device(const char* path, int flags)
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
    if (std::strcmp(path, ADC_DEVICE) == 0) {
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

}  // namespace

VgHostCalls vg_host = {::open, ::close, ::read, ::write, ::fsync, ::rename, ::unlink};

bool vg_card_path(const char* path, char* out, size_t size)
{
    const VgCard& card = vg()->card;
    if (card.root[0] == '\0')
        return false;
    const int n = std::snprintf(out, size, "%s%s", card.root, path);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool vg_is_device_path(const char* path)
{
    return std::strcmp(path, "/dev/remote_i2c") == 0 || std::strcmp(path, ADC_DEVICE) == 0;
}

bool vg_is_file_path(const char* path) { return starts_with(path, "/sys/class/pwm/") || on_card(path); }

bool vg_is_device_fd(int fd) { return kind_of(fd) == FD_I2C || kind_of(fd) == FD_MEM; }

bool vg_is_modelled_fd(int fd) { return kind_of(fd) != FD_REAL; }

int vg_dev_open(const char* path, int flags)
{
    const int fd = open_device(path, flags);
    vg_event("open %s%s", path, fail_text(fd));
    return fd;
}

void* vg_dev_mmap(int fd, size_t length, int64_t offset)
{
    VgAdc& a = vg()->adc;
    a.last_map_offset = offset;
    const bool ok = kind_of(fd) == FD_MEM && !a.map_fails && length == sizeof a.block && offset == ADC_PHYS_BASE;
    vg_event("mmap %s %llx%s", kind_of(fd) == FD_MEM ? ADC_DEVICE : "?", static_cast<unsigned long long>(offset),
             ok ? "" : " fail");
    if (!ok) {
        errno = EINVAL;  // what mmap(2) says of a mapping the device refuses
        return nullptr;
    }
    ++a.maps;
    return a.block;
}

int vg_dev_close(int fd)
{
    const FdKind kind = kind_of(fd);
    vg_event("close %s", kind == FD_I2C ? "/dev/remote_i2c" : kind == FD_MEM ? ADC_DEVICE : "?");
    if (kind == FD_I2C) {
        VgI2cDriver& d = vg()->i2c;
        for (int& held : d.fds) {
            if (held == fd)
                held = -1;
        }
        ++d.closes;
    }
    forget(fd);
    return sys_close(fd);
}

int vg_file_open(const char* path, int flags, mode_t mode)
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
    if (!on_card(path))
        return sys_open(path, flags, mode);
    VgCard& card = vg()->card;
    ++card.opens;
    char real[512];
    if (!vg_card_path(path, real, sizeof real)) {
        vg_event("card open %s fail", base_name(path));
        errno = ENOENT;  // no card in the slot
        return -1;
    }
    const int fd = sys_open(real, flags | O_CLOEXEC, mode);
    if (fd >= 0 && fd < MAX_FD) {
        fd_kind[fd] = FD_CARD;
        std::snprintf(fd_card_name[fd], sizeof fd_card_name[fd], "%s", base_name(path));
    }
    const int acc = flags & O_ACCMODE;
    vg_event("card open %s %s%s%s%s%s", base_name(path), acc == O_RDONLY ? "r" : acc == O_WRONLY ? "w" : "rw",
             flags & O_CREAT ? "c" : "", flags & O_TRUNC ? "t" : "", flags & O_DIRECTORY ? "d" : "", fail_text(fd));
    return fd;
}

ssize_t vg_file_read(int fd, void* buf, size_t count)
{
    const ssize_t n = vg_host.read(fd, buf, count);
    if (kind_of(fd) == FD_CARD)
        vg_event("card read %s %zd", card_name(fd), n);
    return n;
}

ssize_t vg_file_write(int fd, const void* buf, size_t count)
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
    case FD_CARD: {
        ++vg()->card.writes;
        // The text as written, a newline shown as \n.
        char text[48];
        size_t at = 0;
        for (size_t i = 0; i < count && at + 2 < sizeof text; ++i) {
            const char c = static_cast<const char*>(buf)[i];
            if (c == '\n') {
                text[at++] = '\\';
                text[at++] = 'n';
            } else {
                text[at++] = c;
            }
        }
        text[at] = '\0';
        if (vg()->card.full) {
            vg_event("card write %s %s fail", card_name(fd), text);
            errno = ENOSPC;
            return -1;
        }
        const ssize_t n = vg_host.write(fd, buf, count);
        vg_event("card write %s %s%s", card_name(fd), text, fail_text(n));
        return n;
    }
    default:
        return vg_host.write(fd, buf, count);
    }
}

int vg_file_fsync(int fd)
{
    if (kind_of(fd) == FD_CARD) {
        ++vg()->card.fsyncs;
        vg_event("card fsync %s", card_name(fd));
    }
    return vg_host.fsync(fd);
}

int vg_file_close(int fd)
{
    const bool card = kind_of(fd) == FD_CARD;
    if (card)
        vg_event("card close %s%s", card_name(fd), vg()->card.close_fails ? " fail" : "");
    forget(fd);
    const int rc = sys_close(fd);
    if (card && vg()->card.close_fails && rc == 0) {
        errno = EIO;  // the descriptor is gone all the same, as after a real close
        return -1;
    }
    return rc;
}

int vg_file_rename(const char* from, const char* to)
{
    if (!on_card(from) || !on_card(to))
        return vg_host.rename(from, to);
    VgCard& card = vg()->card;
    ++card.renames;
    vg_event("card rename %s %s", base_name(from), base_name(to));
    if (card.crash_before_rename)
        ::kill(::getpid(), SIGKILL);  // the battery is pulled right here
    char real_from[512], real_to[512];
    if (!vg_card_path(from, real_from, sizeof real_from) || !vg_card_path(to, real_to, sizeof real_to)) {
        errno = ENOENT;
        return -1;
    }
    return vg_host.rename(real_from, real_to);
}

int vg_file_unlink(const char* path)
{
    if (!on_card(path))
        return vg_host.unlink(path);
    vg_event("card unlink %s", base_name(path));
    char real[512];
    if (!vg_card_path(path, real, sizeof real)) {
        errno = ENOENT;
        return -1;
    }
    return vg_host.unlink(real);
}

void vg_clock_now(struct timespec* now)
{
    const uint64_t us = vg()->now_us;
    now->tv_sec = static_cast<time_t>(us / 1000000);
    now->tv_nsec = static_cast<long>((us % 1000000) * 1000);
}
