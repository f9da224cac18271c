// The seam as the virtual goggles have it: each call goes to the devices
// (devices.cpp), the register accesses to the ADC model, the sleeps to the
// virtual clock.
#include "os/os.h"
#include "vgoggles/devices.h"
#include "vgoggles/vgoggles.h"

int os_dev_open(const char* path, int flags) { return vg_dev_open(path, flags); }

int os_dev_ioctl(int fd, unsigned long request, void* arg) { return vg_i2c_ioctl(fd, request, arg); }

void* os_dev_mmap(int fd, size_t length, int64_t offset) { return vg_dev_mmap(fd, length, offset); }

int os_dev_close(int fd) { return vg_dev_close(fd); }

namespace {

// The access's offset in the ADC block, or -1 for memory outside it.
long adc_offset(const volatile uint32_t* reg)
{
    const auto* base = reinterpret_cast<const volatile uint8_t*>(vg()->adc.block);
    const auto at = reinterpret_cast<const volatile uint8_t*>(reg) - base;
    return at >= 0 && at < 4096 ? at : -1;
}

}  // namespace

uint32_t os_reg_load(const volatile uint32_t* reg)
{
    const long at = adc_offset(reg);
    return at >= 0 ? vg_adc_load(static_cast<uint32_t>(at)) : *reg;
}

void os_reg_store(volatile uint32_t* reg, uint32_t value)
{
    const long at = adc_offset(reg);
    if (at >= 0)
        vg_adc_store(static_cast<uint32_t>(at), value);
    else
        *reg = value;
}

int os_file_open(const char* path, int flags, mode_t mode) { return vg_file_open(path, flags, mode); }

ssize_t os_file_read(int fd, void* buf, size_t count) { return vg_file_read(fd, buf, count); }

ssize_t os_file_write(int fd, const void* buf, size_t count) { return vg_file_write(fd, buf, count); }

int os_file_fsync(int fd) { return vg_file_fsync(fd); }

int os_file_close(int fd) { return vg_file_close(fd); }

int os_file_rename(const char* from, const char* to) { return vg_file_rename(from, to); }

int os_file_unlink(const char* path) { return vg_file_unlink(path); }

int os_clock_monotonic(struct timespec* now)
{
    vg_clock_now(now);
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
