// The buzzer's PWM writes, file by file and in order, and the PLAY-hold
// tones of the full program. The buzzer keeps its state in statics, so each
// scenario runs in a child of its own and the shared PWM log is read here.
#include <cerrno>
#include <cstdlib>

#include "buzzer/buzzer.h"
#include "support.h"

namespace {

// "file=text" for every PWM write, in order.
std::vector<std::string> pwm_writes()
{
    std::vector<std::string> out;
    const VgPwm& p = vg()->pwm;
    for (int i = 0; i < p.log_count; ++i)
        out.push_back(std::string(p.log[i].file) + "=" + p.log[i].text);
    return out;
}

// The tone a period write stands for.
std::string period_of(uint32_t hz) { return "period=" + std::to_string(1000000000u / hz); }
std::string duty_of(uint32_t hz) { return "duty_cycle=" + std::to_string((1000000000u / hz) / 2); }

VgRun run_scenario(VgEntry entry) { return vg_run(entry, nullptr, 0); }

// What buzzer_init writes on a fresh controller; the scenarios start with it.
const std::vector<std::string> INIT_WRITES = {"export=7", "enable=0", "duty_cycle=0"};

// The writes after the first n, checking that those were the init writes.
std::vector<std::string> writes_after_init(int n = 3)
{
    const std::vector<std::string> all = pwm_writes();
    EXPECT_GE(all.size(), static_cast<size_t>(n));
    if (all.size() < static_cast<size_t>(n))
        return all;
    EXPECT_EQ(std::vector<std::string>(all.begin(), all.begin() + 3), INIT_WRITES);
    return std::vector<std::string>(all.begin() + n, all.end());
}

int init_then_tone(int, char**)
{
    if (buzzer_init() != 0)
        return 1;
    buzzer_tone(400);
    return 0;
}

int without_controller(int, char**)
{
    const int rc = buzzer_init();
    // The channel turning up later must not wake the buzzer: init failed.
    vg()->pwm.present = true;
    vg()->pwm.exported = true;
    int kind = 1;
    buzzer_tone(400);
    buzzer_beep(1000, 50);
    buzzer_key_down(&kind, 1);
    buzzer_hold_ramp(&kind, 1500);
    buzzer_key_up();
    buzzer_exit_chirp(&kind);
    buzzer_off();
    return rc == -1 ? 0 : 1;
}

int tone_sequence(int, char**)
{
    buzzer_init();
    buzzer_tone(400);
    buzzer_tone(0);  // neither a write nor a change of the current tone
    buzzer_tone(411);
    buzzer_tone(411);
    buzzer_off();
    buzzer_key_up();  // silent already: nothing to write
    buzzer_tone(0);
    return 0;
}

// argv[1]: the hold kind; argv[2..]: elapsed times for the ramp.
int ramp(int argc, char** argv)
{
    buzzer_init();
    int kind = -5;
    const int wanted = std::atoi(argv[1]);
    buzzer_key_down(&kind, wanted);
    if (kind != wanted)
        return 1;
    for (int i = 2; i < argc; ++i)
        buzzer_hold_ramp(&kind, static_cast<uint32_t>(std::strtoul(argv[i], nullptr, 10)));
    return 0;
}

// argv[1]: the hold kind; argv[2]: "sounding" or "silent" before the chirp.
int chirp(int, char** argv)
{
    buzzer_init();
    int kind = 0;
    buzzer_key_down(&kind, std::atoi(argv[1]));
    buzzer_hold_ramp(&kind, 750);
    if (std::string(argv[2]) == "silent")
        buzzer_key_up();
    buzzer_exit_chirp(&kind);
    return 0;
}

int beeps(int, char**)
{
    buzzer_init();
    buzzer_beep(0, 50);
    buzzer_beep(1000, 0);
    buzzer_beep(1000, 50);
    return 0;
}

class Buzzer : public Goggles {};

TEST_F(Buzzer, InitExportsOrAcceptsBusyThenSilencesEnableBeforeDuty)
{
    for (const bool exported_before : {false, true}) {
        SCOPED_TRACE(exported_before ? "exported by an earlier run" : "fresh controller");
        vg_reset();
        vg()->pwm.exported = exported_before;
        const VgRun r = run_scenario(init_then_tone);
        EXPECT_EQ(r.status, 0) << "init must succeed";
        const std::vector<std::string> expected = {"export=7",        "enable=0", "duty_cycle=0",
                                                   "period=2500000", "duty_cycle=1250000", "enable=1"};
        EXPECT_EQ(pwm_writes(), expected);
        EXPECT_EQ(vg()->pwm.log[0].result, exported_before ? EBUSY : 0);
        EXPECT_TRUE(vg()->pwm.exported);
        EXPECT_TRUE(vg()->pwm.enabled);
    }
}

TEST_F(Buzzer, WithoutControllerEveryToneIsSilentButOffStillWrites)
{
    vg()->pwm.present = false;
    const VgRun r = run_scenario(without_controller);
    EXPECT_EQ(r.status, 0) << "buzzer_init must return -1";
    const std::vector<std::string> expected = {"duty_cycle=0", "enable=0"};
    EXPECT_EQ(pwm_writes(), expected);
    EXPECT_EQ(vg()->slept_us, 0u) << "neither the beep nor the chirp may wait";
}

TEST_F(Buzzer, ToneWritesPeriodDutyAndEnableOnlyFromSilence)
{
    ASSERT_EQ(run_scenario(tone_sequence).status, 0);
    const std::vector<std::string> expected = {
        "period=2500000", "duty_cycle=1250000", "enable=1",  // from silence
        "period=2433090", "duty_cycle=1216545",              // 411 Hz: no enable
        "period=2433090", "duty_cycle=1216545",              // the same tone again
        "duty_cycle=0",   "enable=0",                        // off: duty first
    };
    EXPECT_EQ(writes_after_init(), expected);
    for (int i = 3; i < vg()->pwm.log_count; ++i)
        EXPECT_EQ(vg()->pwm.log[i].result, 0) << "write " << i << " refused by the controller";
    EXPECT_FALSE(vg()->pwm.enabled);
}

TEST_F(Buzzer, HoldRampFollowsTheHoldTimeAndCapsAtItsLength)
{
    struct Case {
        const char* kind;
        uint32_t key_down_hz;
        std::vector<const char*> elapsed;
        std::vector<uint32_t> hz;
    };
    const Case cases[] = {
        {"1", 400, {"0", "30", "1500", "2999", "3000", "3001", "4294967295"}, {400, 411, 950, 1499, 1500, 1500, 1500}},
        {"2", 550, {"0", "1", "750", "1499", "1500", "4294967295"}, {550, 550, 950, 1349, 1350, 1350}},
        {"0", 550, {"1500"}, {1350}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("kind ") + c.kind);
        vg_reset();
        std::vector<const char*> args = {c.kind};
        args.insert(args.end(), c.elapsed.begin(), c.elapsed.end());
        const VgRun r = vg_run(ramp, args.data(), static_cast<int>(args.size()));
        ASSERT_EQ(r.status, 0) << "key_down must store the kind";
        std::vector<std::string> expected = {"export=7", "enable=0", "duty_cycle=0", period_of(c.key_down_hz),
                                             duty_of(c.key_down_hz), "enable=1"};
        for (const uint32_t hz : c.hz) {
            expected.push_back(period_of(hz));
            expected.push_back(duty_of(hz));
        }
        EXPECT_EQ(pwm_writes(), expected);
    }
}

TEST_F(Buzzer, ExitChirpSilencesPlaysOneHundredMillisecondsAndStops)
{
    struct Case {
        const char* kind;
        const char* before;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"1", "sounding",
         {"duty_cycle=0", "enable=0", "period=588235", "duty_cycle=294117", "enable=1", "duty_cycle=0", "enable=0"}},
        {"2", "sounding",
         {"duty_cycle=0", "enable=0", "period=625000", "duty_cycle=312500", "enable=1", "duty_cycle=0", "enable=0"}},
        {"1", "silent", {"period=588235", "duty_cycle=294117", "enable=1", "duty_cycle=0", "enable=0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("kind ") + c.kind + ", " + c.before);
        vg_reset();
        const char* args[] = {c.kind, c.before};
        ASSERT_EQ(vg_run(chirp, args, 2).status, 0);
        EXPECT_EQ(writes_after_init(std::string(c.before) == "silent" ? 10 : 8), c.expected);
        const VgPwm& p = vg()->pwm;
        ASSERT_GE(p.log_count, 3);
        const VgPwmWrite& on = p.log[p.log_count - 3];
        const VgPwmWrite& off = p.log[p.log_count - 2];
        EXPECT_EQ(off.t_us - on.t_us, 100000u) << "the chirp lasts 100 ms";
        EXPECT_FALSE(p.enabled);
        for (int i = 3; i < p.log_count; ++i)
            EXPECT_EQ(p.log[i].result, 0) << "write " << i << " refused by the controller";
    }
}

TEST_F(Buzzer, BeepPlaysForItsDurationAndIgnoresZeroes)
{
    ASSERT_EQ(run_scenario(beeps).status, 0);
    const std::vector<std::string> expected = {"period=1000000", "duty_cycle=500000", "enable=1", "duty_cycle=0",
                                               "enable=0"};
    EXPECT_EQ(writes_after_init(), expected);
    const VgPwm& p = vg()->pwm;
    EXPECT_EQ(p.log[p.log_count - 2].t_us - p.log[p.log_count - 3].t_us, 50000u);
    EXPECT_EQ(vg()->slept_us, 50000u) << "a beep of 0 Hz or 0 ms must not wait";
}

// The full program: PLAY held past 3 s.
TEST_F(Buzzer, PlayHoldSoundsKeyDownToneRisingRampChirpAndSilence)
{
    std::string error;
    ASSERT_GE(vg_keys_script("PLAY:3100", 1000, &error), 0) << error;
    const VgRun r = run();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("exit: PLAY held 3 s\n"), std::string::npos) << r.err;

    const VgPwm& p = vg()->pwm;
    const std::vector<std::string> all = pwm_writes();
    ASSERT_GE(all.size(), 20u);
    const std::vector<std::string> start(all.begin(), all.begin() + 6);
    const std::vector<std::string> expected_start = {"export=7",       "enable=0",           "duty_cycle=0",
                                                     "period=2500000", "duty_cycle=1250000", "enable=1"};
    EXPECT_EQ(start, expected_start) << "init, then the 400 Hz key-down tone";
    const uint64_t press_us = p.log[3].t_us;

    // The ramp: one tone per loop turn (30 ms of sleep plus the turn's
    // work), from 400 Hz at the press to 1500 Hz at the first turn that is
    // 3000 ms or more after it, each a little higher than the one before.
    size_t i = 6;
    uint64_t last_elapsed_ms = 0;
    uint32_t last_period = 0;
    int turns = 0;
    for (; i + 1 < all.size() && all[i].rfind("period=", 0) == 0; i += 2, ++turns) {
        SCOPED_TRACE("turn " + std::to_string(turns));
        const uint64_t elapsed_ms = (p.log[i].t_us - press_us) / 1000;
        const uint32_t hz = 400 + static_cast<uint32_t>(elapsed_ms < 3000 ? elapsed_ms : 3000) * 1100 / 3000;
        EXPECT_EQ(all[i], period_of(hz));
        EXPECT_EQ(all[i + 1], duty_of(hz));
        const uint32_t period = static_cast<uint32_t>(std::strtoul(p.log[i].text, nullptr, 10));
        if (turns == 0) {
            EXPECT_EQ(elapsed_ms, 0u) << "the ramp starts in the turn of the press";
        } else {
            EXPECT_GE(elapsed_ms - last_elapsed_ms, 30u);
            EXPECT_LT(elapsed_ms - last_elapsed_ms, 60u);
            EXPECT_LT(period, last_period) << "the tone must rise every turn";
            EXPECT_LT(last_elapsed_ms, 3000u) << "the program must leave at the first turn past 3 s";
        }
        last_elapsed_ms = elapsed_ms;
        last_period = period;
    }
    EXPECT_GT(turns, 50);
    EXPECT_GE(last_elapsed_ms, 3000u);
    EXPECT_EQ(last_period, 666666u) << "the ramp ends at 1500 Hz";

    const std::vector<std::string> tail(all.begin() + static_cast<long>(i), all.end());
    const std::vector<std::string> expected_tail = {"duty_cycle=0",      "enable=0", "period=588235",
                                                    "duty_cycle=294117", "enable=1", "duty_cycle=0",
                                                    "enable=0",          "duty_cycle=0", "enable=0"};
    EXPECT_EQ(tail, expected_tail) << "the 1700 Hz chirp, then buzzer_off at shut-down";
    EXPECT_FALSE(p.enabled);
    EXPECT_EQ(p.duty, 0u);
}

}  // namespace
