// osd_print with arbitrary text, rows and columns, on the virtual video
// processor: nothing outside the 8 x 32 grid is ever sent; each cell sent
// is one the text covers, in its own row and column, with the glyph of its
// character (a blank for characters without one); cells outside the text
// keep what they showed; and every cell sent ends verified, even when the
// first read-backs come back wrong.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "i2c/ri2c.h"
#include "video/osd.h"
#include "vgoggles/vgoggles.h"

namespace {

char shows(unsigned char ch)
{
    static const char FONT[] = " %./0123456789:@ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    return ch != 0 && std::strchr(FONT, ch) != nullptr ? static_cast<char>(ch) : ' ';
}

int coordinate(uint8_t b)
{
    if (b == 0x80)
        return INT_MIN;
    if (b == 0x7F)
        return INT_MAX;
    return static_cast<int8_t>(b) / 4;  // mostly near the grid
}

uint32_t word(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

void print_and_check(OsdScreen* s, int row, int col, const std::string& text)
{
    VgWorld* w = vg();
    uint8_t before[OSD_CELLS], shadow_before[OSD_CELLS];
    std::memcpy(before, w->vp.working, sizeof before);
    std::memcpy(shadow_before, s->shadow, sizeof shadow_before);
    const uint64_t from = w->i2c.total;
    const long writes = s->writes;

    osd_print(s, row, col, text.c_str());

    // The cells the text covers inside the grid, and what each must show.
    const size_t len = std::strlen(text.c_str());
    auto covered = [&](int r, int c) {
        return r == row && r >= 0 && r < OSD_ROWS && c >= 0 && c < OSD_COLS && static_cast<long>(c) >= col &&
               static_cast<long>(c) - col < static_cast<long>(len);
    };
    long expected_sends = 0;
    for (int c = 0; c < OSD_COLS; ++c) {
        if (covered(row, c) && static_cast<unsigned char>(text[static_cast<size_t>(c - col)]) != shadow_before[row * OSD_COLS + c])
            ++expected_sends;
    }

    int cell_row = -1, cell_col = -1;
    for (uint64_t i = from; i < w->i2c.total; ++i) {
        const VgI2cMessage* m = vg_i2c_message(i);
        if (m == nullptr)
            std::abort();
        if (m->cmd != RI2C_CMD_WRITE || word(m->payload + 8) != 3)
            continue;
        const int reg = m->payload[12] | (m->payload[13] << 8), val = m->payload[14];
        if (reg == OSD_REG_CELL_ROW) {
            if ((val & 0x0F) != OSD_ROW_MODE_VERIFIED || (val >> 4) != row)
                std::abort();
            cell_row = val >> 4;
        } else if (reg == OSD_REG_CELL_COL) {
            cell_col = val;
        } else if (reg == OSD_REG_CELL_DATA) {
            if (!covered(cell_row, cell_col))
                std::abort();  // a cell the text does not cover, or outside the grid
            if (vg_glyph_char(static_cast<uint8_t>(val)) != shows(static_cast<unsigned char>(text[static_cast<size_t>(cell_col - col)])))
                std::abort();
        } else {
            std::abort();  // printing writes nothing but cells
        }
    }
    if (s->writes - writes != expected_sends || s->fails != 0)
        std::abort();
    for (int r = 0; r < OSD_ROWS; ++r) {
        for (int c = 0; c < OSD_COLS; ++c) {
            const int cell = r * OSD_COLS + c;
            if (!covered(r, c)) {
                if (w->vp.working[cell] != before[cell] || s->shadow[cell] != shadow_before[cell])
                    std::abort();
                continue;
            }
            const char want = shows(static_cast<unsigned char>(text[static_cast<size_t>(c - col)]));
            if (vg_glyph_char(w->vp.working[cell]) != want || s->shadow[cell] != static_cast<uint8_t>(want))
                std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static int fd = -1;
    static OsdScreen screen;
    if (fd < 0) {
        vg()->limit_us = UINT64_MAX;
        fd = ri2c_open();
        if (fd < 0)
            std::abort();
    }
    if (size < 4)
        return 0;
    osd_init(&screen, fd);
    const int row = coordinate(data[0]);
    const int col = coordinate(data[1]);
    const std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
    vg()->vp.wrong_readbacks = data[2] & 3;  // up to three retries per print: all still verified
    print_and_check(&screen, row, col, text);
    // Again over the shadow, shifted: only changed cells are sent.
    vg()->vp.wrong_readbacks = (data[2] >> 2) & 3;
    const long shifted = static_cast<long>(col) + data[3] % 5 - 2;
    print_and_check(&screen, row, static_cast<int>(shifted < INT_MIN ? INT_MIN : (shifted > INT_MAX ? INT_MAX : shifted)),
                    text);
    return 0;
}
