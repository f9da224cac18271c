#include "recording/reader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "i2c/ri2c.h"
#include "keys/keys.h"

namespace {

constexpr int MAX_HEADER_FIELDS = 16;

struct Field {
    const char* p;
    size_t n;
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

bool parse_number(const Field& f, uint64_t max, uint64_t* out)
{
    return rec_parse_u64(f.p, f.n, 10, out) && *out <= max;
}

// The eight lower-case hex digits of a 32-bit word.
bool parse_hex32(const Field& f, uint64_t* out) { return f.n == 8 && rec_parse_u64(f.p, f.n, 16, out); }

bool parse_time(const Field& f, int64_t* sec, int64_t* nsec) { return rec_parse_time(f.p, f.n, sec, nsec); }

// Splits the header's lines at single spaces.
bool split(const char* p, const char* end, Field* f, int* n)
{
    *n = 0;
    while (true) {
        const char* sp = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
        const char* stop = sp != nullptr ? sp : end;
        if (stop == p || *n == MAX_HEADER_FIELDS)
            return false;
        f[(*n)++] = {p, static_cast<size_t>(stop - p)};
        if (sp == nullptr)
            return true;
        p = sp + 1;
    }
}

// A recording ends at its last whole line. A line that a power cut left
// without its newline, or the NUL bytes of space reserved on the card and
// never written, end it: 0 with reader->cut saying where.
int end_cut(RecReader* r, bool line_begun)
{
    r->cut_line = r->line + 1;
    if (line_begun)
        std::snprintf(r->cut, sizeof r->cut,
                      "cut at line %d: the goggles lost power or the card was pulled; what came after is lost",
                      r->cut_line);
    else
        std::snprintf(r->cut, sizeof r->cut,
                      "cut at line %d: the rest is space kept on the card for entries never written (the program was "
                      "killed, or the goggles lost power)",
                      r->cut_line);
    r->pos = r->size;
    return 0;
}

// Takes the next whole line into [*begin, *end); 0 at the end of the text
// or at a cut.
int next_line(RecReader* r, const char** begin, const char** end)
{
    if (r->pos >= r->size)
        return 0;
    const char* p = r->text + r->pos;
    const size_t left = r->size - r->pos;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', left));
    const size_t n = nl != nullptr ? static_cast<size_t>(nl - p) : left;
    const char* nul = static_cast<const char*>(std::memchr(p, '\0', n));
    if (nul != nullptr || nl == nullptr)
        return end_cut(r, nul != p);
    ++r->line;
    if (n > REC_MAX_LINE)
        return fail(r, "longer than %d bytes", REC_MAX_LINE);
    *begin = p;
    *end = nl;
    r->pos += n + 1;
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

// An entry's line; 2 for a repeat line (its numbers in count and value).
int parse_line(RecReader* r, const char* begin, const char* end, RecEntry* e)
{
    const char* sp = static_cast<const char*>(std::memchr(begin, ' ', static_cast<size_t>(end - begin)));
    const Field word {begin, static_cast<size_t>((sp != nullptr ? sp : end) - begin)};
    if (is(word, REC_REPEAT)) {
        Field f[MAX_HEADER_FIELDS];
        int n;
        uint64_t turns, partial, low = 0, high = 0;
        const bool ranged = r->header.format >= 2;
        if (!split(begin, end, f, &n) || (n != 3 && !(ranged && n == 5)) || !parse_number(f[1], UINT64_MAX, &turns) ||
            !parse_number(f[2], UINT32_MAX, &partial))
            return fail(r, ranged ? "'repeat' needs TURNS ENTRIES [LOW HIGH]" : "'repeat' needs TURNS ENTRIES");
        if (n == 5 && (!parse_hex32(f[3], &low) || !parse_hex32(f[4], &high) || low > high))
            return fail(r, "'repeat': bad range '%.*s %.*s'", static_cast<int>(f[3].n > 10 ? 10 : f[3].n), f[3].p,
                        static_cast<int>(f[4].n > 10 ? 10 : f[4].n), f[4].p);
        e->count = turns;
        e->value = static_cast<uint32_t>(partial);
        r->repeat_ranged = n == 5;
        r->repeat_low = static_cast<uint32_t>(low);
        r->repeat_high = static_cast<uint32_t>(high);
        return 2;
    }
    int kind = 0;
    while (kind < REC_KIND_COUNT && !is(word, REC_KINDS[kind].name))
        ++kind;
    if (kind == REC_KIND_COUNT)
        return fail(r, "unknown entry '%.*s'", static_cast<int>(word.n > 40 ? 40 : word.n), word.p);
    char why[160];
    if (rec_entry_parse(begin, end, static_cast<RecKind>(kind), e, why, sizeof why) < 0)
        return fail(r, "%s", why);
    e->line = e->first_line = r->line;
    return 1;
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
    r->repeat_ranged = false;
    RecHeader& h = r->header;
    std::memset(&h, 0, sizeof h);

    const char *b, *e;
    int rc = next_line(r, &b, &e);
    if (rc == 0) {
        r->line = 1;
        return fail(r, "%s", size == 0 ? "empty file: not a recording" : "its first line is cut short: not a recording");
    }
    if (rc < 0)
        return -1;
    Field l[MAX_HEADER_FIELDS];
    int n = 0;
    uint64_t format = 0;
    if (!split(b, e, l, &n) || n < 2 || !is(l[0], REC_MAGIC))
        return fail(r, "not a recording: it must start with '%s'", REC_MAGIC);
    if (!parse_number(l[1], INT32_MAX, &format))
        return fail(r, "bad format version '%.*s'", static_cast<int>(l[1].n > 20 ? 20 : l[1].n), l[1].p);
    h.format = static_cast<int>(format);
    if (h.format < REC_FORMAT_OLDEST || h.format > REC_FORMAT)
        return fail(r, "recording format %d; this reader knows formats %d to %d", h.format, REC_FORMAT_OLDEST,
                    REC_FORMAT);
    for (int i = 2; i < n; ++i) {
        const Field& f = l[i];
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
    if (!split(b, e, l, &n) || !is(l[0], "args"))
        return fail(r, "the second line must be 'args'");
    size_t used = 0;
    for (int i = 1; i < n; ++i) {
        if (used + 1 >= sizeof h.args)  // no room left for even an empty one and its NUL
            return fail(r, "the arguments are too long");
        const int got = rec_unescape(l[i].p, l[i].n, reinterpret_cast<uint8_t*>(h.args + used),
                                     sizeof h.args - used - 1, false);
        if (got < 0 || std::memchr(h.args + used, '\0', static_cast<size_t>(got)) != nullptr)
            return fail(r, "bad argument %d", i);
        used += static_cast<size_t>(got);
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
        if (r->repeat_ranged && e->kind == REC_REG_LOAD && e->offset == ADC_REG_DATA) {
            e->low = r->repeat_low;
            e->high = r->repeat_high;
        }
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
    const int kind = parse_line(r, b, end, e);
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

int rec_reader_open_file(RecReader* r, const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) < 0) {
        if (fd >= 0)
            ::close(fd);
        std::snprintf(r->error, sizeof r->error, "cannot open");
        return -1;
    }
    const size_t size = static_cast<size_t>(st.st_size);
    void* map = size > 0 ? mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0) : nullptr;
    ::close(fd);
    if (map == MAP_FAILED) {
        std::snprintf(r->error, sizeof r->error, "cannot read");
        return -1;
    }
    return rec_reader_open(r, static_cast<const char*>(map), size);
}
