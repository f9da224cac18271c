// The seam as the recording programs have it: the shipped program's Linux
// call (os/linux_calls.h), then its entry in the recording: the fields
// of its kind's row in recording/format.h.
#include "os/os.h"
#include "os/linux_calls.h"
#include "recording/recorder.h"

int os_dev_open(const char* path, int flags)
{
    const int fd = os_linux_dev_open(path, flags);
    if (RecEntry* e = rec_begin(REC_DEV_OPEN, fd)) {
        rec_set_path(e->path, path);
        e->flags = static_cast<uint32_t>(flags);
        rec_commit();
    }
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

namespace {

// The calls on a descriptor that answer with a result only.
long on_fd(RecKind kind, int fd, long rc)
{
    if (RecEntry* e = rec_begin(kind, rc)) {
        e->fd = fd;
        rec_commit();
    }
    return rc;
}

}  // namespace

int os_dev_close(int fd) { return static_cast<int>(on_fd(REC_DEV_CLOSE, fd, os_linux_dev_close(fd))); }

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
    if (RecEntry* e = rec_begin(REC_FILE_OPEN, fd)) {
        rec_set_path(e->path, path);
        e->flags = static_cast<uint32_t>(flags);
        e->mode = mode;
        rec_commit();
    }
    return fd;
}

ssize_t os_file_read(int fd, void* buf, size_t count)
{
    const ssize_t rc = os_linux_file_read(fd, buf, count);
    if (RecEntry* e = rec_begin(REC_FILE_READ, rc)) {
        e->fd = fd;
        e->count = count;
        rec_set_data(e, buf, rc > 0 ? static_cast<size_t>(rc) : 0);
        rec_commit();
    }
    return rc;
}

ssize_t os_file_write(int fd, const void* buf, size_t count)
{
    const ssize_t rc = os_linux_file_write(fd, buf, count);
    if (RecEntry* e = rec_begin(REC_FILE_WRITE, rc)) {
        e->fd = fd;
        e->count = count;
        rec_set_data(e, buf, count);
        rec_commit();
    }
    return rc;
}

int os_file_fsync(int fd) { return static_cast<int>(on_fd(REC_FILE_FSYNC, fd, os_linux_file_fsync(fd))); }

int os_file_close(int fd) { return static_cast<int>(on_fd(REC_FILE_CLOSE, fd, os_linux_file_close(fd))); }

int os_file_rename(const char* from, const char* to)
{
    const int rc = os_linux_file_rename(from, to);
    if (RecEntry* e = rec_begin(REC_FILE_RENAME, rc)) {
        rec_set_path(e->path, from);
        rec_set_path(e->path2, to);
        rec_commit();
    }
    return rc;
}

int os_file_unlink(const char* path)
{
    const int rc = os_linux_file_unlink(path);
    if (RecEntry* e = rec_begin(REC_FILE_UNLINK, rc)) {
        rec_set_path(e->path, path);
        rec_commit();
    }
    return rc;
}

int os_clock_monotonic(struct timespec* now)
{
    const int rc = os_linux_clock_monotonic(now);
    if (RecEntry* e = rec_begin(REC_CLOCK, rc)) {
        e->sec = now->tv_sec;
        e->nsec = now->tv_nsec;
        rec_commit();
    }
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
