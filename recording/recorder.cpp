#include "recording/recorder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "i2c/ri2c.h"
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

namespace {

constexpr int FIRST_FD = 64;  // above the program's own descriptors
constexpr int MAX_NUMBER = 9999;

// What is compared to tell a repeated turn: the kinds an idle turn is made
// of. Entries of other kinds make their turn one that is never repeated.
struct Brief {
    uint8_t kind;
    uint32_t a, b;
    int32_t rc;
    int32_t err;
    bool operator==(const Brief&) const = default;
};

int fd = -1;
off_t end_at = 0;     // where the next line goes
char path[REC_MAX_PATH + 32];
uintptr_t map_base = 0;
bool scan_pending = false;
int scan_errno = 0;

Brief prev[REC_TURN_MAX];
int prev_n = 0;       // 0: the last turn cannot be repeated
Brief cur[REC_TURN_MAX];
int cur_n = 0;        // -1: the current turn cannot be repeated
bool matching = false;
int matched = 0;      // entries of the current turn equal to the last turn's so far
off_t repeat_at = -1; // the open repeat line, -1: none

char line[REC_MAX_LINE];

// ---- formatting, without the C library's printf -------------------------

struct Out {
    char* p = line;
    char* const end = line + sizeof line - 1;  // the last byte is kept for the newline
    void ch(char c)
    {
        if (p < end)
            *p++ = c;
    }
    void str(const char* s)
    {
        while (*s != '\0')
            ch(*s++);
    }
    void u(uint64_t v)
    {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0)
            ch(digits[--n]);
    }
    void i(int64_t v)
    {
        if (v < 0) {
            ch('-');
            u(static_cast<uint64_t>(-(v + 1)) + 1);
        } else {
            u(static_cast<uint64_t>(v));
        }
    }
    void base(uint64_t v, unsigned shift)
    {
        char digits[22];
        int n = 0;
        const uint64_t mask = (1u << shift) - 1;
        do {
            digits[n++] = "0123456789abcdef"[v & mask];
            v >>= shift;
        } while (v != 0);
        while (n > 0)
            ch(digits[--n]);
    }
    void x(uint64_t v) { base(v, 4); }
    void bytes(const uint8_t* b, size_t n)
    {
        if (n == 0)
            ch('-');
        for (size_t k = 0; k < n; ++k) {
            ch("0123456789abcdef"[b[k] >> 4]);
            ch("0123456789abcdef"[b[k] & 15]);
        }
    }
    void escaped(const void* data, size_t n, bool spaces)
    {
        const auto* b = static_cast<const uint8_t*>(data);
        if (!spaces && (n == 0 || (n == 1 && b[0] == '-'))) {
            str(n == 0 ? "-" : "%2D");
            return;
        }
        for (size_t k = 0; k < n; ++k) {
            if ((b[k] > ' ' && b[k] <= '~' && b[k] != '%') || (spaces && b[k] == ' ')) {
                ch(static_cast<char>(b[k]));
            } else {
                ch('%');
                ch("0123456789ABCDEF"[b[k] >> 4]);
                ch("0123456789ABCDEF"[b[k] & 15]);
            }
        }
    }
    void path(const char* s) { escaped(s, s != nullptr ? strnlen(s, REC_MAX_PATH - 1) : 0, false); }
    // " -> RC" and " errno=N" for a negative result.
    void result(int64_t rc, int err)
    {
        str(" -> ");
        i(rc);
        if (rc < 0) {
            str(" errno=");
            i(err);
        }
    }
    void time(int64_t sec, int64_t nsec)
    {
        i(sec);
        ch('.');
        char digits[9];
        for (int k = 8; k >= 0; --k, nsec /= 10)
            digits[k] = static_cast<char>('0' + nsec % 10);
        for (char d : digits)
            ch(d);
    }
    void kind(RecKind k) { str(REC_KIND_NAMES[k]); }
    // One more field: a space and the value.
    void arg_i(int64_t v)
    {
        ch(' ');
        i(v);
    }
    void arg_x(uint64_t v)
    {
        ch(' ');
        x(v);
    }
    void arg_path(const char* s)
    {
        ch(' ');
        path(s);
    }
};

// ---- the file -----------------------------------------------------------

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

