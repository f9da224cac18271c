// The full program end to end on the virtual goggles: key scripts in, exit
// status, standard error, picture registers, the settings file, the OSD
// grid and the stock service out.
#include <unistd.h>

#include <algorithm>

#include "keys/keys.h"
#include "support.h"
#include "video/picture.h"

namespace {

// At the first loop sleep, note in the shared world whether the stand-in is
// stopped (1) or not (2); overrun the first sleep from a given virtual time,
// as a busy scheduler would.
int standin = -1;
uint64_t overrun_from_us = UINT64_MAX;
uint64_t overrun_us = 0;
void loop_sleep_hook(uint64_t usec)
{
    if (usec != 30000)
        return;
    if (standin > 0 && vg()->note == 0)
        vg()->note = wait_until([] { return process_stopped(standin); }, 1000) ? 1 : 2;
    if (vg()->now_us >= overrun_from_us) {
        vg()->now_us += overrun_us;
        overrun_from_us = UINT64_MAX;
    }
}

const std::string ENTRY =
    "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\nsettings: restore 50/50/50/50\navmenu 1.3.0: wejscie (writes=339 fail=0)\n";

using Writes = std::vector<std::pair<int, int>>;

class AvMenu : public Goggles {
protected:
    // Fresh goggles whose clock starts at start_ms, on the same card, empty,
    // with a script of key presses from 500 ms.
    void restart(uint64_t start_ms, const char* script = "")
    {
        vg_reset(start_ms);
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        unlink(settings_file().c_str());
        overrun_from_us = UINT64_MAX;  // the runs' children consume it, not this process
        vg_set_sleep_hook(loop_sleep_hook);
        ASSERT_GE(vg_keys_script(script, 500, nullptr), 0) << script;
    }

    static uint64_t ms_of(uint64_t t_us) { return (t_us - vg()->start_us) / 1000; }

    // When the last conversion of the run was made: the program's last turn.
    static uint64_t last_turn_us() { return vg()->adc.trace[(vg()->adc.trace_total - 1) % VG_ADC_TRACE_SIZE].t_us; }

    // The PLAY press: the key-down tone starts there.
    static uint64_t play_press_us()
    {
        const VgPwmWrite* log = vg()->pwm.log;
        const auto tone = [](const VgPwmWrite& w) { return std::string(w.file) == "period"; };
        return std::find_if(log, log + vg()->pwm.log_count, tone)->t_us;
    }

    // The n-th poll time (ms from the start) with no key held, learned from
    // a run that sees only a BACK press at 1500 ms.
    uint64_t idle_poll_ms(int n)
    {
        restart(100000);
        vg_key_hold(KEY_BACK, 1500, 200);
        EXPECT_EQ(run().status, 0);
        const VgAdcAccess* t = vg()->adc.trace;
        const auto nth_poll = [&n](const VgAdcAccess& a) { return a.offset == ADC_REG_DATA && n-- == 0; };
        return ms_of(std::find_if(t, t + VG_ADC_TRACE_SIZE, nth_poll)->t_us);
    }

