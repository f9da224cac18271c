// The full program end to end on the virtual goggles: key scripts in, exit
// status, standard error, picture registers, the settings file, the OSD
// grid and the stock service out.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <thread>

#include "keys/keys.h"
#include "support.h"
#include "video/picture.h"

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

// A process that only waits, named like the stock service.
int start_standin()
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        prctl(PR_SET_NAME, "fpv_grd_service");
        for (;;)
            pause();
    }
    wait_until(
        [pid] {
            std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            std::getline(in, name);
            return name == "fpv_grd_service";
        },
        2000);
    return pid;
}

// One sleep of the program overruns by a set amount, as a busy scheduler
// would do: the first loop sleep at or after a given virtual time.
uint64_t overrun_from_us = UINT64_MAX;
uint64_t overrun_us = 0;
bool overrun_done = false;
void overrun_one_sleep(uint64_t usec)
{
    if (!overrun_done && usec == 30000 && vg()->now_us >= overrun_from_us) {
        vg()->now_us += overrun_us;
        overrun_done = true;
    }
}

const char* const ENTRY = "avmenu 1.3.0: wejscie (writes=339 fail=0)";
const char* const MODE_AV = "mode: LT8668 B7=0x02 AD=0x02 AC=0x01";

class AvMenu : public Goggles {
protected:
    void TearDown() override
    {
        vg_set_sleep_hook(nullptr);
        if (standin > 0) {
            kill(standin, SIGKILL);
            waitpid(standin, nullptr, 0);
        }
        Goggles::TearDown();
    }

    // Fresh goggles whose clock starts at start_ms, on the same card, empty.
    void restart(uint64_t start_ms)
    {
        const std::string root = card_root;
        vg_reset(start_ms);
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", root.c_str());
        unlink(settings_file().c_str());
    }

    void keys(const char* script, uint64_t start_ms = 500)
    {
        std::string error;
        ASSERT_GE(vg_keys_script(script, start_ms, &error), 0) << error;
    }

    uint64_t ms_of(uint64_t t_us) const { return (t_us - vg()->start_us) / 1000; }

    // When the last conversion of the run was made: the program's last turn.
    uint64_t last_turn_us() const
    {
        const VgAdc& a = vg()->adc;
        return a.trace[(a.trace_total - 1) % VG_ADC_TRACE_SIZE].t_us;
    }

    // The key-down tone starts at the PLAY press event.
    uint64_t play_press_us() const
    {
        for (int i = 0; i < vg()->pwm.log_count; ++i) {
            if (std::string(vg()->pwm.log[i].file) == "period")
                return vg()->pwm.log[i].t_us;
        }
        return 0;
    }

    // The poll times (ms from the start) while no key is held, learned from
    // a run that sees only a BACK press at 1500 ms.
    std::vector<uint64_t> idle_polls()
    {
        restart(100000);
        vg_key_hold(KEY_BACK, 1500, 200);
        EXPECT_EQ(run().status, 0);
        std::vector<uint64_t> polls;
        for (uint64_t i = 0; i < vg()->adc.trace_total && i < VG_ADC_TRACE_SIZE; ++i) {
            const VgAdcAccess& a = vg()->adc.trace[i];
            if (a.offset == ADC_REG_DATA && ms_of(a.t_us) < 1500)
                polls.push_back(ms_of(a.t_us));
        }
        return polls;
    }

    std::vector<std::pair<int, int>> picture_writes() const
    {
        std::vector<std::pair<int, int>> out;
        for (const auto& w : vproc_writes_since(0)) {
            if (w.first >= PICTURE_REG_BRIGHTNESS && w.first <= PICTURE_REG_HUE)
                out.push_back(w);
        }
        return out;
    }

    int standin = -1;
};

using Lines = std::vector<std::string>;
using Writes = std::vector<std::pair<int, int>>;

TEST_F(AvMenu, RaiseContrastTwiceThenLeaveByHoldingPlay)
{
    keys("DOWN RIGHT RIGHT PLAY:3100");
    const VgRun r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(split_lines(r.err), Lines({MODE_AV, "settings: restore 50/50/50/50", ENTRY, "exit: PLAY held 3 s",
                                         "avmenu: wyjscie (writes=427 fail=0)"}));
    // Start-up writes all four; each RIGHT writes contrast once; DOWN nothing.
    EXPECT_EQ(picture_writes(), Writes({{0x0890, 0x00},
                                        {0x0891, 0x80},
                                        {0x0892, 0x80},
                                        {0x0893, 0x00},
                                        {0x0891, 0x8C},
                                        {0x0891, picture_byte(PICTURE_REG_CONTRAST, 60)}}));
    EXPECT_EQ(vg()->vp.regs[0x0891], 0x99);
    EXPECT_EQ(read_settings(), "50 60 50 50\n");
    std::string blank;
    for (int row = 0; row < 8; ++row)
        blank += std::string(32, ' ') + (row < 7 ? "\n" : "");
    EXPECT_EQ(vg_screen(), blank) << "left blank";
    EXPECT_TRUE(vg_osd_enabled()) << "left switched on";

    // The exit comes at the first turn at least 3000 ms after the press;
    // a turn with PLAY held lasts 39 ms.
    const uint64_t held_ms = (last_turn_us() - play_press_us()) / 1000;
    EXPECT_GE(held_ms, 3000u);
    EXPECT_LT(held_ms, 3039u);
}

