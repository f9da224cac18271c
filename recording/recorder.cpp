#include "recording/recorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "recording/format.h"
#include "service/service.h"

#ifndef AVMENU_BUILD_ID
#define AVMENU_BUILD_ID "unknown"
#endif
#if defined(__arm__)
#define REC_CPU "armhf"
#elif defined(__x86_64__)
#define REC_CPU "x86_64"
#else
#define REC_CPU "other"
#endif

const RecBrief REC_NO_REPEAT {0, 0, 0, 0, REC_KIND_COUNT, {'0', '0'}};
RecRepeat rec_repeat {&REC_NO_REPEAT, nullptr, 0};

namespace {

constexpr int FIRST_FD = 64;  // above the program's own descriptors
constexpr int MAX_NUMBER = 9999;
// The card is reserved a quarter megabyte at a time; the file is mapped a
// window at a time, locked in memory so that a write never waits for the
// card (nor faults on a card that was pulled).
constexpr off_t RESERVE = 256 * 1024;
constexpr off_t WINDOW = 64 * 1024;

int fd = -1;
char path[REC_MAX_PATH + 32];
off_t end_at = 0;        // where the next line goes
off_t reserved = 0;      // the file's size on the card: reserved, NUL until written
char* window = nullptr;  // the file's bytes [window_at, window_at + WINDOW)
off_t window_at = 0;
bool dirty = false;      // lines written since the last write-back
RecStats stats {};
uintptr_t map_base = 0;
bool scan_pending = false;
int scan_errno = 0;

// Turns, for repeats: the last whole turn, the current one.
RecBrief prev[REC_TURN_MAX];
int prev_n = 0;        // 0: the last turn cannot be repeated
RecBrief cur[REC_TURN_MAX];
int cur_n = 0;         // -1: the current turn cannot be repeated
int matched = -1;      // entries of the current turn equal to the last turn's; -1: not matching
char* repeat_line = nullptr;  // the open repeat line in the window
char* range_at = nullptr;     // its LOW, nullptr: it has no range
uint32_t range_low, range_high;

RecEntry pending;        // the entry rec_begin hands out
RecEntry scratch;        // the service line, a repeatable call written out
char line[REC_MAX_LINE];

// ---- the file on the card ------------------------------------------------------

const char* reason(int err)
{
    switch (err) {
    case ENOENT: return "no such folder";
    case ENOSPC:
    case EDQUOT: return "card full";
    case EFBIG: return "file size limit";
    case EROFS: return "card read-only";
    case EACCES:
    case EPERM: return "not allowed";
    case EIO: return "card error";
    case EEXIST: return "no free number";
    default: return "error";
    }
}

void unmap()
{
    if (window != nullptr)
        ::munmap(window, static_cast<size_t>(WINDOW));
    window = nullptr;
    repeat_line = range_at = nullptr;
    rec_repeat.next = &REC_NO_REPEAT;
}

// Lets the file go. What was written stays, whole lines only; the space
// reserved after them goes.
void close_file()
{
    unmap();
    if (fd >= 0) {
        (void)!::ftruncate(fd, end_at);
        ::close(fd);
    }
    fd = -1;
}

// Says once why the program does not record, and stops.
void give_up(const char* where, int err)
{
    close_file();
    char msg[REC_MAX_PATH + 96];
    const int n = std::snprintf(msg, sizeof msg, "rec: cannot record (%s: %s, errno %d)\n", where, reason(err), err);
    if (n > 0)
        (void)!::write(2, msg, static_cast<size_t>(n) < sizeof msg ? static_cast<size_t>(n) : sizeof msg - 1);
}

// Makes the file at least `need` bytes long on the card. The next reserve
// is made when half of the last one is used: its new size then has the
// other half's time to reach the card by the kernel's own write-back.
// Where the card has no room for a reserve, just what is needed.
bool reserve(off_t need)
{
    if (need + RESERVE / 2 <= reserved)
        return true;
    off_t ahead = reserved;
    do
        ahead += RESERVE;
    while (ahead < need + RESERVE / 2);
    for (const off_t size : {ahead, need}) {
        if (size <= reserved)
            return true;  // no room ahead, but this line fits in what is reserved
        int rc = ::fallocate(fd, 0, reserved, size - reserved);
        if (rc < 0 && errno == EOPNOTSUPP)
            rc = ::ftruncate(fd, size);
        if (rc == 0) {
            reserved = size;
            ++stats.reserves;
            return true;
        }
        if (errno != ENOSPC && errno != EFBIG && errno != EDQUOT)
            break;
    }
    give_up(path, errno);
    return false;
}

// The window that holds [end_at, end_at + n).
bool map_for(size_t n)
{
    if (window != nullptr && end_at + static_cast<off_t>(n) <= window_at + WINDOW)
        return true;
    unmap();
    window_at = end_at & ~static_cast<off_t>(4095);
    void* p = ::mmap(nullptr, static_cast<size_t>(WINDOW), PROT_READ | PROT_WRITE, MAP_SHARED, fd, window_at);
    if (p == MAP_FAILED) {
        give_up(path, errno);
        return false;
    }
    window = static_cast<char*>(p);
    ++stats.remaps;
    const off_t lock = (reserved < window_at + WINDOW ? reserved : window_at + WINDOW) - window_at;
    (void)::mlock(window, static_cast<size_t>(lock));  // best effort: the program runs on without it
    return true;
}

// Appends text at the end. The program's errno stays as its own call left it.
char* append(const char* text, size_t n)
{
    const int keep = errno;
    char* at = nullptr;
    if (reserve(end_at + static_cast<off_t>(n)) && map_for(n)) {
        at = window + (end_at - window_at);
        std::memcpy(at, text, n);
        end_at += static_cast<off_t>(n);
        stats.bytes = end_at;
        dirty = true;
    }
    errno = keep;
    return at;
}

// Starts the card's write-back of what is new, without waiting for it.
void write_back()
{
    if (fd < 0 || (!dirty && repeat_line == nullptr))
        return;
    const int keep = errno;
    (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);  // a card that fails shows at the finish's sync
    ++stats.writebacks;
    dirty = false;
    errno = keep;
}

// ---- turns ----------------------------------------------------------------

void end_turn()
{
    if (cur_n > 0) {
        std::memcpy(prev, cur, sizeof(RecBrief) * static_cast<size_t>(cur_n));
        prev_n = cur_n;
        for (int i = 0; i < prev_n; ++i) {
            const int next = i + 1 == prev_n ? 0 : i + 1;
            prev[i].entries[0] = static_cast<char>('0' + next / 10);
            prev[i].entries[1] = static_cast<char>('0' + next % 10);
        }
    } else {
        prev_n = 0;
    }
    cur_n = 0;
    matched = prev_n > 0 ? 0 : -1;
}

// Ends an open repeat before an entry that differs: its first entries
// become the current turn's.
void close_repeat()
{
    if (repeat_line != nullptr)
        matched = static_cast<int>(rec_repeat.next - prev);
    if (matched < 0)
        return;
    std::memcpy(cur, prev, sizeof(RecBrief) * static_cast<size_t>(matched));
    cur_n = matched;
    matched = -1;
    repeat_line = nullptr;
    range_at = nullptr;
    rec_repeat.next = &REC_NO_REPEAT;
}

void note_service();

// Writes an entry that was not repeated, and notes it on the current turn
// (b: its brief when it is a call an idle turn makes).
void emit(const RecEntry& e, const RecBrief* b)
{
    close_repeat();
    const size_t n = rec_entry_format(e, line);
    line[n] = '\n';
    if (append(line, n + 1) == nullptr)
        return;
    if (b == nullptr || cur_n < 0 || cur_n == REC_TURN_MAX)
        cur_n = -1;
    else
        cur[cur_n++] = *b;
    if (b != nullptr && rec_is_sleep(static_cast<RecKind>(b->kind)))
        end_turn();
}

// Every entry starts here: false when nothing is to be written. The stock
// service's pid goes in first when a scan has just ended.
bool begin()
{
    if (fd >= 0 && scan_pending)
        note_service();
    return fd >= 0;
}

void note_service()
{
    scan_pending = false;
    rec_entry_clear(&scratch, REC_SERVICE);
    scratch.pid = scan_errno != 0 ? -2 : service_pid();
    scratch.err = scan_errno;
    emit(scratch, nullptr);
}

}  // namespace

