// A small bitmap font for the 42 glyphs of the OSD, for the snapshot image.
#pragma once

#include <cstdint>

constexpr int FONT_W = 5;
constexpr int FONT_H = 7;

// Seven rows of five bits (bit 4 is the leftmost pixel) for the character a
// cell shows; '%' is the OSD's marker glyph and is drawn as a pointer.
// Characters outside the font give a filled box.
const uint8_t* font_glyph(char c);