// Says once why the program does not record, and stops.
void give_up(const char* where, int err)
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    char msg[REC_MAX_PATH + 96];
    const int n = std::snprintf(msg, sizeof msg, "rec: cannot record (%s: %s, errno %d)\n", where, reason(err), err);
    if (n > 0)
        (void)!::write(2, msg, static_cast<size_t>(n) < sizeof msg ? static_cast<size_t>(n) : sizeof msg - 1);
}

// The program's errno stays as its own call left it, whatever happens here.
bool put_at(const char* text, size_t n, off_t at)
{
    const int keep = errno;
    size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, text + done, n - done, at + static_cast<off_t>(done));
        if (w <= 0) {
            const int err = w < 0 ? errno : ENOSPC;
            // A line cut short is taken back: the file still ends with a whole entry.
            if (done > 0)
                (void)!::ftruncate(fd, at);
            give_up(path, err);
            errno = keep;
            return false;
        }
        done += static_cast<size_t>(w);
    }
    return true;
}

bool append(const char* text, size_t n)
{
    if (!put_at(text, n, end_at))
        return false;
    end_at += static_cast<off_t>(n);
    return true;
}

// "repeat TTTTTTTTTT PP\n": fixed width, rewritten in place. The count
// is kept as text and counted up digit by digit: an idle turn must cost
// the wearer next to nothing.
char repeat_text[] = "repeat 0000000000 00\n";
constexpr int TURN_DIGITS_END = 16;
constexpr int TURN_DIGITS_START = 7;

void write_repeat()
{
    repeat_text[18] = matched >= 10 ? '1' : '0';
    repeat_text[19] = static_cast<char>('0' + (matched >= 10 ? matched - 10 : matched));
    if (repeat_at < 0) {
        repeat_at = end_at;
        append(repeat_text, sizeof repeat_text - 1);
    } else {
        put_at(repeat_text, sizeof repeat_text - 1, repeat_at);
    }
}

void count_turn()
{
    for (int k = TURN_DIGITS_END; k >= TURN_DIGITS_START; --k) {
        if (repeat_text[k] != '9') {
            ++repeat_text[k];
            return;
        }
        repeat_text[k] = '0';
    }
}

// ---- turns ----------------------------------------------------------------

void end_turn()
{
    if (cur_n > 0) {
        std::memcpy(prev, cur, sizeof(Brief) * static_cast<size_t>(cur_n));
        prev_n = cur_n;
    } else {
        prev_n = 0;
    }
    cur_n = 0;
    matching = prev_n > 0;
    matched = 0;
}

// True when the entry repeats the last turn and was counted, not written.
bool repeated(const Brief& b)
{
    if (!matching || !(b == prev[matched]))
        return false;
    if (++matched == prev_n) {
        count_turn();
        matched = 0;
    }
    write_repeat();
    return true;
}

void note_service();

// Writes the line in `line` up to out.p for an entry that was not repeated,
// and notes it on the current turn (comparable: b is its brief).
void emit(Out& out, const Brief* b)
{
    if (matching) {
        // The turn stops repeating here: its first entries are the last turn's.
        std::memcpy(cur, prev, sizeof(Brief) * static_cast<size_t>(matched));
        cur_n = matched;
        matching = false;
        repeat_at = -1;
        std::memcpy(repeat_text + TURN_DIGITS_START, "0000000000", 10);
    }
    *out.p++ = '\n';  // always room: Out stops short of the buffer's end
    if (!append(line, static_cast<size_t>(out.p - line)))
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
    if (fd < 0)
        return false;
    if (scan_pending)
        note_service();
    return fd >= 0;
}

void note_service()
{
    scan_pending = false;
    Out out;
    out.kind(REC_SERVICE);
    out.ch(' ');
    if (scan_errno != 0) {
        out.str("-2 errno=");
        out.i(scan_errno);
    } else {
        out.i(service_pid());
    }
    emit(out, nullptr);
}

// The errno a failed call left; 0 for a call that did not fail.
int saved_errno(long rc) { return rc < 0 ? errno : 0; }

// An entry of a comparable kind: counted when it repeats, else written.
void brief_entry(RecKind kind, uint32_t a, uint32_t b, int32_t rc, int32_t err, void (*format)(Out&, const Brief&))
{
    if (!begin())
        return;
    const Brief brief {kind, a, b, rc, err};
    if (repeated(brief))
        return;
    Out out;
    out.kind(kind);
    format(out, brief);
    emit(out, &brief);
}

