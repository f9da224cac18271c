// The transport's wire format: request records and payloads byte by byte,
// the data limits, and what each operation returns when a transfer fails.
#include <fcntl.h>

#include <cstring>
#include <string>

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

// The first n payload bytes of a message, as "02 00 00 00 ...". The read
// area of a write-then-read is the caller's uninitialised buffer, so the
// checks stop before it.
std::string head_hex(const VgI2cMessage& m, unsigned n)
{
    std::string s;
    char b[4];
    for (unsigned i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02x" : "%02x", m.payload[i]);
        s += b;
    }
    return s;
}

TEST_F(Transport, OpensReadWriteNonBlocking)
{
    EXPECT_EQ(vg()->i2c.last_open_flags, static_cast<uint32_t>(O_RDWR | O_NONBLOCK));
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof(Ri2cRequest), 12u);  // the size the request number encodes
    }
}

TEST_F(Transport, CloseOfNegativeDescriptorReturnsItWithoutClosing)
{
    EXPECT_EQ(ri2c_close(-1), -1);
    EXPECT_EQ(ri2c_close(-7), -7);
    EXPECT_EQ(vg()->i2c.closes, 0);
}

TEST_F(Transport, SelectSendsBusZeroAddressZero)
{
    EXPECT_EQ(ri2c_select(fd, 2, 0x5B), 0);
    EXPECT_EQ(last().cmd, RI2C_CMD_SELECT);
    EXPECT_EQ(payload_hex(last()), "len=16 02 00 00 00 00 00 00 00 5b 00 00 00 00 00 00 00");
    EXPECT_EQ(ri2c_select(fd, 1, 0x43), 0);
    EXPECT_EQ(payload_hex(last()), "len=16 01 00 00 00 00 00 00 00 43 00 00 00 00 00 00 00");
}

TEST_F(Transport, VideoProcessorRegisterWriteGoesLowByteFirst)
{
    EXPECT_EQ(ri2c_write_reg(fd, 0x0891, 0xC0), 0);
    EXPECT_EQ(last().cmd, RI2C_CMD_WRITE);
    EXPECT_EQ(payload_hex(last()), "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 91 08 c0");
    EXPECT_EQ(vg()->vp.regs[0x0891], 0xC0);
    // Only bits 0..15 of the register and the low byte of the value go out.
    EXPECT_EQ(ri2c_write_reg(fd, 0x30892, 0x1C5), 0);
    EXPECT_EQ(payload_hex(last()), "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 92 08 c5");
}

TEST_F(Transport, VideoProcessorRegisterReadTakesTheAnswerAtOffset18)
{
    vg()->vp.regs[0x0893] = 0x5A;
    uint8_t v = 0;
    EXPECT_EQ(ri2c_read_reg(fd, 0x0893, &v), 0);
    EXPECT_EQ(v, 0x5A);
    EXPECT_EQ(last().cmd, RI2C_CMD_WRITE_READ);
    EXPECT_EQ(last().len, 19u);
    EXPECT_EQ(head_hex(last(), 18), "02 00 00 00 5b 00 00 00 02 00 00 00 01 00 00 00 93 08");
    ASSERT_EQ(last().reply_len, 1);

    vg()->i2c.faults.fail_all = true;
    v = 0xEE;
    EXPECT_EQ(ri2c_read_reg(fd, 0x0A22, &v), -1);
    EXPECT_EQ(v, 0xEE);
    EXPECT_EQ(head_hex(last(), 18), "02 00 00 00 5b 00 00 00 02 00 00 00 01 00 00 00 22 0a");
}

TEST_F(Transport, Lt8668BankWriteAndReads)
{
    EXPECT_EQ(lt8668_select_bank(fd), 0);
    EXPECT_EQ(payload_hex(last()), "len=14 01 00 00 00 43 00 00 00 02 00 00 00 ff e0");
    EXPECT_EQ(vg()->lt.bank, 0xE0);

    uint8_t v = 0;
    EXPECT_EQ(lt8668_read_reg(fd, 0xB7, &v), 0);
    EXPECT_EQ(last().len, 18u);
    EXPECT_EQ(head_hex(last(), 17), "01 00 00 00 43 00 00 00 01 00 00 00 01 00 00 00 b7");
    EXPECT_EQ(v, 2);

    EXPECT_EQ(lt8668_write_reg(fd, 0x1B0, 0x2AB), 0);
    EXPECT_EQ(payload_hex(last()), "len=14 01 00 00 00 43 00 00 00 02 00 00 00 b0 ab");
}

TEST_F(Transport, GenericWriteLengthsAndLimit)
{
    uint8_t data[65];
    for (int i = 0; i < 65; ++i)
        data[i] = static_cast<uint8_t>(0xA0 + i);
    data[0] = 0x00;  // register 0x0200: a harmless place for 62 bytes
    data[1] = 0x02;

    EXPECT_EQ(ri2c_write(fd, 2, 0x5B, data, 64), 0);
    EXPECT_EQ(last().len, 76u);
    EXPECT_EQ(head_hex(last(), 14), "02 00 00 00 5b 00 00 00 40 00 00 00 00 02");
    EXPECT_EQ(std::memcmp(last().payload + 12, data, 64), 0);
    EXPECT_EQ(vg()->vp.regs[0x0200 + 61], data[63]);

    // No device acknowledges on bus 3: the ioctl fails and the write says -1.
    EXPECT_EQ(ri2c_write(fd, 3, 0x10, data, 0), -1);
    EXPECT_EQ(payload_hex(last()), "len=12 03 00 00 00 10 00 00 00 00 00 00 00");

    const uint64_t before = vg()->i2c.total;
    EXPECT_EQ(ri2c_write(fd, 2, 0x5B, data, 65), -1);
    EXPECT_EQ(ri2c_write(fd, 2, 0x5B, data, 0xFFFFFFFFu), -1);
    EXPECT_EQ(vg()->i2c.total, before);
}

