// The ADC key sampler: the register sequence of one conversion, the
// voltage windows, rejected conversions and the open/close states.
#include <unistd.h>

#include <string>

#include "keys/keys.h"
#include "support.h"

namespace {

// Taken before main, while the sampler has never been opened in this process.
const bool never_opened_is_silent = [] {
    vg_reset();
    return keys_sample() == KEY_NONE && vg()->adc.trace_total == 0 && keys_ready() == 0 && keys_last_raw() == 0 &&
           keys_last_mv() == 0;
}();

class KeysAdc : public ::testing::Test {
protected:
    void SetUp() override
    {
        vg_reset();
        ASSERT_EQ(keys_open(), 0);
    }
    void TearDown() override { keys_close(); }

    static int sample_raw(uint32_t raw)
    {
        vg()->adc.override_raw = true;
        vg()->adc.raw_value = raw;
        return keys_sample();
    }

    // The ADC accesses since trace index from, as "S018=6 L810=400 ...",
    // with any time passing between two of them shown as "+9000us".
    static std::string accesses_since(uint64_t from)
    {
        std::string s;
        char b[48];
        for (uint64_t i = from; i < vg()->adc.trace_total; ++i) {
            const VgAdcAccess& a = vg()->adc.trace[i % VG_ADC_TRACE_SIZE];
            const uint64_t gap = i > from ? a.t_us - vg()->adc.trace[(i - 1) % VG_ADC_TRACE_SIZE].t_us : 0;
            if (gap > 0)
                s += " +" + std::to_string(gap) + "us";
            std::snprintf(b, sizeof b, " %c%03X=%u", a.store ? 'S' : 'L', a.offset, static_cast<unsigned>(a.value));
            s += b;
        }
        return s.substr(1);
    }
};

TEST_F(KeysAdc, OpenMapsThePageOfTheBlock)
{
    EXPECT_TRUE(never_opened_is_silent) << "no button and no access before the first open";
    EXPECT_EQ(vg()->adc.last_open_flags, 0x101002u);  // O_RDWR | O_SYNC
    EXPECT_EQ(vg()->adc.last_map_offset, 0x60632000);
}

// One conversion after another. A fresh block's 0x038 reads 0 and is set to
// 6; once it holds 6, high bits beside it are left alone. From 115 counts up
// the result is read twice with the 9 ms settle pause between; below, once.
// A conversion whose 0x018 reads back 0x07 is refused and leaves the last
// raw count and voltage as they were; only the low byte is checked, so
// 0x106 passes.
TEST_F(KeysAdc, ConversionsAccessTheRegistersInOrder)
{
    const struct {
        uint32_t raw, config, status_bits;
        int reject, key;
        uint32_t last_raw, last_mv;
        const char* accesses;
    } rows[] = {
        {300, 0, 0, 0, KEY_BACK, 300, 529, "S018=6 S800=6 S040=140 L038=0 S038=6 L810=300 +9000us L810=300 L018=6"},
        {115, 0x106, 0, 0, KEY_NONE, 115, 202, "S018=6 S800=6 S040=140 L038=262 L810=115 +9000us L810=115 L018=6"},
        {114, 0x106, 0, 0, KEY_NONE, 114, 201, "S018=6 S800=6 S040=140 L038=262 L810=114 L018=6"},
        {454, 6, 0, 1, -1, 114, 201, "S018=6 S800=6 S040=140 L038=6 L810=454 +9000us L810=454 L018=7"},
        {454, 6, 0x100, 0, KEY_UP, 454, 801, "S018=6 S800=6 S040=140 L038=6 L810=454 +9000us L810=454 L018=262"},
        {454, 7, 0, 0, KEY_UP, 454, 801, "S018=6 S800=6 S040=140 L038=7 S038=6 L810=454 +9000us L810=454 L018=6"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("raw " + std::to_string(row.raw));
        vg()->adc.block[ADC_REG_CONFIG / 4] = row.config;
        vg()->adc.ctrl_status_bits = row.status_bits;
        vg()->adc.reject_next = row.reject;
        const uint64_t from = vg()->adc.trace_total;
        EXPECT_EQ(sample_raw(row.raw), row.key);
        EXPECT_EQ(accesses_since(from), row.accesses);
        EXPECT_EQ(keys_last_raw(), row.last_raw);
        EXPECT_EQ(keys_last_mv(), row.last_mv);
    }
}

// A /dev/mem that cannot be opened, or whose page cannot be mapped: the
// open fails without leaving its descriptor, and the sampler stays silent.
TEST_F(KeysAdc, FailedOpenLeavesNoDescriptorAndASilentSampler)
{
    keys_close();
    const struct { const char* name; bool present, map_fails; } rows[] = {
        {"no /dev/mem", false, false},
        {"the page cannot be mapped", true, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        vg_reset();
        vg()->adc.present = row.present;
        vg()->adc.map_fails = row.map_fails;
        const int lowest_free = dup(0);
        close(lowest_free);
        EXPECT_EQ(keys_open(), -1);
        const int now_free = dup(0);
        close(now_free);
        EXPECT_EQ(now_free, lowest_free) << "a descriptor was left open";
        EXPECT_EQ(keys_ready(), 0);
        EXPECT_EQ(keys_sample(), KEY_NONE);
        EXPECT_EQ(vg()->adc.trace_total, 0u);
    }
    // Descriptor 0 (a program started with its input closed) opens the block too.
    vg_reset();
    const int input = dup(0);
    close(0);
    EXPECT_EQ(keys_open(), 0);
    dup2(input, 0);
    close(input);
    EXPECT_EQ(keys_ready(), 1);
}

// The sampler's windows, as the summary command reads recorded conversions too.
TEST_F(KeysAdc, VoltageWindows)
{
    // {raw, key, mV}; the word is never masked and the product wraps modulo 2^32.
    const uint32_t rows[][3] = {
        {0, KEY_NONE, 0}, {113, KEY_NONE, 199}, {169, KEY_NONE, 298}, {170, KEY_PLAY, 300}, {283, KEY_PLAY, 499},
        {284, KEY_BACK, 501}, {396, KEY_BACK, 698}, {397, KEY_UP, 700}, {509, KEY_UP, 898}, {510, KEY_LEFT, 900},
        {623, KEY_LEFT, 1099}, {624, KEY_RIGHT, 1101}, {736, KEY_RIGHT, 1298}, {737, KEY_4, 1300}, {849, KEY_4, 1498},
        {850, KEY_DOWN, 1500}, {963, KEY_DOWN, 1699}, {964, KEY_5, 1701}, {1076, KEY_5, 1898}, {1077, KEY_NONE, 1900},
        {1078, KEY_NONE, 1902}, {0xFFFFFFFFu, KEY_NONE, 4210750}, {2386263, KEY_PLAY, 300},
        // Through the wrap, every edge to the millivolt on both sides.
        {14316671, KEY_NONE, 200}, {114, KEY_NONE, 201}, {19088913, KEY_NONE, 299}, {14316841, KEY_BACK, 500},
        {4772582, KEY_BACK, 699}, {19089253, KEY_UP, 899}, {14317181, KEY_RIGHT, 1100}, {4772922, KEY_RIGHT, 1299},
        {19089593, KEY_4, 1499}, {14317521, KEY_5, 1700}, {4773262, KEY_5, 1899}, {11931542, KEY_NONE, 1901},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE("raw " + std::to_string(row[0]));
        EXPECT_EQ(sample_raw(row[0]), static_cast<int>(row[1]));
        EXPECT_EQ(keys_last_raw(), row[0]);
        EXPECT_EQ(keys_last_mv(), row[2]);
        EXPECT_EQ(keys_key_of_mv(keys_raw_to_mv(row[0])), static_cast<int>(row[1])) << "the summary's reading";
    }
}

}  // namespace
