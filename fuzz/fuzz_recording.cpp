// The recording reader on arbitrary files: it never reads outside the given
// bytes, never crashes, and either yields entries whose lengths fit their
// fields or refuses with one line that names a line of the file.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "recording/reader.h"

namespace {

// A repeat line may stand for billions of calls; a few are enough here.
constexpr long MAX_ENTRIES = 20000;

int lines_in(const char* text, size_t size)
{
    int n = 0;
    for (size_t i = 0; i < size; ++i)
        n += text[i] == '\n';
    return n;
}

void check_error(const RecReader& r, const char* text, size_t size)
{
    int line = 0;
    if (std::strncmp(r.error, "line ", 5) != 0 || (line = std::atoi(r.error + 5)) < 1 ||
        line > lines_in(text, size) + 1 || std::strchr(r.error, '\n') != nullptr)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exact-size copy, so that a read past the end is caught.
    std::vector<char> text(data, data + size);
    static RecReader r;
    static RecEntry e;
    if (rec_reader_open(&r, text.data(), size) < 0) {
        check_error(r, text.data(), size);
        return 0;
    }
    if (r.header.format < REC_FORMAT_OLDEST || r.header.format > REC_FORMAT || r.header.program[0] == '\0' ||
        r.header.argc < 0)
        std::abort();
    int rc = 0;
    int last_line = 2;
    for (long n = 0; n < MAX_ENTRIES && (rc = rec_reader_next(&r, &e)) > 0; ++n) {
        if (e.kind >= REC_KIND_COUNT || e.data_len < 0 || e.data_len > REC_MAX_DATA || e.got_len < -1 ||
            e.got_len > REC_MAX_DATA || e.first_line > e.line || e.line < last_line ||
            std::memchr(e.path, '\0', sizeof e.path) == nullptr || std::memchr(e.path2, '\0', sizeof e.path2) == nullptr)
            std::abort();
        if (e.kind == REC_DEV_IOCTL && e.got_len >= 0 && e.cmd != 3 && e.cmd != 4)
            std::abort();  // only the reading commands carry a read area
        if (e.kind == REC_REG_LOAD && e.low > e.high)
            std::abort();
        last_line = e.line;
    }
    if (rc < 0)
        check_error(r, text.data(), size);
    // A cut names a line at most one past the last whole one, in words.
    if (rc == 0 && (r.cut_line < 0 || r.cut_line > lines_in(text.data(), size) + 1 || (r.cut_line > 0) != (r.cut[0] != '\0')))
        std::abort();
    return 0;
}
