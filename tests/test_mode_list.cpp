// The mode-list text format and the self-contained AV gate.
#include <cstring>
#include <unistd.h>
#include <string>

#include "support.h"
#include "video/mode.h"
#include "video/mode_list.h"

namespace {

TEST(ModeList, ParseAllowsAndFormat)
{
    // An unknown word runs to the next comma; a newline ends no word.
    static const struct { const char* text; int mask; } PARSE[] = {
        {"", 1}, {"normal", 1}, {"av", 2}, {"hdmi", 4}, {"normal,av", 3}, {" av , hdmi\t", 6}, {"\tav\thdmi", 6},
        {"AV", 1}, {"avx,hdmi", 4}, {"foo av", 1}, {"foo av,av", 2}, {"av\n", 1}, {"av,normal,hdmi", 7},
        {",,, ,", 1}, {"normalav", 1}, {"hdm", 1},
        // A word that only begins like a name is not that name; a blank after one ends it.
        {"normalx,av", 2}, {"hdmix,av", 2}, {"avx", 1}, {"normal av", 3}, {"hdmi av", 6},
    };
    for (const auto& c : PARSE)
        EXPECT_EQ(mode_list_parse(c.text), c.mask) << '"' << c.text << '"';
    EXPECT_EQ(mode_list_parse(nullptr), 1);

    static const int ALLOWS[][3] = {{2, MODE_AV, 1}, {2, MODE_HDMI, 0}, {4, MODE_HDMI, 1}, {4, MODE_AV, 0}, {1, MODE_NORMAL, 1},
                                    {6, MODE_NORMAL, 0}, {7, MODE_UNKNOWN, 0}, {7, 4, 0}, {7, -1, 0}, {-1, MODE_AV, 1}};
    for (const auto& c : ALLOWS)
        EXPECT_EQ(mode_list_allows(c[0], c[1]), c[2]) << c[0] << " " << c[1];

    // Whole words that fit with their terminator; nothing past size bytes.
    static const struct { int mask; unsigned size; const char* text; } FORMAT[] = {
        {0, 16, "normal"}, {2, 16, "av"}, {4, 16, "hdmi"}, {7, 16, "normal,av,hdmi"}, {6, 16, "av,hdmi"},
        {5, 16, "normal,hdmi"}, {7, 15, "normal,av"}, {7, 10, "normal"}, {3, 8, "av"}, {3, 9, "normal"},
        {4, 6, "norma"}, {4, 7, "hdmi"}, {2, 4, "nor"}, {0, 1, ""}, {6, 8, "av"}, {7, 0, ""},
        {2, 5, "av"}, {3, 11, "normal,av"},
    };
    for (const auto& c : FORMAT) {
        SCOPED_TRACE("mask " + std::to_string(c.mask) + " size " + std::to_string(c.size));
        char buf[32];
        std::memset(buf, 'X', sizeof buf);
        EXPECT_EQ(mode_list_format(c.mask, buf, c.size), buf);
        EXPECT_STREQ(c.size > 0 ? buf : "", c.text);
        EXPECT_EQ(std::string(buf + c.size, sizeof buf - c.size), std::string(sizeof buf - c.size, 'X'));
    }
}

using ModeGate = Goggles;

TEST_F(ModeGate, RereadsOnlyAnUnknownModeAndRefusesAMismatch)
{
    std::string err;
    auto gate = [&](int mode) { int ok = -1; err = capture_stderr([&] { ok = mode_gate(mode); }); return ok; };
    const std::string silent = "mode: LT8668 B7=0x00 AD=0x00 AC=0x00\n";
    vg_lt8668_set_input(VG_INPUT_NONE);
    EXPECT_EQ(gate(MODE_AV), 0);
    EXPECT_EQ(err, silent + silent + silent + "ODMOWA: tryb gogli=0, apka wymaga=3 (0=? 1=NORMAL 2=HDMI 3=AV)\n");
    EXPECT_EQ(vg_elapsed_ms(), 1200u);
    EXPECT_EQ(vg()->slept_us, 1200000u) << "two waits of 600 ms to the microsecond";
    EXPECT_EQ(gate(MODE_UNKNOWN), 1);  // "?" required and still silent
    EXPECT_EQ(vg()->i2c.closes, 2);
    // A known but wrong mode is refused at once.
    vg_lt8668_set_input(VG_INPUT_HDMI);
    EXPECT_EQ(gate(MODE_AV), 0);
    EXPECT_EQ(err, "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\nODMOWA: tryb gogli=2, apka wymaga=3 (0=? 1=NORMAL 2=HDMI 3=AV)\n");
    EXPECT_EQ(vg_elapsed_ms(), 2400u);
    // Descriptor 0 (a program started with its input closed) is a transport too.
    vg_lt8668_set_input(VG_INPUT_AV);
    int ok = -1;
    err = capture_stderr([&] {
        const int input = dup(0);
        close(0);
        ok = mode_gate(MODE_AV);
        dup2(input, 0);
        close(input);
    });
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(err, "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n");
    vg()->i2c.present = false;
    EXPECT_EQ(gate(MODE_AV), 0);
    EXPECT_EQ(err, "mode_gate: brak transportu i2c \xe2\x80\x94 ODMOWA\n");
}

}  // namespace
