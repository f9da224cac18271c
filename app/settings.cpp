#include "app/settings.h"

#include <cstdio>
#include <fcntl.h>

#include "app/menu.h"
#include "os/log.h"
#include "os/os.h"
#include "video/picture.h"

namespace {

constexpr int SATURATE = 1000;  // any magnitude above 100 clamps the same way

// A streaming reader for four integers; fed chunk by chunk, so a file of any
// size is read in a small stack buffer and never overflows an int.
struct NumberScan {
    enum State { SKIP_SPACE, AFTER_SIGN, IN_DIGITS, DONE, FAILED };
    State state = SKIP_SPACE;
    int count = 0;
    bool negative = false;
    int magnitude = 0;
    int values[4] = {0, 0, 0, 0};

    void finish_number()
    {
        const int v = negative ? -magnitude : magnitude;
        values[count++] = v < MENU_VALUE_MIN ? MENU_VALUE_MIN : (v > MENU_VALUE_MAX ? MENU_VALUE_MAX : v);
        negative = false;
        magnitude = 0;
        state = count == 4 ? DONE : SKIP_SPACE;
    }

    void feed(unsigned char c)
    {
        const bool digit = c >= '0' && c <= '9';
        const bool space = c == ' ' || (c >= '\t' && c <= '\r');
        switch (state) {
        case SKIP_SPACE:
            if (space)
                return;
            if (c == '+' || c == '-') {
                negative = c == '-';
                state = AFTER_SIGN;
                return;
            }
            if (!digit) {
                state = FAILED;
                return;
            }
            state = IN_DIGITS;
            break;
        case AFTER_SIGN:
            if (!digit) {
                state = FAILED;
                return;
            }
            state = IN_DIGITS;
            break;
        case IN_DIGITS:
            if (!digit) {
                finish_number();
                if (state == SKIP_SPACE)
                    feed(c);
                return;
            }
            break;
        case DONE:
        case FAILED:
            return;
        }
        magnitude = magnitude >= SATURATE ? SATURATE : magnitude * 10 + (c - '0');
    }

    bool end()
    {
        if (state == IN_DIGITS)
            finish_number();
        return state == DONE;
    }
};

void set_all_controls(OsdScreen* s)
{
    for (int i = 0; i < MENU_ITEM_COUNT; ++i)
        picture_set(s, MENU_ITEMS[i].reg, picture_settings.value[i]);
}

}  // namespace

int settings_parse(const char* text, unsigned length, int out[4])
{
    NumberScan scan;
    for (unsigned i = 0; i < length && scan.state != NumberScan::DONE && scan.state != NumberScan::FAILED; ++i)
        scan.feed(static_cast<unsigned char>(text[i]));
    if (!scan.end())
        return 0;
    for (int i = 0; i < 4; ++i)
        out[i] = scan.values[i];
    return 1;
}

void settings_load(OsdScreen* s)
{
    const int fd = os_file_open(SETTINGS_PATH, O_RDONLY, 0);
    if (fd >= 0) {
        NumberScan scan;
        char chunk[128];
        ssize_t n;
        while (scan.state != NumberScan::DONE && scan.state != NumberScan::FAILED &&
               (n = os_file_read(fd, chunk, sizeof chunk)) > 0) {
            for (ssize_t i = 0; i < n; ++i)
                scan.feed(static_cast<unsigned char>(chunk[i]));
        }
        if (scan.end()) {
            for (int i = 0; i < MENU_ITEM_COUNT; ++i)
                picture_settings.value[i] = scan.values[i];
        }
        os_file_close(fd);
    }
    set_all_controls(s);
    const int* v = picture_settings.value;
    log_line("settings: restore %d/%d/%d/%d\n", v[0], v[1], v[2], v[3]);
}

int settings_save()
{
    char tmp_path[160];
    std::snprintf(tmp_path, sizeof tmp_path, "%s.tmp", SETTINGS_PATH);
    const int fd = os_file_open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) {
        log_line("settings: save fail (brak SD?)\n");
        return -1;
    }
    char line[64];
    const int* v = picture_settings.value;
    const int len = std::snprintf(line, sizeof line, "%d %d %d %d\n", v[0], v[1], v[2], v[3]);

    // The card is often cut off by pulling the battery: the new line must be
    // on the medium before the rename makes it the settings file.
    bool ok = os_file_write(fd, line, static_cast<size_t>(len)) == len;
    ok = ok && os_file_fsync(fd) == 0;
    ok = os_file_close(fd) == 0 && ok;
    if (!ok) {
        os_file_unlink(tmp_path);  // a short file must never replace a good one
        log_line("settings: write fail\n");
        return -1;
    }
    if (os_file_rename(tmp_path, SETTINGS_PATH) < 0) {
        log_line("settings: rename fail\n");
        return -1;
    }
    const int dir = os_file_open(SETTINGS_DIR, O_RDONLY | O_DIRECTORY, 0);
    if (dir >= 0) {
        os_file_fsync(dir);  // makes the rename itself durable
        os_file_close(dir);
    }
    return 0;
}
