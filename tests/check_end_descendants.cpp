// The guard after every test, seen from inside one test program: a test
// that fails or skips with processes still running leaves none behind, not
// even a zombie, and the program goes on to the next test at once. Run as
// one CTest test (end_descendants) that expects exactly the first two of
// these tests to end as they do and the last to pass; a guard that let a
// process live would hang the run until CTest's timeout.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

std::vector<int> direct, deeper;  // what the tests below left running

bool no_such_process(int pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

TEST(EndDescendants, SkipsWithAStandinRunning)
{
    direct.push_back(start_standin());
    GTEST_SKIP() << "a skip, the stand-in still running";
}

// A program that holds the test's output and forks a child of its own, as
// the program does with its watchdog; the test fails while they run.
TEST(EndDescendants, FailsWithAProgramAndItsChildRunning)
{
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t program = fork();
    if (program == 0) {
        if (fork() == 0) {
            for (;;)
                pause();
        }
        (void)!write(ready[1], "x", 1);
        for (;;)
            pause();
    }
    char x;
    ASSERT_EQ(read(ready[0], &x, 1), 1);
    close(ready[0]);
    close(ready[1]);
    direct.push_back(program);
    deeper = children_of(program);
    ASSERT_EQ(deeper.size(), 1u);
    FAIL() << "a failing check, the program and its child still running";
}

TEST(EndDescendants, NothingOfTheTestsBeforeIsLeft)
{
    ASSERT_EQ(direct.size(), 2u);
    EXPECT_TRUE(children_of(getpid()).empty());
    for (int pid : direct)  // reaped by the guard: no zombie named like the service
        EXPECT_TRUE(no_such_process(pid)) << "pid " << pid;
    // Orphaned and killed, then reaped here as a subreaper. qemu-user passes
    // no such request on: there they go to init, dead, to be reaped when it
    // gets to it (a zombie holds no descriptor and no name of the service's).
    const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 && prctl(PR_SET_CHILD_SUBREAPER, 0) == 0;
    const auto dead = [](int pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        return no_such_process(pid) || (std::getline(stat, line) && line.find(") Z ") != std::string::npos);
    };
    for (int pid : deeper)
        EXPECT_TRUE(subreaper ? no_such_process(pid) : wait_until([&] { return dead(pid); }, 2000)) << "pid " << pid;
}

}  // namespace