TEST_F(Transport, WriteReadLimitsSendNothing)
{
    uint8_t w[64] = {}, r[64];
    const uint64_t before = vg()->i2c.total;
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, w, 40, r, 25), -1);
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, w, 65, r, 0), -1);
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, w, -1, r, 1), -1);
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, w, 1, r, -1), -1);
    EXPECT_EQ(vg()->i2c.total, before);

    // 40 + 24 is the largest message: 80 bytes. The model only answers w = 2,
    // so this one is refused by the device and the buffer stays as it was.
    std::memset(r, 0x77, sizeof r);
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, w, 40, r, 24), -1);
    EXPECT_EQ(last().len, 80u);
    EXPECT_EQ(head_hex(last(), 16), "02 00 00 00 5b 00 00 00 28 00 00 00 18 00 00 00");
    EXPECT_EQ(r[0], 0x77);
    EXPECT_EQ(r[23], 0x77);
}

TEST_F(Transport, WriteReadCopiesTheReadAreaFromOffset16PlusW)
{
    // w = 1: the LT8668 answers the consecutive registers 0xAC, 0xAD.
    ASSERT_EQ(lt8668_select_bank(fd), 0);
    const uint8_t reg = 0xAC;
    uint8_t r[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(ri2c_write_read(fd, 1, 0x43, &reg, 1, r, 2), 0);
    EXPECT_EQ(last().len, 19u);
    EXPECT_EQ(r[0], 1);
    EXPECT_EQ(r[1], 2);
    EXPECT_EQ(r[2], 0xEE);

    // w = 2, r = 3 from the video processor.
    vg()->vp.regs[0x0890] = 0x11;
    vg()->vp.regs[0x0891] = 0x22;
    vg()->vp.regs[0x0892] = 0x33;
    const uint8_t regno[2] = {0x90, 0x08};
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, regno, 2, r, 3), 0);
    EXPECT_EQ(last().len, 21u);
    EXPECT_EQ(r[0], 0x11);
    EXPECT_EQ(r[1], 0x22);
    EXPECT_EQ(r[2], 0x33);
    EXPECT_EQ(r[3], 0xEE);

    // r = 0: sent, nothing copied back.
    r[0] = 0xEE;
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, regno, 2, r, 0), 0);
    EXPECT_EQ(last().len, 18u);
    EXPECT_EQ(r[0], 0xEE);

    // w = 0: the read area starts right after the 16-byte header.
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, nullptr, 0, r, 4), -1);
    EXPECT_EQ(last().len, 20u);
    EXPECT_EQ(head_hex(last(), 16), "02 00 00 00 5b 00 00 00 00 00 00 00 04 00 00 00");
}

TEST_F(Transport, PlainReadLengthsLimitAndFailure)
{
    uint8_t buf[65];
    std::memset(buf, 0x55, sizeof buf);
    const uint64_t before = vg()->i2c.total;
    EXPECT_EQ(ri2c_read(fd, 2, 0x5B, buf, 65), -1);
    EXPECT_EQ(vg()->i2c.total, before);

    // Neither chip answers a bare read: the ioctl result comes back as is.
    EXPECT_EQ(ri2c_read(fd, 2, 0x5B, buf, 64), -1);
    EXPECT_EQ(last().cmd, RI2C_CMD_READ);
    EXPECT_EQ(last().len, 76u);
    EXPECT_EQ(head_hex(last(), 12), "02 00 00 00 5b 00 00 00 40 00 00 00");
    EXPECT_EQ(buf[0], 0x55);

    EXPECT_EQ(ri2c_read(fd, 1, 0x43, buf, 0), -1);
    EXPECT_EQ(payload_hex(last()), "len=12 01 00 00 00 43 00 00 00 00 00 00 00");
}

TEST_F(Transport, FailedTransfersAsEachOperationReportsThem)
{
    vg()->i2c.faults.fail_all = true;
    uint8_t v = 0x3C;
    const uint8_t d[3] = {0x90, 0x08, 0x01};
    EXPECT_EQ(ri2c_select(fd, 2, 0x5B), -1);
    EXPECT_EQ(ri2c_write(fd, 2, 0x5B, d, 3), -1);
    EXPECT_EQ(ri2c_write_reg(fd, 0x0890, 1), -1);
    EXPECT_EQ(lt8668_select_bank(fd), -1);
    EXPECT_EQ(lt8668_write_reg(fd, 0xB7, 1), -1);
    EXPECT_EQ(lt8668_read_reg(fd, 0xB7, &v), -1);
    EXPECT_EQ(ri2c_write_read(fd, 2, 0x5B, d, 2, &v, 1), -1);
    EXPECT_EQ(v, 0x3C);
    EXPECT_EQ(vg()->vp.regs[0x0890], 0);
    EXPECT_EQ(vg()->i2c.total, 7u);
    EXPECT_EQ(vg()->i2c.failed, 7u);

    // A closed descriptor is refused by the driver in the same way.
    vg()->i2c.faults.fail_all = false;
    const int old = fd;
    ri2c_close(fd);
    fd = -1;
    EXPECT_EQ(ri2c_read_reg(old, 0x0890, &v), -1);
    EXPECT_EQ(v, 0x3C);
}

}  // namespace
