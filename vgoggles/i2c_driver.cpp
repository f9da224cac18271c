// The /dev/remote_i2c driver as the kernel has it: takes the request
// record, checks that `len` fits the message kind, decodes bus, address and
// bytes, routes the message to the device at that address, and fills the
// read area in place. Keeps a transcript and injects faults on request.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "i2c/ri2c.h"
#include "vgoggles/vgoggles.h"

namespace {

uint32_t word(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

bool injected_failure(const VgI2cFaults& f, uint32_t cmd, uint64_t number)
{
    if (f.until_message != 0 && number >= f.until_message)
        return f.fail_nth == number;
    if (f.fail_all && number >= f.from_message)
        return true;
    if (f.fail_reads && number >= f.from_message && (cmd == RI2C_CMD_WRITE_READ || cmd == RI2C_CMD_READ))
        return true;
    if (f.fail_nth != 0 && f.fail_nth == number)
        return true;
    if (number < f.from_message)
        return false;
    return f.fail_ppm != 0 && vg_random() % 1000000u < f.fail_ppm;
}

// The device at (bus, address), or -1 (no acknowledge).
int route_write(uint32_t bus, uint32_t addr, const uint8_t* data, int n)
{
    if (bus == LT8668_BUS && addr == LT8668_ADDR)
        return vg_lt8668_write(data, n);
    if (bus == VPROC_BUS && addr == VPROC_ADDR)
        return vg_vproc_write(data, n);
    return -1;
}

int route_read(uint32_t bus, uint32_t addr, const uint8_t* wdata, int w, uint8_t* rdata, int r)
{
    if (bus == LT8668_BUS && addr == LT8668_ADDR)
        return vg_lt8668_read(wdata, w, rdata, r);
    if (bus == VPROC_BUS && addr == VPROC_ADDR)
        return vg_vproc_read(wdata, w, rdata, r);
    return -1;
}

// Carries out one decoded message; returns 0 or -errno.
int carry_out(uint32_t cmd, uint32_t len, uint8_t* p, VgI2cMessage& m)
{
    switch (cmd) {
    case RI2C_CMD_SELECT:
        return len == 16 ? 0 : -EINVAL;
    case RI2C_CMD_WRITE: {
        if (len < 12)
            return -EINVAL;
        const uint32_t n = word(p + 8);
        if (n > RI2C_MAX_DATA || len != 12 + n)
            return -EINVAL;
        return route_write(word(p), word(p + 4), p + 12, static_cast<int>(n)) == 0 ? 0 : -EIO;
    }
    case RI2C_CMD_WRITE_READ: {
        if (len < 16)
            return -EINVAL;
        const uint32_t w = word(p + 8), r = word(p + 12);
        if (w + r > RI2C_MAX_DATA || len != 16 + w + r)
            return -EINVAL;
        uint8_t got[RI2C_MAX_DATA];
        if (route_read(word(p), word(p + 4), p + 16, static_cast<int>(w), got, static_cast<int>(r)) != 0)
            return -EIO;
        std::memcpy(p + 16 + w, got, r);
        std::memcpy(m.reply, got, r);
        m.reply_len = static_cast<uint8_t>(r);
        return 0;
    }
    case RI2C_CMD_READ: {
        if (len < 12)
            return -EINVAL;
        const uint32_t n = word(p + 8);
        if (n > RI2C_MAX_DATA || len != 12 + n)
            return -EINVAL;
        uint8_t got[RI2C_MAX_DATA];
        if (route_read(word(p), word(p + 4), nullptr, 0, got, static_cast<int>(n)) != 0)
            return -EIO;
        std::memcpy(p + 12, got, n);
        std::memcpy(m.reply, got, n);
        m.reply_len = static_cast<uint8_t>(n);
        return 0;
    }
    default:
        return -EINVAL;
    }
}

// The message in the timeline's words: register accesses of the two chips
// by name and number, anything else by kind and length.
void note_message(const VgI2cMessage& m)
{
    const uint8_t* p = m.payload;
    const char* fail = m.result == 0 ? "" : " fail";
    const bool words = m.len >= 12;
    const uint32_t bus = words ? word(p) : 0, addr = words ? word(p + 4) : 0, n = words ? word(p + 8) : 0;
    const bool vp = bus == VPROC_BUS && addr == VPROC_ADDR, lt = bus == LT8668_BUS && addr == LT8668_ADDR;
    if (m.cmd == RI2C_CMD_SELECT && m.len == 16)
        vg_event("i2c select %x:%02x%s", bus, word(p + 8), fail);
    else if (m.cmd == RI2C_CMD_WRITE && vp && n == 3 && m.len == 15)
        vg_event("vp w %02x%02x=%02x%s", p[13], p[12], p[14], fail);
    else if (m.cmd == RI2C_CMD_WRITE && lt && n == 2 && m.len == 14)
        vg_event("lt w %02x=%02x%s", p[12], p[13], fail);
    else if (m.cmd == RI2C_CMD_WRITE_READ && vp && n == 2 && word(p + 12) == 1 && m.len == 19)
        vg_event("vp r %02x%02x=%02x%s", p[17], p[16], m.reply[0], fail);
    else if (m.cmd == RI2C_CMD_WRITE_READ && lt && n == 1 && word(p + 12) == 1 && m.len == 18)
        vg_event("lt r %02x=%02x%s", p[16], m.reply[0], fail);
    else
        vg_event("i2c cmd=%u len=%u%s", m.cmd, m.len, fail);
}

}  // namespace

int vg_i2c_ioctl(int fd, unsigned long request, void* arg)
{
    VgWorld* w = vg();
    VgI2cDriver& d = w->i2c;
    bool open_fd = false;
    for (int held : d.fds)
        open_fd = open_fd || (fd >= 0 && held == fd);
    if (!open_fd) {
        errno = EBADF;
        return -1;
    }
    if (request != RI2C_IOCTL || arg == nullptr) {
        errno = ENOTTY;
        return -1;
    }
    const auto* req = static_cast<const Ri2cRequest*>(arg);
    const uint64_t number = ++d.total;
    if (d.faults.kill_at_message != 0 && number == d.faults.kill_at_message)
        kill(getpid(), SIGKILL);

    VgI2cMessage& m = d.transcript[(number - 1) % VG_TRANSCRIPT_SIZE];
    std::memset(&m, 0, sizeof m);
    m.cmd = req->cmd;
    m.len = req->len;
    m.t_us = w->now_us;
    if (req->cmd >= 1 && req->cmd <= 4)
        ++d.by_kind[req->cmd];
    if (req->len > sizeof m.payload || req->payload == nullptr) {
        m.result = -1;
        ++d.failed;
        note_message(m);
        errno = EINVAL;
        return -1;
    }
    std::memcpy(m.payload, req->payload, req->len);

    int rc = injected_failure(d.faults, req->cmd, number) ? -EIO : carry_out(req->cmd, req->len, req->payload, m);
    if (rc != 0) {
        m.reply_len = 0;
        m.result = -1;
        ++d.failed;
        note_message(m);
        errno = -rc;
        return -1;
    }
    m.result = 0;
    note_message(m);
    return 0;
}

const VgI2cMessage* vg_i2c_message(uint64_t index)
{
    const VgI2cDriver& d = vg()->i2c;
    if (index >= d.total || d.total - index > VG_TRANSCRIPT_SIZE)
        return nullptr;
    return &d.transcript[index % VG_TRANSCRIPT_SIZE];
}
