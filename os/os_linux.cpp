// The seam as the goggles have it: each call is the Linux call itself
// (os/linux_calls.h).
#include "os/os.h"

#include "os/linux_calls.h"

int os_dev_open(const char* path, int flags) { return os_linux_dev_open(path, flags); }

int os_dev_ioctl(int fd, unsigned long request, void* arg) { return os_linux_dev_ioctl(fd, request, arg); }

void* os_dev_mmap(int fd, size_t length, int64_t offset) { return os_linux_dev_mmap(fd, length, offset); }

int os_dev_close(int fd) { return os_linux_dev_close(fd); }

uint32_t os_reg_load(const volatile uint32_t* reg) { return os_linux_reg_load(reg); }

void os_reg_store(volatile uint32_t* reg, uint32_t value) { os_linux_reg_store(reg, value); }

int os_file_open(const char* path, int flags, mode_t mode) { return os_linux_file_open(path, flags, mode); }

ssize_t os_file_read(int fd, void* buf, size_t count) { return os_linux_file_read(fd, buf, count); }

ssize_t os_file_write(int fd, const void* buf, size_t count) { return os_linux_file_write(fd, buf, count); }

int os_file_fsync(int fd) { return os_linux_file_fsync(fd); }

int os_file_close(int fd) { return os_linux_file_close(fd); }

int os_file_rename(const char* from, const char* to) { return os_linux_file_rename(from, to); }

int os_file_unlink(const char* path) { return os_linux_file_unlink(path); }

int os_clock_monotonic(struct timespec* now) { return os_linux_clock_monotonic(now); }

int os_usleep(unsigned int usec) { return os_linux_usleep(usec); }

unsigned int os_sleep(unsigned int seconds) { return os_linux_sleep(seconds); }
