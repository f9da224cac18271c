// The goggles' side of the seam: each call of os/os.h as the Linux call
// itself. os_linux.cpp is the shipped programs' seam over these; the
// recording programs' seam (recording/os_record.cpp) makes the very same
// calls and then records them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

inline int os_linux_dev_open(const char* path, int flags) { return ::open(path, flags); }

inline int os_linux_dev_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }

inline void* os_linux_dev_mmap(int fd, size_t length, int64_t offset)
{
    void* p = ::mmap64(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, static_cast<off64_t>(offset));
    return p == MAP_FAILED ? nullptr : p;
}

inline int os_linux_dev_close(int fd) { return ::close(fd); }

inline uint32_t os_linux_reg_load(const volatile uint32_t* reg) { return *reg; }

inline void os_linux_reg_store(volatile uint32_t* reg, uint32_t value) { *reg = value; }

inline int os_linux_file_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

inline ssize_t os_linux_file_read(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }

inline ssize_t os_linux_file_write(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }

inline int os_linux_file_fsync(int fd) { return ::fsync(fd); }

inline int os_linux_file_close(int fd) { return ::close(fd); }

inline int os_linux_file_rename(const char* from, const char* to) { return ::rename(from, to); }

inline int os_linux_file_unlink(const char* path) { return ::unlink(path); }

inline int os_linux_clock_monotonic(struct timespec* now) { return ::clock_gettime(CLOCK_MONOTONIC, now); }

inline int os_linux_usleep(unsigned int usec) { return ::usleep(usec); }

inline unsigned int os_linux_sleep(unsigned int seconds) { return ::sleep(seconds); }
