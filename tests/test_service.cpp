// The stock-service pause with real processes: a stand-in named like the
// service, the watchdog, resume, a subreaper, a /proc made up in a private
// mount namespace. Each scenario runs in a session child: the module fresh.
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "service/service.h"
#include "support.h"

namespace {

int standin = -1;             // seen by the session children
constexpr int NOT_HERE = 77;  // a session child that cannot set up its surroundings

// The children of pid but the stand-in: the watchdogs.
std::vector<int> watchdogs_of(int pid)
{
    std::vector<int> out = children_of(pid);
    std::erase(out, standin);
    return out;
}

bool stopped_soon(int pid) { return wait_until([pid] { return process_stopped(pid); }, 1000); }
bool no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

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

// Pause, pause again, resume; what each step left behind. argv[1]: "replaced"
// starts the service anew between the pauses (this child starts both, to reap
// the first); "no fork" refuses the watchdog's fork; "SIGCHLD ignored" lets
// the kernel reap it, as a launcher ignoring SIGCHLD passes on; "stale EINTR"
// resumes with errno left at EINTR, as an interrupted sleep of the main loop
// leaves it.
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
    if (first != 0) {
        std::fprintf(stderr, "pause=%d pid=%d no child=%d\n", first, service_pid(), no_children());
        return 0;
    }
    const bool found = service_pid() == standin, stopped = stopped_soon(standin);
    const std::vector<int> dogs = watchdogs_of(getpid());
    // The watchdog leaves the session: signals to the program's group must not reach it.
    const bool detached = !dogs.empty() && wait_until([&] { return getsid(dogs[0]) == dogs[0]; }, 1000);
    std::fprintf(stderr, "found=%d stopped=%d watchdogs=%zu detached=%d\n", found, stopped, dogs.size(), detached);
    kill(standin, SIGCONT);
    if (how == "replaced") {
        end_standin(standin);
        standin = start_standin();
    }
    wait_until([] { return !process_stopped(standin); }, 1000);
    const int second = service_pause();
    std::fprintf(stderr, "pause=%d stopped=%d same watchdog=%d\n", second, stopped_soon(standin), watchdogs_of(getpid()) == dogs);
    if (how == "stale EINTR")
        errno = EINTR;
    service_resume();
    const bool stopped_after = process_stopped(standin), found_after = service_pid() == standin;
    if (how == "replaced")
        end_standin(standin);
    std::fprintf(stderr, "resumed: stopped=%d reaped=%d found=%d\n", stopped_after, no_children(), found_after);
    return 0;
}

// One scenario in a session child; false when it cannot set up its surroundings.
bool scenario(VgEntry entry, const char* arg, const std::string& err)
{
    const VgRun r = vg_run(entry, &arg, arg ? 1 : 0);
    if (r.status == NOT_HERE)
        return false;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, err);
    EXPECT_FALSE(process_stopped(standin));
    return true;
}

// Without the service, or with a process only named like its beginning,
// nothing is stopped and no watchdog started. A service started anew is
// looked up anew; one watchdog serves both. Without a watchdog the service
// is held all the same; a watchdog the kernel reaps is not waited for.
TEST(Service, PauseStopsTheServiceUnderOneWatchdogAndResumeUndoesIt)
{
    const std::string then = "pause=0 stopped=1 same watchdog=1\nresumed: stopped=0 reaped=1 found=1\n";
    const std::string held = "found=1 stopped=1 watchdogs=1 detached=1\n" + then, none = "pause=-1 pid=-1 no child=1\n";
    const struct { const char* name; const char* how; std::string err; } rows[] = {
        {"fpv_grd_service", nullptr, held},  // name: of the stand-in this process starts
        {nullptr, "replaced", held},
        {"fpv_grd_service", "SIGCHLD ignored", held},
        {"fpv_grd_service", "stale EINTR", held},
        {"fpv_grd_service", "no fork", "found=1 stopped=1 watchdogs=0 detached=0\n" + then},
        {nullptr, nullptr, none},
        {"fpv_grd_servic", nullptr, none},  // 14 bytes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.name ? row.name : "(none)") + " " + (row.how ? row.how : ""));
        end_standin(standin);
        standin = row.name ? start_standin(row.name) : -1;
        if (!scenario(pause_twice_then_resume, row.how, row.err))
            std::printf("row \"%s\" skipped: no seccomp filter here\n", row.how);
    }
    end_standin(standin);
}

