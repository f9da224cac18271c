// The wearer's picture: a synthetic test card and the video processor's four
// picture controls applied to it, from the register bytes the program wrote.
#pragma once

#include <cstdint>

struct Rgb {
    uint8_t r, g, b;
};

// The register bytes of 0x0890..0x0893 as the processor holds them.
struct PictureRegs {
    uint8_t brightness = 0x00;  // signed offset, 0x00 neutral
    uint8_t contrast = 0x80;    // unsigned gain, 0x80 = 1.0
    uint8_t saturation = 0x80;  // unsigned chroma gain, 0x80 = 1.0
    uint8_t hue = 0x00;         // signed rotation, 0x80 = 180 degrees
};

PictureRegs picture_regs_from(const uint8_t regs[4]);

// The card at (x, y) of a w by h frame: eight 75% colour bars over the top
// two thirds, a grey ramp from black to white below.
Rgb test_card(int x, int y, int w, int h);

// One pixel as the processor outputs it: luma scaled by contrast and offset
// by brightness, chroma scaled by saturation and rotated by hue.
Rgb apply_picture(const PictureRegs& p, Rgb in);

// Rec. 601 luma, 0..255.
double luma_of(Rgb c);
