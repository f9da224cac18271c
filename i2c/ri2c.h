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
constexpr int VPROC_REG_BYTES = 2;  // register numbers low byte first
constexpr int LT8668_BUS = 1;
constexpr int LT8668_ADDR = 0x43;
constexpr int LT8668_REG_BYTES = 1;
constexpr int LT8668_BANK_REG = 0xFF;
constexpr int LT8668_BANK_MODE = 0xE0;

// The payload: little-endian u32 words, then the bytes. A select is four
// words (bus, 0, address, 0); a write and a read three (bus, address, count)
// and the bytes written or the read area; a write-then-read four (bus,
// address, bytes to write, bytes to read), the bytes written, then the read
// area.
constexpr uint32_t RI2C_AT_BUS = 0;
constexpr uint32_t RI2C_AT_ADDR = 4;
constexpr uint32_t RI2C_AT_SELECTED = 8;  // a select: the address chosen
constexpr uint32_t RI2C_AT_COUNT = 8;     // bytes to write (write, write-then-read) or to read (read)
constexpr uint32_t RI2C_AT_READ_COUNT = 12;
constexpr uint32_t RI2C_SELECT_LEN = 16;
constexpr uint32_t RI2C_AT_DATA = 12;     // write, read
constexpr uint32_t RI2C_AT_WR_DATA = 16;  // write-then-read

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

// ---- the payload read back: for the recording, the replay and the driver model

constexpr uint32_t ri2c_word(const uint8_t* p)
{
    return uint32_t {p[0]} | uint32_t {p[1]} << 8 | uint32_t {p[2]} << 16 | uint32_t {p[3]} << 24;
}