// The scan's buffer on stack that holds zeros, as a fresh process's does: a
// record read past what the kernel returned would have length 0.
[[gnu::noinline]] void zero_stack()
{
    volatile char below[16384];
    for (auto& c : below)
        c = 0;
}

// argv[1]: the entries of a /proc made up in a private mount namespace,
// "NAME" a folder without comm, "NAME/" one whose comm is a folder,
// "NAME=TEXT" one whose comm holds TEXT (a newline added unless empty);
// '$' stands for the stand-in's pid. A first word "unlistable" closes that
// /proc to the first pause; a second one, as root, may list it.
int pause_on_made_up_proc(int, char** argv)
{
    alarm(10);  // a scan that never ends ends here
    std::istringstream entries(argv[1]);
    const bool unlistable = std::string(argv[1]).starts_with("unlistable");
    if (unlistable)
        entries.ignore(10);
    // Only /proc is made private, not /: under chroot / is no mount point.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/proc", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("made-up", "/proc", "tmpfs", 0, "mode=755") != 0)
        return NOT_HERE;
    for (std::string e; entries >> e;) {
        const size_t eq = e.find('=');
        const std::string dir = "/proc/" + (e[0] == '$' ? std::to_string(standin) : e.substr(0, e.find_first_of("/=")));
        std::filesystem::create_directories(e.back() == '/' ? dir + "/comm" : dir);
        if (eq != std::string::npos)
            std::ofstream(dir + "/comm") << e.substr(eq + 1) << (eq + 1 < e.size() ? "\n" : "");
    }
    // Root would list it all the same. Only the effective id is dropped: taken
    // back before the exit, which a coverage build needs to write its counts.
    if (unlistable && (chmod("/proc", 0) != 0 || seteuid(65534) != 0))
        return NOT_HERE;
    close(0);  // descriptor 0 free: /proc and each comm are read through it as through any other
    zero_stack();
    const int paused = service_pause();
    std::fprintf(stderr, "pause=%d found=%d\n", paused, service_pid() == standin);
    if (unlistable) {
        if (seteuid(0) != 0)
            return NOT_HERE;
        const int again = service_pause();
        std::fprintf(stderr, "as root: pause=%d found=%d\n", again, service_pid() == standin);
    }
    service_resume();
    return 0;
}

// Only a process entry whose comm reads as the service's name is taken;
// entries whose comm cannot be opened or read or is empty, and ones not
// processes, are passed over; a /proc that cannot be listed finds nothing,
// and is looked at again by the next pause. The listing is read up to its
// end, not past it.
// A pid may begin with any digit: the goggles' service often runs in the 900s
// (900000000 is above any pid, so pausing it stops nothing).
TEST(Service, ScanPassesOverWhatItCannotReadAndFindsOnlyTheServiceEntry)
{
    // More processes than one 4 KB read of /proc lists, the service's entry
    // first or last (numbers above any pid, so none is the stand-in's).
    std::string crowd;
    // Appended piece by piece: GCC 12 at -O3 takes `" " + std::string` for
    // an overlapping copy (-Wrestrict) and stops the release build.
    for (int pid = 5000000; pid < 5000400; ++pid)
        crowd.append(" ").append(std::to_string(pid)).append("=sh");
    const std::string first = "$=fpv_grd_service" + crowd, last = crowd + " $=fpv_grd_service";
    const struct { const char* layout; const char* err; } rows[] = {
        {"1 2/ 3= self=fpv_grd_service 4=fpv_grd_servic", "pause=-1 found=0\n"},
        {"1 2/ 3= $=fpv_grd_service", "pause=0 found=1\n"},
        {"900000000=fpv_grd_service", "pause=0 found=0\n"},
        {"$=fpv_grd_service_whose_comm_is_longer_than_the_buffer", "pause=0 found=1\n"},  // read in part, not past it
        {first.c_str(), "pause=0 found=1\n"},
        {last.c_str(), "pause=0 found=1\n"},
        {"unlistable $=fpv_grd_service", "pause=-1 found=0\nas root: pause=0 found=1\n"},
    };
    standin = start_standin();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.layout);
        if (!scenario(pause_on_made_up_proc, row.layout, row.err))
            GTEST_SKIP() << "no private mount namespace here";
    }
    end_standin(standin);
}

