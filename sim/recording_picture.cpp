// A recording's timeline as a PNG: the ADC reading over the key windows,
// the keys as the program debounced them, the four picture values, failed
// transfers and OSD retries, on one time axis from the recorder's start to
// the end of the run, with counts, the service scan and the way the run
// ended (a power cut marked in red) above it.
//
//   avmenu_rec_picture RECORDING OUT.png
//
// Time is the recording's clock: a clock entry gives it, and each sleep
// moves it on by the time asked for until the next one. Where a column
// holds many samples the ADC trace shows their lowest and highest.
//
// Exit status 0; 1 for a file that cannot be read or is damaged (one line
// naming the line); 2 for a wrong command line.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "recording/reader.h"
#include "sim/font5x7.h"
#include "sim/recording_picture.h"
#include "sim/view.h"
#include "video/osd.h"
#include "video/picture.h"

namespace {

constexpr const char* KEY_NAMES[] = {"UP", "DOWN", "LEFT", "RIGHT", "KEY4", "KEY5", "PLAY", "BACK", "none"};
constexpr const char* PICTURE_NAMES[] = {"BRIGHTNESS", "CONTRAST", "SATURATION", "HUE"};

constexpr RpRgb INK = {30, 30, 30};
constexpr RpRgb FAINT = {110, 110, 110};
constexpr RpRgb GRID = {228, 228, 228};
constexpr RpRgb FRAME = {170, 170, 170};
constexpr RpRgb LANE_BG = {248, 248, 248};
constexpr RpRgb END_OK = {30, 140, 60};
constexpr RpRgb END_BAD = {200, 100, 0};

// ---- what the recording says, on its time axis ----

// The menu value a picture register byte stands for, or -1.
int picture_value(int reg, uint8_t byte)
{
    for (int v = 0; v <= 100; ++v) {
        if (picture_byte(reg, v) == byte)
            return v;
    }
    return -1;
}

struct AdcSample {
    double t;
    uint32_t mv, low_mv, high_mv;  // the reading; the range a repeat of noisy readings stands for
};
struct KeySpan {
    double t0, t1;
    int key;
};
struct ValueStep {
    double t;
    uint8_t byte;
    int value;  // -1: no menu value gives this byte
};

struct Timeline {
    double t = 0;  // now, seconds since the recorder's start
    int64_t t0_sec = 0, t0_nsec = 0;
    // keys: the program's own debounce
    uint32_t raw = 0;
    KeyDebounce debounce = KEY_DEBOUNCE_START;
    double held_since = 0;
    std::vector<AdcSample> adc;
    std::vector<KeySpan> keys;
    long presses[KEY_NONE + 1] = {};
    long refused = 0;
    std::vector<ValueStep> values[4];
    std::vector<double> failed, retries, busy;
    // The previous entry was a read of this video-processor register (-1: not one).
    int read_reg = -1;
    long entries = 0;
    long saves = 0;
    bool service_seen = false;
    double service_t = 0;
    int service_pid = -3;
    bool ended = false;
    double end_t = 0;
    int end_status = 0;
    int last_line = 0;
    RecKind last_kind = REC_END;

    double since_start(int64_t sec, int64_t nsec) const
    {
        return static_cast<double>(sec - t0_sec) + static_cast<double>(nsec - t0_nsec) / 1e9;
    }

    void sample(int s)
    {
        const int was = debounce.stable;
        if (!keys_debounce(&debounce, s))
            return;
        if (was != KEY_NONE)
            keys.push_back({held_since, t, was});
        held_since = t;
        if (s != KEY_NONE)
            ++presses[s];
    }

    void ioctl(const RecEntry& e)
    {
        if (e.result < 0)
            failed.push_back(t);
        const Ri2cTransfer tr = ri2c_decode(e.cmd, e.len, e.data, static_cast<uint32_t>(e.data_len));
        if (tr.chip != RI2C_CHIP_VPROC || tr.reg < 0)
            return;
        if (e.cmd == RI2C_CMD_WRITE_READ)
            read_reg = tr.reg;
        if (e.cmd == RI2C_CMD_WRITE && tr.values == 1 && e.result >= 0 && tr.reg >= PICTURE_REG_BRIGHTNESS &&
            tr.reg <= PICTURE_REG_HUE)
            values[tr.reg - PICTURE_REG_BRIGHTNESS].push_back({t, tr.value, picture_value(tr.reg, tr.value)});
    }