TEST_F(AvMenu, ShortBackLeavesAfterAPauseWithoutThePlayLine)
{
    keys("BACK");
    const VgRun r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(split_lines(r.err),
              Lines({MODE_AV, "settings: restore 50/50/50/50", ENTRY, "avmenu: wyjscie (writes=422 fail=0)"}));
    EXPECT_EQ(vg()->now_us - last_turn_us(), 30000u) << "30 ms pause, then a shut-down without sleeps";
    EXPECT_EQ(read_settings(), "") << "nothing changed, nothing saved";
}

TEST_F(AvMenu, LongReleasesAndKeysWithoutAFunctionDoNothing)
{
    // BACK held 600 ms, PLAY let go after 2.9 s, keys 4 and 5: the program
    // runs on and leaves by the final short BACK.
    keys("BACK:600 PLAY:2900 K4 K5 RIGHT:800 BACK");
    const VgRun r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(split_lines(r.err),
              Lines({MODE_AV, "settings: restore 50/50/50/50", ENTRY, "avmenu: wyjscie (writes=422 fail=0)"}));
    EXPECT_EQ(picture_writes().size(), 4u) << "only the start-up writes";
    EXPECT_EQ(read_settings(), "");
    EXPECT_GT(ms_of(last_turn_us()), 6200u) << "left by the last BACK, which goes down at 6200 ms";
}

TEST_F(AvMenu, ReleaseHeld450MsActsAnd451MsDoesNot)
{
    // Polls come every 30 ms with no key and every 39 ms with one (the
    // settle pause): a RIGHT held from a poll at `a` is pressed at a + 87
    // and, let go after 12 held polls, released 39 * 12 - 27 = 441 ms
    // later. One loop sleep overrunning by 9 or 10 ms makes it 450 or 451.
    const std::vector<uint64_t> polls = idle_polls();
    ASSERT_GT(polls.size(), 20u);
    const uint64_t a = polls[17];
    for (const uint64_t overrun_ms : {9, 10}) {
        restart(100000);
        vg_key_hold(KEY_RIGHT, a, 460 + overrun_ms);
        vg_key_hold(KEY_BACK, a + 1500, 200);
        overrun_from_us = vg()->start_us + (a + 87) * 1000;
        overrun_us = overrun_ms * 1000;
        overrun_done = false;
        vg_set_sleep_hook(overrun_one_sleep);
        const VgRun r = run();
        vg_set_sleep_hook(nullptr);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_settings(), overrun_ms == 9 ? "55 50 50 50\n" : "") << "held " << 441 + overrun_ms << " ms";
    }
}

TEST_F(AvMenu, SelectionWrapsBothWays)
{
    // DOWN four times comes back to BRIGHTNESS, UP goes on to HUE. With no
    // way out the run ends at the virtual time limit, the menu still shown.
    keys("DOWN DOWN DOWN DOWN UP RIGHT");
    const VgRun r = run();
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(read_settings(), "50 50 50 55\n");
    EXPECT_EQ(vg()->vp.regs[0x0893], picture_byte(PICTURE_REG_HUE, 55));
    EXPECT_EQ(picture_writes().size(), 5u);
    EXPECT_EQ(vg_screen(),
              "      VELMO X : AV MENU         \n"
              "                                \n"
              "      BRIGHTNESS        050     \n"
              "      CONTRAST          050     \n"
              "      SATURATION        050     \n"
              "     %HUE               055     \n"
              "                                \n"
              "UP:DW NAV LT:RT SET PLAY3:EXIT  ");
}

TEST_F(AvMenu, PlayHoldWorksAtAnyUptime)
{
    // The millisecond count turns negative after 2^31 ms of uptime and wraps
    // at 2^32 ms; the press may even land on the count 0.
    const std::vector<uint64_t> polls = idle_polls();
    ASSERT_GT(polls.size(), 20u);
    const uint64_t a = polls[17];  // PLAY goes down here; pressed at a + 87
    for (const uint64_t start : {(1ull << 31) - 1000, (1ull << 31) + 1000, (1ull << 32) - 1000,
                                 (1ull << 32) - (a + 87), (3ull << 32) - 2000}) {
        restart(start);
        vg_key_hold(KEY_PLAY, a, 3100);
        const VgRun r = run();
        EXPECT_EQ(r.status, 0) << "start " << start;
        EXPECT_NE(r.err.find("exit: PLAY held 3 s\n"), std::string::npos) << "start " << start;
        const uint64_t held_ms = (last_turn_us() - play_press_us()) / 1000;
        EXPECT_GE(held_ms, 3000u) << "start " << start;
        EXPECT_LT(held_ms, 3039u) << "start " << start;
        if (start == (1ull << 32) - (a + 87)) {
            EXPECT_EQ(static_cast<uint32_t>(play_press_us() / 1000), 0u) << "pressed at the count 0";
        }
    }
}

TEST_F(AvMenu, StockServiceIsStoppedWhileRunningAndRunsAfterEveryWayOut)
{
    standin = start_standin();

    // Killed in the middle of drawing: stopped, until the watchdog notices.
    vg()->i2c.faults.kill_at_message = 1000;
    VgRun r = run();
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_TRUE(wait_until([this] { return process_stopped(standin); }, 300));
    EXPECT_TRUE(wait_until([this] { return !process_stopped(standin); }, 1500)) << "the watchdog continues it";

    for (const char* script : {"BACK", "PLAY:3100"}) {
        restart(100000);
        keys(script);
        r = run();
        EXPECT_EQ(r.status, 0) << script;
        EXPECT_FALSE(process_stopped(standin)) << "continued by the program itself after " << script;
    }
}

}  // namespace
