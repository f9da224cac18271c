// Key events: the three-sample debounce, press and release events and the
// hold time measured on the wrapping millisecond clock.
#include <vector>

#include "keys/keys.h"
#include "support.h"

namespace {

constexpr int NONE = KEY_NONE;
constexpr int REJECT = -1;  // a conversion the block refuses
constexpr uint64_t TURN_US = 30000;

class KeyEvents : public ::testing::Test {
protected:
    void SetUp() override { settle(100000); }

    // Fresh goggles whose clock starts at start_ms, the sampler open and the
    // debounce settled on no button (its state lives for the whole process).
    void settle(uint64_t start_ms)
    {
        vg_reset(start_ms);
        ASSERT_EQ(keys_open(), 0);
        vg()->adc.override_raw = true;
        for (int i = 0; i < 3; ++i)
            poll(NONE);
    }

    // One loop turn: the sample shows the given key, the poll runs, then the
    // turn's sleep. Returns the event.
    int poll(int key, int32_t* held = nullptr)
    {
        if (key == REJECT) {
            vg()->adc.reject_next = 1;
        } else {
            vg()->adc.raw_value = key == NONE ? 12 : vg_key_raw(key);
        }
        const int event = keys_poll(held);
        last_poll_ms = vg()->now_us / 1000;
        vg_advance(TURN_US);
        return event;
    }

    std::vector<int> events(std::initializer_list<int> keys)
    {
        std::vector<int> out;
        for (int k : keys)
            out.push_back(poll(k));
        return out;
    }

    uint64_t last_poll_ms = 0;  // clock at the end of the last poll
};

using Ev = std::vector<int>;

TEST_F(KeyEvents, PressOnTheThirdSampleReleaseOnTheThirdNone)
{
    for (int key = 0; key < 8; ++key) {
        int32_t held = 77;
        EXPECT_EQ(poll(key, &held), 0);
        EXPECT_EQ(poll(key, &held), 0);
        EXPECT_EQ(held, 77) << "nothing is written without an event";
        EXPECT_EQ(poll(key, &held), key + 1) << "key " << key;
        EXPECT_EQ(held, 0) << "a press writes 0";
        const uint64_t pressed_at = last_poll_ms;
        EXPECT_EQ(events({key, key, key, key}), Ev({0, 0, 0, 0}));

        held = 77;
        EXPECT_EQ(poll(NONE, &held), 0);
        EXPECT_EQ(poll(NONE, &held), 0);
        EXPECT_EQ(held, 77);
        EXPECT_EQ(poll(NONE, &held), -(key + 1)) << "key " << key;
        EXPECT_EQ(held, static_cast<int32_t>(last_poll_ms - pressed_at));
        EXPECT_EQ(held, 30 + 4 * 39 + 2 * 30) << "the press turn, 4 held turns with the settle pause, 2 without";
        EXPECT_EQ(events({NONE, NONE, NONE}), Ev({0, 0, 0}));
    }
}

TEST_F(KeyEvents, ShortDropOutsGiveNoEvents)
{
    ASSERT_EQ(events({KEY_UP, KEY_UP, KEY_UP}), Ev({0, 0, 1}));
    const uint64_t pressed_at = last_poll_ms;
    EXPECT_EQ(events({NONE, KEY_UP, KEY_UP, KEY_UP, NONE, NONE, KEY_UP, KEY_UP, KEY_UP, KEY_UP}), Ev(10, 0));
    // The press time was not restarted by the drop-outs.
    int32_t held = 0;
    EXPECT_EQ(events({NONE, NONE}), Ev({0, 0}));
    EXPECT_EQ(poll(NONE, &held), -1);
    EXPECT_EQ(held, static_cast<int32_t>(last_poll_ms - pressed_at));

    // A release shorter than three polls between two holds of one button.
    EXPECT_EQ(events({KEY_LEFT, KEY_LEFT, KEY_LEFT, NONE, NONE, KEY_LEFT, KEY_LEFT, KEY_LEFT}),
              Ev({0, 0, 3, 0, 0, 0, 0, 0}));
}

TEST_F(KeyEvents, ChangeFromOneButtonToAnotherReportsOnlyTheSecondPress)
{
    ASSERT_EQ(events({KEY_RIGHT, KEY_RIGHT, KEY_RIGHT}), Ev({0, 0, 4}));
    EXPECT_EQ(events({NONE, KEY_LEFT, KEY_LEFT, KEY_LEFT}), Ev({0, 0, 0, 3}));
    const uint64_t left_pressed_at = last_poll_ms;
    EXPECT_EQ(events({KEY_LEFT, NONE, NONE}), Ev({0, 0, 0}));
    int32_t held = 0;
    EXPECT_EQ(poll(NONE, &held), -3);
    EXPECT_EQ(held, static_cast<int32_t>(last_poll_ms - left_pressed_at));
}

TEST_F(KeyEvents, AlternatingSamplesNeverGiveAnEvent)
{
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(poll(i % 2 ? KEY_PLAY : NONE), 0);
        EXPECT_EQ(poll(i % 2 ? KEY_DOWN : KEY_BACK), 0);
    }
}

TEST_F(KeyEvents, RejectedConversionIsSkipped)
{
    EXPECT_EQ(events({KEY_DOWN, KEY_DOWN, REJECT, KEY_DOWN}), Ev({0, 0, 0, 2}));
    EXPECT_EQ(events({NONE, REJECT, NONE, REJECT, REJECT, NONE}), Ev({0, 0, 0, 0, 0, -2}));
    // Rejections do not reset the count of a settled sample either.
    EXPECT_EQ(events({KEY_BACK, REJECT, KEY_BACK, KEY_BACK}), Ev({0, 0, 0, 8}));
    EXPECT_EQ(events({NONE, NONE, NONE}), Ev({0, 0, -8}));
}

TEST_F(KeyEvents, NullHoldTimeStillReportsAndStillRecordsThePress)
{
    // A press without a hold-time pointer still starts the hold clock.
    EXPECT_EQ(events({KEY_4, KEY_4, KEY_4}), Ev({0, 0, 5}));
    const uint64_t pressed_at = last_poll_ms;
    int32_t held = 0;
    EXPECT_EQ(events({KEY_4, NONE, NONE}), Ev({0, 0, 0}));
    EXPECT_EQ(poll(NONE, &held), -5);
    EXPECT_EQ(held, static_cast<int32_t>(last_poll_ms - pressed_at));

    EXPECT_EQ(events({KEY_5, KEY_5, KEY_5, NONE, NONE, NONE}), Ev({0, 0, 6, 0, 0, -6}));
}

TEST_F(KeyEvents, HoldAcrossTheClockWrapIsMeasuredTrue)
{
    // The millisecond count is the low 32 bits of the monotonic time: press
    // shortly before it wraps (and before it turns negative), release after.
    for (uint64_t mark : {1ull << 32, 1ull << 31, 5ull << 32}) {
        settle(mark - 300);
        ASSERT_EQ(events({KEY_RIGHT, KEY_RIGHT, KEY_RIGHT}), Ev({0, 0, 4}));
        EXPECT_LT(last_poll_ms, mark);
        int32_t held = 0;
        for (int i = 0; i < 10; ++i)
            poll(KEY_RIGHT);
        EXPECT_EQ(events({NONE, NONE}), Ev({0, 0}));
        EXPECT_EQ(poll(NONE, &held), -4);
        EXPECT_GT(last_poll_ms, mark);
        EXPECT_EQ(held, 30 + 10 * 39 + 2 * 30) << "wrap at " << mark;
    }
}

}  // namespace
