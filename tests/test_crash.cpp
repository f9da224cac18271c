// Crash safety with real processes: the full program is killed with SIGKILL
// at seeded moments (start-up after the pause, the idle loop, a redraw, a
// settings save). Each time the stock service must run again within 1.5 s,
// the watchdog child must be gone, and the settings file must hold one whole
// valid line, the old one or one the program saved.
//
// AVMENU_CRASH_RUNS sets the number of kills (default 8; each costs about
// one second, the watchdog's polling period).
#include <sys/prctl.h>

#include <chrono>
#include <cstdio>
#include <dirent.h>
#include <set>

#include "app/avmenu.h"
#include "support.h"
#include "wearer.h"

namespace {

using Clock = std::chrono::steady_clock;
using wearer::Step;

const char* const OLD_LINE = "20 30 40 50\n";
// Every line the script below makes the program save, in order.
const std::set<std::string> SAVED_LINES = {"25 30 40 50\n", "25 25 40 50\n", "25 25 45 50\n", "25 25 45 45\n",
                                           "25 25 50 45\n"};

std::vector<Step> script()
{
    std::vector<Step> s;
    for (int k : {KEY_RIGHT, KEY_DOWN, KEY_LEFT, KEY_DOWN, KEY_RIGHT, KEY_DOWN, KEY_LEFT, KEY_UP, KEY_RIGHT})
        s.push_back(wearer::key(k));
    s.push_back(wearer::key(KEY_PLAY, 3500));
    return s;
}

// Children of this process other than the given one.
std::vector<int> other_children(int except)
{
    std::vector<int> out;
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return out;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::ifstream in(std::string("/proc/") + e->d_name + "/status");
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("PPid:", 0) == 0) {
                const int pid = std::atoi(e->d_name);
                if (std::atoi(line.c_str() + 5) == getpid() && pid != except)
                    out.push_back(pid);
                break;
            }
        }
    }
    closedir(d);
    return out;
}

class Crash : public Goggles {
protected:
    int service = -1;

    // The orphaned watchdog comes back to this process, which reaps it.
    // qemu-user does not pass this request on: there the watchdog goes to
    // init, and only the resumed service shows that it did its work.
    static inline bool subreaper = false;
    static void SetUpTestSuite()
    {
        subreaper = prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
        if (!subreaper)
            std::printf("no subreaper here: the watchdog's exit is not checked\n");
    }

    // The watchdog's last act is to exit: it comes back here and is reaped,
    // and nothing else of the program is left.
    void expect_watchdog_reaped()
    {
        int reaped = 0, status = -1;
        for (const auto until = Clock::now() + std::chrono::seconds(2); reaped == 0 && Clock::now() < until;) {
            const pid_t pid = waitpid(-1, &status, WNOHANG);
            if (pid > 0 && pid != service)
                reaped = pid;
            else
                usleep(2000);
        }
        EXPECT_GT(reaped, 0) << "no watchdog came back";
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_EQ(other_children(service), std::vector<int>{}) << "a process outlived the program";
    }

    void TearDown() override
    {
        vg_set_sleep_hook(nullptr);
        wearer::end_stand_in(service);
        Goggles::TearDown();
    }

    VgRun session()
    {
        wearer::prepare(script(), service);
        VgRun r = vg_run(avmenu_main, nullptr, 0);
        vg_set_sleep_hook(nullptr);
        return r;
    }
};