    // The OSD's cell write polls a busy status with a short sleep, and
    // tries the cell again after a longer one when its read-back differs.
    void osd_sleep(uint64_t usec)
    {
        if (read_reg == OSD_REG_STATUS && usec == OSD_BUSY_SLEEP_US)
            busy.push_back(t);
        if (read_reg == OSD_REG_CELL_DATA && usec == OSD_RETRY_SLEEP_US)
            retries.push_back(t);
    }

    void add(const RecEntry& e)
    {
        ++entries;
        last_line = e.first_line;
        last_kind = e.kind;
        const int read_before = read_reg;
        read_reg = -1;
        switch (e.kind) {
        case REC_DEV_IOCTL: ioctl(e); break;
        case REC_REG_LOAD:
            if (e.offset == ADC_REG_DATA) {
                raw = e.value;
                adc.push_back({t, keys_raw_to_mv(e.value), keys_raw_to_mv(e.low), keys_raw_to_mv(e.high)});
            }
            if (e.offset == ADC_REG_CTRL) {
                if ((e.value & 0xFF) == 6)
                    sample(keys_key_of_mv(keys_raw_to_mv(raw)));
                else
                    ++refused;
            }
            break;
        case REC_FILE_WRITE:
            if (e.data_len > 0 && e.data[0] >= '0' && e.data[0] <= '9' &&
                std::memchr(e.data, ' ', static_cast<size_t>(e.data_len)) != nullptr)
                ++saves;
            break;
        case REC_CLOCK:
            // Sleeps last at least what they ask, so a reading is never
            // behind the count; time never runs back whatever a file says.
            if (e.result == 0)
                t = std::max(t, since_start(e.sec, e.nsec));
            break;
        case REC_USLEEP:
            read_reg = read_before;
            osd_sleep(e.count);
            read_reg = -1;
            t += static_cast<double>(e.count) / 1e6;
            break;
        case REC_SLEEP: t += static_cast<double>(e.count); break;
        case REC_SERVICE:
            service_seen = true;
            service_t = t;
            service_pid = e.pid;
            break;
        case REC_END:
            ended = true;
            end_status = e.status;
            t = std::max(t, since_start(e.sec, e.nsec));
            end_t = t;
            break;
        default: break;
        }
    }

    void finish()
    {
        if (debounce.stable != KEY_NONE)
            keys.push_back({held_since, t, debounce.stable});
    }
};

// ---- drawing ----

struct Canvas {
    std::vector<uint8_t> px = std::vector<uint8_t>(static_cast<size_t>(RP_W) * RP_H * 3, 255);

    void put(int x, int y, RpRgb c)
    {
        if (x < 0 || y < 0 || x >= RP_W || y >= RP_H)
            return;
        uint8_t* p = &px[(static_cast<size_t>(y) * RP_W + x) * 3];
        p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
    void fill(int x0, int y0, int x1, int y1, RpRgb c)  // [x0, x1) x [y0, y1)
    {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                put(x, y, c);
    }
    void vline(int x, int y0, int y1, RpRgb c)  // both ends included, either order
    {
        fill(x, std::min(y0, y1), x + 1, std::max(y0, y1) + 1, c);
    }
    void frame(const RpLane& l, RpRgb bg)
    {
        fill(RP_X0, l.y0, RP_X1 + 1, l.y1, bg);
        fill(RP_X0, l.y0, RP_X1 + 1, l.y0 + 1, FRAME);
        fill(RP_X0, l.y1 - 1, RP_X1 + 1, l.y1, FRAME);
    }
};

RpRgb pale(RpRgb c)
{
    auto mix = [](uint8_t v) { return static_cast<uint8_t>(v / 5 + 255 * 4 / 5); };
    return {mix(c.r), mix(c.g), mix(c.b)};
}

// The signs the OSD's font has no glyph for, as the picture's text needs them.
struct Sign {
    char c;
    uint8_t rows[FONT_H];
};
constexpr Sign SIGNS[] = {
    {'-', {0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x00}}, {'_', {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1F}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}}, {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {',', {0x00, 0x00, 0x00, 0x00, 0x0C, 0x04, 0x08}}, {'=', {0x00, 0x00, 0x1F, 0x00, 0x1F, 0x00, 0x00}},
    {'+', {0x00, 0x04, 0x04, 0x1F, 0x04, 0x04, 0x00}}, {'\'', {0x04, 0x04, 0x08, 0x00, 0x00, 0x00, 0x00}},
    {'"', {0x0A, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00}}, {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0x00, 0x04}},
    {'<', {0x02, 0x04, 0x08, 0x10, 0x08, 0x04, 0x02}}, {'>', {0x08, 0x04, 0x02, 0x01, 0x02, 0x04, 0x08}},
    {';', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08}}, {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x00, 0x04}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}}, {'[', {0x0E, 0x08, 0x08, 0x08, 0x08, 0x08, 0x0E}},
    {']', {0x0E, 0x02, 0x02, 0x02, 0x02, 0x02, 0x0E}}, {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
};

