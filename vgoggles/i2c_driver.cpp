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
int route_write(const Ri2cTransfer& t, const uint8_t* p)
{
    const int n = static_cast<int>(t.writes);
    switch (t.chip) {
    case RI2C_CHIP_LT8668: return vg_lt8668_write(p + t.data_at, n);
    case RI2C_CHIP_VPROC: return vg_vproc_write(p + t.data_at, n);
    default: return -1;
    }
}

int route_read(const Ri2cTransfer& t, const uint8_t* p, uint8_t* rdata)
{
    const uint8_t* wdata = t.writes > 0 ? p + t.data_at : nullptr;
    const int w = static_cast<int>(t.writes), r = static_cast<int>(t.reads);
    switch (t.chip) {
    case RI2C_CHIP_LT8668: return vg_lt8668_read(wdata, w, rdata, r);
    case RI2C_CHIP_VPROC: return vg_vproc_read(wdata, w, rdata, r);
    default: return -1;
    }
}

// Carries out one decoded message; returns 0 or -errno.
int carry_out(const Ri2cTransfer& t, uint8_t* p, VgI2cMessage& m)
{
    if (!t.well_formed)
        return -EINVAL;
    switch (t.cmd) {
    case RI2C_CMD_SELECT: return 0;
    case RI2C_CMD_WRITE: return route_write(t, p) == 0 ? 0 : -EIO;
    case RI2C_CMD_WRITE_READ:
    case RI2C_CMD_READ: {
        uint8_t got[RI2C_MAX_DATA];
        if (route_read(t, p, got) != 0)
            return -EIO;
        std::memcpy(p + t.read_at, got, t.reads);
        std::memcpy(m.reply, got, t.reads);
        m.reply_len = static_cast<uint8_t>(t.reads);
        return 0;
    }
    default: return -EINVAL;
    }
}

// The message in the timeline's words: a register access of the two chips
// (one register, one byte) by name and number, anything else by kind and
// length.
void note_message(const VgI2cMessage& m)
{
    const Ri2cTransfer t = ri2c_decode(m.cmd, m.len, m.payload, m.len <= sizeof m.payload ? m.len : 0);
    const char* fail = m.result == 0 ? "" : " fail";
    const char* chip = t.chip == RI2C_CHIP_VPROC ? "vp" : "lt";
    const bool one_reg = t.well_formed && t.reg >= 0;
    if (t.cmd == RI2C_CMD_SELECT && t.well_formed)
        vg_event("i2c select %x:%02x%s", t.bus, t.addr, fail);
    else if (t.cmd == RI2C_CMD_WRITE && one_reg && t.values == 1)
        vg_event("%s w %0*x=%02x%s", chip, t.reg_digits, t.reg, t.value, fail);
    else if (t.cmd == RI2C_CMD_WRITE_READ && one_reg && t.values == 0 && t.reads == 1)
        vg_event("%s r %0*x=%02x%s", chip, t.reg_digits, t.reg, m.reply[0], fail);
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

    int rc = injected_failure(d.faults, req->cmd, number)
                 ? -EIO
                 : carry_out(ri2c_decode(req->cmd, req->len, req->payload, req->len), req->payload, m);
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
