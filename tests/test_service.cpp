// The stock-service pause with real processes: a stand-in named like the
// service, the watchdog child, resume, and the watchdog under a subreaper.
// Each scenario runs in a session child, so the module starts fresh.
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "service/service.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

bool wait_until(const std::function<bool()>& done, int timeout_ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::string comm_of(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// Fields of /proc/PID/stat after the name: 0 state, 1 ppid, 2 pgrp, 3 session.
std::vector<std::string> stat_fields(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    std::vector<std::string> out;
    const auto close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return out;
    std::stringstream ss(stat.substr(close_paren + 1));
    std::string f;
    while (ss >> f)
        out.push_back(f);
    return out;
}

std::vector<int> processes(const std::function<bool(int)>& pick)
{
    std::vector<int> out;
    if (DIR* d = opendir("/proc")) {
        while (const dirent* e = readdir(d)) {
            const int pid = std::atoi(e->d_name);
            if (pid > 0 && pick(pid))
                out.push_back(pid);
        }
        closedir(d);
    }
    return out;
}

std::vector<int> children_of(int parent)
{
    return processes([parent](int pid) {
        const auto f = stat_fields(pid);
        return f.size() > 1 && std::stoi(f[1]) == parent;
    });
}

// A process that only waits, named like the stock service (or not quite).
int start_standin(const char* name)
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, name);
        for (;;)
            pause();
    }
    wait_until([&] { return comm_of(pid) == name; }, 2000);
    return pid;
}