// ---- the repeat line ----------------------------------------------------------

// "repeat TTTTTTTTTT PP [LLLLLLLL HHHHHHHH]": fixed width, counted up in
// place in the mapping; the range of the ADC's data readings when the turn
// reads that register.
constexpr char REPEAT_TEXT[] = "repeat 0000000000 00 00000000 00000000\n";
constexpr int TURN_DIGITS_START = 7, TURN_DIGITS_END = 16, ENTRIES_AT = 18, LOW_AT = 21, HIGH_AT = 30;
constexpr size_t REPEAT_BARE = 20;  // the line up to its ENTRIES

void rec_repeat_turn_done()
{
    rec_repeat.next = prev;
    for (int k = TURN_DIGITS_END; k >= TURN_DIGITS_START; --k) {
        if (repeat_line[k] != '9') {
            ++repeat_line[k];
            return;
        }
        repeat_line[k] = '0';
    }
}

void rec_repeat_second()
{
    rec_repeat.slept_us -= REC_WRITEBACK_US;
    write_back();
}

namespace {

void put_hex32(char* at, uint32_t v)
{
    for (int k = 7; k >= 0; --k, v >>= 4)
        at[k] = "0123456789abcdef"[v & 15];
}

// The repeated turn's call p was made: counted in the mapping (the inline
// path's work, for a call of either kind).
void count(const RecBrief* p)
{
    std::memcpy(rec_repeat.entries, p->entries, 2);
    if ((rec_repeat.next = p + 1) == prev + prev_n)
        rec_repeat_turn_done();
}

bool is_data_load(const RecBrief& p) { return p.kind == REC_REG_LOAD && p.a - map_base == ADC_REG_DATA; }

// A reading of the ADC's data register that takes the key sampler the same
// way as the repeated turn's own (noise on an idle or held button) repeats
// it: the repeat line keeps the lowest and highest reading.
bool same_way(const RecBrief& p, RecKind kind, uintptr_t a, uint32_t b)
{
    return kind == REC_REG_LOAD && p.kind == REC_REG_LOAD && p.a == a && is_data_load(p) &&
           keys_reading_way(b) == keys_reading_way(p.b);
}

void widen(uint32_t b)
{
    if (range_at == nullptr)
        return;
    if (b < range_low)
        put_hex32(range_at, range_low = b);
    if (b > range_high)
        put_hex32(range_at + (HIGH_AT - LOW_AT), range_high = b);
}

// The first call of a repeat: the line goes in, then counts in place.
bool open_repeat(const RecBrief& p, uint32_t b)
{
    bool ranged = false;
    range_low = UINT32_MAX;
    range_high = 0;
    for (int i = 0; i < prev_n; ++i) {
        if (is_data_load(prev[i])) {
            ranged = true;
            range_low = prev[i].b < range_low ? prev[i].b : range_low;
            range_high = prev[i].b > range_high ? prev[i].b : range_high;
        }
    }
    char text[sizeof REPEAT_TEXT];
    std::memcpy(text, REPEAT_TEXT, sizeof text);
    if (ranged) {
        put_hex32(text + LOW_AT, range_low);
        put_hex32(text + HIGH_AT, range_high);
    } else {
        text[REPEAT_BARE] = '\n';
    }
    char* at = append(text, ranged ? sizeof REPEAT_TEXT - 1 : REPEAT_BARE + 1);
    if (at == nullptr)
        return false;
    repeat_line = at;
    range_at = ranged ? at + LOW_AT : nullptr;
    rec_repeat.entries = at + ENTRIES_AT;
    if (is_data_load(p))
        widen(b);
    count(&p);
    return true;
}

}  // namespace

