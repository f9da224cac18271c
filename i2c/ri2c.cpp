#include "i2c/ri2c.h"

#include <cstring>
#include <fcntl.h>

#include "os/os.h"

namespace {

// Payload words are little-endian u32, as the 32-bit ARM driver reads them.
void put_u32(uint8_t* at, uint32_t v)
{
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
    at[2] = static_cast<uint8_t>(v >> 16);
    at[3] = static_cast<uint8_t>(v >> 24);
}

int transfer(int fd, uint32_t cmd, uint8_t* payload, uint32_t len)
{
    Ri2cRequest req {cmd, len, payload};
    return os_dev_ioctl(fd, RI2C_IOCTL, &req);
}

}  // namespace

int ri2c_open()
{
    const int fd = os_dev_open(RI2C_DEVICE, O_RDWR | O_NONBLOCK);
    return fd < 0 ? -1 : fd;
}

int ri2c_close(int fd)
{
    if (fd < 0)
        return fd;
    return os_dev_close(fd);
}

int ri2c_select(int fd, int bus, int addr)
{
    uint8_t p[RI2C_SELECT_LEN] = {};
    put_u32(p + RI2C_AT_BUS, static_cast<uint32_t>(bus));
    put_u32(p + RI2C_AT_SELECTED, static_cast<uint32_t>(addr));
    return transfer(fd, RI2C_CMD_SELECT, p, sizeof p);
}

int ri2c_write(int fd, int bus, int addr, const uint8_t* data, unsigned n)
{
    if (n > RI2C_MAX_DATA)
        return -1;
    uint8_t p[RI2C_AT_DATA + RI2C_MAX_DATA];
    put_u32(p + RI2C_AT_BUS, static_cast<uint32_t>(bus));
    put_u32(p + RI2C_AT_ADDR, static_cast<uint32_t>(addr));
    put_u32(p + RI2C_AT_COUNT, n);
    if (n > 0)
        std::memcpy(p + RI2C_AT_DATA, data, n);
    return transfer(fd, RI2C_CMD_WRITE, p, RI2C_AT_DATA + n) == 0 ? 0 : -1;
}

int ri2c_write_read(int fd, int bus, int addr, const uint8_t* wdata, int w, uint8_t* rbuf, int r)
{
    if (w < 0 || r < 0 || w + r > RI2C_MAX_DATA)
        return -1;
    uint8_t p[RI2C_AT_WR_DATA + RI2C_MAX_DATA];
    put_u32(p + RI2C_AT_BUS, static_cast<uint32_t>(bus));
    put_u32(p + RI2C_AT_ADDR, static_cast<uint32_t>(addr));
    put_u32(p + RI2C_AT_COUNT, static_cast<uint32_t>(w));
    put_u32(p + RI2C_AT_READ_COUNT, static_cast<uint32_t>(r));
    if (w > 0)
        std::memcpy(p + RI2C_AT_WR_DATA, wdata, static_cast<size_t>(w));
    const int rc = transfer(fd, RI2C_CMD_WRITE_READ, p, RI2C_AT_WR_DATA + static_cast<uint32_t>(w + r));
    if (rc != 0)
        return rc;
    if (r > 0)
        std::memcpy(rbuf, p + RI2C_AT_WR_DATA + w, static_cast<size_t>(r));
    return 0;
}

int ri2c_read(int fd, int bus, int addr, uint8_t* buf, unsigned n)
{
    if (n > RI2C_MAX_DATA)
        return -1;
    uint8_t p[RI2C_AT_DATA + RI2C_MAX_DATA];
    put_u32(p + RI2C_AT_BUS, static_cast<uint32_t>(bus));
    put_u32(p + RI2C_AT_ADDR, static_cast<uint32_t>(addr));
    put_u32(p + RI2C_AT_COUNT, n);
    const int rc = transfer(fd, RI2C_CMD_READ, p, RI2C_AT_DATA + n);
    if (rc != 0)
        return rc;
    if (n > 0)
        std::memcpy(buf, p + RI2C_AT_DATA, n);
    return 0;
}

// The video processor takes its 16-bit register number low byte first.
int ri2c_write_reg(int fd, int reg, int value)
{
    const uint8_t d[VPROC_REG_BYTES + 1] = {static_cast<uint8_t>(reg), static_cast<uint8_t>(reg >> 8),
                                            static_cast<uint8_t>(value)};
    return ri2c_write(fd, VPROC_BUS, VPROC_ADDR, d, sizeof d);
}

int ri2c_read_reg(int fd, int reg, uint8_t* value)
{
    const uint8_t d[VPROC_REG_BYTES] = {static_cast<uint8_t>(reg), static_cast<uint8_t>(reg >> 8)};
    return ri2c_write_read(fd, VPROC_BUS, VPROC_ADDR, d, sizeof d, value, 1);
}

int lt8668_select_bank(int fd)
{
    return lt8668_write_reg(fd, LT8668_BANK_REG, LT8668_BANK_MODE);
}

int lt8668_write_reg(int fd, int reg, int value)
{
    const uint8_t d[LT8668_REG_BYTES + 1] = {static_cast<uint8_t>(reg), static_cast<uint8_t>(value)};
    return ri2c_write(fd, LT8668_BUS, LT8668_ADDR, d, sizeof d);
}

int lt8668_read_reg(int fd, int reg, uint8_t* value)
{
    const uint8_t d[LT8668_REG_BYTES] = {static_cast<uint8_t>(reg)};
    return ri2c_write_read(fd, LT8668_BUS, LT8668_ADDR, d, sizeof d, value, 1);
}
