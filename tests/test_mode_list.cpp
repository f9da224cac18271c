// The mode-list text format and the self-contained AV gate.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "support.h"
#include "video/mode.h"
#include "video/mode_list.h"

namespace {

std::string capture_stderr(const std::function<void()>& f)
{
    const int mem = memfd_create("err", 0);
    const int saved = dup(2);
    dup2(mem, 2);
    f();
    dup2(saved, 2);
    close(saved);
    std::string out;
    char buf[512];
    ssize_t n;
    lseek(mem, 0, SEEK_SET);
    while ((n = read(mem, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(mem);
    return out;
}

TEST(ModeList, Parse)
{
    EXPECT_EQ(mode_list_parse(nullptr), 1);
    static const struct {
        const char* text;
        int mask;
    } CASES[] = {
        {"", 1},
        {"normal", 1},
        {"av", 2},
        {"hdmi", 4},
        {"normal,av", 3},
        {"hdmi,av", 6},
        {" av , hdmi\t", 6},
        {"\tav\thdmi", 6},
        {"AV", 1},
        {"avx,hdmi", 4},
        {"foo av", 1},     // an unknown word runs to the next comma
        {"foo av,av", 2},
        {"av\n", 1},       // a newline ends no word
        {"av,normal,hdmi", 7},
        {",,, ,", 1},
        {"normalav", 1},
        {"hdm", 1},
    };
    for (const auto& c : CASES)
        EXPECT_EQ(mode_list_parse(c.text), c.mask) << '"' << c.text << '"';
}

TEST(ModeList, AllowsUsesTheBitOfEachMode)
{
    EXPECT_EQ(mode_list_allows(MODE_BIT_AV, MODE_AV), 1);
    EXPECT_EQ(mode_list_allows(MODE_BIT_AV, MODE_HDMI), 0);
    EXPECT_EQ(mode_list_allows(MODE_BIT_HDMI, MODE_HDMI), 1);
    EXPECT_EQ(mode_list_allows(MODE_BIT_HDMI, MODE_AV), 0);
    EXPECT_EQ(mode_list_allows(MODE_BIT_NORMAL, MODE_NORMAL), 1);
    EXPECT_EQ(mode_list_allows(6, MODE_NORMAL), 0);
    for (int mask = 0; mask < 8; ++mask) {
        EXPECT_EQ(mode_list_allows(mask, MODE_UNKNOWN), 0);
        EXPECT_EQ(mode_list_allows(mask, 4), 0);
        EXPECT_EQ(mode_list_allows(mask, -1), 0);
    }
    EXPECT_EQ(mode_list_allows(-1, MODE_AV), 1);
}

TEST(ModeList, FormatWithinTheBufferSize)
{
    static const struct {
        int mask;
        unsigned size;
        const char* text;
    } CASES[] = {
        {0, 16, "normal"},        {1, 16, "normal"},      {2, 16, "av"},          {4, 16, "hdmi"},
        {7, 16, "normal,av,hdmi"}, {6, 16, "av,hdmi"},    {5, 16, "normal,hdmi"}, {3, 16, "normal,av"},
        {7, 15, "normal,av"},     {7, 10, "normal"},      {7, 11, "normal,av"},   {3, 8, "av"},
        {3, 9, "normal"},         {4, 6, "norma"},        {4, 7, "hdmi"},         {2, 5, "av"},
        {2, 4, "nor"},            {0, 1, ""},             {6, 9, "av,hdmi"},      {6, 8, "av"},
    };
    for (const auto& c : CASES) {
        char buf[32];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(mode_list_format(c.mask, buf, c.size), buf);
        EXPECT_STREQ(buf, c.text) << "mask " << c.mask << " size " << c.size;
        EXPECT_LT(std::strlen(buf), c.size);
        for (unsigned i = c.size; i < sizeof buf; ++i)
            ASSERT_EQ(buf[i], 'X') << "mask " << c.mask << " size " << c.size << " wrote byte " << i;
    }
    char untouched[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(mode_list_format(7, untouched, 0), untouched);
    EXPECT_EQ(std::memcmp(untouched, "abcd", 4), 0);
}

class ModeGate : public Goggles {};

TEST_F(ModeGate, SilentChipIsReadThreeTimesThenRefused)
{
    vg_lt8668_set_input(VG_INPUT_NONE);
    const uint64_t t0 = vg()->now_us;
    int ok = -1;
    const std::string err = capture_stderr([&] { ok = mode_gate(MODE_AV); });
    EXPECT_EQ(ok, 0);
    const std::string mode_line = "mode: LT8668 B7=0x00 AD=0x00 AC=0x00\n";
    EXPECT_EQ(err, mode_line + mode_line + mode_line +
                       "ODMOWA: tryb gogli=0, apka wymaga=3 (0=? 1=NORMAL 2=HDMI 3=AV)\n");
    EXPECT_EQ(vg()->now_us - t0, 1200000u);
    EXPECT_EQ(vg()->sleeps, 2u);
    EXPECT_EQ(vg()->i2c.opens, 1);
    EXPECT_EQ(vg()->i2c.closes, 1);

    // Required "?" and the chip still silent after the retries: accepted.
    EXPECT_EQ(mode_gate(MODE_UNKNOWN), 1);
    EXPECT_EQ(vg()->i2c.closes, 2);
}

TEST_F(ModeGate, RetriesOnlyWhileTheModeIsUnknown)
{
    // The first B7 read fails once; the retry 600 ms later finds AV.
    vg()->i2c.faults.fail_nth = 3;
    const uint64_t t0 = vg()->now_us;
    int ok = -1;
    const std::string err = capture_stderr([&] { ok = mode_gate(MODE_AV); });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(split_lines(err).size(), 2u);
    EXPECT_EQ(vg()->now_us - t0, 600000u);

    // A known but wrong mode is refused at once.
    vg_lt8668_set_input(VG_INPUT_HDMI);
    const uint64_t t1 = vg()->now_us;
    const std::string err2 = capture_stderr([&] { ok = mode_gate(MODE_AV); });
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(err2, "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
                    "ODMOWA: tryb gogli=2, apka wymaga=3 (0=? 1=NORMAL 2=HDMI 3=AV)\n");
    EXPECT_EQ(vg()->now_us, t1);
}

TEST_F(ModeGate, NoTransport)
{
    vg()->i2c.present = false;
    int ok = -1;
    const std::string err = capture_stderr([&] { ok = mode_gate(MODE_AV); });
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(err, "mode_gate: brak transportu i2c \xe2\x80\x94 ODMOWA\n");
    EXPECT_EQ(vg()->i2c.total, 0u);
}

}  // namespace
