// The replay's side of the seam, and its shadow: see replay.h.
#include "vgoggles/replay.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "os/os.h"
#include "vgoggles/devices.h"
#include "vgoggles/vgoggles.h"
#include "vgoggles/wrapped.h"


namespace {

constexpr int MAX_FD = 1024;

RecReader reader;
RecEntry entry;                 // the entry the program's current call took
const char* rec_text = nullptr;
size_t rec_size = 0;
int program_pid = -1;           // calls from other processes (the watchdog) are not replayed
int service_pid_recorded = -1;  // the stock service as the recording found it
int watchdog_recorded = -1, watchdog_real = -1;
int stopped_real = -1;          // the process the program stopped (the stand-in service)
bool clock_seen = false;
int64_t first_ms = 0, now_ms = 0;  // the recorded clock: its first reading, its last
int shadow_fd[MAX_FD];             // the shadow's descriptor for each recorded one; -1: none
char fd_file[MAX_FD][40];          // the file a recorded descriptor is open on, for the places
alignas(4096) uint32_t block[ADC_MAP_SIZE / 4];  // what the program maps as the ADC block

bool in_program() { return program_pid > 0 && getpid() == program_pid; }

int64_t ms_of(int64_t sec, int64_t nsec) { return sec * 1000 + nsec / 1000000; }

// Ends the run where the program leaves the recorded path.
[[noreturn]] void stop(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void stop(const char* fmt, ...)
{
    ReplayResult* r = replay_result();
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(r->stop, sizeof r->stop, fmt, ap);
    va_end(ap);
    r->stopped = true;
    // What the program's own leaving would do: no watchdog left behind, the
    // service running again.
    if (in_program() && watchdog_real > 0) {
        __real_kill(watchdog_real, SIGKILL);
        __real_waitpid(watchdog_real, nullptr, 0);
    }
    if (in_program() && stopped_real > 0)
        __real_kill(stopped_real, SIGCONT);
    _exit(REPLAY_STATUS_STOPPED);
}

// Takes the recording's next entry, which must be of this kind; the
// stock service's pid is noted on the way.
const RecEntry& take(RecKind kind)
{
    ReplayResult* r = replay_result();
    for (;;) {
        const int rc = rec_reader_next(&reader, &entry);
        if (rc < 0)
            stop("%s", reader.error);
        if (rc == 0)
            stop("line %d: the recording ends here; the program goes on with %s", reader.line,
                 rec_kind_name(kind));
        r->line = entry.line;
        if (entry.kind == REC_SERVICE) {
            service_pid_recorded = entry.pid;
            continue;
        }
        if (entry.kind == REC_CLOCK && entry.result == 0) {
            now_ms = ms_of(entry.sec, entry.nsec);
            if (!clock_seen)
                first_ms = now_ms;
            clock_seen = true;
        }
        r->ms = now_ms - first_ms;
        if (entry.kind != kind)
            stop("line %d: the program makes a call of kind %s where the recording has %s", entry.line,
                 rec_kind_name(kind), rec_kind_name(entry.kind));
        return entry;
    }
}

// The program's request must be the recorded one.
void same(bool equal, const char* what, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
void same(bool equal, const char* what, const char* fmt, ...)
{
    if (equal)
        return;
    char detail[200];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(detail, sizeof detail, fmt, ap);
    va_end(ap);
    stop("line %d: the program's %s differs from the recorded one%s%s", entry.line, what, detail[0] ? ": " : "",
         detail);
}

// One device answer, held against the model's.
void answer(bool agree, const char* place, const char* recorded, const char* modelled)
{
    ReplayResult* r = replay_result();
    ++r->answers;
    if (agree) {
        ++r->agree;
        return;
    }
    if (r->disagreements < REPLAY_KEPT) {
        ReplayDisagreement& d = r->kept[r->disagreements];
        d.line = entry.line;
        d.ms = now_ms - first_ms;
        std::snprintf(d.text, sizeof d.text, "%s: recorded %s, modelled %s", place, recorded, modelled);
    }
    ++r->disagreements;
}

// A call's result as text: "0", "-1 errno=5".
void result_text(long rc, int err, char* out, size_t size)
{
    if (rc < 0)
        std::snprintf(out, size, "%ld errno=%d", rc, err);
    else
        std::snprintf(out, size, "%ld", rc);
}

// Results of calls that return a descriptor agree when both succeed, or
// both fail with the same errno.
void answer_result(const char* place, bool fd_like, long modelled, int modelled_err)
{
    char rec[48], mod[48];
    result_text(static_cast<long>(entry.result), entry.err, rec, sizeof rec);
    result_text(modelled, modelled_err, mod, sizeof mod);
    const bool agree = (entry.result < 0) == (modelled < 0) &&
                       (entry.result < 0 ? entry.err == modelled_err : !fd_like ? entry.result == modelled : true);
    answer(agree, place, rec, mod);
}

int shadow(int fd) { return fd >= 0 && fd < MAX_FD ? shadow_fd[fd] : -1; }

// "write pwm7/enable": the call and the file's last two path elements.
void file_place(const char* call, int fd, char* out, size_t size)
{
    std::snprintf(out, size, "%s %s", call, fd >= 0 && fd < MAX_FD && fd_file[fd][0] ? fd_file[fd] : "?");
}

void map_fd(int recorded, int modelled)
{
    if (recorded >= 0 && recorded < MAX_FD)
        shadow_fd[recorded] = modelled;
}

// The recorded result for the program.
long give(long result)
{
    if (result < 0)
        errno = entry.err;
    return result;
}

void hex(const uint8_t* p, int n, char* out, size_t size)
{
    size_t at = 0;
    out[0] = '\0';
    for (int i = 0; i < n && at + 3 < size; ++i)
        at += static_cast<size_t>(std::snprintf(out + at, size - at, "%02x", p[i]));
    if (n <= 0)
        std::snprintf(out, size, "-");
}

uint32_t word(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

// Where a transport request goes, in the chips' own terms.
void transfer_place(uint32_t cmd, const uint8_t* p, uint32_t sent, char* out, size_t size)
{
    const uint32_t bus = sent >= 8 ? word(p) : 0, addr = sent >= 8 ? word(p + 4) : 0;
    const bool lt = bus == LT8668_BUS && addr == LT8668_ADDR, vp = bus == VPROC_BUS && addr == VPROC_ADDR;
    if (cmd == RI2C_CMD_SELECT && sent >= 12)
        std::snprintf(out, size, "select bus %u at %02x", bus, word(p + 8));
    else if (cmd == RI2C_CMD_WRITE_READ && lt && sent >= 17)
        std::snprintf(out, size, "LT8668 register %02x", p[16]);
    else if (cmd == RI2C_CMD_WRITE_READ && vp && sent >= 18)
        std::snprintf(out, size, "video processor register %02x%02x", p[17], p[16]);
    else if (cmd == RI2C_CMD_WRITE && lt && sent >= 14)
        std::snprintf(out, size, "LT8668 write %02x=%02x", p[12], p[13]);
    else if (cmd == RI2C_CMD_WRITE && vp && sent >= 15)
        std::snprintf(out, size, "video processor write %02x%02x=%02x", p[13], p[12], p[14]);
    else
        std::snprintf(out, size, "transfer %u on bus %u at %02x", cmd, bus, addr);
}

}  // namespace

ReplayResult* replay_result()
{
    static ReplayResult* r = nullptr;
    if (r == nullptr) {
        void* p = mmap(nullptr, sizeof(ReplayResult), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            std::abort();
        r = static_cast<ReplayResult*>(p);
        r->recorded_status = -1;
    }
    return r;
}

const RecHeader& replay_header() { return reader.header; }

bool replay_service_running() { return service_pid_recorded > 0; }

namespace {

// The card's folder as the shadow's SD card: the first file read whole
// from the card is put there, as the goggles had it.
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

// Sets the shadow goggles up from a first pass over the recording.
int prepare(char* error, size_t cap)
{
    // Fresh goggles whose clock starts at the first recorded reading, on
    // the same card folder.
    RecReader pass;
    RecEntry e;
    int rc;
    int64_t start_ms = 100000;
    if (rec_reader_open(&pass, rec_text, rec_size) == 0) {
        while ((rc = rec_reader_next(&pass, &e)) > 0 && !(e.kind == REC_CLOCK && e.result == 0)) {
        }
        if (rc > 0)
            start_ms = ms_of(e.sec, e.nsec);
    }
    VgWorld* w = vg();
    char root[sizeof w->card.root];
    std::memcpy(root, w->card.root, sizeof root);
    vg_reset(static_cast<uint64_t>(start_ms));
    std::memcpy(w->card.root, root, sizeof root);
    w->limit_us = UINT64_MAX;

    if (rec_reader_open(&pass, rec_text, rec_size) < 0) {
        std::snprintf(error, cap, "%s", pass.error);
        return -1;
    }
    uint8_t probe[3] = {0, 0, 0};
    int probes = 0;
    char card_file[REC_MAX_PATH] = "";
    int card_fd = -1;
    bool card_done = false, pwm_seen = false;
    while ((rc = rec_reader_next(&pass, &e)) > 0) {
        if (e.kind == REC_SERVICE && service_pid_recorded == -1) {
            service_pid_recorded = e.pid;
        } else if (e.kind == REC_DEV_OPEN && std::strcmp(e.path, RI2C_DEVICE) == 0 && e.result < 0) {
            w->i2c.present = false;
        } else if (e.kind == REC_DEV_OPEN && std::strcmp(e.path, ADC_DEVICE) == 0 && e.result < 0) {
            w->adc.present = false;
        } else if (e.kind == REC_DEV_MMAP && e.result < 0) {
            w->adc.map_fails = true;
        } else if (e.kind == REC_DEV_IOCTL && e.cmd == RI2C_CMD_WRITE_READ && e.data_len >= 17 && probes < 3 &&
                   word(e.data) == LT8668_BUS && word(e.data + 4) == LT8668_ADDR && e.result >= 0 &&
                   e.got_len > 0) {
            probe[probes++] = e.got[0];
        } else if (e.kind == REC_FILE_OPEN && std::strncmp(e.path, "/sys/class/pwm/", 15) == 0 && !pwm_seen) {
            pwm_seen = true;
            w->pwm.present = !(e.result < 0 && e.err == ENOENT);
        } else if (e.kind == REC_FILE_OPEN && std::strncmp(e.path, "/record/", 8) == 0 && !card_done) {
            card_done = true;
            char real[512];
            if (e.result >= 0)
                put_card_folders(e.path, real, sizeof real);
            if (e.result >= 0 && (e.flags & O_ACCMODE) == O_RDONLY) {
                card_fd = static_cast<int>(e.result);
                std::snprintf(card_file, sizeof card_file, "%s", e.path);
            }
        } else if (e.kind == REC_FILE_OPEN && std::strncmp(e.path, "/record/", 8) == 0 && e.result >= 0) {
            char real[512];
            put_card_folders(e.path, real, sizeof real);
        } else if (e.kind == REC_FILE_READ && card_fd >= 0 && e.fd == card_fd) {
            if (e.result > 0)
                put_card_file(card_file, e.data, static_cast<int>(e.result));
            card_fd = -1;
        }
    }
    if (rc < 0) {
        std::snprintf(error, cap, "%s", pass.error);
        return -1;
    }
    // The input whose probe answers are the recorded ones; AV if none is.
    VgInput input = VG_INPUT_AV;
    for (VgInput in : {VG_INPUT_AV, VG_INPUT_HDMI, VG_INPUT_NORMAL, VG_INPUT_NONE, VG_INPUT_AV_NO_SIGNAL}) {
        vg_lt8668_set_input(in);
        if (probes == 3 && w->lt.b7 == probe[0] && w->lt.ad == probe[1] && w->lt.ac == probe[2])
            input = in;
    }
    vg_lt8668_set_input(input);
    return 0;
}

}  // namespace

int replay_open(const char* text, size_t size, char* error, size_t cap)
{
    rec_text = text;
    rec_size = size;
    replay_result();  // mapped before the program's process is forked
    if (prepare(error, cap) < 0)
        return -1;
    if (rec_reader_open(&reader, text, size) < 0) {
        std::snprintf(error, cap, "%s", reader.error);
        return -1;
    }
    for (int& fd : shadow_fd)
        fd = -1;
    return 0;
}

int replay_entry(int (*program_main)(int, char**), int argc, char** argv)
{
    program_pid = static_cast<int>(getpid());
    const int status = program_main(argc, argv);
    ReplayResult* r = replay_result();
    RecEntry last;
    int rc;
    while ((rc = rec_reader_next(&reader, &last)) > 0 && last.kind == REC_SERVICE) {
    }
    if (rc < 0)
        stop("%s", reader.error);
    if (rc == 0) {
        r->recorded_status = -1;  // cut short: nothing says how it ended
    } else if (last.kind != REC_END) {
        entry = last;
        stop("line %d: the program returns %d where the recording goes on with %s", last.line, status,
             rec_kind_name(last.kind));
    } else {
        r->ended = true;
        r->recorded_status = last.status;
        r->line = last.line;
    }
    return status;
}

// ---- the seam -----------------------------------------------------------

int os_dev_open(const char* path, int flags)
{
    const RecEntry& e = take(REC_DEV_OPEN);
    same(std::strcmp(path, e.path) == 0 && static_cast<uint32_t>(flags) == e.flags, "device open", "%s %x", path,
         flags);
    const int fd = vg_dev_open(path, flags);
    const int err = errno;
    map_fd(static_cast<int>(e.result), fd);
    char place[64];
    std::snprintf(place, sizeof place, "open %s", path);
    answer_result(place, true, fd, err);
    return static_cast<int>(give(e.result));
}

int os_dev_ioctl(int fd, unsigned long request, void* arg)
{
    const RecEntry& e = take(REC_DEV_IOCTL);
    same(fd == e.fd && request == e.request, "ioctl", "descriptor %d, request %lx", fd, request);
    if (request != RI2C_IOCTL || arg == nullptr) {
        errno = 0;
        const int rc = vg_i2c_ioctl(shadow(fd), request, arg);
        answer_result("ioctl", false, rc, errno);
        return static_cast<int>(give(e.result));
    }
    auto* req = static_cast<Ri2cRequest*>(arg);
    const uint32_t len = req->len <= RI2C_MAX_PAYLOAD ? req->len : RI2C_MAX_PAYLOAD;
    const Ri2cPayloadSplit split = ri2c_payload_split(req->cmd, len, req->payload);
    char sent[2 * RI2C_MAX_PAYLOAD + 1];
    hex(req->payload, static_cast<int>(split.sent), sent, sizeof sent);
    same(req->cmd == e.cmd && req->len == e.len && static_cast<int>(split.sent) == e.data_len &&
             std::memcmp(req->payload, e.data, split.sent) == 0,
         "transfer", "command %u, length %u, %s", req->cmd, req->len, sent);

    // The models' answer to the very request, in a copy.
    uint8_t copy[RI2C_MAX_PAYLOAD] = {};
    std::memcpy(copy, req->payload, split.sent);
    Ri2cRequest model_req {req->cmd, req->len, copy};
    errno = 0;
    const int rc = vg_i2c_ioctl(shadow(fd), request, &model_req);
    const int err = errno;
    char place[64], rec[2 * RI2C_MAX_DATA + 32], mod[2 * RI2C_MAX_DATA + 32];
    transfer_place(req->cmd, req->payload, split.sent, place, sizeof place);
    const int got = e.result >= 0 && e.got_len > 0 ? e.got_len : 0;
    const int model_got = rc >= 0 ? static_cast<int>(split.got) : 0;
    char bytes[2 * RI2C_MAX_DATA + 1];
    result_text(static_cast<long>(e.result), e.err, rec, sizeof rec);
    if (got > 0) {
        hex(e.got, got, bytes, sizeof bytes);
        std::snprintf(rec + std::strlen(rec), sizeof rec - std::strlen(rec), ", %s", bytes);
    }
    result_text(rc, err, mod, sizeof mod);
    if (model_got > 0) {
        hex(copy + split.sent, model_got, bytes, sizeof bytes);
        std::snprintf(mod + std::strlen(mod), sizeof mod - std::strlen(mod), ", %s", bytes);
    }
    const bool agree = (e.result < 0) == (rc < 0) && (e.result >= 0 ? e.result == rc : e.err == err) &&
                       got == model_got && std::memcmp(e.got, copy + split.sent, static_cast<size_t>(got)) == 0;
    answer(agree, place, rec, mod);

    // The goggles' answer for the program.
    if (got > 0 && split.sent + static_cast<uint32_t>(got) <= len)
        std::memcpy(req->payload + split.sent, e.got, static_cast<size_t>(got));
    return static_cast<int>(give(e.result));
}

void* os_dev_mmap(int fd, size_t length, int64_t offset)
{
    const RecEntry& e = take(REC_DEV_MMAP);
    same(fd == e.fd && length == e.length && static_cast<uint64_t>(offset) == e.offset, "mapping", "%zx at %llx", length,
         static_cast<unsigned long long>(offset));
    const void* p = vg_dev_mmap(shadow(fd), length, offset);
    answer_result("map /dev/mem", true, p != nullptr ? 0 : -1, p != nullptr ? 0 : entry.err);
    return e.result < 0 ? nullptr : block;
}

int os_dev_close(int fd)
{
    const RecEntry& e = take(REC_DEV_CLOSE);
    same(fd == e.fd, "close", "descriptor %d", fd);
    const int rc = shadow(fd) >= 0 ? vg_dev_close(shadow(fd)) : -1;
    answer_result("close device", false, rc, rc < 0 ? EBADF : 0);
    map_fd(fd, -1);
    return static_cast<int>(give(e.result));
}

namespace {

uint32_t offset_of(const volatile uint32_t* reg)
{
    return static_cast<uint32_t>(reinterpret_cast<const volatile uint8_t*>(reg) -
                                 reinterpret_cast<const volatile uint8_t*>(block));
}

}  // namespace

uint32_t os_reg_load(const volatile uint32_t* reg)
{
    const RecEntry& e = take(REC_REG_LOAD);
    const uint32_t at = offset_of(reg);
    same(at == e.offset, "register load", "offset %x", at);
    // The button voltage is the wearer's, not the goggles': the shadow's
    // key input holds what was read.
    VgAdc& a = vg()->adc;
    a.override_raw = true;
    a.raw_value = e.value;
    const uint32_t v = vg_adc_load(at);
    char place[32], rec[16], mod[16];
    std::snprintf(place, sizeof place, "ADC %03x", at);
    std::snprintf(rec, sizeof rec, "%x", e.value);
    std::snprintf(mod, sizeof mod, "%x", v);
    answer(v == e.value, place, rec, mod);
    return e.value;
}

void os_reg_store(volatile uint32_t* reg, uint32_t value)
{
    const RecEntry& e = take(REC_REG_STORE);
    const uint32_t at = offset_of(reg);
    same(at == e.offset && value == e.value, "register store", "%x=%x", at, value);
    vg_adc_store(at, value);
}

int os_file_open(const char* path, int flags, mode_t mode)
{
    const RecEntry& e = take(REC_FILE_OPEN);
    same(std::strcmp(path, e.path) == 0 && static_cast<uint32_t>(flags) == e.flags && mode == e.mode, "file open",
         "%s %x %o", path, flags, static_cast<unsigned>(mode));
    const int fd = vg_file_open(path, flags, mode);
    const int err = errno;
    map_fd(static_cast<int>(e.result), fd);
    if (e.result >= 0 && e.result < MAX_FD) {
        const char* tail = path + std::strlen(path);
        for (int slashes = 0; tail > path && slashes < 2; --tail)
            slashes += tail[-1] == '/';
        std::snprintf(fd_file[e.result], sizeof fd_file[e.result], "%s", tail == path ? path : tail + 1);
    }
    char place[REC_MAX_PATH + 8];
    std::snprintf(place, sizeof place, "open %s", path);
    answer_result(place, true, fd, err);
    return static_cast<int>(give(e.result));
}

ssize_t os_file_read(int fd, void* buf, size_t count)
{
    const RecEntry& e = take(REC_FILE_READ);
    same(fd == e.fd && count == e.count, "file read", "descriptor %d, %zu bytes", fd, count);
    uint8_t got[REC_MAX_DATA];
    const ssize_t n = shadow(fd) >= 0 ? vg_file_read(shadow(fd), got, count < sizeof got ? count : sizeof got) : -1;
    const int err = shadow(fd) >= 0 ? errno : EBADF;
    char rec[REC_MAX_DATA + 40], mod[REC_MAX_DATA + 40];
    result_text(static_cast<long>(e.result), e.err, rec, sizeof rec);
    result_text(n, err, mod, sizeof mod);
    const int rn = e.result > 0 ? e.data_len : 0;
    const bool agree = (e.result < 0 ? n < 0 && err == e.err : n == e.result && std::memcmp(got, e.data, rn) == 0);
    char place[64];
    file_place("read", fd, place, sizeof place);
    answer(agree, place, rec, mod);
    if (rn > 0)
        std::memcpy(buf, e.data, static_cast<size_t>(rn) < count ? static_cast<size_t>(rn) : count);
    return give(static_cast<long>(e.result));
}

ssize_t os_file_write(int fd, const void* buf, size_t count)
{
    const RecEntry& e = take(REC_FILE_WRITE);
    const size_t kept = count < REC_MAX_DATA ? count : REC_MAX_DATA;
    same(fd == e.fd && count == e.count && static_cast<size_t>(e.data_len) == kept &&
             std::memcmp(buf, e.data, kept) == 0,
         "file write", "descriptor %d, %.*s", fd, static_cast<int>(kept), static_cast<const char*>(buf));
    const ssize_t n = shadow(fd) >= 0 ? vg_file_write(shadow(fd), buf, count) : -1;
    char place[64];
    file_place("write", fd, place, sizeof place);
    answer_result(place, false, n, shadow(fd) >= 0 ? errno : EBADF);
    return give(static_cast<long>(e.result));
}

namespace {

// A call on an open file that answers with a result only.
int file_call(RecKind kind, const char* call, int fd, int (*model)(int))
{
    const RecEntry& e = take(kind);
    same(fd == e.fd, call, "descriptor %d", fd);
    const int rc = shadow(fd) >= 0 ? model(shadow(fd)) : -1;
    char place[64];
    file_place(call, fd, place, sizeof place);
    answer_result(place, false, rc, shadow(fd) >= 0 ? errno : EBADF);
    return static_cast<int>(give(e.result));
}

}  // namespace

int os_file_fsync(int fd) { return file_call(REC_FILE_FSYNC, "fsync", fd, vg_file_fsync); }

int os_file_close(int fd)
{
    const int rc = file_call(REC_FILE_CLOSE, "close", fd, vg_file_close);
    map_fd(fd, -1);
    return rc;
}

int os_file_rename(const char* from, const char* to)
{
    const RecEntry& e = take(REC_FILE_RENAME);
    same(std::strcmp(from, e.path) == 0 && std::strcmp(to, e.path2) == 0, "rename", "%s %s", from, to);
    const int rc = vg_file_rename(from, to);
    char place[2 * REC_MAX_PATH + 16];
    std::snprintf(place, sizeof place, "rename %s", to);
    answer_result(place, false, rc, errno);
    return static_cast<int>(give(e.result));
}

int os_file_unlink(const char* path)
{
    const RecEntry& e = take(REC_FILE_UNLINK);
    same(std::strcmp(path, e.path) == 0, "unlink", "%s", path);
    const int rc = vg_file_unlink(path);
    char place[REC_MAX_PATH + 16];
    std::snprintf(place, sizeof place, "unlink %s", path);
    answer_result(place, false, rc, errno);
    return static_cast<int>(give(e.result));
}

int os_clock_monotonic(struct timespec* now)
{
    const RecEntry& e = take(REC_CLOCK);
    if (e.result == 0) {
        now->tv_sec = static_cast<time_t>(e.sec);
        now->tv_nsec = static_cast<long>(e.nsec);
    }
    return static_cast<int>(give(e.result));
}

int os_usleep(unsigned int usec)
{
    const RecEntry& e = take(REC_USLEEP);
    same(usec == e.count, "sleep", "%u us", usec);
    vg_advance(usec);
    return static_cast<int>(give(e.result));
}

unsigned int os_sleep(unsigned int seconds)
{
    const RecEntry& e = take(REC_SLEEP);
    same(seconds == e.count, "sleep", "%u s", seconds);
    vg_advance(static_cast<uint64_t>(seconds) * 1000000);
    return static_cast<unsigned>(e.result);
}

// ---- the program's process calls and diagnostics --------------------------
// They stay real (a stand-in service takes the signals); each must be the
// recorded one, the pids read as the recording's.

int __wrap_kill(pid_t pid, int sig)
{
    if (in_program()) {
        const RecEntry& e = take(REC_KILL);
        const bool to_watchdog = watchdog_recorded > 0 && e.pid == watchdog_recorded;
        same(e.sig == sig && to_watchdog == (watchdog_real > 0 && pid == watchdog_real), "signal", "%d to %d", sig,
             static_cast<int>(pid));
        if (sig == SIGSTOP)
            stopped_real = static_cast<int>(pid);
    }
    return __real_kill(pid, sig);
}

pid_t __wrap_fork()
{
    const bool mine = in_program();
    if (mine)
        take(REC_FORK);
    const int recorded = static_cast<int>(entry.result);
    const pid_t child = __real_fork();
    if (mine && child > 0) {
        watchdog_recorded = recorded;
        watchdog_real = static_cast<int>(child);
    }
    return child;
}

pid_t __wrap_waitpid(pid_t pid, int* status, int options)
{
    if (in_program()) {
        const RecEntry& e = take(REC_WAITPID);
        same(e.pid == watchdog_recorded ? pid == watchdog_real : true, "reap", "%d", static_cast<int>(pid));
    }
    return __real_waitpid(pid, status, options);
}

ssize_t __wrap_write(int fd, const void* buf, size_t count)
{
    if (fd == 2 && in_program()) {
        const RecEntry& e = take(REC_STDERR);
        const int n = static_cast<int>(count);
        same(e.data_len == n && std::memcmp(e.data, buf, count) == 0, "diagnostic", "%.*s",
             n > 0 && static_cast<const char*>(buf)[n - 1] == '\n' ? n - 1 : n, static_cast<const char*>(buf));
    }
    return __real_write(fd, buf, count);
}
