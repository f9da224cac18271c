// The OSD text overlay: cell write sequences, verification and retries on
// virtual time, the shadow that keeps redraws small, clear, window, enable.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "i2c/ri2c.h"
#include "support.h"
#include "video/osd.h"

namespace {

using Osd = TransportGoggles;
using Writes = std::vector<std::pair<int, int>>;

// The transfers since index from, in short: "sel", "0a1c=2b" for a
// register write, "?0a22" for a register read.
std::string trace(uint64_t from)
{
    std::string out;
    for (uint64_t i = from; i < vg()->i2c.total; ++i) {
        const VgI2cMessage& m = *vg_i2c_message(i);
        char b[16] = " sel";
        if (m.cmd == RI2C_CMD_WRITE)
            std::snprintf(b, sizeof b, " %02x%02x=%02x", m.payload[13], m.payload[12], m.payload[14]);
        else if (m.cmd != RI2C_CMD_SELECT)
            std::snprintf(b, sizeof b, " ?%02x%02x", m.payload[17], m.payload[16]);
        out += b;
    }
    return out;
}

TEST_F(Osd, CellWriteSequenceInsideTheGridOnly)
{
    EXPECT_EQ(osd_put_char(&s, 2, 5, 'A'), 0);
    EXPECT_EQ(osd_put_char(&s, 7, 31, '9'), 0);
    EXPECT_EQ(trace(0), " sel 0a1c=2b 0a1d=05 0a1e=90 ?0a22 sel ?0a1e sel 0a1c=7b 0a1d=1f 0a1e=8d ?0a22 sel ?0a1e");
    for (const auto& c : {std::make_pair(8, 0), {0, 32}, {-1, 0}, {0, -1}, {-100, -100}})
        EXPECT_EQ(osd_put_char(&s, c.first, c.second, 'A'), -1) << c.first << "," << c.second;
    EXPECT_EQ(sent(), 14u);
}

TEST_F(Osd, VerificationRetriesOnVirtualTime)
{
    // A wrong read-back is written again after 20 ms, four attempts in all;
    // a busy engine is polled every 2 ms, at most 50 times per attempt.
    // reads: the status polls and read-backs together.
    static const struct { const char* name; void (*fault)(); int ret; uint64_t ms; uint64_t reads; int cell_writes; } CASES[] = {
        {"clean", [] {}, 0, 0, 2, 1},
        {"three wrong read-backs", [] { vg()->vp.wrong_readbacks = 3; }, 0, 3 * 20, 4 * 2, 4},
        {"always wrong", [] { vg()->vp.readback_always_wrong = true; }, -1, 4 * 20, 4 * 2, 4},
        {"busy for 3 reads", [] { vg()->vp.busy_reads_per_cell = 3; }, 0, 3 * 2, 5, 1},
        // Only bit 0 of the status says busy, whatever the other bits hold.
        {"idle, other status bits set", [] { vg()->vp.status_other_bits = 0xFE; }, 0, 0, 2, 1},
        {"busy for 3 reads, other status bits set",
         [] { vg()->vp.status_other_bits = 0xFE, vg()->vp.busy_reads_per_cell = 3; }, 0, 3 * 2, 5, 1},
        {"busy for ever", [] { vg()->vp.busy_stuck = true; }, 0, 50 * 2, 51, 1},
        {"every transfer failing", [] { vg()->i2c.faults.fail_all = true; }, -1, 4 * (50 * 2 + 20), 4 * 51, 0},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.name);
        vg_reset();  // fresh goggles, so the transport is opened again
        osd_init(&s, fd = ri2c_open());
        s.shadow[0] = 'Q';
        c.fault();
        EXPECT_EQ(osd_put_char(&s, 0, 0, 'Z'), c.ret);
        EXPECT_EQ(vg_elapsed_ms(), c.ms);
        EXPECT_EQ(vg()->i2c.by_kind[RI2C_CMD_WRITE_READ], c.reads);
        EXPECT_EQ(vg()->vp.cell_writes, c.cell_writes);
        EXPECT_EQ(s.fails, c.ret == 0 ? 0 : 1);
        EXPECT_EQ(s.shadow[0], c.ret == 0 ? 'Z' : '?');  // a given-up cell is unknown, never the old 'Q'
    }
}

