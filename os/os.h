// The one seam between the programs and the goggles' hardware.
//
// Every module reaches the transport driver, the ADC register block, the
// sysfs and SD-card files, the monotonic clock and the sleeps through these
// free functions. os_linux.cpp implements them with plain Linux calls for
// the shipped programs; the virtual goggles implement them with device
// models on a virtual clock for the tests and the simulator. Processes,
// signals, /proc and UDP sockets are not behind the seam: they stay real.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <time.h>

// Device nodes (/dev/remote_i2c, /dev/mem) and their one request each.
int os_dev_open(const char* path, int flags);
int os_dev_ioctl(int fd, unsigned long request, void* arg);
void* os_dev_mmap(int fd, size_t length, int64_t offset);
int os_dev_close(int fd);

// One 32-bit access to a mapped device register; never merged or reordered.
uint32_t os_reg_load(const volatile uint32_t* reg);
void os_reg_store(volatile uint32_t* reg, uint32_t value);

// Files: the settings file on the SD card and the PWM sysfs attributes.
int os_file_open(const char* path, int flags, mode_t mode);
ssize_t os_file_read(int fd, void* buf, size_t count);
ssize_t os_file_write(int fd, const void* buf, size_t count);
int os_file_fsync(int fd);
int os_file_close(int fd);
int os_file_rename(const char* from, const char* to);
int os_file_unlink(const char* path);

// Time: CLOCK_MONOTONIC and the program's sleeps.
int os_clock_monotonic(struct timespec* now);
int os_usleep(unsigned int usec);
unsigned int os_sleep(unsigned int seconds);

// Milliseconds of the monotonic clock in wrapping 32-bit arithmetic:
// seconds * 1000 + nanoseconds / 1000000. Durations are differences.
int32_t os_now_ms();
