// The stand-in stock service: started and stopped by the simulator, seen by
// the program as the goggles' own fpv_grd_service.
#include "sim/standin.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/session_state.h"
#include "vgoggles/vgoggles.h"

namespace {

int port_fd = -1;  // the stand-in's socket; the simulator keeps a copy to see its queue

// Like the goggles' service: a BACK held 2 s or more (down, then up) moves
// the input one step toward AV. Each datagram is handled before it leaves
// the queue, so an empty queue means every press sent so far has acted.
[[noreturn]] void standin_main(int parent, int named)
{
    prctl(PR_SET_NAME, "fpv_grd_service", 0, 0, 0);
    (void)!write(named, "n", 1);
    close(named);
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (getppid() != parent)
        _exit(0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        dup2(null_fd, fd);
    if (port_fd < 0) {
        for (;;)
            pause();
    }
    bool down = false;
    uint64_t down_us = 0;
    for (;;) {
        uint8_t pkt[64];
        const ssize_t n = recv(port_fd, pkt, sizeof pkt, MSG_PEEK);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            _exit(1);
        }
        ++shared->packets;
        if (n == 10 && pkt[0] == 0x40 && pkt[1] == 7) {
            const uint64_t now = vg()->now_us;  // the goggles' time
            if (pkt[2] == 1) {
                down = true;
                down_us = now;
            } else if (pkt[2] == 0 && down) {
                down = false;
                if (now - down_us >= 2000000) {
                    ++shared->long_backs;
                    vg_lt8668_step_toward_av();
                }
            }
        }
        (void)!recv(port_fd, pkt, sizeof pkt, 0);
    }
}

// 'R', 'S', 'T' ... from /proc/PID/stat, or 0 when the process is gone.
char process_state(int pid)
{
    if (pid <= 0)
        return 0;
    char path[64], buf[256];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    return p != nullptr && p[1] == ' ' ? p[2] : 0;
}

}  // namespace

void start_standin()
{
    port_fd = vg_key_port_socket(0);
    const int parent = getpid();
    // The program looks for the service by name as it starts: the child must
    // carry the name before the simulator goes on, however late it is run.
    int named[2] = {-1, -1};
    if (pipe(named) != 0) {
        shared->standin_pid = -1;
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(named[0]);
        standin_main(parent, named[1]);
    }
    close(named[1]);
    char byte;
    while (pid > 0 && read(named[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(named[0]);
    shared->standin_pid = pid > 0 ? pid : -1;
}

void stop_standin()
{
    if (shared->standin_pid > 0) {
        kill(shared->standin_pid, SIGKILL);
        waitpid(shared->standin_pid, nullptr, 0);
        shared->standin_pid = -1;
    }
    if (port_fd >= 0)
        close(port_fd);
    port_fd = -1;
}

// Waits (briefly) until the stand-in has handled every key packet sent so
// far, so that a press acts before the goggles' time moves on.
void standin_sync()
{
    if (port_fd < 0)
        return;
    for (int i = 0; i < 500; ++i) {
        int pending = 0;
        if (ioctl(port_fd, FIONREAD, &pending) != 0 || pending == 0)
            return;
        usleep(1000);
    }
}

bool standin_has_port() { return port_fd >= 0; }

std::string service_text()
{
    const int pid = shared->standin_pid;
    const char st = process_state(pid);
    char buf[96];
    const char* what = st == 0 ? "gone" : st == 'T' || st == 't' ? "STOPPED (SIGSTOP)" : st == 'Z' ? "ended" : "running";
    std::snprintf(buf, sizeof buf, "pid %d: %s", pid, what);
    return buf;
}
