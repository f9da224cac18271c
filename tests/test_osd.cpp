// The OSD text overlay: cell write sequences, verification and retries on
// virtual time, the shadow that keeps redraws small, clear, window, enable.
#include <cstring>
#include <string>
#include <vector>

#include "i2c/ri2c.h"
#include "support.h"
#include "video/osd.h"

namespace {

class Osd : public Goggles {
protected:
    int fd = -1;
    OsdScreen s {};
    void SetUp() override
    {
        Goggles::SetUp();
        fd = ri2c_open();
        ASSERT_GE(fd, 0);
        osd_init(&s, fd);
    }
    void TearDown() override
    {
        ri2c_close(fd);
        Goggles::TearDown();
    }
    uint8_t shadow(int row, int col) const { return s.shadow[row * OSD_COLS + col]; }
};

bool is_read_of(const VgI2cMessage& m, int reg)
{
    return m.cmd == RI2C_CMD_WRITE_READ && m.payload[16] == (reg & 0xFF) && m.payload[17] == (reg >> 8);
}

int reads_of(int reg, uint64_t from)
{
    int n = 0;
    for (uint64_t i = from; i < vg()->i2c.total; ++i)
        n += is_read_of(*vg_i2c_message(i), reg) ? 1 : 0;
    return n;
}

using Writes = std::vector<std::pair<int, int>>;

TEST_F(Osd, CellWriteSequence)
{
    EXPECT_EQ(osd_put_char(&s, 2, 5, 'A'), 0);
    ASSERT_EQ(vg()->i2c.total, 7u);
    // select, three writes, one status read, select again, read-back.
    const uint32_t kinds[7] = {RI2C_CMD_SELECT, RI2C_CMD_WRITE, RI2C_CMD_WRITE, RI2C_CMD_WRITE,
                               RI2C_CMD_WRITE_READ, RI2C_CMD_SELECT, RI2C_CMD_WRITE_READ};
    for (int i = 0; i < 7; ++i)
        EXPECT_EQ(vg_i2c_message(i)->cmd, kinds[i]) << "message " << i;
    EXPECT_EQ(payload_hex(*vg_i2c_message(0)), "len=16 02 00 00 00 00 00 00 00 5b 00 00 00 00 00 00 00");
    EXPECT_EQ(vproc_writes_since(0), (Writes {{0x0A1C, 0x2B}, {0x0A1D, 0x05}, {0x0A1E, 0x90}}));
    EXPECT_TRUE(is_read_of(*vg_i2c_message(4), 0x0A22));
    EXPECT_TRUE(is_read_of(*vg_i2c_message(6), 0x0A1E));
    EXPECT_EQ(shadow(2, 5), 'A');
    EXPECT_EQ(s.writes, 1);
    EXPECT_EQ(s.fails, 0);
    EXPECT_EQ(vg()->sleeps, 0u);

    EXPECT_EQ(osd_put_char(&s, 7, 31, '9'), 0);
    EXPECT_EQ(vproc_writes_since(7), (Writes {{0x0A1C, 0x7B}, {0x0A1D, 31}, {0x0A1E, 0x8D}}));
}

TEST_F(Osd, CellsOutsideTheGridSendNothing)
{
    const int cells[][2] = {{8, 0}, {0, 32}, {-1, 0}, {0, -1}, {-100, -100}};
    for (const auto& c : cells)
        EXPECT_EQ(osd_put_char(&s, c[0], c[1], 'A'), -1) << c[0] << "," << c[1];
    EXPECT_EQ(vg()->i2c.total, 0u);
    EXPECT_EQ(s.writes, 0);
    EXPECT_EQ(s.fails, 0);
}

TEST_F(Osd, CharactersWithoutGlyphGoOutBlankAndAreResent)
{
    for (const uint8_t ch : {uint8_t('a'), uint8_t('-'), uint8_t(0xC1)}) {
        const uint64_t from = vg()->i2c.total;
        EXPECT_EQ(osd_put_char(&s, 1, 1, ch), 0);
        EXPECT_EQ(vproc_writes_since(from).back(), std::make_pair(0x0A1E, 0x80));
        EXPECT_EQ(shadow(1, 1), ' ');
    }
    // The recorded ' ' never equals 'a', so printing it again sends it again;
    // a byte above 0x7F goes the same way on signed and unsigned char.
    const int before = vg()->vp.cell_writes;
    osd_print(&s, 1, 1, "a");
    osd_print(&s, 1, 1, "\xC1");
    EXPECT_EQ(vg()->vp.cell_writes - before, 2);
    EXPECT_EQ(s.writes, 5);
}

TEST_F(Osd, WrongReadBackIsRetriedAfter20ms)
{
    vg()->vp.wrong_readbacks = 3;
    const uint64_t t0 = vg()->now_us;
    EXPECT_EQ(osd_put_char(&s, 0, 0, 'Z'), 0);
    EXPECT_EQ(vg()->now_us - t0, 3 * 20000u);
    EXPECT_EQ(vg()->vp.cell_writes, 4);
    EXPECT_EQ(s.writes, 1);
    EXPECT_EQ(s.fails, 0);
    EXPECT_EQ(shadow(0, 0), 'Z');

    // Never right: four attempts, a pause after each, one failure counted.
    vg()->vp.readback_always_wrong = true;
    const uint64_t t1 = vg()->now_us;
    EXPECT_EQ(osd_put_char(&s, 0, 0, 'Y'), -1);
    EXPECT_EQ(vg()->now_us - t1, 4 * 20000u);
    EXPECT_EQ(vg()->vp.cell_writes, 8);
    EXPECT_EQ(s.writes, 1);
    EXPECT_EQ(s.fails, 1);
    EXPECT_EQ(shadow(0, 0), 'Z');
}

TEST_F(Osd, BusyEngineIsPolledAtMost50Times)
{
    vg()->vp.busy_reads_per_cell = 3;
    uint64_t t0 = vg()->now_us;
    EXPECT_EQ(osd_put_char(&s, 3, 3, 'B'), 0);
    EXPECT_EQ(reads_of(0x0A22, 0), 4);
    EXPECT_EQ(vg()->now_us - t0, 3 * 2000u);

    // Stuck busy: 50 reads and 50 sleeps, then the read-back decides.
    vg()->vp.busy_stuck = true;
    uint64_t from = vg()->i2c.total;
    t0 = vg()->now_us;
    EXPECT_EQ(osd_put_char(&s, 3, 4, 'C'), 0);
    EXPECT_EQ(reads_of(0x0A22, from), 50);
    EXPECT_EQ(vg()->now_us - t0, 50 * 2000u);
    EXPECT_EQ(s.writes, 2);

    vg()->vp.readback_always_wrong = true;
    from = vg()->i2c.total;
    t0 = vg()->now_us;
    EXPECT_EQ(osd_put_char(&s, 3, 5, 'D'), -1);
    EXPECT_EQ(reads_of(0x0A22, from), 4 * 50);
    EXPECT_EQ(vg()->now_us - t0, 4 * (50 * 2000u + 20000u));
}

TEST_F(Osd, EveryTransferFailing)
{
    s.shadow[4 * OSD_COLS + 4] = 'Q';
    vg()->i2c.faults.fail_all = true;
    const uint64_t t0 = vg()->now_us;
    EXPECT_EQ(osd_put_char(&s, 4, 4, 'A'), -1);
    EXPECT_EQ(vg()->now_us - t0, 480000u);
    EXPECT_EQ(reads_of(0x0A22, 0), 4 * 50);
    EXPECT_EQ(s.fails, 1);
    EXPECT_EQ(s.writes, 0);
    EXPECT_EQ(shadow(4, 4), 'Q');
}

TEST_F(Osd, PrintSendsOnlyChangedCells)
{
    osd_print(&s, 0, 0, "AB");
    EXPECT_EQ(s.writes, 2);
    uint64_t before = vg()->i2c.total;
    osd_print(&s, 0, 0, "AB");
    EXPECT_EQ(vg()->i2c.total, before);
    osd_print(&s, 0, 0, "AC");
    EXPECT_EQ(vproc_writes_since(before), (Writes {{0x0A1C, 0x0B}, {0x0A1D, 1}, {0x0A1E, 0x92}}));

    // Column 32 and beyond are dropped.
    before = vg()->i2c.total;
    osd_print(&s, 5, 31, "AB");
    EXPECT_EQ(vproc_writes_since(before), (Writes {{0x0A1C, 0x5B}, {0x0A1D, 31}, {0x0A1E, 0x90}}));

    // Nothing outside the grid, nothing for empty text; a negative start
    // column skips the cells left of the grid.
    before = vg()->i2c.total;
    osd_print(&s, 5, 32, "A");
    osd_print(&s, 8, 0, "A");
    osd_print(&s, -1, 0, "A");
    osd_print(&s, 5, 0, "");
    EXPECT_EQ(vg()->i2c.total, before);
    osd_print(&s, 6, -2, "XYZ");
    EXPECT_EQ(vproc_writes_since(before), (Writes {{0x0A1C, 0x6B}, {0x0A1D, 0}, {0x0A1E, 0xA9}}));

    // '?' has no glyph but compares equal to a '?' in the shadow.
    s.shadow[2 * OSD_COLS + 2] = '?';
    before = vg()->i2c.total;
    osd_print(&s, 2, 2, "?");
    EXPECT_EQ(vg()->i2c.total, before);
}

TEST_F(Osd, ClearBlanksUnverifiedThenVerifiesEveryCell)
{
    osd_clear(&s);
    const auto w = vproc_writes_since(0);
    ASSERT_EQ(w.size(), 2u * 3 * OSD_CELLS);
    for (int pass = 0; pass < 2; ++pass) {
        const int mode = pass == 0 ? 8 : 11;
        for (int cell = 0; cell < OSD_CELLS; ++cell) {
            const size_t at = static_cast<size_t>(pass * OSD_CELLS + cell) * 3;
            ASSERT_EQ(w[at], std::make_pair(0x0A1C, (cell / 32) * 16 + mode)) << pass << "/" << cell;
            ASSERT_EQ(w[at + 1], std::make_pair(0x0A1D, cell % 32));
            ASSERT_EQ(w[at + 2], std::make_pair(0x0A1E, 0x80));
        }
    }
    // The blanking pass reads the status once per 8 cells, and only that.
    uint64_t first_verified = 0;
    int blank_reads = 0;
    for (uint64_t i = 0; i < vg()->i2c.total && first_verified == 0; ++i) {
        const VgI2cMessage& m = *vg_i2c_message(i);
        if (m.cmd == RI2C_CMD_WRITE && m.payload[12] == 0x1C && (m.payload[14] & 0x0F) == 11)
            first_verified = i;
        else if (m.cmd == RI2C_CMD_WRITE_READ)
            blank_reads += is_read_of(m, 0x0A22) ? 1 : 100;
    }
    EXPECT_EQ(blank_reads, 32);
    EXPECT_EQ(s.writes, OSD_CELLS);
    EXPECT_EQ(s.fails, 0);
    for (int i = 0; i < OSD_CELLS; ++i)
        ASSERT_EQ(s.shadow[i], ' ') << i;
    EXPECT_EQ(vg()->vp.commits, 0);
}

TEST_F(Osd, DefaultWindow)
{
    EXPECT_EQ(osd_set_default_window(&s), 0);
    EXPECT_EQ(vg()->i2c.total, 8u);
    EXPECT_EQ(vproc_writes_since(0), (Writes {{0x0A08, 0x91},
                                              {0x0A09, 0x01},
                                              {0x0A0A, 0xB2},
                                              {0x0A0B, 0x02},
                                              {0x0A04, 0x91},
                                              {0x0A05, 0x02},
                                              {0x0A06, 0xB2},
                                              {0x0A07, 0x04}}));
}

TEST_F(Osd, EnableKeepsTheOtherControlBits)
{
    static const struct {
        uint8_t before;
        int flag;
        uint8_t after;
    } CASES[] = {{0x06, 1, 0x07}, {0x07, 0, 0x06}, {0xF0, 2, 0xF1}, {0xFF, 0, 0xFE}, {0x01, -1, 0x01}};
    for (const auto& c : CASES) {
        vg()->vp.regs[0x0A01] = c.before;
        EXPECT_EQ(osd_enable(&s, c.flag), 0);
        EXPECT_EQ(vg()->vp.regs[0x0A01], c.after) << int(c.before) << " flag " << c.flag;
    }
    // A failed read of the control register: the enable bit goes out alone.
    vg()->vp.regs[0x0A01] = 0x06;
    vg()->i2c.faults.fail_reads = true;
    const uint64_t before = vg()->i2c.total;
    osd_enable(&s, 1);
    EXPECT_EQ(vproc_writes_since(before), (Writes {{0x0A01, 0x01}}));
}

TEST_F(Osd, CommitShowsTheWorkingGrid)
{
    osd_print(&s, 3, 10, "OK");
    char line[33];
    vg_osd_visible_line(3, line);
    EXPECT_STREQ(line, "                                ");
    const uint64_t before = vg()->i2c.total;
    EXPECT_EQ(osd_commit(&s), 0);
    EXPECT_EQ(vproc_writes_since(before), (Writes {{0x0A00, 1}}));
    vg_osd_visible_line(3, line);
    EXPECT_STREQ(line, "          OK                    ");
    vg()->i2c.faults.fail_all = true;
    EXPECT_EQ(osd_commit(&s), -1);
}

TEST(OsdGlyphs, IndexTable)
{
    static const struct {
        unsigned ch;
        int glyph;
    } CASES[] = {{' ', 0},  {'%', 1},  {'.', 2},  {'/', 3},  {'0', 4},  {'9', 13}, {':', 14}, {'@', 15},
                 {'A', 16}, {'Z', 41}, {'a', -1}, {'-', -1}, {'?', -1}, {'[', -1}, {0, -1},   {0x80, -1},
                 {0xC1, -1}, {0x1A0, -1}};
    for (const auto& c : CASES)
        EXPECT_EQ(osd_glyph_index(c.ch), c.glyph) << c.ch;
    // Every glyph the program maps is the one the chip's font shows.
    for (unsigned ch = 0; ch < 256; ++ch) {
        const int g = osd_glyph_index(ch);
        if (g >= 0) {
            EXPECT_EQ(vg_glyph_char(static_cast<uint8_t>(0x80 + g)), static_cast<char>(ch)) << ch;
        }
    }
}

}  // namespace