    static Writes picture_writes()
    {
        Writes w = vproc_writes_since(0);
        std::erase_if(w, [](const auto& x) { return x.first < PICTURE_REG_BRIGHTNESS || x.first > PICTURE_REG_HUE; });
        return w;
    }
};

// Each way out: DOWN RIGHT RIGHT raises contrast twice (start-up writes all
// four, each RIGHT contrast once, DOWN nothing) before PLAY held 3 s leaves
// after the exit chirp. A short BACK leaves after a 30 ms pause, also after a
// long BACK, a PLAY let go at 2.9 s, keys 4 and 5 and a long RIGHT, which all
// do nothing. The selection wraps both ways. The stock service is stopped in
// the loop and runs again after.
TEST_F(AvMenu, WaysOut)
{
    const Writes start_up = {{0x0890, 0x00}, {0x0891, 0x80}, {0x0892, 0x80}, {0x0893, 0x00}};
    const char* const back_out = "avmenu: wyjscie (writes=422 fail=0)\n";
    const struct {
        const char* script;
        uint64_t ends_after_ms, tail_us;
        const char* settings;
        const char* err;  // after the entry lines
        Writes writes;
    } rows[] = {
        {"DOWN RIGHT RIGHT PLAY:3100", 1700 + 3000, 100000, "50 60 50 50\n",
         "exit: PLAY held 3 s\navmenu: wyjscie (writes=427 fail=0)\n",
         {{0x0890, 0x00}, {0x0891, 0x80}, {0x0892, 0x80}, {0x0893, 0x00}, {0x0891, 0x8C}, {0x0891, 0x99}}},
        {"BACK", 500, 30000, "", back_out, start_up},
        // DOWN four times comes back to BRIGHTNESS, UP goes on to HUE.
        {"DOWN DOWN DOWN DOWN UP RIGHT BACK", 2900, 30000, "50 50 50 55\n", "avmenu: wyjscie (writes=433 fail=0)\n",
         {{0x0890, 0x00}, {0x0891, 0x80}, {0x0892, 0x80}, {0x0893, 0x00}, {0x0893, 0x0C}}},
        {"BACK:600 PLAY:2900 K4 K5 RIGHT:800 BACK", 6200, 30000, "", back_out, start_up},
    };
    standin = start_standin();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.script);
        restart(100000, row.script);
        const VgRun r = run();
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, ENTRY + row.err);
        EXPECT_EQ(picture_writes(), row.writes);
        EXPECT_EQ(read_settings(), row.settings);
        EXPECT_GT(ms_of(last_turn_us()), row.ends_after_ms);
        EXPECT_EQ(vg()->now_us - last_turn_us(), row.tail_us) << "the pause after the last turn";
        EXPECT_EQ(vg()->note, 1) << "the stock service was stopped in the loop";
        EXPECT_FALSE(process_stopped(standin)) << "and runs again";
    }
    end_standin(standin);
    standin = -1;
}

// Polls come every 30 ms with no key and every 39 ms with one (the settle
// pause): a key held from an idle poll at `a` is pressed at a + 87.
TEST_F(AvMenu, HoldsAreTimedTrue)
{
    const uint64_t a = idle_poll_ms(17);
    // A RIGHT let go after 12 held polls is released 39 * 12 - 27 = 441 ms
    // after the press; one loop sleep overrunning by 9 or 10 ms makes it
    // 450, which still acts, or 451, which does not.
    for (const uint64_t overrun_ms : {9, 10}) {
        restart(100000);
        vg_key_hold(KEY_RIGHT, a, 460 + overrun_ms);
        vg_key_hold(KEY_BACK, a + 1500, 200);
        overrun_from_us = vg()->start_us + (a + 87) * 1000;
        overrun_us = overrun_ms * 1000;
        EXPECT_EQ(run().status, 0);
        EXPECT_EQ(read_settings(), overrun_ms == 9 ? "55 50 50 50\n" : "") << "held " << 441 + overrun_ms << " ms";
    }
    // PLAY held 3 s leaves at the first turn at least 3000 ms after the
    // press, at any uptime: the millisecond count turns negative after 2^31
    // ms and wraps at 2^32 ms; the press may even land on the count 0.
    for (const uint64_t start : {(1ull << 31) - 1000, (1ull << 31) + 1000, (1ull << 32) - 1000,
                                 (1ull << 32) - (a + 87), (3ull << 32) - 2000}) {
        SCOPED_TRACE("start " + std::to_string(start));
        restart(start);
        vg_key_hold(KEY_PLAY, a, 3100);
        const VgRun r = run();
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("exit: PLAY held 3 s\n"), std::string::npos);
        EXPECT_LT(last_turn_us() - play_press_us() - 3000000u, 39000u) << "3000 ms or more, less a turn with PLAY held";
        EXPECT_TRUE(start != (1ull << 32) - (a + 87) || play_press_us() / 1000 % (1ull << 32) == 0) << "on the count 0";
    }
}

}  // namespace
