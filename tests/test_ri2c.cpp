// The transport's wire format byte by byte, the data limits, and what each
// operation leaves behind when a transfer fails; the payload read back: the
// part the program filled, and what a transfer is.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "i2c/ri2c.h"
#include "os/os.h"
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

// A decoded transfer in one line: command and length, bus:address and chip,
// the counts and where the bytes start, the register and the values.
std::string describe(const Ri2cTransfer& t)
{
    char b[64];
    std::string s = std::to_string(t.cmd) + " len=" + std::to_string(t.len);
    if (!t.addressed)
        s += " unaddressed";
    std::snprintf(b, sizeof b, " %x:%02x %s", t.bus, t.addr, ri2c_chip_name(t.chip));
    s += t.addressed ? b : "";
    if (t.counted)
        std::snprintf(b, sizeof b, " w=%u r=%u data@%u read@%u", t.writes, t.reads, t.data_at, t.read_at);
    s += t.counted ? b : "";
    std::snprintf(b, sizeof b, " reg %0*x, %u values@%u %02x", t.reg_digits, t.reg, t.values, t.values_at, t.value);
    s += t.reg >= 0 ? b : "";
    return s + (t.well_formed ? "" : " refused");
}

// What the encoder sends, read back from the part the program filled (as
// the recorder keeps it): every chip's register in its own width.
TEST_F(Transport, TheEncodersPayloadsDecodeBack)
{
    uint8_t data[64] = {0x00, 0x02, 0xA2}, r[4], v = 0;
    const uint8_t lt_reg = 0xAC, vp_reg[2] = {0x22, 0x0A}, other[2] = {7, 9};
    const struct { std::function<int()> op; std::string decoded; } CASES[] = {
        {[&] { return ri2c_select(fd, 2, 0x5B); }, "1 len=16 2:5b video processor"},
        {[&] { return ri2c_select(fd, 1, 0x43); }, "1 len=16 1:43 LT8668"},
        {[&] { return ri2c_write_reg(fd, 0x0A1E, 0x81); },
         "2 len=15 2:5b video processor w=3 r=0 data@12 read@15 reg 0a1e, 1 values@14 81"},
        {[&] { return ri2c_read_reg(fd, 0x0A22, &v); },
         "3 len=19 2:5b video processor w=2 r=1 data@16 read@18 reg 0a22, 0 values@18 00"},
        {[&] { return lt8668_select_bank(fd); }, "2 len=14 1:43 LT8668 w=2 r=0 data@12 read@14 reg ff, 1 values@13 e0"},
        {[&] { return lt8668_read_reg(fd, 0xB7, &v); },
         "3 len=18 1:43 LT8668 w=1 r=1 data@16 read@17 reg b7, 0 values@17 00"},
        {[&] { return ri2c_write(fd, 1, 0x43, &lt_reg, 1); }, "2 len=13 1:43 LT8668 w=1 r=0 data@12 read@13 reg ac, 0 values@13 00"},
        {[&] { return ri2c_write(fd, 2, 0x5B, data, 64); },
         "2 len=76 2:5b video processor w=64 r=0 data@12 read@76 reg 0200, 62 values@14 a2"},
        {[&] { return ri2c_write_read(fd, 1, 0x43, &lt_reg, 1, r, 2); },
         "3 len=19 1:43 LT8668 w=1 r=2 data@16 read@17 reg ac, 0 values@17 00"},
        {[&] { return ri2c_write_read(fd, 2, 0x5B, vp_reg, 2, r, 0); },
         "3 len=18 2:5b video processor w=2 r=0 data@16 read@18 reg 0a22, 0 values@18 00"},
        // One byte is half a video processor register number: no register.
        {[&] { return ri2c_write_read(fd, 2, 0x5B, vp_reg, 1, r, 1); }, "3 len=18 2:5b video processor w=1 r=1 data@16 read@17"},
        {[&] { return ri2c_write(fd, 3, 0x5B, other, 2); }, "2 len=14 3:5b ? w=2 r=0 data@12 read@14"},
        {[&] { return ri2c_read(fd, 1, 0x43, r, 1); }, "4 len=13 1:43 LT8668 w=0 r=1 data@12 read@12"},
        {[&] { return ri2c_write(fd, 1, 0x43, nullptr, 0); }, "2 len=12 1:43 LT8668 w=0 r=0 data@12 read@12"},
    };
    for (const auto& c : CASES) {
        SCOPED_TRACE(c.decoded);
        const uint64_t from = sent();
        c.op();
        ASSERT_EQ(sent(), from + 1);
        const VgI2cMessage& m = last();
        const Ri2cPayloadSplit split = ri2c_payload_split(m.cmd, m.len, m.payload);
        EXPECT_EQ(describe(ri2c_decode(m.cmd, m.len, m.payload, split.sent)), c.decoded);
    }
}

