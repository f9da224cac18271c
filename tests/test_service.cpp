// The stock-service pause with real processes: a stand-in named like the
// service, the watchdog child, resume, and the watchdog when the program
// dies under a subreaper. Each scenario runs in a session child, so the
// module starts fresh.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>

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

// Pause, a second pause, resume; what each step left behind.
int pause_twice_then_resume(int, char**)
{
    const int first = service_pause();
    const bool found = service_pid() == standin;
    if (first != 0) {
        std::fprintf(stderr, "pause=%d pid=%d no child=%d\n", first, service_pid(), no_children());
        return 0;
    }
    const bool stopped = stopped_soon(standin);
    const std::vector<int> dogs = children_of(getpid());
    const int dog = dogs.empty() ? -1 : dogs[0];
    // The watchdog leaves the session: signals to the program's group must not reach it.
    const bool detached = wait_until([dog] { return dog > 0 && getsid(dog) == dog; }, 1000);
    std::fprintf(stderr, "pause=%d found=%d stopped=%d watchdogs=%d detached=%d\n", first, found, stopped,
                 static_cast<int>(dogs.size()), detached);
    kill(standin, SIGCONT);
    wait_until([] { return !process_stopped(standin); }, 1000);
    const int second = service_pause();
    const bool again = stopped_soon(standin);
    std::fprintf(stderr, "pause=%d stopped=%d same watchdog=%d\n", second, again, children_of(getpid()) == dogs);
    service_resume();
    std::fprintf(stderr, "resumed: stopped=%d reaped=%d found=%d\n", process_stopped(standin), no_children(),
                 service_pid() == standin);
    return 0;
}

using Service = ::testing::Test;

// Without the service, or with a process whose name only begins like it,
// nothing is stopped and no watchdog started.
TEST_F(Service, PauseStopsTheServiceUnderOneWatchdogAndResumeUndoesIt)
{
    const struct {
        const char* name;
        const char* err;
    } rows[] = {
        {"fpv_grd_service",
         "pause=0 found=1 stopped=1 watchdogs=1 detached=1\n"
         "pause=0 stopped=1 same watchdog=1\n"
         "resumed: stopped=0 reaped=1 found=1\n"},
        {nullptr, "pause=-1 pid=-1 no child=1\n"},
        {"fpv_grd_servic", "pause=-1 pid=-1 no child=1\n"},  // 14 bytes
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name ? row.name : "(none)");
        end_standin(standin);
        standin = row.name ? start_standin(row.name) : -1;
        const VgRun r = vg_run(pause_twice_then_resume, nullptr, 0);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, row.err);
        EXPECT_FALSE(process_stopped(standin));
    }
    end_standin(standin);
}

// Killed while the service is paused, the program leaves the watchdog an
// orphan. Adopted by a subreaper rather than init, it must still notice
// that its parent is gone, resume the service and end.
TEST_F(Service, WatchdogResumesTheServiceWhenTheProgramDiesUnderASubreaper)
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
    ASSERT_TRUE(wait_until([&] { return children_of(program).size() == 1; }, 1000));
    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    EXPECT_TRUE(wait_until([] { return !process_stopped(standin); }, 1500));
    EXPECT_TRUE(wait_until([] { return waitpid(-1, nullptr, WNOHANG) > 0; }, 1000)) << "the adopted watchdog ends";
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    end_standin(standin);
}

}  // namespace
