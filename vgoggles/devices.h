// The goggles' devices behind the program's calls, one implementation for
// both ways a program meets them: the seam's functions in the builds linked
// with the virtual goggles (os_virtual.cpp), and the C library's calls in an
// unmodified program that has the goggles preloaded (preload.cpp).
//
// Device nodes and sysfs files get real descriptor numbers (of /dev/null),
// so a program's close() stays real and no number can clash; card files
// are real files under the card's host folder. What the devices do behind
// those numbers is modelled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <time.h>

// The host's calls the devices make (placeholder descriptors, card files):
// the C library's. A preloaded library that replaces those points these
// past itself before any device is used.
struct VgHostCalls {
    int (*open)(const char*, int, ...);
    int (*close)(int);
    ssize_t (*read)(int, void*, size_t);
    ssize_t (*write)(int, const void*, size_t);
    int (*fsync)(int);
    int (*rename)(const char*, const char*);
    int (*unlink)(const char*);
};
extern VgHostCalls vg_host;

// What a path or a descriptor is to the goggles.
bool vg_is_device_path(const char* path);  // /dev/remote_i2c, /dev/mem
bool vg_is_file_path(const char* path);    // the PWM class and the SD card
bool vg_is_device_fd(int fd);              // a device node
bool vg_is_modelled_fd(int fd);            // a device node, PWM attribute or card file

// The device nodes. An unknown path fails with ENOENT.
int vg_dev_open(const char* path, int flags);
void* vg_dev_mmap(int fd, size_t length, int64_t offset);  // null on failure
int vg_dev_close(int fd);

// Files: PWM attributes and the card are modelled, any other path is the
// host's own.
int vg_file_open(const char* path, int flags, mode_t mode);
ssize_t vg_file_read(int fd, void* buf, size_t count);
ssize_t vg_file_write(int fd, const void* buf, size_t count);
int vg_file_fsync(int fd);
int vg_file_close(int fd);
int vg_file_rename(const char* from, const char* to);
int vg_file_unlink(const char* path);

// The virtual clock, as CLOCK_MONOTONIC reads it.
void vg_clock_now(struct timespec* now);
