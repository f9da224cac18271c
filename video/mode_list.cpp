#include "video/mode_list.h"

#include <cstdio>
#include <cstring>

#include "i2c/ri2c.h"
#include "os/log.h"
#include "os/os.h"
#include "video/mode.h"

namespace {

constexpr int GATE_EXTRA_READS = 2;
constexpr unsigned GATE_RETRY_US = 600000;

bool is_separator(char c) { return c == ',' || c == ' ' || c == '\t'; }

bool word_at(const char* p, const char* word, size_t len)
{
    return std::strncmp(p, word, len) == 0 && (p[len] == '\0' || is_separator(p[len]));
}

}  // namespace

int mode_gate(int required_mode)
{
    const int fd = ri2c_open();
    if (fd < 0) {
        log_line("mode_gate: brak transportu i2c \xe2\x80\x94 ODMOWA\n");
        return 0;
    }
    int mode = mode_read(fd);
    for (int extra = 0; mode == MODE_UNKNOWN && extra < GATE_EXTRA_READS; ++extra) {
        os_usleep(GATE_RETRY_US);
        mode = mode_read(fd);
    }
    ri2c_close(fd);
    if (mode == required_mode)
        return 1;
    log_line("ODMOWA: tryb gogli=%d, apka wymaga=%d (0=? 1=NORMAL 2=HDMI 3=AV)\n", mode, required_mode);
    return 0;
}

int mode_list_parse(const char* text)
{
    const char* p = text ? text : "";
    int mask = 0;
    for (;;) {
        while (is_separator(*p))
            ++p;
        if (*p == '\0')
            break;
        if (word_at(p, "normal", 6)) {
            mask |= MODE_BIT_NORMAL;
            p += 6;
        } else if (word_at(p, "av", 2)) {
            mask |= MODE_BIT_AV;
            p += 2;
        } else if (word_at(p, "hdmi", 4)) {
            mask |= MODE_BIT_HDMI;
            p += 4;
        } else {
            // An unknown word runs to the next comma; blanks do not end it.
            while (*p != '\0' && *p != ',')
                ++p;
        }
    }
    return mask <= MODE_BIT_NORMAL ? MODE_BIT_NORMAL : mask;
}

int mode_list_allows(int mask, int mode)
{
    switch (mode) {
    case MODE_NORMAL: return (mask & MODE_BIT_NORMAL) ? 1 : 0;
    case MODE_HDMI: return (mask & MODE_BIT_HDMI) ? 1 : 0;
    case MODE_AV: return (mask & MODE_BIT_AV) ? 1 : 0;
    default: return 0;
    }
}

char* mode_list_format(int mask, char* buf, unsigned size)
{
    if (size == 0)
        return buf;
    buf[0] = '\0';
    unsigned pos = 0;
    if ((mask & MODE_BIT_NORMAL) && size >= 9) {
        std::memcpy(buf, "normal", 7);
        pos = 6;
    }
    if ((mask & MODE_BIT_AV) && pos + 4 < size) {
        if (pos > 0)
            buf[pos++] = ',';
        std::memcpy(buf + pos, "av", 3);
        pos += 2;
    }
    if ((mask & MODE_BIT_HDMI) && pos + 6 < size) {
        if (pos > 0)
            buf[pos++] = ',';
        std::memcpy(buf + pos, "hdmi", 5);
        return buf;
    }
    if (pos == 0)
        std::snprintf(buf, size, "%s", "normal");
    return buf;
}
