// The program's process calls as the builds on the virtual goggles link
// them (--wrap=kill,fork,waitpid,write): the wrappers that the program's
// calls reach, and the C library's calls behind them. wrap.cpp notes them
// on the timeline; the replay (replay.cpp) holds them against a recording.
#pragma once

#include <sys/types.h>

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
