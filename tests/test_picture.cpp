// The picture controls: value 0..100 scaled to the chip's byte, bit 7
// flipped for brightness and hue, and exactly one select and one write.
#include <cstdio>

#include "support.h"
#include "video/picture.h"

namespace {

using Picture = TransportGoggles;

TEST_F(Picture, ScalingAndWireForEachRegister)
{
    // value -> byte for contrast and saturation; brightness and hue flip bit 7.
    static const int CASES[][2] = {{0, 0x00}, {1, 0x02}, {2, 0x05}, {5, 0x0C}, {25, 0x40}, {45, 0x73},
                                   {50, 0x80}, {55, 0x8C}, {75, 0xC0}, {95, 0xF3}, {98, 0xFA}, {99, 0xFD},
                                   {100, 0xFD}, {-5, 0x00}, {150, 0xFD}, {-2147483647 - 1, 0x00}, {2147483647, 0xFD}};
    static const struct { int reg; int flip; } REGS[] = {{0x0890, 0x80}, {0x0891, 0}, {0x0892, 0}, {0x0893, 0x80}, {0x0894, 0}};
    for (const auto& r : REGS) {
        for (const auto& c : CASES) {
            char want[64];
            std::snprintf(want, sizeof want, "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 %02x %02x %02x", r.reg & 0xFF,
                          r.reg >> 8, c[1] ^ r.flip);
            SCOPED_TRACE(want);
            const uint64_t from = sent();
            EXPECT_EQ(picture_set(&s, r.reg, c[0]), 0);
            ASSERT_EQ(sent(), from + 2);
            EXPECT_EQ(payload_hex(*vg_i2c_message(from)), "len=16 02 00 00 00 00 00 00 00 5b 00 00 00 00 00 00 00");
            EXPECT_EQ(payload_hex(last()), want);
        }
    }
}

}  // namespace