const uint8_t* glyph(char c)
{
    for (const Sign& s : SIGNS) {
        if (s.c == c)
            return s.rows;
    }
    const char up = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    // Bytes outside printable ASCII are shown as '?', not as the font's box.
    return up >= ' ' && up <= '~' ? font_glyph(up) : glyph('?');
}

int text_width(const std::string& s, int scale) { return static_cast<int>(s.size()) * (FONT_W + 1) * scale; }

// Text in the font's capitals, `scale` pixels a dot, its top at y; the x after it.
int text(Canvas& cv, int x, int y, const std::string& s, RpRgb c, int scale = 2)
{
    for (char ch : s) {
        const uint8_t* rows = glyph(ch);
        for (int fy = 0; fy < FONT_H; ++fy)
            for (int fx = 0; fx < FONT_W; ++fx)
                if ((rows[fy] >> (FONT_W - 1 - fx)) & 1)
                    cv.fill(x + fx * scale, y + fy * scale, x + (fx + 1) * scale, y + (fy + 1) * scale, c);
        x += (FONT_W + 1) * scale;
    }
    return x;
}

// A lane's name in the margin, centred on its rows.
void lane_name(Canvas& cv, const RpLane& l, const std::string& name)
{
    text(cv, 8, (l.y0 + l.y1) / 2 - FONT_H, name, INK);
}

std::string fmt(const char* f, double v)
{
    char b[48];
    std::snprintf(b, sizeof b, f, v);
    return b;
}