// Where the program's bytes end: the first of the payload's `len` bytes it
// filled before the request (sent), and how many after them are the read
// area (got). `payload` holds at least the first min(len, 12) bytes.
struct Ri2cPayloadSplit {
    uint32_t sent;
    uint32_t got;
};
constexpr Ri2cPayloadSplit ri2c_payload_split(uint32_t cmd, uint32_t len, const uint8_t* payload)
{
    uint64_t fixed = 0;
    const bool reads = cmd == RI2C_CMD_WRITE_READ || cmd == RI2C_CMD_READ;
    switch (cmd) {
    case RI2C_CMD_SELECT: fixed = RI2C_SELECT_LEN; break;
    case RI2C_CMD_READ: fixed = RI2C_AT_DATA; break;
    case RI2C_CMD_WRITE:
    case RI2C_CMD_WRITE_READ:
        fixed = (cmd == RI2C_CMD_WRITE ? RI2C_AT_DATA : RI2C_AT_WR_DATA) +
                (len >= RI2C_AT_COUNT + 4 ? uint64_t {ri2c_word(payload + RI2C_AT_COUNT)} : 0);
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

// The same where only the payload's first `have` bytes are at hand: a
// recording keeps the sent part, a request may be shorter than the head.
constexpr Ri2cPayloadSplit ri2c_payload_split_of(uint32_t cmd, uint32_t len, const uint8_t* bytes, size_t have)
{
    uint8_t head[RI2C_AT_COUNT + 4] = {};
    for (size_t i = 0; i < sizeof head && i < have; ++i)
        head[i] = bytes[i];
    return ri2c_payload_split(cmd, len, head);
}

enum Ri2cChip : uint8_t { RI2C_CHIP_NONE, RI2C_CHIP_LT8668, RI2C_CHIP_VPROC };

constexpr Ri2cChip ri2c_chip_at(uint32_t bus, uint32_t addr)
{
    return bus == LT8668_BUS && addr == LT8668_ADDR ? RI2C_CHIP_LT8668
           : bus == VPROC_BUS && addr == VPROC_ADDR ? RI2C_CHIP_VPROC
                                                    : RI2C_CHIP_NONE;
}
constexpr const char* ri2c_chip_name(Ri2cChip c)
{
    return c == RI2C_CHIP_LT8668 ? "LT8668" : c == RI2C_CHIP_VPROC ? "video processor" : "?";
}
constexpr int ri2c_chip_reg_bytes(Ri2cChip c)
{
    return c == RI2C_CHIP_LT8668 ? LT8668_REG_BYTES : c == RI2C_CHIP_VPROC ? VPROC_REG_BYTES : 0;
}

// What a transfer is, from its command, length and the first `filled` bytes
// of its payload. A field whose bytes are not among the filled ones is left
// at its "unknown" value.
struct Ri2cTransfer {
    uint32_t cmd;
    uint32_t len;
    bool addressed;      // bus and addr were filled
    uint32_t bus, addr;  // a select: the address chosen
    Ri2cChip chip;       // the chip at bus and addr, if one of the goggles' own
    bool counted;        // the counts were filled
    uint32_t writes;     // bytes to write (write, write-then-read)
    uint32_t reads;      // bytes to read (write-then-read, read)
    uint32_t data_at;    // where the bytes written (or a read's read area) start; len if not counted
    uint32_t read_at;    // where the read area starts; len when there is none
    bool well_formed;    // len is what the counts make it and the data fits: what the driver takes
    int reg_digits;      // hex digits of the chip's register numbers: 2 or 4; 0 for no chip
    int32_t reg;         // the register the bytes written start with; -1 if none was filled
    uint32_t values;     // bytes written after the register number, as far as filled
    uint32_t values_at;  // where they start
    uint8_t value;       // the first of them; 0 if none
};

constexpr Ri2cTransfer ri2c_decode(uint32_t cmd, uint32_t len, const uint8_t* p, uint32_t filled)
{
    Ri2cTransfer t {};
    t.cmd = cmd;
    t.len = len;
    t.data_at = t.read_at = t.values_at = len;
    t.reg = -1;
    if (filled > len)
        filled = len;
    const uint32_t at_addr = cmd == RI2C_CMD_SELECT ? RI2C_AT_SELECTED : RI2C_AT_ADDR;
    if (filled < at_addr + 4)
        return t;
    t.addressed = true;
    t.bus = ri2c_word(p + RI2C_AT_BUS);
    t.addr = ri2c_word(p + at_addr);
    t.chip = ri2c_chip_at(t.bus, t.addr);
    t.reg_digits = 2 * ri2c_chip_reg_bytes(t.chip);
    uint64_t whole = 0;  // the length the counts make
    switch (cmd) {
    case RI2C_CMD_SELECT: t.well_formed = len == RI2C_SELECT_LEN; return t;
    case RI2C_CMD_WRITE:
    case RI2C_CMD_READ:
        if (filled < RI2C_AT_COUNT + 4)
            return t;
        t.counted = true;
        t.writes = cmd == RI2C_CMD_WRITE ? ri2c_word(p + RI2C_AT_COUNT) : 0;
        t.reads = cmd == RI2C_CMD_READ ? ri2c_word(p + RI2C_AT_COUNT) : 0;
        t.data_at = RI2C_AT_DATA;
        t.read_at = cmd == RI2C_CMD_READ ? RI2C_AT_DATA : len;
        whole = uint64_t {RI2C_AT_DATA} + t.writes + t.reads;
        break;
    case RI2C_CMD_WRITE_READ:
        if (filled < RI2C_AT_READ_COUNT + 4)
            return t;
        t.counted = true;
        t.writes = ri2c_word(p + RI2C_AT_COUNT);
        t.reads = ri2c_word(p + RI2C_AT_READ_COUNT);
        t.data_at = RI2C_AT_WR_DATA;
        whole = uint64_t {RI2C_AT_WR_DATA} + t.writes + t.reads;
        if (uint64_t {RI2C_AT_WR_DATA} + t.writes <= len)
            t.read_at = RI2C_AT_WR_DATA + t.writes;
        break;
    default: return t;
    }
    t.well_formed = whole == len && t.writes + t.reads <= RI2C_MAX_DATA;  // no wrap: their sum is len less the words
    // The register number, as the chip takes it, then the values.
    const uint64_t written_end = uint64_t {t.data_at} + t.writes;
    const uint32_t end = written_end < filled ? static_cast<uint32_t>(written_end) : filled;
    const uint32_t width = static_cast<uint32_t>(ri2c_chip_reg_bytes(t.chip));
    if (width == 0 || end < t.data_at + width)
        return t;
    t.reg = p[t.data_at];
    if (width == 2)
        t.reg |= p[t.data_at + 1] << 8;
    t.values_at = t.data_at + width;
    t.values = end - t.values_at;
    t.value = t.values > 0 ? p[t.values_at] : 0;
    return t;
}
