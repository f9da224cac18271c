// Key events: the three-sample debounce, press and release events and the
// hold time measured on the wrapping millisecond clock.
#include <string>
#include <vector>

#include "keys/keys.h"
#include "os/os.h"
#include "support.h"

namespace {

using Ev = std::vector<int>;

class KeyEvents : public ::testing::Test {
protected:
    // Fresh goggles whose clock starts at start_ms, the sampler open and the
    // debounce settled on no button (its state lives for the whole process).
    void settle(uint64_t start_ms = 100000)
    {
        vg_reset(start_ms);
        ASSERT_EQ(keys_open(), 0);
        vg()->adc.override_raw = true;
        run("....");
    }

    // One loop turn per sample, the poll then the turn's 30 ms sleep; the
    // samples are U D L R 4 5 P B for a key, '.' for none and 'x' for a
    // refused conversion; the samples named in bare are polled without a
    // pointer for the hold time. Nothing is written to the hold time without
    // an event or a pointer, a press writes 0 and a release the time since
    // its press (also for a press polled without a pointer). Returns the events.
    Ev run(const std::string& samples, const std::string& bare = "")
    {
        Ev out;
        for (const char c : samples) {
            const int key = c == '.' ? KEY_NONE : static_cast<int>(std::string("UDLR45PB").find(c));
            vg()->adc.reject_next = c == 'x' ? 1 : 0;
            vg()->adc.raw_value = c == 'x' ? vg()->adc.raw_value : c == '.' ? 12 : vg_key_raw(key);
            held = 77;
            const bool no_ptr = bare.find(c) != std::string::npos;
            const int event = keys_poll(no_ptr ? nullptr : &held);
            now_ms = vg()->now_us / 1000;
            pressed_ms = event > 0 ? now_ms : pressed_ms;
            EXPECT_EQ(held, event == 0 || no_ptr ? 77 : event > 0 ? 0 : int32_t(now_ms - pressed_ms))
                << "event " << event;
            out.push_back(event);
            vg_advance(30000);
        }
        return out;
    }

    int32_t held = 0;
    uint64_t now_ms = 0, pressed_ms = 0;
};

TEST_F(KeyEvents, DebounceCases)
{
    const struct {
        const char* name;
        const char* samples;
        Ev events;
        const char* bare = "";
    } rows[] = {
        {"press on the third sample, release on the third none", "PPPPPPP...", {0, 0, 7, 0, 0, 0, 0, 0, 0, -7}},
        {"drop-outs keep the press and its time", "UUU.UUU..U...", {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1}},
        {"a short release between two holds", "LLL..LLL...", {0, 0, 3, 0, 0, 0, 0, 0, 0, 0, -3}},
        {"a direct change reports only the second press", "RRR.LLLL...", {0, 0, 4, 0, 0, 0, 3, 0, 0, 0, -3}},
        {"alternating samples", ".BPD.BPD", {0, 0, 0, 0, 0, 0, 0, 0}},
        {"refused conversions are skipped: A A -1 A", "DDxD.x.xx.", {0, 0, 0, 2, 0, 0, 0, 0, 0, -2}},
        {"A -1 A A", "BxBB...", {0, 0, 0, 8, 0, 0, -8}},
        {"presses polled without a pointer", "4444...555...", {0, 0, 5, 0, 0, 0, -5, 0, 0, 6, 0, 0, -6}, "45"},
        {"a release polled without a pointer", "PPP...", {0, 0, 7, 0, 0, -7}, "."},
    };
    for (const auto& row : rows) {
        settle();
        EXPECT_EQ(run(row.samples, row.bare), row.events) << row.name;
    }
}

// The millisecond count is the low 32 bits of the monotonic time: a press
// shortly before it wraps (or turns negative), released after, is timed true.
TEST_F(KeyEvents, HoldAcrossTheClockWrap)
{
    // Whole milliseconds only: 1.999999 s is 1999 ms, 1.001 s is 1001.
    vg_reset();
    for (const auto& [us, ms] : {std::pair(1999999ull, 1999), std::pair(1001000ull, 1001)}) {
        vg()->now_us = us;
        EXPECT_EQ(os_now_ms(), ms);
    }
    for (uint64_t mark : {1ull << 32, 1ull << 31, 5ull << 32}) {
        settle(mark - 300);
        EXPECT_EQ(run("RRRRRRRRRRRRR..."), Ev({0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -4})) << "mark " << mark;
        EXPECT_TRUE(pressed_ms < mark && now_ms > mark) << "mark " << mark;
        EXPECT_EQ(held, 30 + 10 * 39 + 2 * 30) << "mark " << mark;
    }
}

}  // namespace
