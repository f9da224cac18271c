// The buzzer's PWM writes, file by file and in order, and the PLAY-hold
// tones of the full program. The buzzer keeps its state in statics, so each
// scenario runs in a child of its own and the shared PWM log is read here.
#include <cerrno>
#include <cstdlib>
#include <unistd.h>

#include "buzzer/buzzer.h"
#include "support.h"

namespace {

using Writes = std::vector<std::string>;

// "file=text" for every PWM write, in order.
Writes pwm_writes()
{
    Writes out;
    for (int i = 0; i < vg()->pwm.log_count; ++i)
        out.push_back(std::string(vg()->pwm.log[i].file) + "=" + vg()->pwm.log[i].text);
    return out;
}

void add_tone(Writes& w, uint32_t hz)
{
    const uint32_t period = 1000000000u / hz;
    w.insert(w.end(), {"period=" + std::to_string(period), "duty_cycle=" + std::to_string(period / 2)});
}

bool input_closed = false;  // the session child closes descriptor 0 first

// Exits with 2 when buzzer_init returns -1, 4 when it leaves a descriptor open.
int tones(int, char**)
{
    if (input_closed)
        close(0);  // each PWM file is then written through descriptor 0
    const int free_before = dup(2);
    close(free_before);
    const int rc = buzzer_init();
    const int free_after = dup(2);
    close(free_after);
    if (free_after != free_before)
        return 4;  // a descriptor left open
    vg()->pwm.present = vg()->pwm.exported = true;  // a channel turning up later wakes nothing
    int kind = 1;
    buzzer_tone(400);
    buzzer_tone(0);  // neither a write nor a change of the current tone
    buzzer_tone(411);
    buzzer_tone(411);
    buzzer_off();
    buzzer_key_up();  // silent already: nothing to write
    buzzer_exit_chirp(&kind);
    buzzer_beep(1000, 0);  // no length or no pitch: no sound and no wait
    buzzer_beep(0, 50);
    buzzer_beep(2000, 50);
    return rc == 0 ? 0 : rc == -1 ? 2 : 3;
}

// argv[1]: the hold kind. The ramp at these times since the press, then
// the kind's exit chirp.
// At 1640 ms the first kind's ramp is at 1001 Hz, whose period is the one
// that 1000000001 ns would round differently.
const uint32_t ELAPSED_MS[] = {0, 1, 30, 750, 1499, 1500, 1640, 2999, 3000, 3001, 4294967295u};
int ramp(int, char** argv)
{
    buzzer_init();
    int kind = -5;
    buzzer_key_down(&kind, std::atoi(argv[1]));  // the ramp reads the kind it stored
    for (const uint32_t ms : ELAPSED_MS)
        buzzer_hold_ramp(&kind, ms);
    buzzer_exit_chirp(&kind);
    return 0;
}

class Buzzer : public Goggles {};

TEST_F(Buzzer, ToneWritesPeriodDutyAndEnableOnlyFromSilenceAndOffSilencesDutyFirst)
{
    const Writes sounding = {"export=7", "enable=0", "duty_cycle=0", "period=2500000", "duty_cycle=1250000", "enable=1",
        "period=2433090", "duty_cycle=1216545", "period=2433090", "duty_cycle=1216545", "duty_cycle=0", "enable=0",
        "period=588235", "duty_cycle=294117", "enable=1", "duty_cycle=0", "enable=0",
        "period=500000", "duty_cycle=250000", "enable=1", "duty_cycle=0", "enable=0"};
    const struct { const char* name; bool present, exported; int status, first_result; Writes writes; bool input_closed; } cases[] = {
        {"fresh controller", true, false, 0, 0, sounding, false},
        {"fresh controller, input closed", true, false, 0, 0, sounding, true},
        {"exported by an earlier run", true, true, 0, EBUSY, sounding, false},
        {"no controller: silent, but off still writes", false, false, 2, 0, {"duty_cycle=0", "enable=0"}, false},
        {"a controller without channel 7", true, false, 2, EINVAL, {"export=7", "duty_cycle=0", "enable=0"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vg_reset();
        input_closed = c.input_closed;
        vg()->pwm.present = c.present;
        vg()->pwm.exported = c.exported;
        vg()->pwm.channels = c.first_result == EINVAL ? 4 : 8;
        EXPECT_EQ(vg_run(tones, nullptr, 0).status, c.status);
        EXPECT_EQ(pwm_writes(), c.writes);
        EXPECT_EQ(vg()->pwm.log[0].result, c.first_result);
        EXPECT_EQ(vg()->slept_us, c.status == 0 ? 150000u : 0u) << "only a sounding chirp or beep waits";
    }
}

TEST_F(Buzzer, HoldRampFollowsTheHoldTimeAndCapsAtItsLength)
{
    const struct { const char* kind; std::vector<uint32_t> hz; /* key-down, then the ramp */ uint32_t chirp; } cases[] = {
        {"1", {400, 400, 400, 411, 675, 949, 950, 1001, 1499, 1500, 1500, 1500}, 1700},
        {"2", {550, 550, 550, 566, 950, 1349, 1350, 1350, 1350, 1350, 1350, 1350}, 1600},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("kind ") + c.kind);
        vg_reset();
        ASSERT_EQ(vg_run(ramp, &c.kind, 1).status, 0);
        Writes expected = {"export=7", "enable=0", "duty_cycle=0"};
        for (const uint32_t hz : c.hz) {
            add_tone(expected, hz);
            if (expected.size() == 5)
                expected.push_back("enable=1");  // from silence only
        }
        // The kind's chirp: silence, the tone from silence, silence.
        expected.insert(expected.end(), {"duty_cycle=0", "enable=0"});
        add_tone(expected, c.chirp);
        expected.insert(expected.end(), {"enable=1", "duty_cycle=0", "enable=0"});
        EXPECT_EQ(pwm_writes(), expected);
    }
}

// The full program: PLAY held past 3 s.
TEST_F(Buzzer, PlayHoldSoundsKeyDownToneRisingRampChirpAndSilence)
{
    std::string error;
    ASSERT_GE(vg_keys_script("PLAY:3100", 1000, &error), 0) << error;
    ASSERT_EQ(run().status, 0);
    const VgPwm& p = vg()->pwm;
    const Writes w = pwm_writes();
    ASSERT_GE(w.size(), 20u);
    const Writes head = {"export=7", "enable=0", "duty_cycle=0", "period=2500000", "duty_cycle=1250000", "enable=1"};
    EXPECT_EQ(Writes(w.begin(), w.begin() + 6), head) << "init, then the 400 Hz key-down tone";
    EXPECT_EQ(w[6], "period=2500000");
    EXPECT_EQ(p.log[6].t_us, p.log[3].t_us) << "the ramp starts at 400 Hz in the turn of the press";
    // One ramp tone per loop turn (30 ms of sleep plus the turn's work), each
    // higher than the one before, up to the first turn 3 s after the press.
    size_t i = 8;
    for (; i + 1 < w.size() && w[i].rfind("period=", 0) == 0; i += 2) {
        EXPECT_NEAR(p.log[i].t_us - p.log[i - 2].t_us, 45000.0, 15000.0) << "30 ms to 60 ms apart, write " << i;
        EXPECT_LT(std::stoul(p.log[i].text), std::stoul(p.log[i - 2].text)) << "rising every turn, write " << i;
    }
    EXPECT_LT(p.log[i - 4].t_us - p.log[3].t_us, 3000000u);
    EXPECT_GE(p.log[i - 2].t_us - p.log[3].t_us, 3000000u);
    EXPECT_EQ(w[i - 2], "period=666666") << "the ramp ends at 1500 Hz";
    const Writes tail = {"duty_cycle=0", "enable=0", "period=588235", "duty_cycle=294117", "enable=1",
                         "duty_cycle=0", "enable=0", "duty_cycle=0", "enable=0"};
    EXPECT_EQ(Writes(w.begin() + static_cast<long>(i), w.end()), tail) << "the 1700 Hz chirp, then the final off";
    EXPECT_EQ(p.log[w.size() - 4].t_us - p.log[w.size() - 5].t_us, 100000u) << "the chirp lasts 100 ms";
}

}  // namespace
