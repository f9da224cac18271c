// The transport's wire format byte by byte, the data limits, and what each
// operation leaves behind when a transfer fails.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "i2c/ri2c.h"
#include "support.h"

namespace {

using Transport = TransportGoggles;

TEST_F(Transport, EachOperationOnTheWire)
{
    EXPECT_EQ(vg()->i2c.last_open_flags, static_cast<uint32_t>(O_RDWR | O_NONBLOCK));
    uint8_t data[64] = {0x00, 0x02, 0xA2}, r[24], v = 0;  // register 0x0200, then 62 bytes
    data[63] = 0xDF;
    std::memset(r, 0xEE, sizeof r);
    const uint8_t lt_reg = 0xAC, vp_reg[2] = {0x90, 0x08};
    vg()->vp.regs[0x0893] = 0x5A;
    // The request kind, then the payload. The read area of a write-then-read
    // is the program's buffer: the expected bytes stop before it. Bare reads
    // and long write-then-reads get no answer.
    static const std::string VP = "02 00 00 00 5b 00 00 00 ", LT = "01 00 00 00 43 00 00 00 ";
    const struct { std::function<int()> op; int ret; std::string wire; } CASES[] = {
        {[&] { return ri2c_select(fd, 2, 0x5B); }, 0, "1 len=16 02 00 00 00 00 00 00 00 5b 00 00 00 00 00 00 00"},
        // Every byte of a word in its place, low byte first.
        {[&] { return ri2c_select(fd, 0x04030201, 0x08070605); }, 0, "1 len=16 01 02 03 04 00 00 00 00 05 06 07 08 00 00 00 00"},
        {[&] { return ri2c_write_reg(fd, 0x0891, 0xC0); }, 0, "2 len=15 " + VP + "03 00 00 00 91 08 c0"},
        {[&] { return ri2c_write_reg(fd, 0x30892, 0x1C5); }, 0, "2 len=15 " + VP + "03 00 00 00 92 08 c5"},
        {[&] { return ri2c_read_reg(fd, 0x0893, &v); }, 0, "3 len=19 " + VP + "02 00 00 00 01 00 00 00 93 08"},
        {[&] { return lt8668_select_bank(fd); }, 0, "2 len=14 " + LT + "02 00 00 00 ff e0"},
        {[&] { return lt8668_read_reg(fd, 0xB7, r + 8); }, 0, "3 len=18 " + LT + "01 00 00 00 01 00 00 00 b7"},
        {[&] { return lt8668_write_reg(fd, 0x1B0, 0x2AB); }, 0, "2 len=14 " + LT + "02 00 00 00 b0 ab"},
        // A bare read of the LT8668 goes on from the register a write named.
        {[&] { return ri2c_write(fd, 1, 0x43, &lt_reg, 1); }, 0, "2 len=13 " + LT + "01 00 00 00 ac"},
        {[&] { return ri2c_read(fd, 1, 0x43, r + 12, 1); }, 0, "4 len=13 " + LT + "01 00 00 00"},
        {[&] { return ri2c_write(fd, 1, 0x43, nullptr, 0); }, -1, "2 len=12 " + LT + "00 00 00 00"},  // no data: refused
        {[&] { return ri2c_write(fd, 2, 0x5B, data, 64); }, 0, "2 len=76 " + VP + "40 00 00 00 00 02 a2"},
        {[&] { return ri2c_write_read(fd, 1, 0x43, &lt_reg, 1, r, 2); }, 0, "3 len=19 " + LT + "01 00 00 00 02 00 00 00 ac"},
        {[&] { return ri2c_write_read(fd, 2, 0x5B, vp_reg, 2, r, 0); }, 0, "3 len=18 " + VP + "02 00 00 00 00 00 00 00 90 08"},
        {[&] { return ri2c_write_read(fd, 2, 0x5B, data, 40, r, 24); }, -1, "3 len=80 " + VP + "28 00 00 00 18 00 00 00 00 02"},
        {[&] { return ri2c_write_read(fd, 2, 0x5B, nullptr, 0, r, 4); }, -1, "3 len=20 " + VP + "00 00 00 00 04 00 00 00"},
        {[&] { return ri2c_read(fd, 2, 0x5B, data, 64); }, -1, "4 len=76 " + VP + "40 00 00 00"},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.wire);
        const uint64_t from = sent();
        EXPECT_EQ(c.op(), c.ret);
        ASSERT_EQ(sent(), from + 1);
        EXPECT_EQ((std::to_string(last().cmd) + " " + payload_hex(last())).substr(0, c.wire.size()), c.wire);
    }
    EXPECT_EQ(vg()->vp.regs[0x0200 + 61], 0xDF);
    // Answers land from offset 16 + w, only r bytes, and never from a failure.
    EXPECT_EQ(v, 0x5A);
    EXPECT_EQ(std::vector<uint8_t>(r, r + 4), (std::vector<uint8_t> {1, 2, 0xEE, 0xEE}));
    EXPECT_EQ(std::vector<uint8_t>(r + 11, r + 14), (std::vector<uint8_t> {0xEE, 1, 0xEE}));  // AC, one byte
    EXPECT_EQ(data[2], 0xA2);
}

TEST_F(Transport, RefusedCountsSendNothingAndFailuresLeaveTheCallersByte)
{
    uint8_t w[65] = {}, r[64], v = 0x3C;
    for (const int ret : {ri2c_write(fd, 2, 0x5B, w, 65), ri2c_write(fd, 2, 0x5B, w, 0xFFFFFFFFu),
                          ri2c_read(fd, 2, 0x5B, r, 65), ri2c_write_read(fd, 2, 0x5B, w, 40, r, 25),
                          ri2c_write_read(fd, 2, 0x5B, w, 65, r, 0), ri2c_write_read(fd, 2, 0x5B, w, -1, r, 1),
                          ri2c_write_read(fd, 2, 0x5B, w, 1, r, -1), ri2c_close(-1)})
        EXPECT_EQ(ret, -1);
    EXPECT_EQ(vg()->i2c.total, 0u);

    vg()->i2c.faults.fail_all = true;
    for (const int ret : {ri2c_select(fd, 2, 0x5B), ri2c_write(fd, 2, 0x5B, w, 3), ri2c_write_reg(fd, 0x0890, 1),
                          lt8668_select_bank(fd), lt8668_write_reg(fd, 0xB7, 1), lt8668_read_reg(fd, 0xB7, &v),
                          ri2c_read_reg(fd, 0x0A22, &v), ri2c_write_read(fd, 2, 0x5B, w, 2, &v, 1),
                          ri2c_read(fd, 1, 0x43, &v, 1)})
        EXPECT_EQ(ret, -1);
    EXPECT_EQ(vg()->i2c.failed, 9u);
    EXPECT_EQ(v, 0x3C);
    EXPECT_EQ(vg()->vp.regs[0x0890], 0);

    // Descriptor 0 is one like any other (a program started with its input
    // closed gets it); a missing device is -1.
    const int input = dup(0);
    close(0);
    const int zero = ri2c_open();
    EXPECT_EQ(zero, 0);
    EXPECT_EQ(ri2c_close(zero), 0);
    EXPECT_EQ(fcntl(0, F_GETFD), -1) << "descriptor 0 is closed";
    dup2(input, 0);
    close(input);
    vg()->i2c.present = false;
    EXPECT_EQ(ri2c_open(), -1);
}

}  // namespace
