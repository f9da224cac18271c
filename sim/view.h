// The wearer's view: the test card with the picture registers applied and
// the OSD's visible grid over it, as an image or as a grid of terminal cells.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/picture_model.h"

struct ViewState {
    uint8_t regs[4] = {0x00, 0x80, 0x80, 0x00};  // 0x0890..0x0893
    char grid[8][33] {};                        // visible OSD text, '%' is the marker
    bool osd_on = false;
};

ViewState view_capture();  // from the virtual goggles as they are now
bool view_grid_blank(const ViewState& v);

// RGB bytes, w * h * 3.
std::vector<uint8_t> view_image(const ViewState& v, int w, int h);
int png_write(const char* path, const uint8_t* rgb, int w, int h, std::string* error);

// Terminal rendering. The picture is drawn in cells, each cell two picture
// pixels tall (upper half block), at most PIC_COLS by PIC_ROWS; the OSD's 32
// by 8 grid sits in its middle. Narrow or short terminals get a smaller
// picture, down to the grid with a cell of picture around it.
constexpr int PIC_COLS = 48;
constexpr int PIC_ROWS = 14;
constexpr int PIC_MIN_COLS = 34;
constexpr int PIC_MIN_ROWS = 10;

enum class ColourMode { TRUECOLOR, PALETTE256, PLAIN };
ColourMode colour_mode_from_env(const char* colorterm, const char* term);

// One line of a pic_cols by pic_rows picture, ready to print (escape
// sequences included, no newline), pic_cols cells wide. In PLAIN mode the
// picture is drawn with luma characters and the OSD text stands on blanks,
// so it stays readable without colour.
std::string view_term_line(const ViewState& v, int row, ColourMode mode, int pic_cols = PIC_COLS,
                           int pic_rows = PIC_ROWS);

// What the interactive screen shows around the picture.
struct ScreenText {
    std::string title;
    std::vector<std::string> panel;  // the goggles' state, a line each
    std::string note;                // what is going on, what a key does now
    std::vector<std::string> err;    // the program's last standard error lines
    std::string help = "";           // the keys; empty: the simulator's
};

// The lines of the program's standard error the screen has room for at most.
constexpr int ERR_LINES = 8;

// A whole frame for a cols by rows terminal. Each row is placed by cursor
// position and cut to the width, and no newline is written, so nothing
// wraps or scrolls. With too little room for the menu, one line asks for a
// larger window.
std::string view_frame(const ViewState& v, const ScreenText& text, int cols, int rows, ColourMode mode);
