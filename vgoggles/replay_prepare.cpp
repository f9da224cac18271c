// The shadow goggles set up as the recording shows the goggles were, in
// one pass over it: the first clock reading, the device nodes and the
// mapping, the input mode of the first probe answers, the PWM class, the
// card's folders and its first file read, the stock service.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "vgoggles/replay.h"
#include "vgoggles/vgoggles.h"

namespace {

// What the pass learns, applied to fresh goggles once it is over.
struct Seen {
    int64_t start_ms = 100000;  // the first clock reading; the default when none
    bool clock = false;
    bool no_transport = false, no_mem = false, map_fails = false;
    uint8_t probe[3] {};
    int probes = 0;
    int pwm = -1;  // the PWM class: -1 not seen, 0 absent, 1 present
};

bool on_card(const RecEntry& e) { return std::strncmp(e.path, "/record/", 8) == 0; }

// A probe: a register of the LT8668 read.
bool probe_read(const RecEntry& e)
{
    const Ri2cTransfer t = ri2c_decode(e.cmd, e.len, e.data, static_cast<uint32_t>(e.data_len));
    return e.cmd == RI2C_CMD_WRITE_READ && t.chip == RI2C_CHIP_LT8668 && t.reg >= 0 && e.result >= 0 && e.got_len > 0;
}

// The folders on the way to a card path, as the goggles' card had them.
bool put_card_folders(const char* path, char* real, size_t size)
{
    if (!vg_card_path(path, real, size))
        return false;
    for (char* s = std::strchr(real + 1, '/'); s != nullptr; s = std::strchr(s + 1, '/')) {
        *s = '\0';
        mkdir(real, 0755);
        *s = '/';
    }
    return true;
}

void put_card_file(const char* path, const uint8_t* data, int n)
{
    char real[512];
    if (!put_card_folders(path, real, sizeof real))
        return;
    const int fd = ::open(real, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)!::write(fd, data, static_cast<size_t>(n));
    ::close(fd);
}

}  // namespace

int replay_prepare(RecReader* reader, int* service_pid)
{
    Seen seen;
    char card_file[REC_MAX_PATH] = "";
    int card_fd = -1;
    bool card_seen = false;
    RecEntry e;
    int rc;
    while ((rc = rec_reader_next(reader, &e)) > 0) {
        if (e.kind == REC_CLOCK && e.result == 0 && !seen.clock) {
            seen.clock = true;
            seen.start_ms = e.sec * 1000 + e.nsec / 1000000;
        } else if (e.kind == REC_SERVICE && *service_pid == -1) {
            *service_pid = e.pid;
        } else if (e.kind == REC_DEV_OPEN && e.result < 0) {
            seen.no_transport |= std::strcmp(e.path, RI2C_DEVICE) == 0;
            seen.no_mem |= std::strcmp(e.path, ADC_DEVICE) == 0;
        } else if (e.kind == REC_DEV_MMAP && e.result < 0) {
            seen.map_fails = true;
        } else if (e.kind == REC_DEV_IOCTL && seen.probes < 3 && probe_read(e)) {
            seen.probe[seen.probes++] = e.got[0];
        } else if (e.kind == REC_FILE_OPEN && std::strncmp(e.path, "/sys/class/pwm/", 15) == 0 && seen.pwm < 0) {
            seen.pwm = e.result < 0 && e.err == ENOENT ? 0 : 1;
        } else if (e.kind == REC_FILE_OPEN && on_card(e) && e.result >= 0) {
            char real[512];
            put_card_folders(e.path, real, sizeof real);
            // The first card file opened for reading gets the bytes first read from it.
            if (!card_seen && (e.flags & O_ACCMODE) == O_RDONLY) {
                card_fd = static_cast<int>(e.result);
                std::snprintf(card_file, sizeof card_file, "%s", e.path);
            }
            card_seen = true;
        } else if (e.kind == REC_FILE_OPEN && on_card(e)) {
            card_seen = true;
        } else if (e.kind == REC_FILE_READ && card_fd >= 0 && e.fd == card_fd) {
            if (e.result >= 0)  // an empty file too: the card had it
                put_card_file(card_file, e.data, static_cast<int>(e.result));
            card_fd = -1;
        }
    }
    if (rc < 0)
        return -1;

    // Fresh goggles whose clock starts at the first recorded reading, on
    // the same card folder.
    VgWorld* w = vg();
    char root[sizeof w->card.root];
    std::memcpy(root, w->card.root, sizeof root);
    vg_reset(static_cast<uint64_t>(seen.start_ms));
    std::memcpy(w->card.root, root, sizeof root);
    w->limit_us = UINT64_MAX;
    w->i2c.present = !seen.no_transport;
    w->adc.present = !seen.no_mem;
    w->adc.map_fails = seen.map_fails;
    w->pwm.present = seen.pwm != 0;
    // The input whose probe answers are the recorded ones; AV if none is.
    VgInput input = VG_INPUT_AV;
    for (VgInput in : {VG_INPUT_AV, VG_INPUT_HDMI, VG_INPUT_NORMAL, VG_INPUT_NONE, VG_INPUT_AV_NO_SIGNAL}) {
        vg_lt8668_set_input(in);
        if (seen.probes == 3 && w->lt.b7 == seen.probe[0] && w->lt.ad == seen.probe[1] && w->lt.ac == seen.probe[2])
            input = in;
    }
    vg_lt8668_set_input(input);
    return 0;
}
