// Crash safety with real processes: the full program is killed with SIGKILL
// at seeded moments. Each time the stock service must run again within
// 1.5 s, the watchdog must be gone, and the settings file must hold one
// whole line, the old one or one the program saved.
//
// AVMENU_CRASH_RUNS sets the number of kills (default 8; each costs about a
// second, the watchdog's polling period).
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <random>

#include "fault_session.h"

using Clock = std::chrono::steady_clock;

class Crash : public FaultSession {};

TEST_F(Crash, KilledAnywhereTheServiceRunsAgainAndTheSettingsStayWhole)
{
    // The orphaned watchdog comes back to this process, which reaps it.
    // qemu-user does not pass this request on: there the watchdog goes to
    // init, and only the resumed service shows that it did its work.
    const bool subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
    const char* env = std::getenv("AVMENU_CRASH_RUNS");
    const int runs = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 8;
    service = start_standin();
    std::vector<Step> steps = script(true);
    steps.erase(steps.begin() + 7);  // no faults to clean: every step is a key
    const std::vector<std::string> saved = {"20 30 40 50\n", "25 30 40 50\n", "25 25 40 50\n", "25 25 45 50\n",
                                            "25 25 45 45\n", "25 25 50 45\n"};  // the old line, then each save

    // A run to the end maps where the transfers of each phase fall; the
    // goggles are virtual, so every later run repeats it up to its kill.
    fresh(steps);
    write_settings(saved[0]);
    const VgRun reference = vg_run(avmenu_main, nullptr, 0);
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_EQ(read_settings(), saved.back());
    const Tally map = tally();
    ASSERT_GT(map.total_at_step[0], 6u);
    const uint64_t idle_from = map.us_at_step[0], idle_us = vg()->now_us - idle_from;

    std::mt19937_64 rng(0x5EED);
    const char* const KINDS[] = {"start-up", "loop", "redraw", "settings save"};
    double worst_ms = 0;
    for (int run = 0; run < runs; ++run) {
        fresh(steps);
        write_settings(saved[0]);
        const uint64_t* step = map.total_at_step + rng() % (map.step_count - 1);
        if (run % 4 == 0)  // after the pause, up to the first key
            vg()->i2c.faults.kill_at_message = 6 + rng() % (map.total_at_step[0] - 6);
        else if (run % 4 == 1)  // the loop, most of it idle
            tally().kill_at_us = idle_from + rng() % (idle_us / 2);
        else if (run % 4 == 2)  // the redraw after one of the keys
            vg()->i2c.faults.kill_at_message = step[0] + 1 + rng() % (step[1] - step[0]);
        else  // between the synced temporary file and the rename
            vg()->card.crash_before_rename = true;
        SCOPED_TRACE("run " + std::to_string(run) + ": killed in " + KINDS[run % 4]);
        int gone = 0;  // the stand-in ends only with the test: say so if something else ended it
        ASSERT_EQ(waitpid(service, &gone, WNOHANG), 0) << "the stand-in service is gone, status " << gone;
        const VgRun r = vg_run(avmenu_main, nullptr, 0);
        const auto died = Clock::now();
        ASSERT_TRUE(r.signalled && r.status == 128 + SIGKILL) << r.status << r.err;
        // From the program's own calls: by now the watchdog may have resumed it.
        EXPECT_EQ(timeline_check({"kill fpv_grd_service STOP", "fork"}), "") << "the program died before it paused the service";
        wait_until([&] { return !process_stopped(service); }, 3000);
        const double resume_ms = std::chrono::duration<double, std::milli>(Clock::now() - died).count();
        EXPECT_LE(resume_ms, 1500.0) << "the service stayed frozen";
        worst_ms = std::max(worst_ms, resume_ms);

        // The watchdog's last act is to exit, and it comes back here.
        int reaped = 0, status = -1;
        while (subreaper && reaped <= 0 && Clock::now() - died < std::chrono::seconds(3) && usleep(2000) == 0)
            reaped = waitpid(-1, &status, WNOHANG);
        EXPECT_NE(reaped, service) << "the stand-in service died, status " << status;
        EXPECT_TRUE(!subreaper || (reaped > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;

        const std::string line = read_settings();
        EXPECT_NE(std::find(saved.begin(), saved.end(), line), saved.end()) << line;
        EXPECT_TRUE(run % 4 != 3 || line == saved[0]) << line;
    }
    std::printf("[figures] crash: runs=%d worst_resume_ms=%.0f%s\n", runs, worst_ms,
                subreaper ? "" : " (no subreaper here: the watchdog's exit is not checked)");
}