void rec_brief(RecKind kind, uintptr_t a, uint32_t b, int32_t rc)
{
    const RecBrief brief {a, b, rc, rc < 0 ? errno : 0, kind, {'0', '0'}};
    if (!begin())
        return;
    if (same_way(*rec_repeat.next, kind, a, b)) {
        widen(b);
        count(rec_repeat.next);
        return;
    }
    if (matched >= 0 && repeat_line == nullptr) {
        const RecBrief& p = prev[matched];
        const bool same = p.kind == brief.kind && p.a == a && p.b == b && p.rc == rc && p.err == brief.err;
        if ((same || same_way(p, kind, a, b)) && open_repeat(p, b))
            return;
        if (fd < 0)
            return;
    }
    rec_entry_clear(&scratch, kind);
    scratch.result = rc;
    scratch.err = brief.err;
    if (kind == REC_REG_LOAD || kind == REC_REG_STORE) {
        scratch.offset = static_cast<uint32_t>(a - map_base);
        scratch.value = b;
        scratch.result = kind == REC_REG_LOAD ? b : 0;
    } else {
        scratch.count = a;
    }
    emit(scratch, &brief);
}

// ---- starting and ending ----------------------------------------------------

int rec_start(const char* dir, const char* program, const char* version, int argc, char** argv)
{
    int file = -1, err = EEXIST;
    for (int n = 1; n <= MAX_NUMBER && file < 0; ++n) {
        std::snprintf(path, sizeof path, "%s/recording-%04d.txt", dir, n);
        file = ::open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        err = file < 0 ? errno : 0;
        if (file < 0 && err != EEXIST)
            break;
    }
    if (file < 0) {
        give_up(err == EEXIST ? dir : path, err);
        return -1;
    }
    fd = ::fcntl(file, F_DUPFD_CLOEXEC, FIRST_FD);
    ::close(file);
    if (fd < 0) {
        give_up(path, errno);
        return -1;
    }
    end_at = reserved = 0;
    window = nullptr;
    dirty = false;
    stats = {};
    prev_n = cur_n = 0;
    matched = -1;
    repeat_line = nullptr;
    rec_repeat = {&REC_NO_REPEAT, nullptr, 0};
    scan_pending = false;

    timespec t0 {};
    ::clock_gettime(CLOCK_MONOTONIC, &t0);
    char* p = line;
    char* const stop = line + sizeof line - 1;
    auto put = [&](const char* s) {
        while (*s != '\0' && p < stop)
            *p++ = *s++;
    };
    char num[48];
    std::snprintf(num, sizeof num, " %d program=", REC_FORMAT);
    put(REC_MAGIC);
    put(num);
    put(program);
    put(" version=");
    put(version);
    put(" build=" AVMENU_BUILD_ID "-" REC_CPU " t0=");
    std::snprintf(num, sizeof num, "%lld.%09ld\nargs", static_cast<long long>(t0.tv_sec), t0.tv_nsec);
    put(num);
    // As many arguments as the reader keeps: 256 bytes, each with its NUL.
    size_t kept = 0;
    for (int k = 1; k < argc && (kept += std::strlen(argv[k]) + 1) <= REC_MAX_DATA; ++k) {
        put(" ");
        p += rec_escape(reinterpret_cast<const uint8_t*>(argv[k]), std::strlen(argv[k]), false, p,
                        static_cast<size_t>(stop - p));
    }
    *p++ = '\n';
    if (append(line, static_cast<size_t>(p - line)) == nullptr)
        return -1;
    // The reserve's size reaches the card before the program starts: then a
    // power cut loses no more than the lines not yet written back.
    if (::fdatasync(fd) < 0 && errno != EINVAL) {
        give_up(path, errno);
        return -1;
    }
    return 0;
}

