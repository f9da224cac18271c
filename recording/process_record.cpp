// The program's process calls and diagnostics, which stay real calls
// outside the seam. The recording programs are linked with
// --wrap=kill,fork,waitpid,write,open: each call reaches the wrapper below,
// which makes the real call and records it.
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "recording/recorder.h"

extern "C" {
int __real_kill(pid_t pid, int sig);
pid_t __real_fork();
pid_t __real_waitpid(pid_t pid, int* status, int options);
ssize_t __real_write(int fd, const void* buf, size_t count);
int __real_open(const char* path, int flags, ...);
int __wrap_kill(pid_t pid, int sig);
pid_t __wrap_fork();
pid_t __wrap_waitpid(pid_t pid, int* status, int options);
ssize_t __wrap_write(int fd, const void* buf, size_t count);
int __wrap_open(const char* path, int flags, ...);
}

int __wrap_kill(pid_t pid, int sig)
{
    const int rc = __real_kill(pid, sig);
    if (RecEntry* e = rec_begin(REC_KILL, rc)) {
        e->pid = pid;
        e->sig = sig;
        rec_commit();
    }
    return rc;
}

// The watchdog child records nothing: the recording is the program's.
pid_t __wrap_fork()
{
    const pid_t child = __real_fork();
    if (child == 0)
        rec_forget();
    else if (rec_begin(REC_FORK, child) != nullptr)
        rec_commit();
    return child;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options)
{
    const pid_t got = __real_waitpid(pid, status, options);
    if (RecEntry* e = rec_begin(REC_WAITPID, got)) {
        e->pid = pid;
        e->options = options;
        e->has_status = status != nullptr;
        e->status = status != nullptr ? *status : 0;
        rec_commit();
    }
    return got;
}

ssize_t __wrap_write(int fd, const void* buf, size_t count)
{
    const ssize_t rc = __real_write(fd, buf, count);
    if (fd == 2) {
        if (RecEntry* e = rec_begin(REC_STDERR, rc)) {
            rec_set_data(e, buf, count);
            rec_commit();
        }
    }
    return rc;
}

// Only the stock service's /proc scan is noted: the pid it finds is the
// next entry. Every other open is the seam's or the scan's own.
int __wrap_open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    const int fd = __real_open(path, flags, mode);
    if (std::strcmp(path, "/proc") == 0)
        rec_service_scan(fd);
    return fd;
}
