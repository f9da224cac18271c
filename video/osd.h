// Text on the video processor's OSD engine: an 8 x 32 grid of glyph cells.
// A shadow of what each cell shows keeps redraws down to the changed cells;
// every cell write is read back and retried until it is verified.
#pragma once

#include <cstdint>

constexpr int OSD_ROWS = 8;
constexpr int OSD_COLS = 32;
constexpr int OSD_CELLS = OSD_ROWS * OSD_COLS;

constexpr int OSD_REG_COMMIT = 0x0A00;
constexpr int OSD_REG_CONTROL = 0x0A01;
constexpr uint8_t OSD_CONTROL_ON = 0x01;  // the OSD is shown; the other bits are kept
constexpr int OSD_REG_WIN_X0 = 0x0A04;  // pairs of registers, low byte first
constexpr int OSD_REG_WIN_X1 = 0x0A06;
constexpr int OSD_REG_WIN_Y0 = 0x0A08;
constexpr int OSD_REG_WIN_Y1 = 0x0A0A;
constexpr int OSD_REG_CELL_ROW = 0x0A1C;
constexpr int OSD_REG_CELL_COL = 0x0A1D;
constexpr int OSD_REG_CELL_DATA = 0x0A1E;
constexpr int OSD_REG_STATUS = 0x0A22;

constexpr int OSD_ROW_MODE_VERIFIED = 11;
constexpr int OSD_ROW_MODE_BLANK = 8;
constexpr uint8_t OSD_DATA_GLYPH = 0x80;  // set in every cell data byte
constexpr int OSD_BUSY_READS = 50;
constexpr unsigned OSD_BUSY_SLEEP_US = 2000;
constexpr unsigned OSD_RETRY_SLEEP_US = 20000;
constexpr int OSD_ATTEMPTS = 4;

// A whole row of spaces: what the clear and the exit blanking print.
inline constexpr char OSD_BLANK_ROW[OSD_COLS + 1] = "                                ";
static_assert(OSD_BLANK_ROW[OSD_COLS - 1] == ' ' && OSD_BLANK_ROW[OSD_COLS] == '\0');

struct OsdScreen {
    int fd;                     // borrowed transport descriptor
    uint8_t shadow[OSD_CELLS];  // what each cell is known to show, row by row; '?' unknown
    int32_t writes;             // verified cell writes
    int32_t fails;              // cell writes given up after every attempt
};

int osd_init(OsdScreen* s, int fd);
int osd_set_window(OsdScreen* s, int b1, int b2, int b3, int b4);
int osd_set_default_window(OsdScreen* s);
int osd_enable(OsdScreen* s, int on);
int osd_commit(OsdScreen* s);
int osd_glyph_index(unsigned ch);
int osd_put_char(OsdScreen* s, int row, int col, uint8_t ch);
void osd_print(OsdScreen* s, int row, int col, const char* text);
void osd_clear(OsdScreen* s);