int rec_start_beside_program(const char* program, const char* version, int argc, char** argv)
{
    char dir[REC_MAX_PATH];
    const ssize_t n = ::readlink("/proc/self/exe", dir, sizeof dir - 1);
    if (n <= 0 || static_cast<size_t>(n) == sizeof dir - 1) {
        give_up("/proc/self/exe", n < 0 ? errno : ENAMETOOLONG);
        return -1;
    }
    dir[n] = '\0';
    char* slash = std::strrchr(dir, '/');
    if (slash == nullptr) {
        give_up(dir, ENOENT);
        return -1;
    }
    *slash = '\0';
    return rec_start(slash == dir ? "" : dir, program, version, argc, argv);
}

void rec_finish(int status)
{
    if (!begin())
        return;
    timespec t {};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    rec_entry_clear(&scratch, REC_END);
    scratch.status = status;
    scratch.sec = t.tv_sec;
    scratch.nsec = t.tv_nsec;
    emit(scratch, nullptr);
    if (fd < 0)
        return;
    // The program is done: here waiting for the card harms nobody.
    unmap();
    stats.synced_at_end = ::ftruncate(fd, end_at) == 0 && ::fdatasync(fd) == 0;
    ::close(fd);
    fd = -1;
}

bool rec_active() { return fd >= 0; }