void end_standin(int pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

void say(const char* fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    (void)!write(2, line, static_cast<size_t>(n));
}

int standin = -1;  // seen by the session children

bool stopped_soon(int pid) { return wait_until([pid] { return process_stopped(pid); }, 1000); }

int no_children() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

// Pause, a second pause, resume; what each step left behind.
int pause_twice_then_resume(int, char**)
{
    const int paused = service_pause();
    say("pause=%d known=%d\n", paused, service_pid() == standin);
    const std::vector<int> kids = children_of(getpid());
    say("stopped=%d children=%zu\n", stopped_soon(standin), kids.size());
    if (kids.size() != 1)
        return 1;
    const int dog = kids[0];
    // The watchdog leaves the session and sends its output to /dev/null.
    const bool detached = wait_until(
        [dog] {
            const auto f = stat_fields(dog);
            char out[64] = {}, err[64] = {};
            const std::string fd = "/proc/" + std::to_string(dog) + "/fd/";
            (void)!readlink((fd + "1").c_str(), out, sizeof out - 1);
            (void)!readlink((fd + "2").c_str(), err, sizeof err - 1);
            return f.size() > 3 && std::stoi(f[3]) == dog && std::string(out) == "/dev/null" &&
                   std::string(err) == "/dev/null";
        },
        1000);
    say("watchdog detached=%d\n", detached);

    kill(standin, SIGCONT);
    wait_until([] { return !process_stopped(standin); }, 1000);
    const int again = service_pause();
    say("pause=%d stopped=%d", again, stopped_soon(standin));
    say(" same watchdog=%d\n", children_of(getpid()) == std::vector<int> {dog});

    service_resume();
    say("resumed: stopped=%d reaped=%d known=%d\n", process_stopped(standin), no_children(),
        service_pid() == standin);
    return 0;
}

int pause_only(int, char**)
{
    const int paused = service_pause();
    say("pause=%d pid=%d no child=%d\n", paused, service_pid(), no_children());
    return 0;
}

int resume_only(int, char**)
{
    service_resume();
    return 0;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override
    {
        vg_reset();
        ASSERT_TRUE(processes([](int pid) { return comm_of(pid) == SERVICE_NAME; }).empty())
            << "another process is named " << SERVICE_NAME;
    }
    void TearDown() override
    {
        prctl(PR_SET_CHILD_SUBREAPER, 0);
        end_standin(standin);
        standin = -1;
    }
};

TEST_F(Service, PauseStopsTheServiceUnderOneWatchdogAndResumeUndoesIt)
{
    standin = start_standin("fpv_grd_service");
    const VgRun r = vg_run(pause_twice_then_resume, nullptr, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "pause=0 known=1\n"
              "stopped=1 children=1\n"
              "watchdog detached=1\n"
              "pause=0 stopped=1 same watchdog=1\n"
              "resumed: stopped=0 reaped=1 known=1\n");
    EXPECT_FALSE(process_stopped(standin));
}

TEST_F(Service, NoServiceOrANameThatOnlyBeginsLikeIt)
{
    VgRun r = vg_run(pause_only, nullptr, 0);
    EXPECT_EQ(r.err, "pause=-1 pid=-1 no child=1\n");

    standin = start_standin("fpv_grd_servic");  // 14 bytes
    ASSERT_EQ(comm_of(standin), "fpv_grd_servic");
    r = vg_run(pause_only, nullptr, 0);
    EXPECT_EQ(r.err, "pause=-1 pid=-1 no child=1\n");
    EXPECT_FALSE(process_stopped(standin));
}

TEST_F(Service, ResumeWithoutPauseSendsNothing)
{
    standin = start_standin("fpv_grd_service");
    kill(standin, SIGSTOP);
    ASSERT_TRUE(stopped_soon(standin));
    const VgRun r = vg_run(resume_only, nullptr, 0);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(process_stopped(standin)) << "no SIGCONT may be sent";
    kill(standin, SIGCONT);
}

// Under a subreaper the orphaned watchdog is adopted by the subreaper, not
// by init: it must still notice that its parent is gone.
// The watchdog body on its own: it waits while its parent id is the pid it
// was given, and acts once the id differs, whatever the new parent is.
TEST_F(Service, WatchdogActsWhenItsParentIdIsNoLongerTheOneThatForkedIt)
{
    standin = start_standin("fpv_grd_service");
    const int other = start_standin("fpv_grd_service");
    kill(standin, SIGSTOP);
    kill(other, SIGSTOP);
    ASSERT_TRUE(stopped_soon(standin) && stopped_soon(other));

    const int me = getpid();
    const pid_t waiting = fork();
    if (waiting == 0)
        service_watchdog(me, standin);
    const pid_t acting = fork();
    if (acting == 0)
        service_watchdog(waiting, other);  // "forked" by a process that is not its parent now

    int status = -1;
    EXPECT_TRUE(wait_until([&] { return waitpid(acting, &status, WNOHANG) == acting; }, 1500));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(process_stopped(other));
    EXPECT_TRUE(process_stopped(standin));
    EXPECT_EQ(waitpid(waiting, nullptr, WNOHANG), 0) << "its parent is alive: it goes on waiting";

    kill(waiting, SIGKILL);
    waitpid(waiting, nullptr, 0);
    end_standin(other);
}

TEST_F(Service, WatchdogResumesTheServiceWhenTheProgramDiesUnderASubreaper)
{
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        GTEST_SKIP() << "PR_SET_CHILD_SUBREAPER refused here (errno " << errno << ")";
    standin = start_standin("fpv_grd_service");
    const pid_t program = fork();
    if (program == 0) {
        service_pause();
        for (;;)
            pause();
    }
    ASSERT_TRUE(stopped_soon(standin));
    std::vector<int> dogs;
    ASSERT_TRUE(wait_until([&] { return (dogs = children_of(program)).size() == 1; }, 1000));

    kill(program, SIGKILL);
    waitpid(program, nullptr, 0);
    const auto killed = Clock::now();
    EXPECT_TRUE(process_stopped(standin)) << "the watchdog resumes only after its next check";
    std::vector<int> mine = children_of(getpid());
    std::sort(mine.begin(), mine.end());
    EXPECT_EQ(mine, (std::vector<int> {std::min(standin, dogs[0]), std::max(standin, dogs[0])}))
        << "the watchdog is adopted by this process";

    EXPECT_TRUE(wait_until([] { return !process_stopped(standin); }, 1500));
    const auto resumed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - killed).count();
    EXPECT_LE(resumed_ms, 1500);

    int status = -1;
    EXPECT_TRUE(wait_until([&] { return waitpid(dogs[0], &status, WNOHANG) == dogs[0]; }, 1000));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

}  // namespace
