// The timeline, and the program's process calls as the goggles see them.
//
// Signals, forks, reaps and standard-error lines stay real Linux calls in
// the programs. The builds on the virtual goggles are linked with
// --wrap=kill,fork,waitpid,write, so every such call reaches the wrapper
// below first; the wrapper notes it when it comes from the program's own
// process and then makes the real call.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "vgoggles/vgoggles.h"

extern "C" {
int __real_kill(pid_t pid, int sig);
pid_t __real_fork();
pid_t __real_waitpid(pid_t pid, int* status, int options);
ssize_t __real_write(int fd, const void* buf, size_t count);
int __wrap_kill(pid_t pid, int sig);
pid_t __wrap_fork();
pid_t __wrap_waitpid(pid_t pid, int* status, int options);
ssize_t __wrap_write(int fd, const void* buf, size_t count);
}

void vg_event(const char* fmt, ...)
{
    VgWorld* w = vg();
    VgTimeline& t = w->timeline;
    VgEvent& e = t.events[t.total % VG_TIMELINE_SIZE];
    e.t_us = w->now_us;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(e.text, sizeof e.text, fmt, ap);
    va_end(ap);
    ++t.total;
}

const VgEvent* vg_timeline_event(uint64_t index)
{
    const VgTimeline& t = vg()->timeline;
    if (index >= t.total || t.total - index > VG_TIMELINE_SIZE)
        return nullptr;
    return &t.events[index % VG_TIMELINE_SIZE];
}

namespace {

// The world when this process is the program that vg_run started, else null.
VgWorld* program_world()
{
    VgWorld* w = vg_if_mapped();
    return w != nullptr && w->timeline.program_pid == static_cast<int>(getpid()) ? w : nullptr;
}

// The signal's target by name: the program's watchdog, a process named like
// the stock service, or else its pid.
void name_of(const VgWorld* w, pid_t pid, char* out, size_t size)
{
    if (pid > 0 && pid == w->timeline.forked_pid) {
        std::snprintf(out, size, "watchdog");
        return;
    }
    char path[48], comm[32] = "";
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    const int fd = pid > 0 ? ::open(path, O_RDONLY | O_CLOEXEC) : -1;
    if (fd >= 0) {
        const ssize_t n = ::read(fd, comm, sizeof comm - 1);
        ::close(fd);
        comm[n > 0 ? n : 0] = '\0';
        comm[std::strcspn(comm, "\n")] = '\0';
    }
    if (std::strcmp(comm, "fpv_grd_service") == 0)
        std::snprintf(out, size, "fpv_grd_service");
    else
        std::snprintf(out, size, "%d", static_cast<int>(pid));
}

const char* signal_name(int sig, char* buf, size_t size)
{
    switch (sig) {
    case 9: return "KILL";
    case 18: return "CONT";
    case 19: return "STOP";
    default: std::snprintf(buf, size, "%d", sig); return buf;
    }
}

}  // namespace

int __wrap_kill(pid_t pid, int sig)
{
    if (const VgWorld* w = program_world()) {
        char who[24], num[12];
        name_of(w, pid, who, sizeof who);
        vg_event("kill %s %s", who, signal_name(sig, num, sizeof num));
    }
    return __real_kill(pid, sig);
}

pid_t __wrap_fork()
{
    VgWorld* w = program_world();
    const pid_t child = __real_fork();
    if (w != nullptr && child > 0) {
        w->timeline.forked_pid = static_cast<int>(child);
        vg_event("fork");
    }
    return child;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options)
{
    const pid_t got = __real_waitpid(pid, status, options);
    if (const VgWorld* w = program_world(); w != nullptr && got > 0) {
        char who[24];
        name_of(w, got, who, sizeof who);
        vg_event("reap %s", who);
    }
    return got;
}

// Diagnostics are whole lines, one write each; each line is one event.
ssize_t __wrap_write(int fd, const void* buf, size_t count)
{
    if (fd == 2 && program_world() != nullptr) {
        const char* p = static_cast<const char*>(buf);
        const char* end = p + count;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            const char* stop = nl != nullptr ? nl : end;
            vg_event("err %.*s", static_cast<int>(stop - p), p);
            p = stop + (nl != nullptr ? 1 : 0);
        }
    }
    return __real_write(fd, buf, count);
}