const char* rec_path() { return path; }

const RecStats& rec_stats() { return stats; }

void rec_forget()
{
    unmap();
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// ---- entries ----------------------------------------------------------------------

RecEntry* rec_begin(RecKind kind, int64_t result)
{
    const int err = result < 0 ? errno : 0;
    if (!begin())
        return nullptr;
    rec_entry_clear(&pending, kind);
    pending.result = result;
    pending.err = err;
    return &pending;
}

void rec_commit()
{
    if (fd >= 0)
        emit(pending, nullptr);
}

void rec_set_path(char* field, const char* p)
{
    const size_t n = p != nullptr ? strnlen(p, REC_MAX_PATH - 1) : 0;
    std::memcpy(field, p, n);
    field[n] = '\0';
}

void rec_set_data(RecEntry* e, const void* data, size_t n)
{
    e->data_len = static_cast<int>(n < REC_MAX_DATA ? n : REC_MAX_DATA);
    if (e->data_len > 0)
        std::memcpy(e->data, data, static_cast<size_t>(e->data_len));
}

void rec_service_scan(int result)
{
    if (fd < 0)
        return;
    scan_pending = true;
    scan_errno = result < 0 ? errno : 0;
    close_repeat();  // the service line must go in before the next call
}

void rec_dev_mmap(int file, size_t length, int64_t offset, void* mapped)
{
    if (mapped != nullptr)
        map_base = reinterpret_cast<uintptr_t>(mapped);
    if (RecEntry* e = rec_begin(REC_DEV_MMAP, mapped != nullptr ? 0 : -1)) {
        e->fd = file;
        e->length = length;
        e->offset = static_cast<uint64_t>(offset);
        rec_commit();
    }
}

void rec_ioctl_before(RecIoctl* snap, unsigned long request, const void* arg)
{
    snap->request = request;
    snap->cmd = snap->len = snap->sent_len = snap->got_len = 0;
    snap->payload = nullptr;
    if (fd < 0 || request != RI2C_IOCTL || arg == nullptr)
        return;
    const auto* req = static_cast<const Ri2cRequest*>(arg);
    snap->cmd = req->cmd;
    snap->len = req->len;
    snap->payload = req->payload;
    if (req->payload == nullptr)
        return;
    const Ri2cPayloadSplit split = ri2c_payload_split(req->cmd, req->len, req->payload);
    snap->sent_len = split.sent;
    snap->got_len = split.got;
    std::memcpy(snap->sent, req->payload, split.sent);
}

void rec_ioctl_after(const RecIoctl* snap, int file, int rc)
{
    RecEntry* e = rec_begin(REC_DEV_IOCTL, rc);
    if (e == nullptr)
        return;
    e->fd = file;
    e->request = snap->request;
    e->cmd = snap->cmd;
    e->len = snap->len;
    rec_set_data(e, snap->sent, snap->sent_len);
    if (snap->payload != nullptr && rc >= 0) {
        e->got_len = static_cast<int>(snap->got_len);
        std::memcpy(e->got, snap->payload + snap->sent_len, snap->got_len);
    } else {
        e->got_len = 0;
    }
    rec_commit();
}
