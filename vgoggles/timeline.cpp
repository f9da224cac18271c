// The timeline, and the program's process calls as the goggles see them.
//
// Signals, forks, reaps and standard-error lines stay real Linux calls in
// the programs. The builds on the virtual goggles wrap them at link time
// (wrap.cpp); a program started with the goggles preloaded has them
// answered by the preloaded library. Either way the notes below see each
// call first and keep those of the program's own process.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include "vgoggles/vgoggles.h"

void vg_event(const char* fmt, ...)
{
    VgWorld* w = vg();
    VgTimeline& t = w->timeline;
    if (t.quiet)
        return;
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

void vg_note_kill(int pid, int sig)
{
    if (const VgWorld* w = program_world()) {
        char who[24], num[12];
        name_of(w, pid, who, sizeof who);
        vg_event("kill %s %s", who, signal_name(sig, num, sizeof num));
    }
}

void vg_note_fork(int child)
{
    if (VgWorld* w = program_world(); w != nullptr && child > 0) {
        w->timeline.forked_pid = child;
        vg_event("fork");
    }
}

void vg_note_reap(int pid)
{
    if (const VgWorld* w = program_world(); w != nullptr && pid > 0) {
        char who[24];
        name_of(w, pid, who, sizeof who);
        vg_event("reap %s", who);
    }
}

// Diagnostics are whole lines, one write each; each line is one event.
void vg_note_stderr(const void* buf, size_t count)
{
    if (program_world() == nullptr)
        return;
    const char* p = static_cast<const char*>(buf);
    const char* end = p + count;
    while (p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl != nullptr ? nl : end;
        vg_event("err %.*s", static_cast<int>(stop - p), p);
        p = stop + (nl != nullptr ? 1 : 0);
    }
}
