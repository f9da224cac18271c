#include "recording/reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "i2c/ri2c.h"

namespace {

constexpr int MAX_FIELDS = 16;

struct Field {
    const char* p;
    size_t n;
};

// One line split at single spaces.
struct Line {
    Field f[MAX_FIELDS];
    int n;
};

int fail(RecReader* r, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
int fail(RecReader* r, const char* fmt, ...)
{
    const int k = std::snprintf(r->error, sizeof r->error, "line %d: ", r->line);
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(r->error + k, sizeof r->error - static_cast<size_t>(k), fmt, ap);
    va_end(ap);
    return -1;
}

bool is(const Field& f, const char* word) { return f.n == std::strlen(word) && std::memcmp(f.p, word, f.n) == 0; }

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parse_u64(const Field& f, int base, uint64_t* out)
{
    if (f.n == 0 || f.n > 20)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < f.n; ++i) {
        const int d = hex_digit(f.p[i]);
        if (d < 0 || d >= base || (base == 16 && f.p[i] >= 'A' && f.p[i] <= 'F'))
            return false;
        const uint64_t next = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (next / static_cast<uint64_t>(base) != v)
            return false;
        v = next;
    }
    *out = v;
    return true;
}

bool parse_i64(const Field& f, int64_t* out)
{
    const bool neg = f.n > 0 && f.p[0] == '-';
    uint64_t v;
    if (!parse_u64({f.p + (neg ? 1 : 0), f.n - (neg ? 1 : 0)}, 10, &v) || v > static_cast<uint64_t>(INT64_MAX))
        return false;
    *out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

bool parse_int(const Field& f, int* out)
{
    int64_t v;
    if (!parse_i64(f, &v) || v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool parse_u32(const Field& f, int base, uint32_t* out)
{
    uint64_t v;
    if (!parse_u64(f, base, &v) || v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// SEC.NSEC with nine digits of nanoseconds.
bool parse_time(const Field& f, int64_t* sec, int64_t* nsec)
{
    const char* dot = static_cast<const char*>(std::memchr(f.p, '.', f.n));
    if (dot == nullptr || f.p + f.n - dot != 10)
        return false;
    uint64_t s, ns;
    if (!parse_u64({f.p, static_cast<size_t>(dot - f.p)}, 10, &s) || !parse_u64({dot + 1, 9}, 10, &ns) ||
        s > static_cast<uint64_t>(INT64_MAX))
        return false;
    *sec = static_cast<int64_t>(s);
    *nsec = static_cast<int64_t>(ns);
    return true;
}

// Lower-case hex bytes, or "-" for none.
int parse_hex_bytes(const Field& f, uint8_t* out, size_t cap)
{
    if (is(f, "-"))
        return 0;
    if (f.n % 2 != 0 || f.n / 2 > cap)
        return -1;
    for (size_t i = 0; i < f.n; i += 2) {
        const int hi = hex_digit(f.p[i]), lo = hex_digit(f.p[i + 1]);
        if (hi < 0 || lo < 0 || (f.p[i] >= 'A' && f.p[i] <= 'F') || (f.p[i + 1] >= 'A' && f.p[i + 1] <= 'F'))
            return -1;
        out[i / 2] = static_cast<uint8_t>(hi * 16 + lo);
    }
    return static_cast<int>(f.n / 2);
}

bool parse_path(const Field& f, char* out)
{
    const int n = rec_unescape(f.p, f.n, reinterpret_cast<uint8_t*>(out), REC_MAX_PATH - 1, false);
    if (n < 0 || std::memchr(out, '\0', static_cast<size_t>(n)) != nullptr)
        return false;
    out[n] = '\0';
    return true;
}

// Splits [p, end) at single spaces into at most MAX_FIELDS fields. With
// keep_rest, splitting stops after that many fields and the rest of the
// line is the last field (which may then hold spaces).
bool split(const char* p, const char* end, Line* line, int keep_rest = 0)
{
    line->n = 0;
    while (true) {
        if (line->n == MAX_FIELDS)
            return false;
        if (keep_rest > 0 && line->n == keep_rest) {
            line->f[line->n++] = {p, static_cast<size_t>(end - p)};
            return true;
        }
        const char* sp = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
        const char* stop = sp != nullptr ? sp : end;
        if (stop == p)
            return false;  // an empty field: two spaces, or a space at an end
        line->f[line->n++] = {p, static_cast<size_t>(stop - p)};
        if (sp == nullptr)
            return true;
        p = sp + 1;
    }
}

// Takes the next line into [*begin, *end); false at the end of the text.
int next_line(RecReader* r, const char** begin, const char** end)
{
    if (r->pos >= r->size)
        return 0;
    ++r->line;
    const char* p = r->text + r->pos;
    const size_t left = r->size - r->pos;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', left));
    if (nl == nullptr)
        return fail(r, "no newline at the end: the file is cut short");
    if (std::memchr(p, '\0', static_cast<size_t>(nl - p)) != nullptr)
        return fail(r, "a NUL byte: not a recording's text");
    if (nl - p > REC_MAX_LINE)
        return fail(r, "longer than %d bytes", REC_MAX_LINE);
    *begin = p;
    *end = nl;
    r->pos += static_cast<size_t>(nl - p) + 1;
    return 1;
}

bool copy_word(const Field& f, char* out, size_t cap)
{
    if (f.n == 0 || f.n >= cap)
        return false;
    std::memcpy(out, f.p, f.n);
    out[f.n] = '\0';
    return true;
}

// What follows "->": the result, errno=N when the result is negative (for
// kinds that can fail), then `outs` fields that the caller reads. Returns
// the index of the first field after the errno, or -1.
int result_at(RecReader* r, const Line& l, int arrow, RecEntry* e, bool has_errno)
{
    if (arrow >= l.n || !is(l.f[arrow], "->"))
        return fail(r, "'%s' needs '->' after %d field%s", REC_KIND_NAMES[e->kind], arrow - 1, arrow == 2 ? "" : "s");
    if (arrow + 1 >= l.n || !parse_i64(l.f[arrow + 1], &e->result))
        return fail(r, "'%s' needs a result after '->'", REC_KIND_NAMES[e->kind]);
    int next = arrow + 2;
    const bool has = next < l.n && l.f[next].n > 6 && std::memcmp(l.f[next].p, "errno=", 6) == 0;
    if (has) {
        if (!has_errno || e->result >= 0)
            return fail(r, "errno given for a call that did not fail");
        if (!parse_int({l.f[next].p + 6, l.f[next].n - 6}, &e->err) || e->err <= 0)
            return fail(r, "bad errno '%.*s'", static_cast<int>(l.f[next].n), l.f[next].p);
        ++next;
    } else if (has_errno && e->result < 0) {
        return fail(r, "a failed call without errno=N");
    }
    return next;
}

int expect_end(RecReader* r, const Line& l, int at, const RecEntry* e)
{
    if (at != l.n)
        return fail(r, "'%s' has %d field%s too many", REC_KIND_NAMES[e->kind], l.n - at, l.n - at == 1 ? "" : "s");
    return 1;
}

int bad(RecReader* r, const RecEntry* e, const char* what)
{
    return fail(r, "'%s': bad %s", REC_KIND_NAMES[e->kind], what);
}

int parse_entry(RecReader* r, const char* begin, const char* end, RecEntry* e)
{
    std::memset(e, 0, offsetof(RecEntry, path));
    e->path[0] = e->path2[0] = '\0';
    e->data_len = 0;
    e->got_len = -1;
    e->line = e->first_line = r->line;

    Line l;
    const char* sp = static_cast<const char*>(std::memchr(begin, ' ', static_cast<size_t>(end - begin)));
    const Field word {begin, static_cast<size_t>((sp != nullptr ? sp : end) - begin)};
    int kind = 0;
    while (kind < REC_KIND_COUNT && !is(word, REC_KIND_NAMES[kind]))
        ++kind;
    if (kind == REC_KIND_COUNT && !is(word, REC_REPEAT))
        return fail(r, "unknown entry '%.*s'", static_cast<int>(word.n > 40 ? 40 : word.n), word.p);
    e->kind = static_cast<RecKind>(kind);
    // The stderr text runs to the end of the line, after "-> RC" and, for a
    // failed write, errno=N.
    bool split_ok = split(begin, end, &l, kind == REC_STDERR ? 3 : 0);
    if (split_ok && kind == REC_STDERR && l.n == 4 && l.f[2].n > 0 && l.f[2].p[0] == '-')
        split_ok = split(begin, end, &l, 4);
    if (!split_ok)
        return fail(r, "fields must be separated by single spaces");
    if (kind == REC_KIND_COUNT) {
        // repeat TURNS ENTRIES: handled by the caller, numbers in e.count and e.value.
        uint32_t partial;
        if (l.n != 3 || !parse_u64(l.f[1], 10, &e->count) || !parse_u32(l.f[2], 10, &partial))
            return fail(r, "'repeat' needs TURNS ENTRIES");
        e->value = partial;
        return 2;
    }
    int at;
    switch (e->kind) {
    case REC_DEV_OPEN:
    case REC_FILE_OPEN: {
        const bool file = e->kind == REC_FILE_OPEN;
        if (l.n < 3 || !parse_path(l.f[1], e->path))
            return bad(r, e, "path");
        if (!parse_u32(l.f[2], 16, &e->flags))
            return bad(r, e, "flags");
        if (file && (l.n < 4 || !parse_u32(l.f[3], 8, &e->mode)))
            return bad(r, e, "mode");
        if ((at = result_at(r, l, file ? 4 : 3, e, true)) < 0)
            return -1;
        e->fd = static_cast<int>(e->result);
        return expect_end(r, l, at, e);
    }
    case REC_DEV_IOCTL: {
        if (l.n < 3 || !parse_int(l.f[1], &e->fd) || !parse_u64(l.f[2], 16, &e->request))
            return bad(r, e, "descriptor or request");
        if (e->request != RI2C_IOCTL)
            return (at = result_at(r, l, 3, e, true)) < 0 ? -1 : expect_end(r, l, at, e);
        if (l.n < 6 || !parse_u32(l.f[3], 10, &e->cmd) || !parse_u32(l.f[4], 10, &e->len))
            return bad(r, e, "command or length");
        if ((e->data_len = parse_hex_bytes(l.f[5], e->data, RI2C_MAX_PAYLOAD)) < 0)
            return bad(r, e, "payload");
        uint8_t head[12] = {};
        std::memcpy(head, e->data, e->data_len < 12 ? static_cast<size_t>(e->data_len) : 12);
        const Ri2cPayloadSplit split_at = ri2c_payload_split(e->cmd, e->len, head);
        if (e->data_len != static_cast<int>(split_at.sent))
            return fail(r, "'dev_ioctl': %d payload bytes for command %u of length %u", e->data_len, e->cmd,
                        e->len);
        if ((at = result_at(r, l, 6, e, true)) < 0)
            return -1;
        if ((e->cmd == RI2C_CMD_WRITE_READ || e->cmd == RI2C_CMD_READ) && e->result >= 0) {
            if (at >= l.n || (e->got_len = parse_hex_bytes(l.f[at], e->got, RI2C_MAX_DATA)) < 0)
                return bad(r, e, "read area");
            if (e->got_len != static_cast<int>(split_at.got))
                return fail(r, "'dev_ioctl': a read area of %d bytes for length %u", e->got_len, e->len);
            ++at;
        }
        return expect_end(r, l, at, e);
    }
    case REC_DEV_MMAP:
        if (l.n < 4 || !parse_int(l.f[1], &e->fd) || !parse_u64(l.f[2], 16, &e->length) ||
            !parse_u64(l.f[3], 16, &e->offset))
            return bad(r, e, "descriptor, length or offset");
        if ((at = result_at(r, l, 4, e, true)) < 0)
            return -1;
        if (e->result != 0 && e->result != -1)
            return bad(r, e, "result (0 or -1)");
        return expect_end(r, l, at, e);
    case REC_REG_LOAD:
        if (l.n != 4 || !parse_u64(l.f[1], 16, &e->offset) || !is(l.f[2], "->") || !parse_u32(l.f[3], 16, &e->value))
            return fail(r, "'reg_load' needs OFFSET -> VALUE");
        e->result = e->value;
        return 1;
    case REC_REG_STORE:
        if (l.n != 3 || !parse_u64(l.f[1], 16, &e->offset) || !parse_u32(l.f[2], 16, &e->value))
            return fail(r, "'reg_store' needs OFFSET VALUE");
        return 1;
    case REC_FILE_READ:
    case REC_FILE_WRITE: {
        const bool write = e->kind == REC_FILE_WRITE;
        if (l.n < 3 || !parse_int(l.f[1], &e->fd) || !parse_u64(l.f[2], 10, &e->count))
            return bad(r, e, "descriptor or count");
        if (write) {
            if (l.n < 4 || (e->data_len = rec_unescape(l.f[3].p, l.f[3].n, e->data, REC_MAX_DATA, false)) < 0)
                return bad(r, e, "data");
            const uint64_t kept = e->count < REC_MAX_DATA ? e->count : REC_MAX_DATA;
            if (static_cast<uint64_t>(e->data_len) != kept)
                return fail(r, "'file_write': %d bytes of data for a count of %llu", e->data_len,
                            static_cast<unsigned long long>(e->count));
        }
        if ((at = result_at(r, l, write ? 4 : 3, e, true)) < 0)
            return -1;
        if (!write && e->result > 0) {
            if (at >= l.n || (e->data_len = rec_unescape(l.f[at].p, l.f[at].n, e->data, REC_MAX_DATA, false)) < 0)
                return bad(r, e, "data");
            const int64_t kept = e->result < REC_MAX_DATA ? e->result : REC_MAX_DATA;
            if (e->data_len != kept || static_cast<uint64_t>(e->result) > e->count)
                return fail(r, "'file_read': %d bytes of data for a result of %lld", e->data_len,
                            static_cast<long long>(e->result));
            ++at;
        }
        return expect_end(r, l, at, e);
    }
    case REC_DEV_CLOSE:
    case REC_FILE_FSYNC:
    case REC_FILE_CLOSE:
        if (l.n < 2 || !parse_int(l.f[1], &e->fd))
            return bad(r, e, "descriptor");
        return (at = result_at(r, l, 2, e, true)) < 0 ? -1 : expect_end(r, l, at, e);
    case REC_FILE_RENAME:
        if (l.n < 3 || !parse_path(l.f[1], e->path) || !parse_path(l.f[2], e->path2))
            return bad(r, e, "path");
        return (at = result_at(r, l, 3, e, true)) < 0 ? -1 : expect_end(r, l, at, e);
    case REC_FILE_UNLINK:
        if (l.n < 2 || !parse_path(l.f[1], e->path))
            return bad(r, e, "path");
        return (at = result_at(r, l, 2, e, true)) < 0 ? -1 : expect_end(r, l, at, e);
    case REC_CLOCK:
        if ((at = result_at(r, l, 1, e, true)) < 0)
            return -1;
        if (e->result == 0) {
            if (at >= l.n || !parse_time(l.f[at], &e->sec, &e->nsec))
                return bad(r, e, "time (SEC.NSEC)");
            ++at;
        }
        return expect_end(r, l, at, e);
    case REC_USLEEP:
    case REC_SLEEP:
        if (l.n < 2 || !parse_u64(l.f[1], 10, &e->count))
            return bad(r, e, "duration");
        return (at = result_at(r, l, 2, e, e->kind == REC_USLEEP)) < 0 ? -1 : expect_end(r, l, at, e);
    case REC_KILL:
        if (l.n < 3 || !parse_int(l.f[1], &e->pid) || !parse_int(l.f[2], &e->sig))
            return bad(r, e, "pid or signal");
        return (at = result_at(r, l, 3, e, true)) < 0 ? -1 : expect_end(r, l, at, e);
    case REC_FORK:
        return (at = result_at(r, l, 1, e, true)) < 0 ? -1 : expect_end(r, l, at, e);
    case REC_WAITPID:
        if (l.n < 3 || !parse_int(l.f[1], &e->pid) || !parse_int(l.f[2], &e->options))
            return bad(r, e, "pid or options");
        if ((at = result_at(r, l, 3, e, true)) < 0)
            return -1;
        if (at < l.n && l.f[at].n > 7 && std::memcmp(l.f[at].p, "status=", 7) == 0) {
            uint32_t status;
            if (e->result <= 0 || !parse_u32({l.f[at].p + 7, l.f[at].n - 7}, 16, &status))
                return bad(r, e, "status");
            e->status = static_cast<int>(status);
            e->has_status = true;
            ++at;
        }
        return expect_end(r, l, at, e);
    case REC_SERVICE:
        if (l.n < 2 || !parse_int(l.f[1], &e->pid) || e->pid < -2)
            return bad(r, e, "pid");
        e->result = e->pid;
        at = 2;
        if (e->pid == -2) {
            if (l.n < 3 || l.f[2].n <= 6 || std::memcmp(l.f[2].p, "errno=", 6) != 0 ||
                !parse_int({l.f[2].p + 6, l.f[2].n - 6}, &e->err) || e->err <= 0)
                return fail(r, "'service -2' needs errno=N");
            at = 3;
        }
        return expect_end(r, l, at, e);
    case REC_STDERR: {
        if ((at = result_at(r, l, 1, e, true)) < 0)
            return -1;
        if (at != l.n - 1)
            return fail(r, "'stderr' needs its text after the result");
        e->fd = 2;
        if ((e->data_len = rec_unescape(l.f[at].p, l.f[at].n, e->data, REC_MAX_DATA, true)) < 0)
            return bad(r, e, "text");
        return 1;
    }
    case REC_END:
        if (l.n != 3 || !parse_int(l.f[1], &e->status) || !parse_time(l.f[2], &e->sec, &e->nsec))
            return fail(r, "'end' needs STATUS SEC.NSEC");
        e->result = e->status;
        return 1;
    case REC_KIND_COUNT:
        break;
    }
    return fail(r, "unknown entry");
}

void copy_entry(RecEntry* to, const RecEntry* from)
{
    std::memcpy(to, from, offsetof(RecEntry, data));
    std::memcpy(to->data, from->data, static_cast<size_t>(from->data_len));
    to->data_len = from->data_len;
    if (from->got_len > 0)
        std::memcpy(to->got, from->got, static_cast<size_t>(from->got_len));
    to->got_len = from->got_len;
}

// Notes an entry on the current turn; a sleep closes it.
void track(RecReader* r, const RecEntry* e)
{
    if (r->cur_n >= 0) {
        if (r->cur_n < REC_TURN_MAX)
            copy_entry(&r->cur[r->cur_n++], e);
        else
            r->cur_n = -1;
    }
    if (rec_is_sleep(e->kind)) {
        r->turn_n = r->cur_n;
        for (int i = 0; i < r->cur_n; ++i)
            copy_entry(&r->turn[i], &r->cur[i]);
        r->cur_n = 0;
    }
}

}  // namespace

int rec_unescape(const char* field, size_t len, uint8_t* out, size_t cap, bool spaces)
{
    if (!spaces && len == 1 && field[0] == '-')
        return 0;
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (n == cap)
            return -1;
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (c == '%') {
            if (i + 2 >= len)
                return -1;
            const int hi = hex_digit(field[i + 1]), lo = hex_digit(field[i + 2]);
            if (hi < 0 || lo < 0)
                return -1;
            out[n++] = static_cast<uint8_t>(hi * 16 + lo);
            i += 2;
        } else if ((c > ' ' && c <= '~') || (spaces && c == ' ')) {
            out[n++] = c;
        } else {
            return -1;
        }
    }
    return static_cast<int>(n);
}

int rec_reader_open(RecReader* r, const char* text, size_t size)
{
    r->text = text;
    r->size = size;
    r->pos = 0;
    r->line = 0;
    r->ended = false;
    r->cut_line = 0;
    r->cut[0] = '\0';
    r->error[0] = '\0';
    r->turn_n = -1;
    r->cur_n = 0;
    r->repeat_turns = 0;
    r->repeat_partial = 0;
    r->repeat_index = 0;
    r->repeat_line = 0;
    RecHeader& h = r->header;
    std::memset(&h, 0, sizeof h);

    const char *b, *e;
    int rc = next_line(r, &b, &e);
    if (rc == 0) {
        r->line = 1;
        return fail(r, "empty file: not a recording");
    }
    if (rc < 0)
        return -1;
    Line l;
    if (!split(b, e, &l) || l.n < 2 || !is(l.f[0], REC_MAGIC))
        return fail(r, "not a recording: it must start with '%s'", REC_MAGIC);
    if (!parse_int(l.f[1], &h.format))
        return fail(r, "bad format version '%.*s'", static_cast<int>(l.f[1].n > 20 ? 20 : l.f[1].n), l.f[1].p);
    if (h.format != REC_FORMAT)
        return fail(r, "recording format %d; this reader knows format %d", h.format, REC_FORMAT);
    for (int i = 2; i < l.n; ++i) {
        const Field& f = l.f[i];
        const char* eq = static_cast<const char*>(std::memchr(f.p, '=', f.n));
        if (eq == nullptr)
            return fail(r, "'%.*s' is not key=value", static_cast<int>(f.n > 40 ? 40 : f.n), f.p);
        const Field key {f.p, static_cast<size_t>(eq - f.p)}, value {eq + 1, f.n - key.n - 1};
        bool ok = true;
        if (is(key, "program"))
            ok = copy_word(value, h.program, sizeof h.program);
        else if (is(key, "version"))
            ok = copy_word(value, h.version, sizeof h.version);
        else if (is(key, "build"))
            ok = copy_word(value, h.build, sizeof h.build);
        else if (is(key, "t0"))
            ok = parse_time(value, &h.t0_sec, &h.t0_nsec);
        if (!ok)
            return fail(r, "bad %.*s", static_cast<int>(key.n), key.p);
    }
    if (h.program[0] == '\0' || h.version[0] == '\0')
        return fail(r, "the first line must name program= and version=");

    rc = next_line(r, &b, &e);
    if (rc == 0) {
        r->line = 2;
        return fail(r, "no 'args' line");
    }
    if (rc < 0)
        return -1;
    if (!split(b, e, &l) || !is(l.f[0], "args"))
        return fail(r, "the second line must be 'args'");
    size_t used = 0;
    for (int i = 1; i < l.n; ++i) {
        if (used + 1 >= sizeof h.args)  // no room left for even an empty one and its NUL
            return fail(r, "the arguments are too long");
        const int n = rec_unescape(l.f[i].p, l.f[i].n, reinterpret_cast<uint8_t*>(h.args + used),
                                   sizeof h.args - used - 1, false);
        if (n < 0 || std::memchr(h.args + used, '\0', static_cast<size_t>(n)) != nullptr)
            return fail(r, "bad argument %d", i);
        used += static_cast<size_t>(n);
        h.args[used++] = '\0';
        ++h.argc;
    }
    return 0;
}

int rec_reader_next(RecReader* r, RecEntry* e)
{
    if (r->error[0] != '\0')
        return -1;
    // A repeat line is expanded one entry per call.
    while (r->repeat_turns > 0 || r->repeat_partial > 0) {
        copy_entry(e, &r->turn[r->repeat_index]);
        e->line = r->repeat_line;
        if (r->repeat_turns > 0) {
            // Whole turns leave the last turn as it is.
            if (++r->repeat_index == r->turn_n) {
                r->repeat_index = 0;
                --r->repeat_turns;
            }
        } else {
            ++r->repeat_index;
            --r->repeat_partial;
            track(r, e);
        }
        return 1;
    }
    const char *b, *end;
    const int rc = next_line(r, &b, &end);
    if (rc <= 0)
        return rc;
    if (r->ended)
        return fail(r, "an entry after the end line");
    const int kind = parse_entry(r, b, end, e);
    if (kind < 0)
        return -1;
    if (kind == 2) {
        if (r->cur_n != 0 || r->turn_n <= 0)
            return fail(r, "'repeat' must follow a whole turn of at most %d entries", REC_TURN_MAX);
        if (e->value >= static_cast<uint32_t>(r->turn_n) || (e->count == 0 && e->value == 0))
            return fail(r, "'repeat %llu %u' for a turn of %d entries", static_cast<unsigned long long>(e->count),
                        e->value, r->turn_n);
        r->repeat_turns = e->count;
        r->repeat_partial = static_cast<int>(e->value);
        r->repeat_index = 0;
        r->repeat_line = r->line;
        return rec_reader_next(r, e);
    }
    if (e->kind == REC_END)
        r->ended = true;
    track(r, e);
    return 1;
}
