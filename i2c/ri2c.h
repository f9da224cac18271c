// The /dev/remote_i2c transport: one ioctl per I2C message, and register
// access for the video processor (bus 2, 0x5B) and the LT8668 (bus 1, 0x43).
#pragma once

#include <cstddef>
#include <cstdint>

constexpr const char* RI2C_DEVICE = "/dev/remote_i2c";
constexpr unsigned long RI2C_IOCTL = 0xc00c4110UL;  // _IOWR('A', 0x10, 12 bytes)
constexpr int RI2C_MAX_DATA = 64;
constexpr int RI2C_MAX_PAYLOAD = 16 + RI2C_MAX_DATA;

constexpr uint32_t RI2C_CMD_SELECT = 1;
constexpr uint32_t RI2C_CMD_WRITE = 2;
constexpr uint32_t RI2C_CMD_WRITE_READ = 3;
constexpr uint32_t RI2C_CMD_READ = 4;

constexpr int VPROC_BUS = 2;
constexpr int VPROC_ADDR = 0x5B;
constexpr int LT8668_BUS = 1;
constexpr int LT8668_ADDR = 0x43;
constexpr int LT8668_BANK_REG = 0xFF;
constexpr int LT8668_BANK_MODE = 0xE0;

// The ioctl argument. 12 bytes on the 32-bit target; on a 64-bit host the
// payload address is 8 bytes wide and the record grows to 16.
struct Ri2cRequest {
    uint32_t cmd;
    uint32_t len;
    uint8_t* payload;
};
static_assert(sizeof(void*) != 4 || sizeof(Ri2cRequest) == 12, "the driver's record is 12 bytes on the target");
static_assert(offsetof(Ri2cRequest, len) == 4 && offsetof(Ri2cRequest, payload) == 8);
static_assert(((RI2C_IOCTL >> 16) & 0x3FFF) == 12, "the request number encodes the 32-bit record size");

int ri2c_open();
int ri2c_close(int fd);
int ri2c_select(int fd, int bus, int addr);
int ri2c_write(int fd, int bus, int addr, const uint8_t* data, unsigned n);
int ri2c_write_read(int fd, int bus, int addr, const uint8_t* wdata, int w, uint8_t* rbuf, int r);
int ri2c_read(int fd, int bus, int addr, uint8_t* buf, unsigned n);

int ri2c_write_reg(int fd, int reg, int value);
int ri2c_read_reg(int fd, int reg, uint8_t* value);

int lt8668_select_bank(int fd);
int lt8668_write_reg(int fd, int reg, int value);
int lt8668_read_reg(int fd, int reg, uint8_t* value);

// How much of a transport payload of `len` bytes the program fills before
// the request (sent), and how much is the read area the driver fills (got).
// `payload` holds at least the first min(len, 12) bytes.
struct Ri2cPayloadSplit {
    uint32_t sent;
    uint32_t got;
};
constexpr Ri2cPayloadSplit ri2c_payload_split(uint32_t cmd, uint32_t len, const uint8_t* payload)
{
    uint64_t words = 0, fixed = 0;
    const bool reads = cmd == RI2C_CMD_WRITE_READ || cmd == RI2C_CMD_READ;
    switch (cmd) {
    case RI2C_CMD_SELECT: fixed = 16; break;
    case RI2C_CMD_READ: fixed = 12; break;
    case RI2C_CMD_WRITE:
    case RI2C_CMD_WRITE_READ:
        // The count of bytes to write, the third little-endian word.
        if (len >= 12)
            words = static_cast<uint64_t>(payload[8]) | static_cast<uint64_t>(payload[9]) << 8 |
                    static_cast<uint64_t>(payload[10]) << 16 | static_cast<uint64_t>(payload[11]) << 24;
        fixed = (cmd == RI2C_CMD_WRITE ? 12 : 16) + words;
        break;
    default: fixed = len; break;
    }
    uint64_t sent = fixed < len ? fixed : len;
    if (sent > RI2C_MAX_PAYLOAD)
        sent = RI2C_MAX_PAYLOAD;
    uint64_t got = reads ? len - sent : 0;
    if (got > RI2C_MAX_DATA)
        got = RI2C_MAX_DATA;
    return {static_cast<uint32_t>(sent), static_cast<uint32_t>(got)};
}
