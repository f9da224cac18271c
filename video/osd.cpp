#include "video/osd.h"

#include <cstring>

#include "i2c/ri2c.h"
#include "os/os.h"

namespace {

void write_bound(int fd, int reg, int value)
{
    ri2c_write_reg(fd, reg, value & 0xFF);
    ri2c_write_reg(fd, reg + 1, (value >> 8) & 0xFF);
}

}  // namespace

int osd_init(OsdScreen* s, int fd)
{
    std::memset(s->shadow, 0, sizeof s->shadow);
    s->writes = 0;
    s->fails = 0;
    s->fd = fd;
    return 0;
}

int osd_set_window(OsdScreen* s, int b1, int b2, int b3, int b4)
{
    write_bound(s->fd, OSD_REG_WIN_Y0, b1);
    write_bound(s->fd, OSD_REG_WIN_Y1, b3);
    write_bound(s->fd, OSD_REG_WIN_X0, b2);
    ri2c_write_reg(s->fd, OSD_REG_WIN_X1, b4 & 0xFF);
    return ri2c_write_reg(s->fd, OSD_REG_WIN_X1 + 1, (b4 >> 8) & 0xFF);
}

int osd_set_default_window(OsdScreen* s) { return osd_set_window(s, 401, 657, 690, 1202); }

int osd_enable(OsdScreen* s, int on)
{
    uint8_t ctl = 0;  // a failed read leaves 0: the enable bit is then written alone
    ri2c_read_reg(s->fd, OSD_REG_CONTROL, &ctl);
    ctl = static_cast<uint8_t>((ctl & ~unsigned {OSD_CONTROL_ON}) | (on ? OSD_CONTROL_ON : 0u));
    return ri2c_write_reg(s->fd, OSD_REG_CONTROL, ctl);
}

int osd_commit(OsdScreen* s) { return ri2c_write_reg(s->fd, OSD_REG_COMMIT, 1); }

int osd_glyph_index(unsigned ch)
{
    if (ch == ' ') return 0;
    if (ch == '%') return 1;
    if (ch == '.') return 2;
    if (ch == '/') return 3;
    if (ch >= '0' && ch <= '9') return static_cast<int>(ch) - 44;
    if (ch == ':') return 14;
    if (ch == '@') return 15;
    if (ch >= 'A' && ch <= 'Z') return static_cast<int>(ch) - 49;
    return -1;
}

int osd_put_char(OsdScreen* s, int row, int col, uint8_t ch)
{
    int glyph = osd_glyph_index(ch);
    if (glyph < 0) {
        glyph = 0;
        ch = ' ';
    }
    if (static_cast<unsigned>(row) >= OSD_ROWS || static_cast<unsigned>(col) >= OSD_COLS)
        return -1;

    const int row_byte = row * 16 + OSD_ROW_MODE_VERIFIED;
    const uint8_t data = static_cast<uint8_t>(OSD_DATA_GLYPH + glyph);
    for (int attempt = 0; attempt < OSD_ATTEMPTS; ++attempt) {
        uint8_t readback = 0;  // a failed read-back never matches: data has bit 7 set
        ri2c_select(s->fd, VPROC_BUS, VPROC_ADDR);
        // With the row or column not taken, the engine still points at an
        // earlier cell: data sent now would land there and pass the
        // read-back, leaving two cells wrong that the shadow believes right.
        const bool row_taken = ri2c_write_reg(s->fd, OSD_REG_CELL_ROW, row_byte) == 0;
        const bool selected = ri2c_write_reg(s->fd, OSD_REG_CELL_COL, col) == 0 && row_taken;
        if (selected)
            ri2c_write_reg(s->fd, OSD_REG_CELL_DATA, data);
        for (int poll = 0; poll < OSD_BUSY_READS; ++poll) {
            uint8_t status = 1;  // a failed status read counts as busy
            ri2c_read_reg(s->fd, OSD_REG_STATUS, &status);
            if ((status & 1) == 0)
                break;
            os_usleep(OSD_BUSY_SLEEP_US);
        }
        ri2c_select(s->fd, VPROC_BUS, VPROC_ADDR);
        ri2c_read_reg(s->fd, OSD_REG_CELL_DATA, &readback);
        if (selected && readback == data) {
            s->shadow[row * OSD_COLS + col] = ch;
            ++s->writes;
            return 0;
        }
        os_usleep(OSD_RETRY_SLEEP_US);
    }
    // The cell now holds the old glyph, the new one (a write that landed but
    // never read back right) or nothing known: mark it unknown, as the clear
    // does, so any later print of the cell, the exit blanking included,
    // sends it again instead of trusting a stale shadow.
    s->shadow[row * OSD_COLS + col] = '?';
    ++s->fails;
    return -1;
}

void osd_print(OsdScreen* s, int row, int col, const char* text)
{
    if (text[0] == '\0' || col > OSD_COLS - 1)
        return;
    const bool row_in_grid = static_cast<unsigned>(row) < OSD_ROWS;
    for (const char* p = text; *p != '\0' && col < OSD_COLS; ++p, ++col) {
        const uint8_t ch = static_cast<uint8_t>(*p);
        if (!row_in_grid || col < 0)
            continue;  // outside the grid: nothing is ever sent
        if (ch != s->shadow[row * OSD_COLS + col])
            osd_put_char(s, row, col, ch);
    }
}

void osd_clear(OsdScreen* s)
{
    // Blanking pass: every cell once, unverified, with a status read per 8 cells.
    for (int row = 0; row < OSD_ROWS; ++row) {
        for (int col = 0; col < OSD_COLS; ++col) {
            ri2c_select(s->fd, VPROC_BUS, VPROC_ADDR);
            ri2c_write_reg(s->fd, OSD_REG_CELL_ROW, row * 16 + OSD_ROW_MODE_BLANK);
            ri2c_write_reg(s->fd, OSD_REG_CELL_COL, col);
            ri2c_write_reg(s->fd, OSD_REG_CELL_DATA, OSD_DATA_GLYPH);
            if (col % 8 == 0) {
                uint8_t status = 0;
                ri2c_read_reg(s->fd, OSD_REG_STATUS, &status);
            }
        }
    }
    // '?' has no glyph, so no text ever equals it: the verified pass sends every cell.
    std::memset(s->shadow, '?', sizeof s->shadow);
    for (int row = 0; row < OSD_ROWS; ++row)
        osd_print(s, row, 0, OSD_BLANK_ROW);
}