// Killed while the service is paused, the program leaves the watchdog an
// orphan. Adopted by a subreaper rather than init, it must still notice
// that its parent is gone, resume the service and end; until then, past
// its first looks, it holds on.
TEST(Service, WatchdogResumesTheServiceWhenTheProgramDiesUnderASubreaper)
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        GTEST_SKIP() << "PR_SET_CHILD_SUBREAPER refused here (errno " << errno << ")";
    standin = start_standin();
    const pid_t program = fork();
    if (program == 0) {
        service_pause();
        for (;;)
            pause();
    }
    ASSERT_TRUE(stopped_soon(standin));
    ASSERT_TRUE(wait_until([&] { return watchdogs_of(program).size() == 1; }, 1000));
    const std::string watchdog = "/proc/" + std::to_string(watchdogs_of(program)[0]);
    usleep(1500000);
    EXPECT_TRUE(process_stopped(standin)) << "resumed while the program still ran";
    // It waits by sleeping: on the goggles a watchdog that polls without
    // pause would take a core from the video for as long as the menu runs.
    std::ifstream stat(watchdog + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string skip;
    long user = 0, sys = 0;
    for (int i = 0; i < 11; ++i)  // state .. cmajflt
        fields >> skip;
    fields >> user >> sys;
    EXPECT_LT((user + sys) * 1000 / sysconf(_SC_CLK_TCK), 100) << "ms of CPU in 1.5 s";
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    EXPECT_TRUE(wait_until([] { return !process_stopped(standin); }, 1500));
    EXPECT_TRUE(wait_until([] { return waitpid(-1, nullptr, WNOHANG) > 0; }, 1000)) << "the adopted watchdog ends";
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    end_standin(standin);
}

// Descriptors 0 to 3 of the watchdog: 'n' /dev/null, 'p' the program's
// pipe, '-' none.
std::string watchdog_descriptors(int watchdog)
{
    std::string out;
    for (int fd = 0; fd < 4; ++fd) {
        std::error_code gone;
        const auto to = std::filesystem::read_symlink("/proc/" + std::to_string(watchdog) + "/fd/" + std::to_string(fd), gone);
        out += gone ? '-' : to == "/dev/null" ? 'n' : 'p';
    }
    return out;
}

// Whichever standard descriptor the program started without, the watchdog
// writes only to /dev/null, never holds the program's output open (a log
// reader would wait for its end as long as the watchdog lives) and keeps
// no descriptor of /dev/null beyond 2.
TEST(Service, WatchdogPutsDevNullOnItsOutputsWhateverTheProgramStartedWithout)
{
    const struct { int closed; const char* fds; } rows[] = {
        {-1, "pnn-"},  // /dev/null opens as 3, is copied to 1 and 2 and closed
        {0, "nnn-"},
        {1, "pnn-"},
        {2, "pnn-"},
    };
    standin = start_standin();
    for (const auto& row : rows) {
        SCOPED_TRACE("descriptor closed: " + std::to_string(row.closed));
        int go[2];
        ASSERT_EQ(pipe(go), 0);
        const pid_t program = fork();
        if (program == 0) {
            // 0, 1 and 2 the pipe, nothing open from 3 to 9 (the pipe's
            // read end kept at 10, to wait on).
            dup2(go[0], 10);
            for (int fd = 0; fd < 3; ++fd)
                dup2(go[1], fd);
            for (int fd = 3; fd < 10; ++fd)
                close(fd);
            if (row.closed >= 0)
                close(row.closed);
            service_pause();
            char c;
            while (read(10, &c, 1) < 0 && errno == EINTR) {
            }
            service_resume();
            _exit(0);
        }
        close(go[0]);
        std::vector<int> dogs;
        EXPECT_TRUE(wait_until([&] { return (dogs = watchdogs_of(program)).size() == 1; }, 1000));
        std::string fds = "no watchdog";
        if (dogs.size() == 1)
            wait_until([&] { return (fds = watchdog_descriptors(dogs[0])) == row.fds; }, 1000);
        EXPECT_EQ(fds, row.fds);
        // A byte, not the pipe's end: the program and its watchdog hold the writing end too.
        EXPECT_EQ(write(go[1], "x", 1), 1);
        close(go[1]);
        waitpid(program, nullptr, 0);
    }
    end_standin(standin);
}

}  // namespace
