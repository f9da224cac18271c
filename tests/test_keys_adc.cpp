// The ADC key sampler: the register sequence of one conversion, the
// voltage windows, rejected conversions and the open/close states.
#include <dirent.h>

#include <string>

#include "keys/keys.h"
#include "support.h"

namespace {

// Taken before main, while the sampler has never been opened in this process.
struct NeverOpened {
    int sample;
    uint64_t accesses;
    int ready;
};
const NeverOpened never_opened = [] {
    vg_reset();
    const int s = keys_sample();
    return NeverOpened {s, vg()->adc.trace_total, keys_ready()};
}();

int open_fds()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr)
            ++n;
        closedir(d);
    }
    return n;
}

// The ADC accesses since trace index from, as "S018=6 L810=400 ...".
std::string accesses_since(uint64_t from)
{
    std::string s;
    char b[32];
    for (uint64_t i = from; i < vg()->adc.trace_total; ++i) {
        const VgAdcAccess& a = vg()->adc.trace[i % VG_ADC_TRACE_SIZE];
        std::snprintf(b, sizeof b, "%s%c%03X=%u", s.empty() ? "" : " ", a.store ? 'S' : 'L', a.offset,
                      static_cast<unsigned>(a.value));
        s += b;
    }
    return s;
}

class KeysAdc : public ::testing::Test {
protected:
    void SetUp() override
    {
        vg_reset();
        ASSERT_EQ(keys_open(), 0);
    }
    void TearDown() override { keys_close(); }

    int sample_raw(uint32_t raw)
    {
        vg()->adc.override_raw = true;
        vg()->adc.raw_value = raw;
        return keys_sample();
    }
};

TEST(KeysAdcClosed, BeforeOpenNoButtonAndNoRegisterAccess)
{
    EXPECT_EQ(never_opened.sample, KEY_NONE);
    EXPECT_EQ(never_opened.accesses, 0u);
    EXPECT_EQ(never_opened.ready, 0);
}

TEST(KeysAdcClosed, OpenMapsThePageOfTheBlockAndClosesTheDevice)
{
    vg_reset();
    keys_close();
    const int fds = open_fds();
    ASSERT_EQ(keys_open(), 0);
    EXPECT_EQ(vg()->adc.last_open_flags, 0x101002u);  // O_RDWR | O_SYNC
    EXPECT_EQ(vg()->adc.last_map_offset, 0x60632000);
    EXPECT_EQ(vg()->adc.maps, 1);
    EXPECT_EQ(keys_ready(), 1);
    EXPECT_EQ(open_fds(), fds) << "the descriptor of /dev/mem must not stay open";

    // Closed again: no button and no access; opening again maps a second page.
    keys_close();
    EXPECT_EQ(keys_ready(), 0);
    const uint64_t before = vg()->adc.trace_total;
    vg()->adc.override_raw = true;
    vg()->adc.raw_value = vg_key_raw(KEY_UP);
    EXPECT_EQ(keys_sample(), KEY_NONE);
    EXPECT_EQ(vg()->adc.trace_total, before);
    ASSERT_EQ(keys_open(), 0);
    EXPECT_EQ(vg()->adc.maps, 2);
    EXPECT_EQ(keys_sample(), KEY_UP);
    keys_close();
}

TEST(KeysAdcClosed, OpenAndMapFailuresLeaveTheStateAsItWas)
{
    vg_reset();
    keys_close();
    const int fds = open_fds();
    vg()->adc.present = false;
    EXPECT_EQ(keys_open(), -1);
    EXPECT_EQ(keys_ready(), 0);

    vg()->adc.present = true;
    vg()->adc.map_fails = true;
    EXPECT_EQ(keys_open(), -1);
    EXPECT_EQ(keys_ready(), 0);
    EXPECT_EQ(open_fds(), fds) << "a failed mapping must close /dev/mem";

    // A failure while open keeps the sampler open.
    vg()->adc.map_fails = false;
    ASSERT_EQ(keys_open(), 0);
    vg()->adc.map_fails = true;
    EXPECT_EQ(keys_open(), -1);
    EXPECT_EQ(keys_ready(), 1);
    keys_close();
}

