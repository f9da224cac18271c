// The video processor: a 16-bit register file with the OSD engine (cell
// writes, busy status, read-back, commit) and the picture controls.
#include <cstring>

#include "vgoggles/vgoggles.h"

namespace {

constexpr uint16_t REG_COMMIT = 0x0A00;
constexpr uint16_t REG_CONTROL = 0x0A01;
constexpr uint16_t REG_CELL_ROW = 0x0A1C;
constexpr uint16_t REG_CELL_COL = 0x0A1D;
constexpr uint16_t REG_CELL_DATA = 0x0A1E;
constexpr uint16_t REG_STATUS = 0x0A22;
constexpr uint16_t REG_PICTURE = 0x0890;

int selected_cell(const VgVproc& vp)
{
    const int row = vp.regs[REG_CELL_ROW] >> 4;
    const int col = vp.regs[REG_CELL_COL];
    return row < 8 && col < 32 ? row * 32 + col : -1;
}

void write_reg(VgVproc& vp, uint16_t reg, uint8_t value)
{
    vp.regs[reg] = value;
    if (reg == REG_CELL_DATA) {
        ++vp.cell_writes;
        const int cell = selected_cell(vp);
        if (cell >= 0) {
            vp.working[cell] = value;
            vp.cell_mode[cell] = vp.regs[REG_CELL_ROW] & 0x0F;
        }
        vp.busy_left = vp.busy_reads_per_cell;
    } else if (reg == REG_COMMIT && value == 1) {
        std::memcpy(vp.visible, vp.working, sizeof vp.visible);
        ++vp.commits;
    } else if (reg >= REG_PICTURE && reg < REG_PICTURE + 4) {
        ++vp.picture_writes[reg - REG_PICTURE];
    }
}

uint8_t read_reg(VgVproc& vp, uint16_t reg)
{
    if (reg == REG_STATUS) {
        const uint8_t others = vp.status_other_bits & 0xFE;
        if (vp.busy_stuck)
            return others | 1;
        if (vp.busy_left > 0) {
            --vp.busy_left;
            return others | 1;
        }
        return others;
    }
    if (reg == REG_CELL_DATA) {
        const int cell = selected_cell(vp);
        const uint8_t right = cell >= 0 ? vp.working[cell] : vp.regs[REG_CELL_DATA];
        if (vp.readback_always_wrong)
            return static_cast<uint8_t>(right ^ 0x01);
        if (vp.wrong_readbacks > 0) {
            --vp.wrong_readbacks;
            return static_cast<uint8_t>(right ^ 0x01);
        }
        return right;
    }
    return vp.regs[reg];
}

}  // namespace

// Writes: two register-number bytes (low first), then data bytes for
// consecutive registers.
int vg_vproc_write(const uint8_t* data, int n)
{
    VgVproc& vp = vg()->vp;
    if (vp.dead || n < 2)
        return -1;
    uint16_t reg = static_cast<uint16_t>(data[0] | (data[1] << 8));
    for (int i = 2; i < n; ++i)
        write_reg(vp, reg++, data[i]);
    return 0;
}

int vg_vproc_read(const uint8_t* wdata, int w, uint8_t* rdata, int r)
{
    VgVproc& vp = vg()->vp;
    if (vp.dead || w != 2)
        return -1;
    uint16_t reg = static_cast<uint16_t>(wdata[0] | (wdata[1] << 8));
    for (int i = 0; i < r; ++i)
        rdata[i] = read_reg(vp, reg++);
    return 0;
}

char vg_glyph_char(uint8_t data)
{
    static constexpr char GLYPHS[] = " %./0123456789:@ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    static_assert(sizeof GLYPHS - 1 == 42);
    if ((data & 0x80) == 0 || (data & 0x7F) >= 42)
        return '#';  // not a glyph the program ever writes
    return GLYPHS[data & 0x7F];
}

static void grid_line(const uint8_t* grid, int row, char out[33])
{
    for (int c = 0; c < 32; ++c)
        out[c] = vg_glyph_char(grid[row * 32 + c]);
    out[32] = '\0';
}

void vg_osd_visible_line(int row, char out[33]) { grid_line(vg()->vp.visible, row, out); }

void vg_osd_working_line(int row, char out[33]) { grid_line(vg()->vp.working, row, out); }

bool vg_osd_enabled() { return (vg()->vp.regs[REG_CONTROL] & 1) != 0; }
