// The program's process calls in the builds on the virtual goggles: linked
// with --wrap=kill,fork,waitpid,write, every such call reaches the wrapper
// below first, is noted on the timeline (timeline.cpp) and then made.
#include "vgoggles/vgoggles.h"
#include "vgoggles/wrapped.h"

int __wrap_kill(pid_t pid, int sig)
{
    vg_note_kill(pid, sig);
    return __real_kill(pid, sig);
}

pid_t __wrap_fork()
{
    const pid_t child = __real_fork();
    vg_note_fork(child);
    return child;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options)
{
    const pid_t got = __real_waitpid(pid, status, options);
    vg_note_reap(got);
    return got;
}

ssize_t __wrap_write(int fd, const void* buf, size_t count)
{
    if (fd == 2)
        vg_note_stderr(buf, count);
    return __real_write(fd, buf, count);
}
