// The replay's side of the seam, and its shadow: see replay.h.
#include "vgoggles/replay.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
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

// Ends the run in the program's process: what the program's own leaving
// would do (no watchdog left behind, the service running again), then out.
[[noreturn]] void leave_run()
{
    if (in_program() && watchdog_real > 0) {
        __real_kill(watchdog_real, SIGKILL);
        __real_waitpid(watchdog_real, nullptr, 0);
    }
    if (in_program() && stopped_real > 0)
        __real_kill(stopped_real, SIGCONT);
    _exit(REPLAY_STATUS_STOPPED);
}

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
    leave_run();
}

// The recording's next call into e: 1, or 0 where the file ends (with the
// sentence of a power cut that ended it); the stock service's pid is noted
// on the way. A damaged line ends the run.
int next_call(RecEntry* e)
{
    int rc;
    while ((rc = rec_reader_next(&reader, e)) > 0 && e->kind == REC_SERVICE)
        service_pid_recorded = e->pid;
    if (rc < 0)
        stop("%s", reader.error);
    if (rc == 0 && reader.cut_line > 0)
        std::snprintf(replay_result()->cut, sizeof replay_result()->cut, "%s", reader.cut);
    return rc;
}

// Takes the recording's next entry, which must be of this kind.
const RecEntry& take(RecKind kind)
{
    ReplayResult* r = replay_result();
    if (next_call(&entry) == 0) {
        // A recording without its end line (killed, or cut by a power
        // loss) is replayed to its last entry: the run ends there.
        std::snprintf(r->stop, sizeof r->stop, "replayed to its last entry, line %d; the program goes on with %s",
                      r->line, rec_kind_name(kind));
        r->ran_out = true;
        leave_run();
    }
    r->line = entry.line;
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

// How a device answer is held against the model's (docs/RECORDING.md,
// "The shadow"): a rule per kind of entry.
enum AnswerRule : uint8_t {
    RULE_RESULT,        // the result, errno when it failed
    RULE_RESULT_AREA,   // the result and the read area
    RULE_RESULT_BYTES,  // the result and the bytes read
    RULE_WORD,          // the word read
    RULE_OPENED,        // success, or failure with the same errno: descriptor numbers differ
};
constexpr struct {
    RecKind kind;
    AnswerRule rule;
} ANSWER_RULES[] = {
    {REC_DEV_IOCTL, RULE_RESULT_AREA},  {REC_REG_LOAD, RULE_WORD},        {REC_DEV_OPEN, RULE_OPENED},
    {REC_DEV_MMAP, RULE_OPENED},        {REC_FILE_OPEN, RULE_OPENED},     {REC_FILE_READ, RULE_RESULT_BYTES},
    {REC_FILE_WRITE, RULE_RESULT},      {REC_FILE_FSYNC, RULE_RESULT},    {REC_FILE_CLOSE, RULE_RESULT},
    {REC_DEV_CLOSE, RULE_RESULT},       {REC_FILE_RENAME, RULE_RESULT},   {REC_FILE_UNLINK, RULE_RESULT},
};

constexpr AnswerRule rule_of(RecKind kind)
{
    for (const auto& r : ANSWER_RULES) {
        if (r.kind == kind)
            return r.rule;
    }
    return RULE_RESULT;
}

// One answer: the result, the errno when it failed, the bytes it brought.
struct Answer {
    long result;
    int err;
    const uint8_t* bytes = nullptr;
    int n = 0;
};

Answer recorded_answer(const RecEntry& e, AnswerRule rule)
{
    const long rc = static_cast<long>(e.result);
    switch (rule) {
    case RULE_WORD: return {static_cast<long>(e.value), 0};
    case RULE_RESULT_AREA: return {rc, e.err, e.got, rc >= 0 && e.got_len > 0 ? e.got_len : 0};
    case RULE_RESULT_BYTES: return {rc, e.err, e.data, rc > 0 ? e.data_len : 0};
    default: return {rc, e.err};
    }
}

// The one comparison: two failures agree on their errno, two successes on
// what the rule holds.
bool answers_agree(AnswerRule rule, const Answer& r, const Answer& m)
{
    if ((r.result < 0) != (m.result < 0))
        return false;
    if (r.result < 0)
        return r.err == m.err;
    return rule == RULE_OPENED ||
           (r.result == m.result && r.n == m.n && (r.n == 0 || std::memcmp(r.bytes, m.bytes, static_cast<size_t>(r.n)) == 0));
}

// "0", "-1 errno=5", "0, 02" (a read area), "12, 55%2050%0A" (file bytes), "6" (a word, hex).
void answer_text(AnswerRule rule, const Answer& a, char* out, size_t size)
{
    size_t at = static_cast<size_t>(rule == RULE_WORD ? std::snprintf(out, size, "%lx", a.result)
                                     : a.result < 0   ? std::snprintf(out, size, "%ld errno=%d", a.result, a.err)
                                                      : std::snprintf(out, size, "%ld", a.result));
    for (int i = 0; i < a.n && at + 4 < size; ++i) {
        const uint8_t c = a.bytes[i];
        const char* sep = i == 0 ? ", " : "";
        if (rule == RULE_RESULT_AREA)
            at += static_cast<size_t>(std::snprintf(out + at, size - at, "%s%02x", sep, c));
        else
            at += static_cast<size_t>(std::snprintf(out + at, size - at, c > ' ' && c <= '~' && c != '%' ? "%s%c" : "%s%%%02X",
                                                    sep, c));
    }
}

uint32_t pair_hash(const char* recorded, const char* modelled)
{
    uint32_t h = 2166136261u;
    for (const char* s : {recorded, "", modelled}) {
        for (; *s != '\0'; ++s)
            h = (h ^ static_cast<uint8_t>(*s)) * 16777619u;
        h = (h ^ 0xFFu) * 16777619u;
    }
    return h;
}

// A disagreement, with its place's others; on its own line too when every
// one is asked for.
void disagree(const char* place, const char* recorded, const char* modelled)
{
    ReplayResult* r = replay_result();
    const int64_t ms = now_ms - first_ms;
    if (r->all_fd >= 0) {
        char line[512];
        const int n = std::snprintf(line, sizeof line, "line %d, %lld.%03lld s: %s: recorded %s, modelled %s\n",
                                    entry.line, static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000),
                                    place, recorded, modelled);
        (void)!__real_write(r->all_fd, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    }
    ReplayPlace* p = r->place;
    while (p < r->place + r->places && std::strncmp(p->place, place, sizeof p->place - 1) != 0)
        ++p;
    if (p == r->place + REPLAY_PLACES) {
        ++r->unplaced;
        return;
    }
    if (p == r->place + r->places) {
        ++r->places;
        std::snprintf(p->place, sizeof p->place, "%s", place);
        p->first_line = entry.line;
        p->first_ms = ms;
    }
    ++p->count;
    p->last_line = entry.line;
    p->last_ms = ms;
    const uint32_t h = pair_hash(recorded, modelled);
    const int counted = p->distinct < REPLAY_PAIRS_COUNTED ? p->distinct : REPLAY_PAIRS_COUNTED;
    int i = 0;
    while (i < counted && p->pair_hash[i] != h)
        ++i;
    if (i == counted && counted < REPLAY_PAIRS_COUNTED) {
        p->pair_hash[p->distinct++] = h;
        if (i < REPLAY_PAIRS) {
            std::snprintf(p->pairs[i].recorded, sizeof p->pairs[i].recorded, "%s", recorded);
            std::snprintf(p->pairs[i].modelled, sizeof p->pairs[i].modelled, "%s", modelled);
        }
    }
    if (i < REPLAY_PAIRS)
        ++p->pairs[i].count;
}

// One device answer, held against the model's by its kind's rule.
void answer(const char* place, const Answer& modelled)
{
    ReplayResult* r = replay_result();
    const AnswerRule rule = rule_of(entry.kind);
    const Answer recorded = recorded_answer(entry, rule);
    ++r->answers;
    if (answers_agree(rule, recorded, modelled)) {
        ++r->agree;
        return;
    }
    char rec[96], mod[96];
    answer_text(rule, recorded, rec, sizeof rec);
    answer_text(rule, modelled, mod, sizeof mod);
    disagree(place, rec, mod);
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

// Where a transport request goes, in the chips' own terms.
void transfer_place(uint32_t cmd, const uint8_t* p, uint32_t sent, char* out, size_t size)
{
    const Ri2cTransfer t = ri2c_decode(cmd, sent, p, sent);
    const char* chip = ri2c_chip_name(t.chip);
    if (cmd == RI2C_CMD_SELECT && t.addressed)
        std::snprintf(out, size, "select bus %u at %02x", t.bus, t.addr);
    else if (cmd == RI2C_CMD_WRITE_READ && t.chip != RI2C_CHIP_NONE && t.reg >= 0)
        std::snprintf(out, size, "%s register %0*x", chip, t.reg_digits, static_cast<unsigned>(t.reg));
    else if (cmd == RI2C_CMD_WRITE && t.chip != RI2C_CHIP_NONE && t.values > 0)
        std::snprintf(out, size, "%s write %0*x=%02x", chip, t.reg_digits, static_cast<unsigned>(t.reg), t.value);
    else
        std::snprintf(out, size, "transfer %u on bus %u at %02x", cmd, t.bus, t.addr);
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
        r->all_fd = -1;
    }
    return r;
}

const RecHeader& replay_header() { return reader.header; }

bool replay_service_running() { return service_pid_recorded > 0; }

int replay_open(const char* text, size_t size, char* error, size_t cap)
{
    replay_result();  // mapped before the program's process is forked
    for (int& fd : shadow_fd)
        fd = -1;
    static RecReader pass;  // the header read once; the preparation goes on from there
    const bool ok = rec_reader_open(&reader, text, size) == 0 && (pass = reader, true) &&
                      replay_prepare(&pass, &service_pid_recorded) == 0;
    if (!ok)
        std::snprintf(error, cap, "%s", reader.error[0] != '\0' ? reader.error : pass.error);
    return ok ? 0 : -1;
}

int replay_entry(int (*program_main)(int, char**), int argc, char** argv)
{
    program_pid = static_cast<int>(getpid());
    const int status = program_main(argc, argv);
    ReplayResult* r = replay_result();
    RecEntry last;
    if (next_call(&last) == 0) {
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
    const Answer modelled {fd, errno};
    map_fd(static_cast<int>(e.result), fd);
    char place[64];
    std::snprintf(place, sizeof place, "open %s", path);
    answer(place, modelled);
    return static_cast<int>(give(e.result));
}

int os_dev_ioctl(int fd, unsigned long request, void* arg)
{
    const RecEntry& e = take(REC_DEV_IOCTL);
    same(fd == e.fd && request == e.request, "ioctl", "descriptor %d, request %lx", fd, request);
    if (request != RI2C_IOCTL || arg == nullptr) {
        const int rc = vg_i2c_ioctl(shadow(fd), request, arg);
        answer("ioctl", {rc, errno});
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
    const int rc = vg_i2c_ioctl(shadow(fd), request, &model_req);
    const Answer modelled {rc, errno, copy + split.sent, rc >= 0 ? static_cast<int>(split.got) : 0};
    char place[64];
    transfer_place(req->cmd, req->payload, split.sent, place, sizeof place);
    answer(place, modelled);

    // The goggles' answer for the program.
    const int got = e.result >= 0 && e.got_len > 0 ? e.got_len : 0;
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
    answer("map /dev/mem", {p != nullptr ? 0 : -1, p != nullptr ? 0 : errno});
    return e.result < 0 ? nullptr : block;
}

int os_dev_close(int fd)
{
    const RecEntry& e = take(REC_DEV_CLOSE);
    same(fd == e.fd, "close", "descriptor %d", fd);
    errno = EBADF;
    const int rc = shadow(fd) >= 0 ? vg_dev_close(shadow(fd)) : -1;
    answer("close device", {rc, errno});
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
    char place[32];
    std::snprintf(place, sizeof place, "ADC %03x", at);
    answer(place, {static_cast<long>(vg_adc_load(at)), 0});
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
    const Answer modelled {fd, errno};
    map_fd(static_cast<int>(e.result), fd);
    if (e.result >= 0 && e.result < MAX_FD) {
        const char* tail = path + std::strlen(path);
        for (int slashes = 0; tail > path && slashes < 2; --tail)
            slashes += tail[-1] == '/';
        std::snprintf(fd_file[e.result], sizeof fd_file[e.result], "%s", tail == path ? path : tail + 1);
    }
    char place[REC_MAX_PATH + 8];
    std::snprintf(place, sizeof place, "open %s", path);
    answer(place, modelled);
    return static_cast<int>(give(e.result));
}

ssize_t os_file_read(int fd, void* buf, size_t count)
{
    const RecEntry& e = take(REC_FILE_READ);
    same(fd == e.fd && count == e.count, "file read", "descriptor %d, %zu bytes", fd, count);
    uint8_t got[REC_MAX_DATA];
    errno = EBADF;
    const ssize_t n = shadow(fd) >= 0 ? vg_file_read(shadow(fd), got, count < sizeof got ? count : sizeof got) : -1;
    const Answer modelled {n, errno, got, n > 0 ? static_cast<int>(n) : 0};
    char place[64];
    file_place("read", fd, place, sizeof place);
    answer(place, modelled);
    const int rn = e.result > 0 ? e.data_len : 0;
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
    errno = EBADF;
    const ssize_t n = shadow(fd) >= 0 ? vg_file_write(shadow(fd), buf, count) : -1;
    const Answer modelled {n, errno};
    char place[64];
    file_place("write", fd, place, sizeof place);
    answer(place, modelled);
    return give(static_cast<long>(e.result));
}

namespace {

// A call on an open file that answers with a result only.
int file_call(RecKind kind, const char* call, int fd, int (*model)(int))
{
    const RecEntry& e = take(kind);
    same(fd == e.fd, call, "descriptor %d", fd);
    errno = EBADF;
    const int rc = shadow(fd) >= 0 ? model(shadow(fd)) : -1;
    const Answer modelled {rc, errno};
    char place[64];
    file_place(call, fd, place, sizeof place);
    answer(place, modelled);
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
    answer(place, {rc, errno});
    return static_cast<int>(give(e.result));
}

int os_file_unlink(const char* path)
{
    const RecEntry& e = take(REC_FILE_UNLINK);
    same(std::strcmp(path, e.path) == 0, "unlink", "%s", path);
    const int rc = vg_file_unlink(path);
    char place[REC_MAX_PATH + 16];
    std::snprintf(place, sizeof place, "unlink %s", path);
    answer(place, {rc, errno});
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
