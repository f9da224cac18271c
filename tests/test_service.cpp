// The stock-service pause with real processes: a stand-in named like the
// service, the watchdog child, resume, and the watchdog when the program
// dies under a subreaper; the scan of /proc also against one made up in a
// private mount namespace. Each scenario runs in a session child, so the
// module starts fresh.
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "service/service.h"
#include "support.h"

namespace {

std::vector<int> children_of(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<int> out;
    for (int child; in >> child;)
        out.push_back(child);
    return out;
}

int standin = -1;  // seen by the session children

bool stopped_soon(int pid) { return wait_until([pid] { return process_stopped(pid); }, 1000); }
bool no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

std::vector<int> watchdogs()
{
    std::vector<int> out = children_of(getpid());
    std::erase(out, standin);
    return out;
}

// fork refused as under a process limit (clone fails with EAGAIN); -1
// where no seccomp filter can be set, as under qemu-user.
int refuse_fork()
{
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog prog {static_cast<unsigned short>(std::size(code)), code};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0 ? 0 : -1;
}

constexpr int NOT_HERE = 77;  // a session child that cannot set up its surroundings

// Pause, a second pause, resume; what each step left behind. argv[1], if
// given, changes the surroundings: "replaced" kills the service between
// the pauses and starts another (this child starts both, so it can reap
// the first); "no fork" refuses the watchdog's fork; "SIGCHLD ignored"
// lets the kernel reap the watchdog, as a launcher that ignores SIGCHLD
// passes on to the programs it starts.
int pause_twice_then_resume(int argc, char** argv)
{
    const std::string how = argc > 1 ? argv[1] : "";
    alarm(10);  // a resume that waits for ever ends here
    if (how == "replaced")
        standin = start_standin();
    if (how == "no fork" && refuse_fork() != 0)
        return NOT_HERE;
    if (how == "SIGCHLD ignored")
        signal(SIGCHLD, SIG_IGN);
    const int first = service_pause();
    const bool found = service_pid() == standin;
    if (first != 0) {
        std::fprintf(stderr, "pause=%d pid=%d no child=%d\n", first, service_pid(), no_children());
        return 0;
    }
    const bool stopped = stopped_soon(standin);
    const std::vector<int> dogs = watchdogs();
    const int dog = dogs.empty() ? -1 : dogs[0];
    // The watchdog leaves the session: signals to the program's group must not reach it.
    const bool detached = dog > 0 && wait_until([dog] { return getsid(dog) == dog; }, 1000);
    std::fprintf(stderr, "pause=%d found=%d stopped=%d watchdogs=%d detached=%d\n", first, found, stopped,
                 static_cast<int>(dogs.size()), detached);
    if (how == "replaced") {
        end_standin(standin);
        standin = start_standin();
    } else {
        kill(standin, SIGCONT);
        wait_until([] { return !process_stopped(standin); }, 1000);
    }
    const int second = service_pause();
    const bool again = stopped_soon(standin);
    std::fprintf(stderr, "pause=%d stopped=%d same watchdog=%d\n", second, again, watchdogs() == dogs);
    service_resume();
    const bool stopped_after = process_stopped(standin), found_after = service_pid() == standin;
    if (how == "replaced")
        end_standin(standin);
    std::fprintf(stderr, "resumed: stopped=%d reaped=%d found=%d\n", stopped_after, no_children(), found_after);
    return 0;
}

using Service = ::testing::Test;

// Without the service, or with a process whose name only begins like it,
// nothing is stopped and no watchdog started. A service that died and was
// started again is looked up anew; one watchdog serves both. Without a
// watchdog the service is held all the same, and a watchdog the kernel
// reaps itself is not waited for.
TEST_F(Service, PauseStopsTheServiceUnderOneWatchdogAndResumeUndoesIt)
{
    const char* const held =
        "pause=0 found=1 stopped=1 watchdogs=1 detached=1\n"
        "pause=0 stopped=1 same watchdog=1\n"
        "resumed: stopped=0 reaped=1 found=1\n";
    const struct {
        const char* name;  // of the stand-in this process starts
        const char* how;
        const char* err;
    } rows[] = {
        {"fpv_grd_service", nullptr, held},
        {nullptr, "replaced", held},
        {"fpv_grd_service", "SIGCHLD ignored", held},
        {"fpv_grd_service", "no fork",
         "pause=0 found=1 stopped=1 watchdogs=0 detached=0\n"
         "pause=0 stopped=1 same watchdog=1\n"
         "resumed: stopped=0 reaped=1 found=1\n"},
        {nullptr, nullptr, "pause=-1 pid=-1 no child=1\n"},
        {"fpv_grd_servic", nullptr, "pause=-1 pid=-1 no child=1\n"},  // 14 bytes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name ? row.name : "(none)") + " " + (row.how ? row.how : ""));
        end_standin(standin);
        standin = row.name ? start_standin(row.name) : -1;
        const VgRun r = vg_run(pause_twice_then_resume, &row.how, row.how ? 1 : 0);
        if (r.status == NOT_HERE) {
            std::printf("row \"%s\" skipped: no seccomp filter here\n", row.how);
            continue;
        }
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, row.err);
        EXPECT_FALSE(process_stopped(standin));
    }
    end_standin(standin);
}