// An entry of any other kind: its fields after its word, then written.
template <typename Fields>
void entry(RecKind kind, long rc, const Fields& fields)
{
    const int err = saved_errno(rc);
    if (!begin())
        return;
    Out out;
    out.kind(kind);
    fields(out, err);
    emit(out, nullptr);
}


uint32_t offset_of(const volatile uint32_t* reg)
{
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(reg) - map_base);
}


}  // namespace

// ---- starting and ending ----------------------------------------------------

int rec_start(const char* dir, const char* program, const char* version, int argc, char** argv)
{
    int file = -1, err = EEXIST;
    for (int n = 1; n <= MAX_NUMBER && file < 0; ++n) {
        std::snprintf(path, sizeof path, "%s/recording-%04d.txt", dir, n);
        file = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
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
    end_at = 0;
    prev_n = cur_n = 0;
    matching = false;
    repeat_at = -1;
    std::memcpy(repeat_text + TURN_DIGITS_START, "0000000000", 10);
    scan_pending = false;

    timespec t0 {};
    ::clock_gettime(CLOCK_MONOTONIC, &t0);
    Out out;
    out.str(REC_MAGIC);
    out.ch(' ');
    out.i(REC_FORMAT);
    out.str(" program=");
    out.str(program);
    out.str(" version=");
    out.str(version);
    out.str(" build=" AVMENU_BUILD_ID "-" REC_CPU " t0=");
    out.time(t0.tv_sec, t0.tv_nsec);
    out.str("\nargs");
    // As many arguments as the reader keeps: 256 bytes, each with its NUL.
    size_t kept = 0;
    for (int k = 1; k < argc && (kept += std::strlen(argv[k]) + 1) <= REC_MAX_DATA; ++k) {
        out.ch(' ');
        out.path(argv[k]);
    }
    *out.p++ = '\n';
    return append(line, static_cast<size_t>(out.p - line)) ? 0 : -1;
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
    Out out;
    out.kind(REC_END);
    out.arg_i(status);
    out.ch(' ');
    out.time(t.tv_sec, t.tv_nsec);
    emit(out, nullptr);
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool rec_active() { return fd >= 0; }

const char* rec_path() { return path; }

void rec_forget()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// ---- the seam's entries ---------------------------------------------------------

void rec_dev_open(const char* p, int flags, int result)
{
    entry(REC_DEV_OPEN, result, [&](Out& out, int err) {
        out.arg_path(p);
        out.arg_x(static_cast<uint32_t>(flags));
        out.result(result, err);
    });
}

void rec_dev_mmap(int file, size_t length, int64_t offset, void* mapped)
{
    if (mapped != nullptr)
        map_base = reinterpret_cast<uintptr_t>(mapped);
    entry(REC_DEV_MMAP, mapped != nullptr ? 0 : -1, [&](Out& out, int err) {
        out.arg_i(file);
        out.arg_x(length);
        out.arg_x(static_cast<uint64_t>(offset));
        out.result(mapped != nullptr ? 0 : -1, err);
    });
}

void rec_fd_result(RecKind kind, int file, long rc)
{
    entry(kind, rc, [&](Out& out, int err) {
        out.arg_i(file);
        out.result(rc, err);
    });
}

void rec_reg_load(const volatile uint32_t* reg, uint32_t value)
{
    brief_entry(REC_REG_LOAD, offset_of(reg), value, 0, 0, [](Out& out, const Brief& b) {
        out.arg_x(b.a);
        out.str(" -> ");
        out.x(b.b);
    });
}

void rec_reg_store(const volatile uint32_t* reg, uint32_t value)
{
    brief_entry(REC_REG_STORE, offset_of(reg), value, 0, 0, [](Out& out, const Brief& b) {
        out.arg_x(b.a);
        out.arg_x(b.b);
    });
}

void rec_file_open(const char* p, int flags, mode_t mode, int result)
{
    entry(REC_FILE_OPEN, result, [&](Out& out, int err) {
        out.arg_path(p);
        out.arg_x(static_cast<uint32_t>(flags));
        out.ch(' ');
        out.base(mode, 3);
        out.result(result, err);
    });
}

void rec_file_read(int file, const void* buf, size_t count, ssize_t rc)
{
    entry(REC_FILE_READ, rc, [&](Out& out, int err) {
        out.arg_i(file);
        out.arg_i(static_cast<int64_t>(count));
        out.result(rc, err);
        if (rc > 0) {
            out.ch(' ');
            out.escaped(buf, rc < REC_MAX_DATA ? static_cast<size_t>(rc) : REC_MAX_DATA, false);
        }
    });
}

void rec_file_write(int file, const void* buf, size_t count, ssize_t rc)
{
    entry(REC_FILE_WRITE, rc, [&](Out& out, int err) {
        out.arg_i(file);
        out.arg_i(static_cast<int64_t>(count));
        out.ch(' ');
        out.escaped(buf, count < REC_MAX_DATA ? count : REC_MAX_DATA, false);
        out.result(rc, err);
    });
}

void rec_file_rename(const char* from, const char* to, int rc)
{
    entry(REC_FILE_RENAME, rc, [&](Out& out, int err) {
        out.arg_path(from);
        out.arg_path(to);
        out.result(rc, err);
    });
}

void rec_file_unlink(const char* p, int rc)
{
    entry(REC_FILE_UNLINK, rc, [&](Out& out, int err) {
        out.arg_path(p);
        out.result(rc, err);
    });
}

void rec_clock(const struct timespec* now, int rc)
{
    entry(REC_CLOCK, rc, [&](Out& out, int err) {
        out.result(rc, err);
        if (rc == 0) {
            out.ch(' ');
            out.time(now->tv_sec, now->tv_nsec);
        }
    });
}

void rec_usleep(unsigned usec, int rc)
{
    brief_entry(REC_USLEEP, usec, 0, rc, saved_errno(rc), [](Out& out, const Brief& b) {
        out.arg_i(b.a);
        out.result(b.rc, b.err);
    });
}

void rec_sleep(unsigned seconds, unsigned left)
{
    brief_entry(REC_SLEEP, seconds, 0, static_cast<int32_t>(left), 0, [](Out& out, const Brief& b) {
        out.arg_i(b.a);
        out.str(" -> ");
        out.u(static_cast<uint32_t>(b.rc));
    });
}

// ---- outside the seam ----------------------------------------------------------

void rec_kill(pid_t pid, int sig, int rc)
{
    entry(REC_KILL, rc, [&](Out& out, int err) {
        out.arg_i(pid);
        out.arg_i(sig);
        out.result(rc, err);
    });
}

void rec_fork(pid_t pid)
{
    entry(REC_FORK, pid, [&](Out& out, int err) { out.result(pid, err); });
}

void rec_waitpid(pid_t pid, int options, pid_t rc, const int* status)
{
    entry(REC_WAITPID, rc, [&](Out& out, int err) {
        out.arg_i(pid);
        out.arg_i(options);
        out.result(rc, err);
        if (rc > 0 && status != nullptr) {
            out.str(" status=");
            out.x(static_cast<uint32_t>(*status));
        }
    });
}

void rec_stderr(const void* buf, size_t count, ssize_t rc)
{
    entry(REC_STDERR, rc, [&](Out& out, int err) {
        out.result(rc, err);
        out.ch(' ');
        out.escaped(buf, count < REC_MAX_DATA ? count : REC_MAX_DATA, true);
    });
}

void rec_service_scan(int result)
{
    if (fd < 0)
        return;
    scan_pending = true;
    scan_errno = result < 0 ? errno : 0;
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
    uint8_t head[12] = {};
    std::memcpy(head, req->payload, req->len < 12 ? req->len : 12);
    const Ri2cPayloadSplit split = ri2c_payload_split(req->cmd, req->len, head);
    snap->sent_len = split.sent;
    snap->got_len = split.got;
    std::memcpy(snap->sent, req->payload, split.sent);
}

void rec_ioctl_after(const RecIoctl* snap, int file, int rc)
{
    entry(REC_DEV_IOCTL, rc, [&](Out& out, int err) {
        const bool transport = snap->request == RI2C_IOCTL;
        out.arg_i(file);
        out.arg_x(snap->request);
        if (transport) {
            out.arg_i(snap->cmd);
            out.arg_i(snap->len);
            out.ch(' ');
            out.bytes(snap->sent, snap->sent_len);
        }
        out.result(rc, err);
        if (transport && rc >= 0 && (snap->cmd == RI2C_CMD_WRITE_READ || snap->cmd == RI2C_CMD_READ)) {
            out.ch(' ');
            out.bytes(snap->payload != nullptr ? snap->payload + snap->sent_len : nullptr, snap->got_len);
        }
    });
}
