// The transport's wire format: request records and payloads byte by byte.
#include <fcntl.h>

#include "i2c/ri2c.h"
#include "support.h"

namespace {

class Transport : public Goggles {
protected:
    int fd = -1;
    void SetUp() override
    {
        Goggles::SetUp();
        fd = ri2c_open();
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        ri2c_close(fd);
        Goggles::TearDown();
    }
    const VgI2cMessage& last() const { return *vg_i2c_message(vg()->i2c.total - 1); }
};

TEST_F(Transport, OpensReadWriteNonBlocking)
{
    EXPECT_EQ(vg()->i2c.last_open_flags, static_cast<uint32_t>(O_RDWR | O_NONBLOCK));
}

TEST_F(Transport, SelectSendsBusZeroAddressZero)
{
    EXPECT_EQ(ri2c_select(fd, 2, 0x5B), 0);
    EXPECT_EQ(last().cmd, RI2C_CMD_SELECT);
    EXPECT_EQ(payload_hex(last()), "len=16 02 00 00 00 00 00 00 00 5b 00 00 00 00 00 00 00");
}

TEST_F(Transport, VideoProcessorRegisterWriteGoesLowByteFirst)
{
    EXPECT_EQ(ri2c_write_reg(fd, 0x0891, 0xC0), 0);
    EXPECT_EQ(last().cmd, RI2C_CMD_WRITE);
    EXPECT_EQ(payload_hex(last()), "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 91 08 c0");
    EXPECT_EQ(vg()->vp.regs[0x0891], 0xC0);
}

}  // namespace
