// One entry's line, written and read by the table of recording/format.h.
// The writer never fails (it stops short of the line's room); the reader
// says what is wrong with a line in a few words.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "i2c/ri2c.h"
#include "recording/format.h"

namespace {

constexpr const char* HEX_LOWER = "0123456789abcdef";
constexpr const char* HEX_UPPER = "0123456789ABCDEF";

// ---- writing -----------------------------------------------------------------

struct Out {
    char* p;
    char* end;
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
    void base(uint64_t v, unsigned shift)
    {
        char digits[22];
        int n = 0;
        do {
            digits[n++] = HEX_LOWER[v & ((1u << shift) - 1)];
            v >>= shift;
        } while (v != 0);
        while (n > 0)
            ch(digits[--n]);
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
    void hex_bytes(const uint8_t* b, int n)
    {
        if (n <= 0)
            ch('-');
        for (int k = 0; k < n; ++k) {
            ch(HEX_LOWER[b[k] >> 4]);
            ch(HEX_LOWER[b[k] & 15]);
        }
    }
    // "-" for nothing, "%2D" for a lone "-"; with spaces (text) neither.
    void escaped(const uint8_t* b, size_t n, bool spaces)
    {
        if (!spaces && (n == 0 || (n == 1 && b[0] == '-'))) {
            str(n == 0 ? "-" : "%2D");
            return;
        }
        for (size_t k = 0; k < n; ++k) {
            if ((b[k] > ' ' && b[k] <= '~' && b[k] != '%') || (spaces && b[k] == ' ')) {
                ch(static_cast<char>(b[k]));
            } else {
                ch('%');
                ch(HEX_UPPER[b[k] >> 4]);
                ch(HEX_UPPER[b[k] & 15]);
            }
        }
    }
    void path(const char* s) { escaped(reinterpret_cast<const uint8_t*>(s), strnlen(s, REC_MAX_PATH - 1), false); }
};

uint64_t slot_number(const RecEntry& e, RecSlot s)
{
    switch (s) {
    case SLOT_FD: return static_cast<uint64_t>(static_cast<int64_t>(e.fd));
    case SLOT_FLAGS: return e.flags;
    case SLOT_MODE: return e.mode;
    case SLOT_REQUEST: return e.request;
    case SLOT_LENGTH: return e.length;
    case SLOT_OFFSET: return e.offset;
    case SLOT_VALUE: return e.value;
    case SLOT_COUNT: return e.count;
    case SLOT_PID: return static_cast<uint64_t>(static_cast<int64_t>(e.pid));
    case SLOT_SIG: return static_cast<uint64_t>(static_cast<int64_t>(e.sig));
    case SLOT_OPTIONS: return static_cast<uint64_t>(static_cast<int64_t>(e.options));
    case SLOT_STATUS: return static_cast<uint64_t>(static_cast<int64_t>(e.status));
    default: return 0;
    }
}

bool reads_back(uint32_t cmd) { return cmd == RI2C_CMD_WRITE_READ || cmd == RI2C_CMD_READ; }

// ---- reading -------------------------------------------------------------------

struct Field {
    const char* p;
    size_t n;
};

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

bool parse_u64(const Field& f, int base, uint64_t* out) { return rec_parse_u64(f.p, f.n, base, out); }

bool parse_time(const Field& f, int64_t* sec, int64_t* nsec) { return rec_parse_time(f.p, f.n, sec, nsec); }

bool parse_i64(const Field& f, int64_t* out)
{
    const bool neg = f.n > 0 && f.p[0] == '-';
    uint64_t v;
    if (!parse_u64({f.p + (neg ? 1 : 0), f.n - (neg ? 1 : 0)}, 10, &v) || v > static_cast<uint64_t>(INT64_MAX))
        return false;
    *out = neg ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// Lower-case hex bytes, or "-" for none.
int parse_hex_bytes(const Field& f, uint8_t* out, size_t cap)
{
    if (is(f, "-"))
        return 0;
    if (f.n % 2 != 0 || f.n / 2 > cap)
        return -1;
    for (size_t i = 0; i < f.n; ++i) {
        if (hex_digit(f.p[i]) < 0 || (f.p[i] >= 'A' && f.p[i] <= 'F'))
            return -1;
    }
    for (size_t i = 0; i < f.n; i += 2)
        out[i / 2] = static_cast<uint8_t>(hex_digit(f.p[i]) * 16 + hex_digit(f.p[i + 1]));
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

// Stores a number into its slot, if it fits there.
bool set_number(RecEntry* e, RecSlot s, int64_t v, bool is_signed)
{
    const bool fits32 = is_signed ? v >= INT32_MIN && v <= INT32_MAX : v >= 0 && v <= UINT32_MAX;
    switch (s) {
    case SLOT_FD: e->fd = static_cast<int>(v); return is_signed && fits32;
    case SLOT_PID: e->pid = static_cast<int>(v); return is_signed && fits32;
    case SLOT_SIG: e->sig = static_cast<int>(v); return is_signed && fits32;
    case SLOT_OPTIONS: e->options = static_cast<int>(v); return is_signed && fits32;
    case SLOT_STATUS: e->status = static_cast<int>(v); return is_signed && fits32;
    case SLOT_FLAGS: e->flags = static_cast<uint32_t>(v); return fits32;
    case SLOT_MODE: e->mode = static_cast<uint32_t>(v); return fits32;
    case SLOT_VALUE: e->value = static_cast<uint32_t>(v); return fits32;
    case SLOT_REQUEST: e->request = static_cast<uint64_t>(v); return true;
    case SLOT_LENGTH: e->length = static_cast<uint64_t>(v); return true;
    case SLOT_OFFSET: e->offset = static_cast<uint64_t>(v); return true;
    case SLOT_COUNT: e->count = static_cast<uint64_t>(v); return v >= 0;
    default: return true;
    }
}

// The line's fields one at a time, separated by single spaces: an empty
// field (two spaces, or a space at the end) is noted, not taken.
struct Cursor {
    const char* p;
    const char* end;
    bool empty_field = false;
    bool trailing_space = false;
    bool more() const { return p < end; }
    bool next(Field* f)
    {
        if (p >= end)
            return false;
        const char* sp = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
        *f = {p, static_cast<size_t>((sp != nullptr ? sp : end) - p)};
        p = sp != nullptr ? sp + 1 : end;
        trailing_space = sp != nullptr && p == end;
        if (f->n == 0)
            empty_field = true;
        return f->n > 0;
    }
};

struct Parse {
    RecEntry* e;
    const RecKindRow& row;
    char* why;
    size_t cap;
    const Cursor* c;
    // An empty field is what went wrong wherever it made a field missing.
    int fail(const char* fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (c->empty_field) {
            std::snprintf(why, cap, "fields must be separated by single spaces");
            return -1;
        }
        const int k = std::snprintf(why, cap, "'%s': ", row.name);
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(why + k, cap - static_cast<size_t>(k), fmt, ap);
        va_end(ap);
        return -1;
    }
};

int parse_payload(Parse& ps, Cursor& c)
{
    RecEntry* e = ps.e;
    Field f;
    uint64_t cmd, len;
    if (!c.next(&f) || !parse_u64(f, 10, &cmd) || cmd > UINT32_MAX || !c.next(&f) || !parse_u64(f, 10, &len) ||
        len > UINT32_MAX)
        return ps.fail("bad CMD or LEN");
    e->cmd = static_cast<uint32_t>(cmd);
    e->len = static_cast<uint32_t>(len);
    if (!c.next(&f) || (e->data_len = parse_hex_bytes(f, e->data, RI2C_MAX_PAYLOAD)) < 0)
        return ps.fail("bad SENT");
    if (e->data_len != static_cast<int>(ri2c_payload_split_of(e->cmd, e->len, e->data, static_cast<size_t>(e->data_len)).sent))
        return ps.fail("%d payload bytes for command %u of length %u", e->data_len, e->cmd, e->len);
    return 0;
}

int parse_tail(Parse& ps, Cursor& c)
{
    RecEntry* e = ps.e;
    Field f;
    const bool has = c.more();
    switch (ps.row.tail) {
    case TAIL_NONE: return 0;
    case TAIL_TEXT:
        // The rest of the line, spaces and all; it may be empty.
        c.trailing_space = false;
        if ((e->data_len = rec_unescape(c.p, static_cast<size_t>(c.end - c.p), e->data, REC_MAX_DATA, true)) < 0)
            return ps.fail("bad TEXT");
        c.p = c.end;
        return 0;
    case TAIL_DATA:
        if (e->result <= 0)
            return 0;
        if (!c.next(&f) || (e->data_len = rec_unescape(f.p, f.n, e->data, REC_MAX_DATA, false)) < 0)
            return ps.fail("bad DATA");
        if (e->data_len != (e->result < REC_MAX_DATA ? e->result : REC_MAX_DATA) ||
            static_cast<uint64_t>(e->result) > e->count)
            return ps.fail("%d bytes of data for a result of %lld", e->data_len, static_cast<long long>(e->result));
        return 0;
    case TAIL_TIME:
        if (e->result != 0)
            return 0;
        if (!c.next(&f) || !parse_time(f, &e->sec, &e->nsec))
            return ps.fail("bad time (SEC.NSEC)");
        return 0;
    case TAIL_READ_AREA: {
        if (e->request != RI2C_IOCTL || !reads_back(e->cmd) || e->result < 0)
            return 0;
        if (!c.next(&f) || (e->got_len = parse_hex_bytes(f, e->got, RI2C_MAX_DATA)) < 0)
            return ps.fail("bad read area");
        if (e->got_len != static_cast<int>(ri2c_payload_split_of(e->cmd, e->len, e->data, static_cast<size_t>(e->data_len)).got))
            return ps.fail("a read area of %d bytes for length %u", e->got_len, e->len);
        return 0;
    }
    case TAIL_STATUS: {
        uint64_t status;
        if (!has || c.end - c.p < 7 || std::memcmp(c.p, "status=", 7) != 0)
            return 0;
        if (!c.next(&f) || e->result <= 0 || !parse_u64({f.p + 7, f.n - 7}, 16, &status) || status > UINT32_MAX)
            return ps.fail("bad status");
        e->status = static_cast<int>(status);
        e->has_status = true;
        return 0;
    }
    }
    return 0;
}

}  // namespace

// ---- the codec -------------------------------------------------------------------

void rec_entry_clear(RecEntry* e, RecKind kind)
{
    std::memset(e, 0, offsetof(RecEntry, path));
    e->kind = kind;
    e->path[0] = e->path2[0] = '\0';
    e->data_len = 0;
    e->got_len = -1;
}

size_t rec_entry_format(const RecEntry& e, char* line)
{
    const RecKindRow& row = REC_KINDS[e.kind];
    Out out {line, line + REC_MAX_LINE - 1};  // room kept for the newline
    out.str(row.name);
    for (int i = 0; i < row.n_fields; ++i) {
        const RecField& f = row.fields[i];
        if (f.fmt == FMT_PAYLOAD && e.request != RI2C_IOCTL)
            continue;
        out.ch(' ');
        switch (f.fmt) {
        case FMT_DEC: out.i(static_cast<int64_t>(slot_number(e, f.slot))); break;
        case FMT_HEX: out.base(slot_number(e, f.slot), 4); break;
        case FMT_OCT: out.base(slot_number(e, f.slot), 3); break;
        case FMT_PATH: out.path(f.slot == SLOT_PATH2 ? e.path2 : e.path); break;
        case FMT_DATA: out.escaped(e.data, static_cast<size_t>(e.data_len), false); break;
        case FMT_TIME: out.time(e.sec, e.nsec); break;
        case FMT_PAYLOAD:
            out.u(e.cmd);
            out.ch(' ');
            out.u(e.len);
            out.ch(' ');
            out.hex_bytes(e.data, e.data_len);
            break;
        }
    }
    // The service's scan that could not list /proc gives its errno.
    if (e.kind == REC_SERVICE && e.pid == -2) {
        out.str(" errno=");
        out.i(e.err);
    }
    if (row.result != RES_NONE) {
        out.str(" -> ");
        if (row.result == RES_HEX)
            out.base(static_cast<uint64_t>(e.result), 4);
        else if (row.result == RES_UNSIGNED)
            out.u(static_cast<uint32_t>(e.result));
        else
            out.i(e.result);
        if (row.can_fail && e.result < 0) {
            out.str(" errno=");
            out.i(e.err);
        }
    }
    switch (row.tail) {
    case TAIL_NONE: break;
    case TAIL_TEXT:
        out.ch(' ');
        out.escaped(e.data, static_cast<size_t>(e.data_len), true);
        break;
    case TAIL_DATA:
        if (e.result > 0) {
            out.ch(' ');
            out.escaped(e.data, static_cast<size_t>(e.data_len), false);
        }
        break;
    case TAIL_TIME:
        if (e.result == 0) {
            out.ch(' ');
            out.time(e.sec, e.nsec);
        }
        break;
    case TAIL_READ_AREA:
        if (e.request == RI2C_IOCTL && reads_back(e.cmd) && e.result >= 0) {
            out.ch(' ');
            out.hex_bytes(e.got, e.got_len);
        }
        break;
    case TAIL_STATUS:
        if (e.has_status && e.result > 0) {
            out.str(" status=");
            out.base(static_cast<uint32_t>(e.status), 4);
        }
        break;
    }
    return static_cast<size_t>(out.p - line);
}

int rec_entry_parse(const char* begin, const char* end, RecKind kind, RecEntry* e, char* why, size_t cap)
{
    rec_entry_clear(e, kind);
    const RecKindRow& row = REC_KINDS[kind];
    Cursor c {begin + std::strlen(row.name), end};
    if (c.p < end)
        ++c.p;  // the space after the word
    Parse ps {e, row, why, cap, &c};
    Field f;
    for (int i = 0; i < row.n_fields; ++i) {
        const RecField& rf = row.fields[i];
        if (rf.fmt == FMT_PAYLOAD) {
            if (e->request == RI2C_IOCTL && parse_payload(ps, c) < 0)
                return -1;
            continue;
        }
        if (!c.next(&f))
            return ps.fail("needs %s", rf.name);
        bool ok = true;
        int64_t v = 0;
        uint64_t u = 0;
        switch (rf.fmt) {
        case FMT_DEC: ok = parse_i64(f, &v) && set_number(e, rf.slot, v, true); break;
        case FMT_HEX: ok = parse_u64(f, 16, &u) && set_number(e, rf.slot, static_cast<int64_t>(u), false) &&
                           u <= static_cast<uint64_t>(INT64_MAX); break;
        case FMT_OCT: ok = parse_u64(f, 8, &u) && set_number(e, rf.slot, static_cast<int64_t>(u), false); break;
        case FMT_PATH: ok = parse_path(f, rf.slot == SLOT_PATH2 ? e->path2 : e->path); break;
        case FMT_DATA: ok = (e->data_len = rec_unescape(f.p, f.n, e->data, REC_MAX_DATA, false)) >= 0; break;
        case FMT_TIME: ok = parse_time(f, &e->sec, &e->nsec); break;
        case FMT_PAYLOAD: break;
        }
        if (!ok)
            return ps.fail("bad %s '%.*s'", rf.name, static_cast<int>(f.n > 40 ? 40 : f.n), f.p);
    }
    if (kind == REC_FILE_WRITE && static_cast<uint64_t>(e->data_len) != (e->count < REC_MAX_DATA ? e->count : REC_MAX_DATA))
        return ps.fail("%d bytes of data for a count of %llu", e->data_len, static_cast<unsigned long long>(e->count));
    if (kind == REC_SERVICE) {
        if (e->pid < -2)
            return ps.fail("bad PID %d", e->pid);
        if (e->pid == -2 && (!c.next(&f) || f.n <= 6 || std::memcmp(f.p, "errno=", 6) != 0 ||
                             !parse_i64({f.p + 6, f.n - 6}, &e->result) || e->result <= 0 || e->result > INT32_MAX))
            return ps.fail("-2 needs errno=N");
        e->err = e->pid == -2 ? static_cast<int>(e->result) : 0;
    }
    if (row.result != RES_NONE) {
        if (!c.next(&f) || !is(f, "->"))
            return ps.fail("needs '->' after its fields");
        uint64_t u = 0;
        bool ok = c.next(&f);
        if (ok && row.result == RES_DEC)
            ok = parse_i64(f, &e->result);
        else if (ok)
            ok = parse_u64(f, row.result == RES_HEX ? 16 : 10, &u) && u <= UINT32_MAX;
        if (!ok)
            return ps.fail("needs %s after '->'", row.result_name);
        if (row.result != RES_DEC)
            e->result = static_cast<int64_t>(u);
        const char* at = c.p;
        if (c.end - at > 6 && std::memcmp(at, "errno=", 6) == 0 && (e->result < 0 || row.tail != TAIL_TEXT)) {
            int64_t err = 0;
            if (!row.can_fail || e->result >= 0)
                return ps.fail("errno given for a call that did not fail");
            if (!c.next(&f) || !parse_i64({f.p + 6, f.n - 6}, &err) || err <= 0 || err > INT32_MAX)
                return ps.fail("bad errno '%.*s'", static_cast<int>(f.n > 20 ? 20 : f.n), f.p);
            e->err = static_cast<int>(err);
        } else if (row.can_fail && e->result < 0) {
            return ps.fail("a failed call without errno=N");
        }
        if (row.result_slot != SLOT_NONE && !set_number(e, row.result_slot, e->result, row.result == RES_DEC))
            return ps.fail("bad %s", row.result_name);
    }
    e->low = e->high = e->value;
    if (kind == REC_DEV_MMAP && e->result != 0 && e->result != -1)
        return ps.fail("the result must be 0 or -1");
    if (kind == REC_END)
        e->result = e->status;
    if (kind == REC_SERVICE)
        e->result = e->pid;
    if (kind == REC_STDERR)
        e->fd = 2;
    if (parse_tail(ps, c) < 0)
        return -1;
    if (c.empty_field || c.trailing_space) {
        std::snprintf(why, cap, "fields must be separated by single spaces");
        return -1;
    }
    if (c.more()) {
        int extra = 0;
        while (c.next(&f))
            ++extra;
        return ps.fail("%d field%s too many", extra, extra == 1 ? "" : "s");
    }
    return 0;
}

bool rec_parse_u64(const char* p, size_t n, int base, uint64_t* out)
{
    if (n == 0 || n > 22)
        return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        const int d = hex_digit(p[i]);
        if (d < 0 || d >= base || (base == 16 && p[i] >= 'A' && p[i] <= 'F'))
            return false;
        const uint64_t next = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (next / static_cast<uint64_t>(base) != v)
            return false;
        v = next;
    }
    *out = v;
    return true;
}

bool rec_parse_time(const char* p, size_t n, int64_t* sec, int64_t* nsec)
{
    const char* dot = static_cast<const char*>(std::memchr(p, '.', n));
    if (dot == nullptr || p + n - dot != 10)
        return false;
    uint64_t s, ns;
    if (!rec_parse_u64(p, static_cast<size_t>(dot - p), 10, &s) || !rec_parse_u64(dot + 1, 9, 10, &ns) ||
        s > static_cast<uint64_t>(INT64_MAX))
        return false;
    *sec = static_cast<int64_t>(s);
    *nsec = static_cast<int64_t>(ns);
    return true;
}

size_t rec_escape(const uint8_t* data, size_t n, bool spaces, char* out, size_t cap)
{
    Out o {out, out + cap};
    o.escaped(data, n, spaces);
    return static_cast<size_t>(o.p - out);
}

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
