// What a recording says, in a few lines: program and build, duration, the
// mode probe's answers, key presses, value changes, faults and how the run
// ended.
//
//   avmenu_rec_summary FILE
//
// Exit status 0, or 1 with one line naming the damaged line.
#include <cstdio>
#include <cstring>
#include <string>

#include "app/settings.h"
#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "recording/reader.h"
#include "video/mode.h"
#include "video/osd.h"
#include "video/picture.h"

namespace {

constexpr const char* KEY_NAMES[] = {"UP", "DOWN", "LEFT", "RIGHT", "KEY4", "KEY5", "PLAY", "BACK", "none"};
constexpr const char* PICTURE_NAMES[] = {"BRIGHTNESS", "CONTRAST", "SATURATION", "HUE"};
constexpr int PICTURE_REG = PICTURE_REG_BRIGHTNESS;  // the four in the order of PICTURE_NAMES
static_assert(PICTURE_REG_CONTRAST == PICTURE_REG + 1 && PICTURE_REG_SATURATION == PICTURE_REG + 2 &&
              PICTURE_REG_HUE == PICTURE_REG + 3);

struct Summary {
    // keys: the program's own windows and debounce
    uint32_t raw = 0;
    KeyDebounce debounce = KEY_DEBOUNCE_START;
    long presses[KEY_NONE + 1] = {};
    long rejected = 0;
    // the mode probe: the LT8668's registers as read
    std::string probe;
    long probes = 0;
    // value changes: picture registers written once the menu is up (the
    // OSD switched on)
    bool menu_up = false;
    long startup_picture_writes = 0;
    std::string changes;
    long change_count = 0;
    long saves = 0;  // writes on the settings file, as the program writes it: settings.tmp, renamed
    std::string last_save;
    int64_t settings_fd = -1;  // the descriptor open on the settings file; -1: none
    // faults
    long failed[REC_KIND_COUNT] = {};
    int failed_errno[REC_KIND_COUNT] = {};
    long entries = 0;
    double slept_s = 0;
    std::string last_stderr;
    int service = -3;
    const RecEntry* end = nullptr;
    RecEntry end_entry {};
    RecEntry last {};

    void sample(int s)
    {
        if (keys_debounce(&debounce, s) && s != KEY_NONE)
            ++presses[s];
    }

    void ioctl(const RecEntry& e)
    {
        const Ri2cTransfer t = ri2c_decode(e.cmd, e.len, e.data, static_cast<uint32_t>(e.data_len));
        if (t.cmd == RI2C_CMD_WRITE_READ && t.chip == RI2C_CHIP_LT8668 && t.reg >= 0 && e.got_len == 1) {
            if (t.reg == LT8668_REG_INPUT) {
                ++probes;
                probe.clear();
            }
            char text[24];
            std::snprintf(text, sizeof text, "%s%02X=0x%02x", probe.empty() ? "" : " ", t.reg, e.got[0]);
            probe += text;
        }
        if (t.cmd != RI2C_CMD_WRITE || t.chip != RI2C_CHIP_VPROC || t.values != 1)
            return;
        if (t.reg == OSD_REG_CONTROL && (t.value & OSD_CONTROL_ON) != 0)
            menu_up = true;
        if (t.reg >= PICTURE_REG && t.reg < PICTURE_REG + 4) {
            if (!menu_up) {
                ++startup_picture_writes;
            } else {
                ++change_count;
                char text[48];
                std::snprintf(text, sizeof text, "%s%s=0x%02x", changes.empty() ? "" : ", ",
                              PICTURE_NAMES[t.reg - PICTURE_REG], t.value);
                if (change_count <= 12)
                    changes += text;
            }
        }
    }