TEST_F(Crash, KilledAnywhereTheServiceRunsAgainAndTheSettingsStayWhole)
{
    const char* env = std::getenv("AVMENU_CRASH_RUNS");
    const int runs = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 8;
    service = wearer::start_stand_in("fpv_grd_service");

    // A run to the end maps where the transfers of each phase fall; the
    // goggles are virtual, so every later run repeats it up to its kill.
    wearer::fresh_goggles(card_root);
    write_settings(OLD_LINE);
    const VgRun reference = session();
    ASSERT_EQ(reference.status, 0) << reference.err;
    const wearer::Tally map = wearer::tally();
    const uint64_t loop_us = vg()->now_us - map.first_loop_us;
    ASSERT_GT(map.first_loop_total, 6u);
    ASSERT_EQ(map.step, map.step_count);
    ASSERT_EQ(read_settings(), "25 25 50 45\n");

    static const char* const KINDS[] = {"start-up", "idle loop", "redraw", "settings save"};
    uint64_t rng = 0x5EED;
    auto next = [&rng](uint64_t n) {
        rng = rng * 6364136223846793005ull + 1442695040888963407ull;
        return (rng >> 33) % n;
    };
    double worst_ms = 0;
    for (int run = 0; run < runs; ++run) {
        const int kind = run % 4;
        wearer::fresh_goggles(card_root);
        write_settings(OLD_LINE);
        wearer::prepare(script(), service);
        std::string where;
        switch (kind) {
        case 0:  // after the pause, anywhere up to the first loop turn
            vg()->i2c.faults.kill_at_message = 6 + next(map.first_loop_total - 6);
            where = "transfer " + std::to_string(vg()->i2c.faults.kill_at_message);
            break;
        case 1: {  // the loop, most of it idle
            wearer::tally().kill_at_us = map.first_loop_us + next(loop_us / 2);
            where = "virtual time " + std::to_string(wearer::tally().kill_at_us / 1000) + " ms";
            break;
        }
        case 2: {  // inside the redraw that follows one of the keys
            const int step = static_cast<int>(next(static_cast<uint64_t>(map.step_count - 1)));
            const uint64_t from = map.total_at_step[step], to = map.total_at_step[step + 1];
            vg()->i2c.faults.kill_at_message = from + 1 + next(to - from);
            where = "transfer " + std::to_string(vg()->i2c.faults.kill_at_message);
            break;
        }
        default:  // between the synced temporary file and the rename
            vg()->card.crash_before_rename = true;
            where = "rename";
            break;
        }
        SCOPED_TRACE(std::string("run ") + std::to_string(run) + ": killed in " + KINDS[kind] + " at " + where);
        const VgRun r = vg_run(avmenu_main, nullptr, 0);
        vg_set_sleep_hook(nullptr);
        const auto died = Clock::now();
        ASSERT_TRUE(r.signalled) << r.err;
        EXPECT_EQ(r.status, 128 + SIGKILL);
        EXPECT_TRUE(process_stopped(service)) << "the program died before it paused the service";

        // The watchdog notices within its one-second poll.
        while (process_stopped(service) && Clock::now() - died < std::chrono::seconds(3))
            usleep(2000);
        const double resume_ms = std::chrono::duration<double, std::milli>(Clock::now() - died).count();
        EXPECT_FALSE(process_stopped(service)) << "the service was left frozen";
        EXPECT_LE(resume_ms, 1500.0);
        worst_ms = std::max(worst_ms, resume_ms);

        if (subreaper)
            expect_watchdog_reaped();

        const std::string line = read_settings();
        EXPECT_TRUE(line == OLD_LINE || SAVED_LINES.count(line) == 1) << "settings file holds '" << line << "'";
        if (kind == 3) {
            EXPECT_EQ(line, OLD_LINE);
        }
    }
    std::printf("[figures] crash: runs=%d worst_resume_ms=%.0f\n", runs, worst_ms);

    // A leftover temporary file does not hinder the next, whole session.
    wearer::fresh_goggles(card_root);
    write_settings(OLD_LINE);
    {
        std::ofstream tmp(settings_file() + ".tmp");
        tmp << "99 9";
    }
    const VgRun last = session();
    EXPECT_EQ(last.status, 0) << last.err;
    EXPECT_EQ(read_settings(), "25 25 50 45\n");
    EXPECT_FALSE(process_stopped(service));
}

}  // namespace