TEST_F(Osd, PrintSendsOnlyChangedCells)
{
    // In order: identical text sends nothing; column 32 on, cells left of
    // the grid, rows outside it and empty text are dropped; cells left of
    // the grid are not cells of the row above either (nor, on row 0, memory
    // before the grid): its end is still sent as it changes; characters
    // without a glyph go out blank and the shadow records ' ', so they are
    // sent again (signed or unsigned char alike) while a blank is not, but
    // '?' matches a '?' already in the shadow.
    // A fresh record knows no cell, whatever its memory held: every
    // character is sent, also one without a glyph (code 1).
    std::memset(s.shadow, 'A', sizeof s.shadow);
    EXPECT_EQ(osd_init(&s, fd), 0);
    const Writes a_blank = {{0x0A1C, 0x1B}, {0x0A1D, 1}, {0x0A1E, 0x80}};
    const struct { int row, col; const char* text; Writes cells; } STEPS[] = {
        {0, 0, "AB", {{0x0A1C, 0x0B}, {0x0A1D, 0}, {0x0A1E, 0x90}, {0x0A1C, 0x0B}, {0x0A1D, 1}, {0x0A1E, 0x91}}},
        {0, 0, "AB", {}},
        {0, 0, "AC", {{0x0A1C, 0x0B}, {0x0A1D, 1}, {0x0A1E, 0x92}}},
        {5, 31, "AB", {{0x0A1C, 0x5B}, {0x0A1D, 31}, {0x0A1E, 0x90}}},
        {6, -2, "XYZ", {{0x0A1C, 0x6B}, {0x0A1D, 0}, {0x0A1E, 0xA9}}},
        {0, -2, "XYZ", {{0x0A1C, 0x0B}, {0x0A1D, 0}, {0x0A1E, 0xA9}}}, {4, -3, "AB", {}},
        {5, 30, "XY", {{0x0A1C, 0x5B}, {0x0A1D, 30}, {0x0A1E, 0xA7}, {0x0A1C, 0x5B}, {0x0A1D, 31}, {0x0A1E, 0xA8}}},
        {5, 32, "AB", {}}, {8, 0, "AB", {}}, {-1, 0, "AB", {}}, {0, 0, "", {}},
        {1, 1, "a", a_blank}, {1, 1, "a", a_blank}, {1, 1, "\xC1", a_blank}, {1, 1, "\xFF", a_blank}, {1, 1, " ", {}},
        {2, 2, "?", {}}, {3, 3, "\x01", {{0x0A1C, 0x3B}, {0x0A1D, 3}, {0x0A1E, 0x80}}},
    };
    s.shadow[2 * OSD_COLS + 2] = '?';
    for (const auto& step : STEPS) {
        const uint64_t before = sent();
        osd_print(&s, step.row, step.col, step.text);
        EXPECT_EQ(vproc_writes_since(before), step.cells) << step.row << "," << step.col << " " << step.text;
    }
}

TEST_F(Osd, ClearBlanksUnverifiedThenVerifiesEveryCell)
{
    osd_put_char(&s, 0, 0, 'A');
    osd_put_char(&s, 0, 1, ' ');  // a blank the shadow knows is verified again too
    const uint64_t from = sent();
    osd_clear(&s);
    // Blanking: a status read per 8 cells, no read-back; then every cell verified.
    std::string want;
    char b[64];
    for (int cell = 0; cell < 2 * OSD_CELLS; ++cell) {
        const bool verify = cell >= OSD_CELLS;
        std::snprintf(b, sizeof b, " sel 0a1c=%02x 0a1d=%02x 0a1e=80%s", cell % OSD_CELLS / 32 * 16 + (verify ? 11 : 8),
                      cell % 32, verify ? " ?0a22 sel ?0a1e" : cell % 8 == 0 ? " ?0a22" : "");
        want += b;
    }
    EXPECT_EQ(trace(from), want);
    EXPECT_EQ(s.writes, 2 + OSD_CELLS);
}

TEST_F(Osd, WindowEnableAndFont)
{
    EXPECT_EQ(osd_set_default_window(&s), 0);
    EXPECT_EQ(trace(0), " 0a08=91 0a09=01 0a0a=b2 0a0b=02 0a04=91 0a05=02 0a06=b2 0a07=04");
    const uint64_t from = sent();
    EXPECT_EQ(osd_set_window(&s, 0x1FF, 0x2FF, 0x3FF, 0x5FF), 0);
    EXPECT_EQ(trace(from), " 0a08=ff 0a09=01 0a0a=ff 0a0b=03 0a04=ff 0a05=02 0a06=ff 0a07=05");
    // Enabling keeps the other control bits; a failed read sends the bit alone.
    static const int ENABLE[][4] = {{0x06, 1, 0x07, 0}, {0x07, 0, 0x06, 0}, {0xF0, 2, 0xF1, 0}, {0x06, 1, 0x01, 1}};
    for (const auto& c : ENABLE) {
        vg()->vp.regs[0x0A01] = static_cast<uint8_t>(c[0]);
        vg()->i2c.faults.fail_reads = c[3] != 0;
        osd_enable(&s, c[1]);
        EXPECT_EQ(vg()->vp.regs[0x0A01], c[2]) << c[0] << " flag " << c[1];
    }
    // The characters the program maps, and each as the chip's font shows it.
    std::string mapped, shown;
    for (unsigned ch = 0; ch < 0x200; ++ch) {
        if (osd_glyph_index(ch) < 0) {
            EXPECT_EQ(osd_glyph_index(ch), -1) << ch;
            continue;
        }
        mapped += static_cast<char>(ch);
        shown += vg_glyph_char(static_cast<uint8_t>(0x80 + osd_glyph_index(ch)));
    }
    EXPECT_EQ(mapped, " %./0123456789:@ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(shown, mapped);
}

}  // namespace
