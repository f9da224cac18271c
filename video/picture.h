// The video processor's four picture controls, set from menu values 0..100.
#pragma once

#include "video/osd.h"

constexpr int PICTURE_REG_BRIGHTNESS = 0x0890;
constexpr int PICTURE_REG_CONTRAST = 0x0891;
constexpr int PICTURE_REG_SATURATION = 0x0892;
constexpr int PICTURE_REG_HUE = 0x0893;

// The register byte for a value: 0..253, bit 7 flipped for the signed
// controls (brightness and hue), where 0x00 is neutral.
constexpr uint8_t picture_byte(int reg, int value)
{
    const uint32_t scaled = value > 99 ? 253u : (static_cast<uint32_t>(value < 0 ? 0 : value) * 1342208u) >> 19;
    const bool is_signed = reg == PICTURE_REG_BRIGHTNESS || reg == PICTURE_REG_HUE;
    return static_cast<uint8_t>(is_signed ? scaled ^ 0x80u : scaled);
}
static_assert(picture_byte(PICTURE_REG_CONTRAST, 50) == 0x80 && picture_byte(PICTURE_REG_HUE, 50) == 0x00);
static_assert(picture_byte(PICTURE_REG_BRIGHTNESS, 100) == 0x7D && picture_byte(PICTURE_REG_CONTRAST, 2) == 5);

int picture_set(OsdScreen* s, int reg, int value);