// A time for the axis: seconds for short runs, minutes and hours for long.
std::string time_label(double t, const RpAxis& a)
{
    if (a.end < 120)
        return fmt("%g", static_cast<double>(static_cast<long>(t / a.step + 0.5)) * a.step);
    const long s = static_cast<long>(t + 0.5);
    char b[32];
    if (s >= 3600)
        std::snprintf(b, sizeof b, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(b, sizeof b, "%ld:%02ld", s / 60, s % 60);
    return b;
}

// The axis' steps as faint lines through a lane.
void draw_grid(Canvas& cv, const RpAxis& a, const RpLane& l)
{
    const long steps = static_cast<long>(a.end / a.step + 0.5);
    for (long i = 0; i <= steps; ++i)
        cv.vline(rp_column(a, static_cast<double>(i) * a.step), l.y0 + 1, l.y1 - 2, GRID);
}

// The ADC trace: a column's lowest to highest sample, joined to the column
// before, and the last value held across columns without samples.
void draw_adc(Canvas& cv, const Timeline& tl, const RpAxis& a)
{
    const RpLane& l = RP_ADC;
    auto y_of = rp_adc_row;
    cv.frame(l, RP_BACKGROUND);
    for (const KeyWindow& w : KEY_WINDOWS) {
        const RpRgb c = RP_KEY_COLOURS[static_cast<size_t>(w.key)];
        const int top = y_of(w.centre_mv + 100) + 1, bottom = y_of(w.centre_mv - 100);
        cv.fill(RP_X0 + 1, top, RP_X1, bottom + 1, pale(c));
    }
    draw_grid(cv, a, l);
    for (const KeyWindow& w : KEY_WINDOWS)
        text(cv, RP_X0 + 4, (y_of(w.centre_mv + 100) + y_of(w.centre_mv - 100)) / 2 - 3, KEY_NAMES[w.key],
             RP_KEY_COLOURS[static_cast<size_t>(w.key)], 1);
    for (uint32_t mv = 0; mv <= RP_ADC_MAX_MV; mv += 500) {
        const std::string s = std::to_string(mv);
        text(cv, RP_X0 - 6 - text_width(s, 1), y_of(mv) - 3, s, FAINT, 1);
        cv.fill(RP_X0 - 4, y_of(mv), RP_X0, y_of(mv) + 1, FAINT);
    }
    text(cv, 8, (l.y0 + l.y1) / 2 - FONT_H - 10, "ADC", INK);
    text(cv, 8, (l.y0 + l.y1) / 2 + 4, "MV", INK);

    int col = -1, lo = 0, hi = 0, last = 0;
    auto flush = [&]() {
        if (col >= 0)
            cv.vline(col, y_of(static_cast<uint32_t>(lo)), y_of(static_cast<uint32_t>(hi)), RP_ADC_TRACE);
    };
    for (const AdcSample& s : tl.adc) {
        const int x = rp_column(a, s.t);
        const int mv = static_cast<int>(s.mv);
        if (x != col) {
            flush();
            if (col >= 0) {
                for (int hold = col + 1; hold < x; ++hold)
                    cv.put(hold, y_of(static_cast<uint32_t>(last)), RP_ADC_TRACE);
                lo = hi = last;  // the step from the value held joins this column
            } else {
                lo = hi = mv;
            }
            col = x;
        }
        lo = std::min(lo, static_cast<int>(s.low_mv));
        hi = std::max(hi, static_cast<int>(s.high_mv));
        last = mv;
    }
    flush();
}

void draw_keys(Canvas& cv, const Timeline& tl, const RpAxis& a)
{
    cv.frame(RP_KEYS, LANE_BG);
    draw_grid(cv, a, RP_KEYS);
    lane_name(cv, RP_KEYS, "KEYS");
    int label_end = 0;
    for (const KeySpan& k : tl.keys) {
        const RpRgb c = RP_KEY_COLOURS[static_cast<size_t>(k.key)];
        const int x0 = rp_column(a, k.t0), x1 = std::max(rp_column(a, k.t1), x0 + 1);
        cv.fill(x0, RP_KEYS.y0 + 3, x1, RP_KEYS.y1 - 3, c);
        const std::string name = KEY_NAMES[k.key];
        const int y = (RP_KEYS.y0 + RP_KEYS.y1) / 2 - 3;
        if (x1 - x0 >= text_width(name, 1) + 4) {
            text(cv, x0 + 2, y, name, RP_BACKGROUND, 1);
        } else if (x1 + 2 >= label_end) {  // too short to hold its name: the name beside it
            label_end = text(cv, x1 + 2, y, name, c, 1) + 2;
        }
    }
}

void draw_values(Canvas& cv, const Timeline& tl, const RpAxis& a)
{
    for (size_t i = 0; i < 4; ++i) {
        const RpLane& l = RP_VALUES[i];
        cv.frame(l, LANE_BG);
        draw_grid(cv, a, l);
        lane_name(cv, l, PICTURE_NAMES[i]);
        const std::vector<ValueStep>& steps = tl.values[i];
        auto level = [](const ValueStep& s) { return s.value >= 0 ? s.value : s.byte * 100 / 255; };
        // The lane spans the values the run went through, with a margin, so
        // a step of one is seen; the labels give the numbers.
        int lo = 100, hi = 0;
        for (const ValueStep& s : steps)
            lo = std::min(lo, level(s)), hi = std::max(hi, level(s));
        lo = std::max(0, lo - 5);
        hi = std::min(100, std::max(hi + 5, lo + 20));
        auto y_of = [&](const ValueStep& s) {
            return l.y1 - 4 - ((level(s) - lo) * (l.y1 - l.y0 - 8) + (hi - lo) / 2) / (hi - lo);
        };
        struct Label {
            int x, y;
            std::string s;
        };
        std::vector<Label> labels;
        for (size_t k = 0; k < steps.size(); ++k) {
            const int x = rp_column(a, steps[k].t), y = y_of(steps[k]);
            const int x_next = k + 1 < steps.size() ? rp_column(a, steps[k + 1].t) : rp_column(a, tl.t);
            if (k > 0)
                cv.vline(x, y_of(steps[k - 1]), y, RP_VALUE_LINE);
            cv.fill(x, y, std::max(x_next, x + 1), y + 1, RP_VALUE_LINE);
            char s[16];
            if (steps[k].value >= 0)
                std::snprintf(s, sizeof s, "%d", steps[k].value);
            else
                std::snprintf(s, sizeof s, "#%02x", steps[k].byte);
            // The label sits on the side of the line with room.
            labels.push_back({x + 3, y > (l.y0 + l.y1) / 2 ? y - 9 : y + 3, s});
        }
        // Of labels that would overlap, the last stands: the value that held.
        int left = RP_X1 + 40;
        for (auto it = labels.rbegin(); it != labels.rend(); ++it) {
            if (it->x + text_width(it->s, 1) + 3 > left)
                continue;
            text(cv, it->x, it->y, it->s, INK, 1);
            left = it->x;
        }
    }
}

void draw_events(Canvas& cv, const Timeline& tl, const RpAxis& a)
{
    const RpLane& l = RP_EVENTS;
    cv.frame(l, LANE_BG);
    draw_grid(cv, a, l);
    const std::vector<double>* rows[RP_EVENT_ROWS] = {&tl.failed, &tl.retries, &tl.busy};
    constexpr const char* NAMES[RP_EVENT_ROWS] = {"FAILED I2C", "OSD RETRY", "OSD BUSY"};
    const int row_h = RP_EVENT_ROW_H;
    for (int r = 0; r < RP_EVENT_ROWS; ++r) {
        const int y0 = l.y0 + r * row_h;
        text(cv, 8, y0 + 2, NAMES[r], INK);
        for (double t : *rows[r])
            cv.vline(rp_column(a, t), y0 + 3, y0 + row_h - 3, RP_EVENT_COLOURS[static_cast<size_t>(r)]);
        const std::string n = std::to_string(rows[r]->size());
        text(cv, RP_X1 + 3, y0 + 6, n.size() <= 3 ? n : "+", FAINT, 1);
    }
}

void draw_axis(Canvas& cv, const RpAxis& a)
{
    const int y = RP_EVENTS.y1 + 4;
    text(cv, 8, y + 6, a.end < 120 ? "SECONDS" : a.end < 3600 ? "M:SS" : "H:MM:SS", INK);
    const long steps = static_cast<long>(a.end / a.step + 0.5);
    for (long i = 0; i <= steps; ++i) {
        const double t = static_cast<double>(i) * a.step;
        const int x = rp_column(a, t);
        cv.fill(x, y - 4, x + 1, y + 2, INK);
        const std::string s = time_label(t, a);
        text(cv, std::min(x - text_width(s, 2) / 2, RP_W - 2 - text_width(s, 2)), y + 6, s, INK);
    }
}

// The run lane: start, the service scan, the end (or its absence) and the cut.
void draw_run(Canvas& cv, const Timeline& tl, const RecReader& r, const RpAxis& a)
{
    const RpLane& l = RP_RUN;
    lane_name(cv, l, "RUN");
    const int x_end = rp_column(a, tl.t);
    const RpRgb bar = !tl.ended ? FAINT : tl.end_status == 0 ? END_OK : END_BAD;
    cv.fill(RP_X0, l.y0 + 14, x_end + 1, l.y0 + 18, bar);
    text(cv, RP_X0, l.y0 + 3, "START", INK, 1);
    if (tl.service_seen) {
        const int x = rp_column(a, tl.service_t);
        cv.vline(x, l.y0 + 10, l.y0 + 22, INK);
        const std::string s = tl.service_pid >= 0    ? "SERVICE FOUND, PID " + std::to_string(tl.service_pid)
                              : tl.service_pid == -1 ? "NO SERVICE"
                                                     : "SERVICE: /PROC NOT LISTED";
        text(cv, std::min(x + 3, RP_X1 - text_width(s, 1)), l.y0 + 24, s, INK, 1);
    }
    std::string end = tl.ended ? "END, STATUS " + std::to_string(tl.end_status) : "NO END LINE";
    if (r.cut_line > 0) {
        // A power cut: a red line through every lane at the last time known.
        cv.fill(x_end - 1, l.y0, x_end + 2, RP_EVENTS.y1, RP_CUT);
        end = "CUT: " + std::string(r.cut);
    } else if (!tl.ended) {
        for (int y = l.y0; y < RP_EVENTS.y1; y += 6)
            cv.vline(x_end, y, y + 2, FAINT);
    } else {
        cv.vline(x_end, l.y0 + 8, l.y0 + 22, bar);
    }
    const RpRgb c = r.cut_line > 0 ? RP_CUT : bar;
    const int w = text_width(end, 1);
    text(cv, x_end - w - 4 >= RP_X0 ? x_end - w - 4 : std::min(x_end + 4, RP_W - w - 2), l.y0 + 3, end, c, 1);
}

void draw_header(Canvas& cv, const Timeline& tl, const RecReader& r)
{
    const RecHeader& h = r.header;
    std::string args;
    const char* p = h.args;
    for (int i = 0; i < h.argc && p < h.args + sizeof h.args; ++i, p += std::strlen(p) + 1)
        args += std::string(" ") + p;
    std::vector<std::string> lines;
    lines.push_back(std::string(h.program) + " " + h.version + ", BUILD " + (h.build[0] ? h.build : "?") +
                    (args.empty() ? "" : ", ARGUMENTS:" + args));
    lines.push_back((tl.ended ? fmt("%.3f S", tl.end_t) : fmt("AT LEAST %.3f S", tl.t)) + ", " +
                    std::to_string(tl.entries) + " CALLS IN " + std::to_string(tl.last_line) + " LINES, " +
                    std::to_string(tl.adc.size()) + " ADC READINGS" +
                    (tl.refused > 0 ? ", " + std::to_string(tl.refused) + " REFUSED" : ""));
    std::string keys;
    for (int k = 0; k < KEY_NONE; ++k) {
        if (tl.presses[k] > 0)
            keys += std::string(keys.empty() ? "" : ", ") + KEY_NAMES[k] + " " + std::to_string(tl.presses[k]);
    }
    const std::string service = !tl.service_seen         ? "NOT LOOKED FOR"
                                : tl.service_pid >= 0    ? "FPV_GRD_SERVICE FOUND, PID " + std::to_string(tl.service_pid)
                                : tl.service_pid == -1   ? "NONE FOUND"
                                                         : "/PROC COULD NOT BE LISTED";
    lines.push_back("KEYS: " + (keys.empty() ? std::string("NONE PRESSED") : keys) + ";  SERVICE: " + service);
    std::string values;
    long writes = 0;
    for (int i = 0; i < 4; ++i) {
        writes += static_cast<long>(tl.values[i].size());
        if (!tl.values[i].empty()) {
            const ValueStep& s = tl.values[i].back();
            values += std::string(values.empty() ? "" : ", ") + PICTURE_NAMES[i] + " " +
                      (s.value >= 0 ? std::to_string(s.value) : fmt("#%02x", s.byte));
        }
    }
    lines.push_back("VALUES: " + std::to_string(writes) + " WRITES" + (values.empty() ? "" : ", LAST " + values) +
                    (tl.saves > 0 ? "; SAVED " + std::to_string(tl.saves) + "X" : ""));
    lines.push_back(std::to_string(tl.failed.size()) + " FAILED TRANSFERS, " + std::to_string(tl.retries.size()) +
                    " OSD RETRIES, " + std::to_string(tl.busy.size()) + " OSD BUSY POLLS");
    RpRgb last = INK;
    if (r.cut_line > 0) {
        lines.push_back("POWER CUT: " + std::string(r.cut));
        last = RP_CUT;
    } else if (tl.ended) {
        lines.push_back("ENDED: STATUS " + std::to_string(tl.end_status));
        last = tl.end_status == 0 ? END_OK : END_BAD;
    } else {
        lines.push_back("NO END LINE: KILLED, CRASHED OR STILL RUNNING AFTER LINE " + std::to_string(tl.last_line) +
                        " (" + (tl.entries > 0 ? rec_kind_name(tl.last_kind) : "NO ENTRY") + ")");
    }
    for (size_t i = 0; i < lines.size() && i < RP_HEADER_LINES; ++i) {
        std::string s = lines[i];
        const size_t fits = static_cast<size_t>((RP_W - 16) / ((FONT_W + 1) * 2));
        if (s.size() > fits)
            s = s.substr(0, fits - 3) + "...";
        text(cv, 8, 8 + static_cast<int>(i) * RP_TEXT_H, s, i + 1 == lines.size() ? last : INK);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s RECORDING OUT.png\n", argv[0]);
        return 2;
    }
    static RecReader reader;
    static RecEntry e;
    if (rec_reader_open_file(&reader, argv[1]) < 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.error);
        return 1;
    }
    static Timeline tl;
    tl.t0_sec = reader.header.t0_sec;
    tl.t0_nsec = reader.header.t0_nsec;
    int rc;
    while ((rc = rec_reader_next(&reader, &e)) > 0)
        tl.add(e);
    if (rc < 0) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reader.error);
        return 1;
    }
    tl.finish();

    const RpAxis axis = rp_axis(tl.t);
    static Canvas cv;
    draw_header(cv, tl, reader);
    draw_adc(cv, tl, axis);
    draw_keys(cv, tl, axis);
    draw_values(cv, tl, axis);
    draw_events(cv, tl, axis);
    draw_axis(cv, axis);
    draw_run(cv, tl, reader, axis);
    std::string error;
    if (png_write(argv[2], cv.px.data(), RP_W, RP_H, &error) != 0) {
        std::fprintf(stderr, "%s: %s\n", argv[2], error.c_str());
        return 1;
    }
    return 0;
}
