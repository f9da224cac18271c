#include "service/service.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int service_pid_known = -1;
int watchdog_pid = -1;

// The kernel's directory record; /proc is listed with getdents64 into a
// stack buffer so that no directory stream is allocated.
struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

bool comm_is_service(const char* entry)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%s/comm", entry);
    const int fd = ::open(path, O_RDONLY);
    if (fd < 0)
        return false;
    char comm[32];
    const ssize_t n = ::read(fd, comm, sizeof comm - 1);
    ::close(fd);
    if (n < 1)
        return false;
    comm[n] = '\0';
    return std::strncmp(comm, SERVICE_NAME, SERVICE_NAME_MATCH) == 0;
}

// Returns the pid of the first process named like the service, -1 if none,
// -2 if /proc cannot be listed.
int scan_proc()
{
    const int dir = ::open("/proc", O_RDONLY | O_DIRECTORY);
    if (dir < 0)
        return -2;
    alignas(LinuxDirent64) char buf[4096];
    int found = -1;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, dir, buf, sizeof buf);
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            const auto* d = reinterpret_cast<const LinuxDirent64*>(buf + off);
            off += d->d_reclen;
            if (d->d_name[0] < '0' || d->d_name[0] > '9')
                continue;
            if (comm_is_service(d->d_name)) {
                found = std::atoi(d->d_name);
                break;  // the first one
            }
        }
        if (found >= 0)
            break;
    }
    ::close(dir);
    return found;
}

}  // namespace

int service_pause()
{
    if (!(service_pid_known >= 0 && ::kill(service_pid_known, 0) == 0)) {
        service_pid_known = -1;
        const int pid = scan_proc();
        if (pid == -2)
            return -1;
        service_pid_known = pid;
    }
    if (service_pid_known < 0)
        return -1;

    ::kill(service_pid_known, SIGSTOP);
    if (watchdog_pid > 0)
        return 0;  // one watchdog is enough

    const int parent = static_cast<int>(::getpid());
    const pid_t child = ::fork();
    if (child < 0)
        return 0;  // stopped, but without a watchdog
    if (child == 0)
        service_watchdog(parent, service_pid_known);
    watchdog_pid = static_cast<int>(child);
    return 0;
}

void service_watchdog(int parent_pid, int service)
{
    ::setsid();  // out of our process group: group signals must not reach it
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        ::dup2(null_fd, 1);
        ::dup2(null_fd, 2);
        if (null_fd > 2)
            ::close(null_fd);
    }
    // The orphan is adopted by init or by a subreaper: either way its parent
    // id stops being the pid that forked it.
    for (;;) {
        ::sleep(1);
        if (static_cast<int>(::getppid()) != parent_pid)
            break;
    }
    if (service >= 1)
        ::kill(service, SIGCONT);
    ::_exit(0);
}

void service_resume()
{
    if (watchdog_pid >= 1) {
        ::kill(watchdog_pid, SIGKILL);
        while (::waitpid(watchdog_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        watchdog_pid = -1;
    }
    if (service_pid_known >= 1)
        ::kill(service_pid_known, SIGCONT);
}

int service_pid() { return service_pid_known; }
