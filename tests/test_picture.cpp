// The picture controls: value 0..100 scaled to the chip's byte, bit 7
// flipped for brightness and hue, and exactly one select and one write.
#include "i2c/ri2c.h"
#include "support.h"
#include "video/picture.h"

namespace {

class Picture : public Goggles {
protected:
    int fd = -1;
    OsdScreen s {};
    void SetUp() override
    {
        Goggles::SetUp();
        fd = ri2c_open();
        ASSERT_GE(fd, 0);
        osd_init(&s, fd);
    }
    void TearDown() override
    {
        ri2c_close(fd);
        Goggles::TearDown();
    }
};

TEST_F(Picture, ScalingAndWireForAllFourRegisters)
{
    // value -> byte for contrast and saturation; brightness and hue flip bit 7.
    static const struct {
        int value;
        int plain;
    } CASES[] = {{0, 0x00},  {5, 0x0C},  {25, 0x40},  {45, 0x73}, {50, 0x80},   {55, 0x8C},  {75, 0xC0},
                 {95, 0xF3}, {100, 0xFD}, {1, 0x02},  {2, 0x05},  {99, 0xFD},   {-5, 0x00},  {150, 0xFD},
                 {98, 0xFA}, {-2147483647 - 1, 0x00}, {2147483647, 0xFD}};
    static const struct {
        int reg;
        bool flipped;
    } REGS[] = {{0x0890, true}, {0x0891, false}, {0x0892, false}, {0x0893, true}};

    for (const auto& r : REGS) {
        for (const auto& c : CASES) {
            const int want = c.plain ^ (r.flipped ? 0x80 : 0);
            const uint64_t from = vg()->i2c.total;
            EXPECT_EQ(picture_set(&s, r.reg, c.value), 0);
            ASSERT_EQ(vg()->i2c.total - from, 2u);
            EXPECT_EQ(payload_hex(*vg_i2c_message(from)),
                      "len=16 02 00 00 00 00 00 00 00 5b 00 00 00 00 00 00 00");
            const VgI2cMessage& w = *vg_i2c_message(from + 1);
            EXPECT_EQ(w.cmd, RI2C_CMD_WRITE);
            EXPECT_EQ(w.len, 15u);
            EXPECT_EQ(w.payload[12], r.reg & 0xFF);
            EXPECT_EQ(w.payload[13], r.reg >> 8);
            EXPECT_EQ(w.payload[14], want) << "register " << std::hex << r.reg << std::dec << " value " << c.value;
            EXPECT_EQ(vg()->vp.regs[r.reg], want);
        }
    }
    EXPECT_EQ(s.writes, 0);
    EXPECT_EQ(vg()->vp.cell_writes, 0);
}

TEST_F(Picture, OtherRegistersTakeTheValueUnflippedAndFailuresReturnMinusOne)
{
    EXPECT_EQ(picture_set(&s, 0x0894, 50), 0);
    EXPECT_EQ(vg()->vp.regs[0x0894], 0x80);
    vg()->i2c.faults.fail_all = true;
    EXPECT_EQ(picture_set(&s, 0x0891, 75), -1);
    EXPECT_EQ(vg()->vp.regs[0x0891], 0);
}

}  // namespace