// Root's override of file permissions given up, so that a folder without
// rights is closed to this process too.
void give_up_file_override()
{
    __user_cap_header_struct head {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] {};
    syscall(SYS_capget, &head, data);
    data[0].effective &= ~(1u << CAP_DAC_OVERRIDE | 1u << CAP_DAC_READ_SEARCH);
    syscall(SYS_capset, &head, data);
}

// argv[1]: the entries of a /proc made up in a private mount namespace,
// "NAME" a folder without comm, "NAME/" one whose comm is a folder,
// "NAME=TEXT" one whose comm holds TEXT (a newline added unless empty);
// '$' stands for the stand-in's pid. "unlistable": a /proc without rights.
int pause_on_made_up_proc(int, char** argv)
{
    const std::string layout = argv[1];
    const bool unlistable = layout == "unlistable";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("made-up", "/proc", "tmpfs", 0, unlistable ? "mode=000" : "mode=755") != 0)
        return NOT_HERE;
    std::istringstream entries(unlistable ? "" : layout);
    for (std::string e; entries >> e;) {
        const std::string name = e.substr(0, e.find_first_of("/="));
        const std::string dir = "/proc/" + (name == "$" ? std::to_string(standin) : name);
        mkdir(dir.c_str(), 0755);
        if (e.back() == '/')
            mkdir((dir + "/comm").c_str(), 0755);
        else if (e.find('=') != std::string::npos) {
            const std::string text = e.substr(e.find('=') + 1);
            std::ofstream(dir + "/comm") << text << (text.empty() ? "" : "\n");
        }
    }
    if (unlistable)
        give_up_file_override();
    const int paused = service_pause();
    std::fprintf(stderr, "pause=%d found=%d\n", paused, service_pid() == standin);
    service_resume();
    return 0;
}

// Only a process entry whose comm reads as the service's name is taken;
// entries whose comm cannot be opened or read, or is empty, and entries
// that are not processes are passed over, and a /proc that cannot be
// listed finds nothing.
TEST_F(Service, ScanPassesOverWhatItCannotReadAndFindsOnlyTheServiceEntry)
{
    const struct { const char* layout; const char* err; } rows[] = {
        {"1 2/ 3= self=fpv_grd_service 4=fpv_grd_servic", "pause=-1 found=0\n"},
        {"1 2/ 3= $=fpv_grd_service", "pause=0 found=1\n"},
        {"unlistable", "pause=-1 found=0\n"},
    };
    standin = start_standin();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.layout);
        const VgRun r = vg_run(pause_on_made_up_proc, &row.layout, 1);
        if (r.status == NOT_HERE)
            GTEST_SKIP() << "no private mount namespace here";
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, row.err);
        EXPECT_FALSE(process_stopped(standin));
    }
    end_standin(standin);
}

// Killed while the service is paused, the program leaves the watchdog an
// orphan. Adopted by a subreaper rather than init, it must still notice
// that its parent is gone, resume the service and end. Until then, past
// its first looks, it holds on. The program here was started with its
// standard output closed: the watchdog's /dev/null takes descriptor 1 and
// must stay there as its standard output and error.
TEST_F(Service, WatchdogResumesTheServiceWhenTheProgramDiesUnderASubreaper)
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        GTEST_SKIP() << "PR_SET_CHILD_SUBREAPER refused here (errno " << errno << ")";
    standin = start_standin();
    const pid_t program = fork();
    if (program == 0) {
        close(1);
        service_pause();
        for (;;)
            pause();
    }
    ASSERT_TRUE(stopped_soon(standin));
    ASSERT_TRUE(wait_until([&] { return children_of(program).size() == 1; }, 1000));
    const std::string fds = "/proc/" + std::to_string(children_of(program)[0]) + "/fd/";
    usleep(1500000);
    EXPECT_TRUE(process_stopped(standin)) << "resumed while the program still ran";
    for (const char* fd : {"1", "2"}) {
        char target[64] = {};
        EXPECT_GT(readlink((fds + fd).c_str(), target, sizeof target - 1), 0) << "descriptor " << fd;
        EXPECT_STREQ(target, "/dev/null") << "descriptor " << fd;
    }
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    EXPECT_TRUE(wait_until([] { return !process_stopped(standin); }, 1500));
    EXPECT_TRUE(wait_until([] { return waitpid(-1, nullptr, WNOHANG) > 0; }, 1000)) << "the adopted watchdog ends";
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    end_standin(standin);
}

}  // namespace