TEST_F(KeysAdc, OneConversionAccessesTheRegistersInOrder)
{
    // Fresh block: 0x038 reads 0, so it is set to 6; a button is held, so
    // the result is read twice with the settle pause between.
    uint64_t from = vg()->adc.trace_total;
    const uint64_t t0 = vg()->now_us;
    EXPECT_EQ(sample_raw(300), KEY_BACK);
    EXPECT_EQ(accesses_since(from), "S018=6 S800=6 S040=140 L038=0 S038=6 L810=300 L810=300 L018=6");
    EXPECT_EQ(vg()->now_us - t0, 9000u);
    const VgAdcAccess* tr = vg()->adc.trace;
    EXPECT_EQ(tr[from + 6].t_us - tr[from + 5].t_us, 9000u) << "the pause lies between the two result reads";

    // 0x038 now holds 6; high bits beside a low byte of 6 are left alone.
    vg()->adc.block[ADC_REG_CONFIG / 4] = 0x106;
    from = vg()->adc.trace_total;
    EXPECT_EQ(sample_raw(115), KEY_NONE);  // 202 mV: in the gap below PLAY
    EXPECT_EQ(accesses_since(from), "S018=6 S800=6 S040=140 L038=262 L810=115 L810=115 L018=6");

    // Below 115 counts: one read of the result and no pause.
    from = vg()->adc.trace_total;
    const uint64_t t1 = vg()->now_us;
    EXPECT_EQ(sample_raw(114), KEY_NONE);
    EXPECT_EQ(accesses_since(from), "S018=6 S800=6 S040=140 L038=262 L810=114 L018=6");
    EXPECT_EQ(vg()->now_us, t1);
    EXPECT_EQ(keys_last_mv(), 201u);
}

TEST_F(KeysAdc, SecondReadingDecides)
{
    // The button is let go during the settle pause.
    vg_key_hold(KEY_DOWN, 0, 5);
    EXPECT_EQ(keys_sample(), KEY_NONE);
    EXPECT_EQ(keys_last_raw(), vg()->adc.idle_raw);
}

TEST_F(KeysAdc, VoltageWindows)
{
    const struct {
        uint32_t raw;
        int key;
        uint32_t mv;
    } table[] = {
        {0, KEY_NONE, 0},
        {113, KEY_NONE, 199},
        {169, KEY_NONE, 298},
        {170, KEY_PLAY, 300},
        {283, KEY_PLAY, 499},
        {284, KEY_BACK, 501},
        {396, KEY_BACK, 698},
        {397, KEY_UP, 700},
        {509, KEY_UP, 898},
        {510, KEY_LEFT, 900},
        {623, KEY_LEFT, 1099},
        {624, KEY_RIGHT, 1101},
        {736, KEY_RIGHT, 1298},
        {737, KEY_4, 1300},
        {849, KEY_4, 1498},
        {850, KEY_DOWN, 1500},
        {963, KEY_DOWN, 1699},
        {964, KEY_5, 1701},
        {1076, KEY_5, 1898},
        {1077, KEY_NONE, 1900},
        {1078, KEY_NONE, 1902},
        // The word is never masked; the product wraps modulo 2^32.
        {0xFFFFFFFFu, KEY_NONE, 4210750},
        {2386263, KEY_PLAY, 300},
    };
    for (const auto& row : table) {
        EXPECT_EQ(sample_raw(row.raw), row.key) << "raw " << row.raw;
        EXPECT_EQ(keys_last_raw(), row.raw);
        EXPECT_EQ(keys_last_mv(), row.mv) << "raw " << row.raw;
    }
}

TEST_F(KeysAdc, RejectedConversionKeepsTheLastValues)
{
    ASSERT_EQ(sample_raw(vg_key_raw(KEY_LEFT)), KEY_LEFT);
    const uint32_t raw = keys_last_raw();
    const uint32_t mv = keys_last_mv();

    vg()->adc.reject_next = 1;  // 0x018 reads back 0x07
    EXPECT_EQ(sample_raw(vg_key_raw(KEY_UP)), -1);
    EXPECT_EQ(keys_last_raw(), raw);
    EXPECT_EQ(keys_last_mv(), mv);

    // Only the low byte is checked: 0x106 passes.
    vg()->adc.ctrl_status_bits = 0x100;
    EXPECT_EQ(sample_raw(vg_key_raw(KEY_UP)), KEY_UP);
    EXPECT_EQ(vg()->adc.trace[(vg()->adc.trace_total - 1) % VG_ADC_TRACE_SIZE].value, 0x106u);
}

}  // namespace
