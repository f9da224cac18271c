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

// Terminal rendering. The picture is PIC_COLS by PIC_ROWS cells, each cell
// two picture pixels tall (upper half block); the OSD's 32 by 8 grid sits
// at OSD_COL, OSD_ROW within it.
constexpr int PIC_COLS = 48;
constexpr int PIC_ROWS = 14;
constexpr int OSD_COL = 8;
constexpr int OSD_ROW = 3;

enum class ColourMode { TRUECOLOR, PALETTE256, PLAIN };
ColourMode colour_mode_from_env(const char* colorterm, const char* term);

// One line of the picture, ready to print (escape sequences included, no
// newline). In PLAIN mode the picture is drawn with luma characters and the
// OSD text stands on blanks, so it stays readable without colour.
std::string view_term_line(const ViewState& v, int row, ColourMode mode);