    void add(const RecEntry& e)
    {
        ++entries;
        last = e;
        if (rec_can_fail(e.kind) && e.result < 0) {
            ++failed[e.kind];
            failed_errno[e.kind] = e.err;
        }
        switch (e.kind) {
        case REC_DEV_IOCTL: ioctl(e); break;
        case REC_REG_LOAD:
            if (e.offset == ADC_REG_DATA)
                raw = e.value;
            if (e.offset == ADC_REG_CTRL) {
                if ((e.value & 0xFF) == 6)
                    sample(keys_key_of_mv(keys_raw_to_mv(raw)));
                else
                    ++rejected;
            }
            break;
        case REC_FILE_OPEN:
            // By the path, not the data: a PWM file's "1 2" reads like values
            // too. A number is the settings file's until the next open takes it.
            if (e.result >= 0)
                settings_fd = std::strcmp(e.path, AVMENU_SETTINGS_DIR "/settings.tmp") == 0 ||
                                      std::strcmp(e.path, AVMENU_SETTINGS_DIR "/settings") == 0
                                  ? e.result
                                  : (e.result == settings_fd ? -1 : settings_fd);
            break;
        case REC_FILE_WRITE:
            if (e.fd == settings_fd) {
                ++saves;
                last_save.assign(reinterpret_cast<const char*>(e.data), static_cast<size_t>(e.data_len));
                if (!last_save.empty() && last_save.back() == '\n')
                    last_save.pop_back();
            }
            break;
        case REC_USLEEP: slept_s += static_cast<double>(e.count) / 1e6; break;
        case REC_SLEEP: slept_s += static_cast<double>(e.count); break;
        case REC_SERVICE: service = e.pid; break;
        case REC_STDERR:
            last_stderr.assign(reinterpret_cast<const char*>(e.data), static_cast<size_t>(e.data_len));
            if (!last_stderr.empty() && last_stderr.back() == '\n')
                last_stderr.pop_back();
            break;
        case REC_END:
            end_entry = e;
            end = &end_entry;
            break;
        default: break;
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s RECORDING\n", argv[0]);
        return 2;
    }
    static RecReader reader;
    static RecEntry e;
    if (rec_reader_open_file(&reader, argv[1]) < 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.error);
        return 1;
    }
    static Summary s;
    int rc;
    while ((rc = rec_reader_next(&reader, &e)) > 0)
        s.add(e);
    if (rc < 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.error);
        return 1;
    }

    const RecHeader& h = reader.header;
    std::string args;
    for (const char* a = h.args; a < h.args + sizeof h.args && static_cast<int>(args.size()) < 200 && *a != '\0';
         a += std::strlen(a) + 1)
        args += std::string(" ") + a;
    std::printf("program:   %s %s (build %s, format %d)%s%s\n", h.program, h.version, h.build[0] ? h.build : "?",
                h.format, args.empty() ? "" : ", arguments:", args.c_str());
    if (s.end != nullptr) {
        const double t = static_cast<double>(s.end->sec - h.t0_sec) + static_cast<double>(s.end->nsec - h.t0_nsec) / 1e9;
        std::printf("duration:  %.1f s, %ld calls in %d lines\n", t, s.entries, reader.line);
    } else {
        std::printf("duration:  at least %.1f s (its sleeps), %ld calls in %d lines\n", s.slept_s, s.entries,
                    reader.line);
    }
    std::printf("mode:      %s", s.probes > 0 ? ("LT8668 " + s.probe).c_str() : "no probe recorded");
    std::printf("%s\n", s.probes > 1 ? (" (the last of " + std::to_string(s.probes) + " probes)").c_str() : "");
    std::printf("service:   %s\n", s.service >= 0    ? ("fpv_grd_service found, pid " + std::to_string(s.service)).c_str()
                               : s.service == -1 ? "none found"
                               : s.service == -2 ? "/proc could not be listed"
                                                 : "not looked for");
    std::string keys;
    for (int k = 0; k < KEY_NONE; ++k) {
        if (s.presses[k] > 0)
            keys += std::string(keys.empty() ? "" : ", ") + KEY_NAMES[k] + " " + std::to_string(s.presses[k]);
    }
    std::printf("keys:      %s%s\n", keys.empty() ? "no key pressed" : keys.c_str(),
                s.rejected > 0 ? (", " + std::to_string(s.rejected) + " conversions refused").c_str() : "");
    std::printf("values:    %ld picture writes at start-up, %ld after it%s%s", s.startup_picture_writes,
                s.change_count, s.changes.empty() ? "" : ": ", s.changes.c_str());
    std::printf("%s\n", s.saves > 0 ? ("; settings saved " + std::to_string(s.saves) + "x, last \"" + s.last_save + "\"").c_str()
                                    : "");
    std::string faults;
    for (int k = 0; k < REC_KIND_COUNT; ++k) {
        if (s.failed[k] > 0)
            faults += std::string(faults.empty() ? "" : ", ") + rec_kind_name(static_cast<RecKind>(k)) + " failed " +
                      std::to_string(s.failed[k]) + "x (last errno " + std::to_string(s.failed_errno[k]) + ")";
    }
    std::printf("faults:    %s\n", faults.empty() ? "none" : faults.c_str());
    if (s.end != nullptr)
        std::printf("ended:     status %d; last diagnostic: %s\n", s.end->status, s.last_stderr.c_str());
    else if (reader.cut_line > 0)
        std::printf("ended:     %s; last diagnostic: %s\n", reader.cut, s.last_stderr.c_str());
    else
        std::printf("ended:     no end line: killed, crashed or still running after line %d (%s); last diagnostic: %s\n",
                    s.last.first_line, s.entries > 0 ? rec_kind_name(s.last.kind) : "no entry",
                    s.last_stderr.c_str());
    return 0;
}
