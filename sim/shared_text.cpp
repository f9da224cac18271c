// Text both modes print.
#include "sim/shared_text.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "vgoggles/vgoggles.h"

void write_all(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

std::vector<std::string> last_lines(const std::string& text, size_t count)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    return lines;
}

// The four picture bytes as the processor holds them; "--" until written.
std::string register_text()
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char buf[16];
        if (vg()->vp.picture_writes[i] > 0)
            std::snprintf(buf, sizeof buf, "%s%04x=%02x", i ? " " : "", 0x0890 + i, vg()->vp.regs[0x0890 + i]);
        else
            std::snprintf(buf, sizeof buf, "%s%04x=--", i ? " " : "", 0x0890 + i);
        s += buf;
    }
    return s;
}
