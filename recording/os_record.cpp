// The seam as the recording programs have it: the shipped program's Linux
// call (os_linux.cpp, renamed), then its entry in the recording.
#include "os/os.h"
#include "recording/linux_seam.h"
#include "recording/recorder.h"

int os_dev_open(const char* path, int flags)
{
    const int fd = os_linux_dev_open(path, flags);
    rec_dev_open(path, flags, fd);
    return fd;
}

int os_dev_ioctl(int fd, unsigned long request, void* arg)
{
    RecIoctl snap;
    rec_ioctl_before(&snap, request, arg);
    const int rc = os_linux_dev_ioctl(fd, request, arg);
    rec_ioctl_after(&snap, fd, rc);
    return rc;
}

void* os_dev_mmap(int fd, size_t length, int64_t offset)
{
    void* p = os_linux_dev_mmap(fd, length, offset);
    rec_dev_mmap(fd, length, offset, p);
    return p;
}

int os_dev_close(int fd)
{
    const int rc = os_linux_dev_close(fd);
    rec_fd_result(REC_DEV_CLOSE, fd, rc);
    return rc;
}

uint32_t os_reg_load(const volatile uint32_t* reg)
{
    const uint32_t v = os_linux_reg_load(reg);
    rec_reg_load(reg, v);
    return v;
}

void os_reg_store(volatile uint32_t* reg, uint32_t value)
{
    os_linux_reg_store(reg, value);
    rec_reg_store(reg, value);
}

int os_file_open(const char* path, int flags, mode_t mode)
{
    const int fd = os_linux_file_open(path, flags, mode);
    rec_file_open(path, flags, mode, fd);
    return fd;
}

ssize_t os_file_read(int fd, void* buf, size_t count)
{
    const ssize_t rc = os_linux_file_read(fd, buf, count);
    rec_file_read(fd, buf, count, rc);
    return rc;
}

ssize_t os_file_write(int fd, const void* buf, size_t count)
{
    const ssize_t rc = os_linux_file_write(fd, buf, count);
    rec_file_write(fd, buf, count, rc);
    return rc;
}

int os_file_fsync(int fd)
{
    const int rc = os_linux_file_fsync(fd);
    rec_fd_result(REC_FILE_FSYNC, fd, rc);
    return rc;
}

int os_file_close(int fd)
{
    const int rc = os_linux_file_close(fd);
    rec_fd_result(REC_FILE_CLOSE, fd, rc);
    return rc;
}

int os_file_rename(const char* from, const char* to)
{
    const int rc = os_linux_file_rename(from, to);
    rec_file_rename(from, to, rc);
    return rc;
}

int os_file_unlink(const char* path)
{
    const int rc = os_linux_file_unlink(path);
    rec_file_unlink(path, rc);
    return rc;
}

int os_clock_monotonic(struct timespec* now)
{
    const int rc = os_linux_clock_monotonic(now);
    rec_clock(now, rc);
    return rc;
}

int os_usleep(unsigned int usec)
{
    const int rc = os_linux_usleep(usec);
    rec_usleep(usec, rc);
    return rc;
}

unsigned int os_sleep(unsigned int seconds)
{
    const unsigned left = os_linux_sleep(seconds);
    rec_sleep(seconds, left);
    return left;
}
