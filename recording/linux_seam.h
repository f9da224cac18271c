// The goggles' side of the seam under other names: os/os_linux.cpp compiled
// a second time with each os_ function renamed os_linux_ (the list is in
// CMakeLists.txt), so that the recording side makes exactly the shipped
// program's Linux calls and then records them. A declaration here that
// differs from os/os.h fails the link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <time.h>

int os_linux_dev_open(const char* path, int flags);
int os_linux_dev_ioctl(int fd, unsigned long request, void* arg);
void* os_linux_dev_mmap(int fd, size_t length, int64_t offset);
int os_linux_dev_close(int fd);
uint32_t os_linux_reg_load(const volatile uint32_t* reg);
void os_linux_reg_store(volatile uint32_t* reg, uint32_t value);
int os_linux_file_open(const char* path, int flags, mode_t mode);
ssize_t os_linux_file_read(int fd, void* buf, size_t count);
ssize_t os_linux_file_write(int fd, const void* buf, size_t count);
int os_linux_file_fsync(int fd);
int os_linux_file_close(int fd);
int os_linux_file_rename(const char* from, const char* to);
int os_linux_file_unlink(const char* path);
int os_linux_clock_monotonic(struct timespec* now);
int os_linux_usleep(unsigned int usec);
unsigned int os_linux_sleep(unsigned int seconds);
