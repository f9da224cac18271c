// The seam as the goggles have it: each call is the Linux call itself.
#include "os/os.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

int os_dev_open(const char* path, int flags) { return ::open(path, flags); }

int os_dev_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

void* os_dev_mmap(int fd, size_t length, int64_t offset)
{
    void* p = ::mmap64(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off64_t>(offset));
    return p == MAP_FAILED ? nullptr : p;
}

int os_dev_close(int fd) { return ::close(fd); }

uint32_t os_reg_load(const volatile uint32_t* reg) { return *reg; }

void os_reg_store(volatile uint32_t* reg, uint32_t value) { *reg = value; }

int os_file_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

ssize_t os_file_read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }

ssize_t os_file_write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }

int os_file_fsync(int fd) { return ::fsync(fd); }

int os_file_close(int fd) { return ::close(fd); }

int os_file_rename(const char* from, const char* to) { return ::rename(from, to); }

int os_file_unlink(const char* path) { return ::unlink(path); }

int os_clock_monotonic(struct timespec* now) { return ::clock_gettime(CLOCK_MONOTONIC, now); }

int os_usleep(unsigned int usec) { return ::usleep(usec); }

unsigned int os_sleep(unsigned int seconds) { return ::sleep(seconds); }