// Payloads the encoder never makes: cut short, longer or shorter than their
// counts, counts that overflow. The driver model refuses every one the
// decoder calls refused with EINVAL; the bytes past `filled` are never read.
TEST_F(Transport, OddPayloadsDecodeAsFarAsFilledAndTheDriverRefusesThem)
{
    const std::vector<uint8_t> VP = {2, 0, 0, 0, 0x5B, 0, 0, 0}, LT = {1, 0, 0, 0, 0x43, 0, 0, 0};
    auto with = [](std::vector<uint8_t> head, std::vector<uint8_t> tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const struct { uint32_t cmd, len; std::vector<uint8_t> filled; int err; std::string decoded; } ROWS[] = {
        {RI2C_CMD_WRITE, 7, {1, 0, 0, 0, 0x43, 0, 0}, EINVAL, "2 len=7 unaddressed refused"},
        {RI2C_CMD_SELECT, 12, {2, 0, 0, 0, 0, 0, 0, 0, 0x5B, 0, 0, 0}, EINVAL, "1 len=12 2:5b video processor refused"},
        {RI2C_CMD_SELECT, 11, {2, 0, 0, 0, 0, 0, 0, 0, 0x5B, 0, 0}, EINVAL, "1 len=11 unaddressed refused"},
        {RI2C_CMD_SELECT, 20, {1, 0, 0, 0, 0, 0, 0, 0, 0x43, 0, 0, 0, 0, 0, 0, 0}, EINVAL, "1 len=20 1:43 LT8668 refused"},
        // Nothing answers at another address on a chip's bus.
        {RI2C_CMD_WRITE, 14, {1, 0, 0, 0, 0x44, 0, 0, 0, 2, 0, 0, 0, 0xB7, 1}, EIO, "2 len=14 1:44 ? w=2 r=0 data@12 read@14"},
        {RI2C_CMD_WRITE, 11, with(VP, {3, 0, 0}), EINVAL, "2 len=11 2:5b video processor refused"},
        // One byte short of its count; then the same cut after the register's low byte.
        {RI2C_CMD_WRITE, 14, with(VP, {3, 0, 0, 0, 0x1E, 0x0A}), EINVAL,
         "2 len=14 2:5b video processor w=3 r=0 data@12 read@14 reg 0a1e, 0 values@14 00 refused"},
        {RI2C_CMD_WRITE, 15, with(VP, {3, 0, 0, 0, 0x1E}), 0, "2 len=15 2:5b video processor w=3 r=0 data@12 read@15"},
        // Bytes given past the length are not the payload's.
        {RI2C_CMD_WRITE, 14, with(VP, {3, 0, 0, 0, 0x1E, 0x0A, 0x81}), EINVAL,
         "2 len=14 2:5b video processor w=3 r=0 data@12 read@14 reg 0a1e, 0 values@14 00 refused"},
        {RI2C_CMD_WRITE, 16, with(LT, {2, 0, 0, 0, 0xB7, 1}), EINVAL,
         "2 len=16 1:43 LT8668 w=2 r=0 data@12 read@16 reg b7, 1 values@13 01 refused"},
        {RI2C_CMD_WRITE, 77, with(VP, {65, 0, 0, 0, 0, 2, 3}), EINVAL,
         "2 len=77 2:5b video processor w=65 r=0 data@12 read@77 reg 0200, 1 values@14 03 refused"},
        {RI2C_CMD_WRITE_READ, 15, with(LT, {1, 0, 0, 0, 1, 0, 0}), EINVAL, "3 len=15 1:43 LT8668 refused"},
        // Counts whose sum wraps at 32 bits to the length given.
        {RI2C_CMD_WRITE_READ, 16, with(LT, {0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}), EINVAL,
         "3 len=16 1:43 LT8668 w=4294967295 r=1 data@16 read@16 refused"},
        {RI2C_CMD_WRITE_READ, 16, with(LT, {0, 0, 0, 0, 0, 0, 0, 0}), 0, "3 len=16 1:43 LT8668 w=0 r=0 data@16 read@16"},
        {RI2C_CMD_WRITE_READ, 81, with(VP, {2, 0, 0, 0, 63, 0, 0, 0, 0x22, 0x0A}), EINVAL,
         "3 len=81 2:5b video processor w=2 r=63 data@16 read@18 reg 0a22, 0 values@18 00 refused"},
        {RI2C_CMD_READ, 12, with(LT, {0, 0, 0, 0}), 0, "4 len=12 1:43 LT8668 w=0 r=0 data@12 read@12"},
        {RI2C_CMD_READ, 14, with(LT, {1, 0, 0, 0}), EINVAL, "4 len=14 1:43 LT8668 w=0 r=1 data@12 read@12 refused"},
        {5, 16, with(VP, {3, 0, 0, 0}), EINVAL, "5 len=16 2:5b video processor refused"},
    };
    for (const auto& row : ROWS) {
        SCOPED_TRACE(row.decoded);
        uint8_t p[RI2C_MAX_PAYLOAD + 8];
        std::memset(p, 0xEE, sizeof p);
        std::memcpy(p, row.filled.data(), row.filled.size());
        EXPECT_EQ(describe(ri2c_decode(row.cmd, row.len, p, static_cast<uint32_t>(row.filled.size()))), row.decoded);
        if (row.len > RI2C_MAX_PAYLOAD)
            continue;
        Ri2cRequest req {row.cmd, row.len, p};
        errno = 0;
        EXPECT_EQ(os_dev_ioctl(fd, RI2C_IOCTL, &req), row.err == 0 ? 0 : -1);
        EXPECT_EQ(errno, row.err);
    }
}

// The part of a payload the program filled and the read area after it, for
// every command at the edges of its length.
TEST(Ri2cPayload, SplitAtTheEdges)
{
    const struct { uint32_t cmd, len, count, sent, got; } ROWS[] = {
        {RI2C_CMD_SELECT, 16, 0, 16, 0},       {RI2C_CMD_SELECT, 10, 0, 10, 0},
        {RI2C_CMD_SELECT, 20, 0, 16, 0},       {RI2C_CMD_READ, 12, 1, 12, 0},
        {RI2C_CMD_READ, 13, 1, 12, 1},         {RI2C_CMD_READ, 5, 1, 5, 0},
        {RI2C_CMD_READ, 76, 64, 12, 64},       {RI2C_CMD_READ, 77, 65, 12, 64},
        {RI2C_CMD_WRITE, 15, 3, 15, 0},        {RI2C_CMD_WRITE, 14, 3, 14, 0},
        {RI2C_CMD_WRITE, 20, 3, 15, 0},        {RI2C_CMD_WRITE, 11, 3, 11, 0},
        {RI2C_CMD_WRITE, 200, 0xFFFFFFFF, RI2C_MAX_PAYLOAD, 0},
        {RI2C_CMD_WRITE_READ, 18, 1, 17, 1},   {RI2C_CMD_WRITE_READ, 19, 2, 18, 1},
        {RI2C_CMD_WRITE_READ, 18, 2, 18, 0},   {RI2C_CMD_WRITE_READ, 14, 1, 14, 0},
        {RI2C_CMD_WRITE_READ, 11, 1, 11, 0},   {RI2C_CMD_WRITE_READ, 100, 0, 16, 64},
        {RI2C_CMD_WRITE_READ, 0xFFFFFFFF, 0xFFFFFFF0, RI2C_MAX_PAYLOAD, 64},
        {7, 30, 0, 30, 0},                     {7, 200, 0, RI2C_MAX_PAYLOAD, 0},
    };
    for (const auto& row : ROWS) {
        SCOPED_TRACE("command " + std::to_string(row.cmd) + " length " + std::to_string(row.len));
        const uint8_t head[12] = {1, 0, 0, 0, 0x43, 0, 0, 0, static_cast<uint8_t>(row.count),
                                  static_cast<uint8_t>(row.count >> 8), static_cast<uint8_t>(row.count >> 16),
                                  static_cast<uint8_t>(row.count >> 24)};
        const Ri2cPayloadSplit split = ri2c_payload_split(row.cmd, row.len, head);
        EXPECT_EQ(split.sent, row.sent);
        EXPECT_EQ(split.got, row.got);
        // With only some of the head at hand, the bytes missing count as 0.
        const uint8_t no_count[12] = {1, 0, 0, 0, 0x43};
        const Ri2cPayloadSplit whole = ri2c_payload_split_of(row.cmd, row.len, head, sizeof head),
                               cut = ri2c_payload_split_of(row.cmd, row.len, head, RI2C_AT_COUNT),
                               zero = ri2c_payload_split(row.cmd, row.len, no_count);
        EXPECT_EQ(std::make_pair(whole.sent, whole.got), std::make_pair(split.sent, split.got));
        EXPECT_EQ(std::make_pair(cut.sent, cut.got), std::make_pair(zero.sent, zero.got));
    }
}

}  // namespace
