#include "sim/view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <png.h>

#include "sim/font5x7.h"
#include "vgoggles/vgoggles.h"

ViewState view_capture()
{
    ViewState v;
    // A control the program has not written yet keeps the processor's
    // neutral setting (the default in ViewState).
    for (int i = 0; i < 4; ++i) {
        if (vg()->vp.picture_writes[i] > 0)
            v.regs[i] = vg()->vp.regs[0x0890 + i];
    }
    for (int r = 0; r < 8; ++r)
        vg_osd_visible_line(r, v.grid[r]);
    v.osd_on = vg_osd_enabled();
    return v;
}

bool view_grid_blank(const ViewState& v)
{
    for (const auto& row : v.grid) {
        for (int c = 0; c < 32; ++c) {
            if (row[c] != ' ')
                return false;
        }
    }
    return true;
}

std::vector<uint8_t> view_image(const ViewState& v, int w, int h)
{
    std::vector<uint8_t> img(static_cast<size_t>(w) * h * 3);
    const PictureRegs p = picture_regs_from(v.regs);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Rgb c = apply_picture(p, test_card(x, y, w, h));
            uint8_t* px = &img[(static_cast<size_t>(y) * w + x) * 3];
            px[0] = c.r, px[1] = c.g, px[2] = c.b;
        }
    }
    if (!v.osd_on)
        return img;

    // The grid spans 90% of the width and two thirds of the height.
    const int cell_w = w * 9 / 10 / 32, cell_h = h * 2 / 3 / 8;
    const int scale = cell_w / (FONT_W + 1) < cell_h / (FONT_H + 2) ? cell_w / (FONT_W + 1) : cell_h / (FONT_H + 2);
    if (scale < 1)
        return img;
    const int x0 = (w - cell_w * 32) / 2, y0 = (h - cell_h * 8) / 2;
    auto put = [&](int x, int y, uint8_t value) {
        if (x < 0 || y < 0 || x >= w || y >= h)
            return;
        uint8_t* px = &img[(static_cast<size_t>(y) * w + x) * 3];
        px[0] = px[1] = px[2] = value;
    };
    for (int pass = 0; pass < 2; ++pass) {  // a dark outline first, then the white glyph
        for (int r = 0; r < 8; ++r) {
            for (int c = 0; c < 32; ++c) {
                const uint8_t* rows = font_glyph(v.grid[r][c]);
                const int gx = x0 + c * cell_w + (cell_w - FONT_W * scale) / 2;
                const int gy = y0 + r * cell_h + (cell_h - FONT_H * scale) / 2;
                for (int fy = 0; fy < FONT_H; ++fy) {
                    for (int fx = 0; fx < FONT_W; ++fx) {
                        if (((rows[fy] >> (FONT_W - 1 - fx)) & 1) == 0)
                            continue;
                        for (int sy = 0; sy < scale; ++sy) {
                            for (int sx = 0; sx < scale; ++sx) {
                                const int px = gx + fx * scale + sx, py = gy + fy * scale + sy;
                                if (pass == 0) {
                                    for (int d = -1; d <= 1; ++d) {
                                        put(px + d, py, 0);
                                        put(px, py + d, 0);
                                    }
                                } else {
                                    put(px, py, 255);
                                }
                            }
                        }
                    }
                }
            }
        }
    }
    return img;
}

int png_write(const char* path, const uint8_t* rgb, int w, int h, std::string* error)
{
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        if (error)
            *error = std::string("cannot write ") + path + ": " + std::strerror(errno);
        return -1;
    }
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(w);
    image.height = static_cast<png_uint_32>(h);
    image.format = PNG_FORMAT_RGB;
    const int ok = png_image_write_to_stdio(&image, f, 0, rgb, w * 3, nullptr);
    const int closed = std::fclose(f);
    if (!ok || closed != 0) {
        if (error)
            *error = std::string("cannot write ") + path + (ok ? "" : std::string(": ") + image.message);
        png_image_free(&image);
        return -1;
    }
    return 0;
}

ColourMode colour_mode_from_env(const char* colorterm, const char* term)
{
    if (colorterm != nullptr && (std::strcmp(colorterm, "truecolor") == 0 || std::strcmp(colorterm, "24bit") == 0))
        return ColourMode::TRUECOLOR;
    if (term != nullptr && std::strstr(term, "256color") != nullptr)
        return ColourMode::PALETTE256;
    return ColourMode::PLAIN;
}

namespace {

int cube_level(uint8_t v) { return v < 48 ? 0 : v < 115 ? 1 : (v - 35) / 40; }

void colour(std::string& out, bool background, Rgb c, ColourMode mode)
{
    char buf[32];
    if (mode == ColourMode::TRUECOLOR) {
        std::snprintf(buf, sizeof buf, "\x1b[%d;2;%d;%d;%dm", background ? 48 : 38, c.r, c.g, c.b);
    } else {
        const int idx = 16 + 36 * cube_level(c.r) + 6 * cube_level(c.g) + cube_level(c.b);
        std::snprintf(buf, sizeof buf, "\x1b[%d;5;%dm", background ? 48 : 38, idx);
    }
    out += buf;
}

// What the terminal shows for an OSD cell's character.
const char* cell_text(char c) { return c == '%' ? ">" : nullptr; }

}  // namespace

std::string view_term_line(const ViewState& v, int row, ColourMode mode, int pic_cols, int pic_rows)
{
    std::string out;
    const PictureRegs p = picture_regs_from(v.regs);
    const int osd_row = row - (pic_rows - 8) / 2;
    const bool osd_line = v.osd_on && osd_row >= 0 && osd_row < 8;
    const int osd_left = (pic_cols - 32) / 2;
    for (int col = 0; col < pic_cols; ++col) {
        const Rgb top = apply_picture(p, test_card(col, row * 2, pic_cols, pic_rows * 2));
        const Rgb bottom = apply_picture(p, test_card(col, row * 2 + 1, pic_cols, pic_rows * 2));
        const int osd_col = col - osd_left;
        char ch = ' ';
        if (osd_line && osd_col >= 0 && osd_col < 32)
            ch = v.grid[osd_row][osd_col];
        if (mode == ColourMode::PLAIN) {
            if (ch != ' ') {
                const char* t = cell_text(ch);
                out += t ? t : std::string(1, ch);
            } else if (osd_line && osd_col >= 0 && osd_col < 32) {
                out += ' ';  // keep the text readable: no shading around it
            } else {
                static constexpr char SHADES[] = " .:-=+*#%@";
                const double l = (luma_of(top) + luma_of(bottom)) / 2;
                out += SHADES[static_cast<int>(l * 9.99 / 255.0)];
            }
            continue;
        }
        if (ch != ' ') {
            const Rgb mid = {static_cast<uint8_t>((top.r + bottom.r) / 2), static_cast<uint8_t>((top.g + bottom.g) / 2),
                             static_cast<uint8_t>((top.b + bottom.b) / 2)};
            // White text on a darkened picture, as the OSD's glyph shadow does.
            colour(out, true, {static_cast<uint8_t>(mid.r / 3), static_cast<uint8_t>(mid.g / 3), static_cast<uint8_t>(mid.b / 3)}, mode);
            colour(out, false, {255, 255, 255}, mode);
            out += "\x1b[1m";
            const char* t = cell_text(ch);
            out += t ? t : std::string(1, ch);
            out += "\x1b[22m";
        } else {
            colour(out, false, top, mode);
            colour(out, true, bottom, mode);
            out += "\xe2\x96\x80";  // upper half block
        }
    }
    if (mode != ColourMode::PLAIN)
        out += "\x1b[0m";
    return out;
}

namespace {

// The width the panel's lines are written for; beside the picture it gets
// at least this much, else it goes under the picture.
constexpr int PANEL_COLS = 41;

// The help line, from the whole to the shortest.
const std::string HELP[] = {
    "arrows: move/adjust   p: PLAY down/up (hold 3 s to leave)   b: BACK   B: BACK long   4 5: buttons   q: quit",
    "arrows: move/adjust  p: PLAY down/up (hold 3 s: leave)  b: BACK  q: quit",
    "arrows  p: PLAY  b: BACK  q: quit",
};

// Printable ASCII only, cut to the width: a tab or an escape in the
// program's own lines would move the cursor.
std::string fit(const std::string& text, int width)
{
    std::string out;
    for (const char c : text) {
        if (static_cast<int>(out.size()) >= width)
            break;
        out += c == '\t' ? ' ' : c >= 0x20 && c < 0x7f ? c : '?';
    }
    return out;
}

template <size_t N>
std::string longest_fitting(const std::string (&texts)[N], int width)
{
    for (const std::string& t : texts) {
        if (static_cast<int>(t.size()) <= width)
            return t;
    }
    return fit(texts[N - 1], width);
}

// The screen's parts from the top.
enum Part { TITLE, GAP_TOP, PIC, PANEL, GAP_MID, HELP_LINE, NOTE, ERR_HEAD, ERR, PARTS };
constexpr int ALL = 1000;

// Rows are handed out in this order: first the menu itself (the picture at
// its smallest), then what the wearer needs to act, then diagnostics, and
// blank lines last.
constexpr struct {
    Part part;
    int upto;
} GROW[] = {
    {NOTE, 1}, {HELP_LINE, 1}, {TITLE, 1}, {PIC, 12}, {PANEL, 6}, {ERR_HEAD, 1}, {ERR, 2},
    {PIC, PIC_ROWS}, {PANEL, ALL}, {ERR, ERR_LINES}, {GAP_TOP, 1}, {GAP_MID, 1},
};

int rows_used(const int (&n)[PARTS], bool beside)
{
    const int upper = beside ? std::max(n[PIC], n[PANEL]) : n[PIC] + n[PANEL];
    return n[TITLE] + n[GAP_TOP] + upper + n[GAP_MID] + n[HELP_LINE] + n[NOTE] + n[ERR_HEAD] + n[ERR];
}

}  // namespace

std::string view_frame(const ViewState& v, const ScreenText& text, int cols, int rows, ColourMode mode)
{
    std::string out;
    if (cols < 1 || rows < 1)
        return out;
    int y = 0;
    // Every row from its first column; the rest of a short row is erased,
    // a full one is left alone (erasing there would take its last cell).
    auto move_to = [&](int row) {
        char cup[24];
        std::snprintf(cup, sizeof cup, "\x1b[%d;1H", row + 1);
        out += cup;
    };
    auto put = [&](const std::string& s, int width) {
        move_to(y);
        out += s;
        if (width < cols)
            out += "\x1b[K";
        ++y;
    };
    // Text rows stand in from the left edge by a margin.
    auto put_text = [&](int margin, const std::string& s) {
        std::string t(static_cast<size_t>(std::min(margin, cols)), ' ');
        t += fit(s, cols - static_cast<int>(t.size()));
        put(t, static_cast<int>(t.size()));
    };

    if (cols < 1 + PIC_MIN_COLS || rows < PIC_MIN_ROWS) {
        char need[40];
        std::snprintf(need, sizeof need, "%d x %d", 1 + PIC_MIN_COLS, PIC_MIN_ROWS);
        const std::string asks[] = {std::string("avmenu-sim: please make the window at least ") + need +
                                        " to show the menu",
                                    std::string("enlarge the window to ") + need, "enlarge the window"};
        const std::string t = longest_fitting(asks, cols);
        put(t, static_cast<int>(t.size()));
    } else {
        const bool beside = cols >= 1 + PIC_MIN_COLS + 2 + PANEL_COLS;
        const int pic_cols = std::min(PIC_COLS, beside ? cols - 3 - PANEL_COLS : cols - 1);
        int n[PARTS] = {};
        n[PIC] = PIC_MIN_ROWS;
        const int limit[PARTS] = {1, 1, PIC_ROWS, static_cast<int>(text.panel.size()), 1, 1, 1, 1, ERR_LINES};
        for (const auto& g : GROW) {
            while (n[g.part] < std::min(g.upto, limit[g.part])) {
                ++n[g.part];
                if (rows_used(n, beside) > rows) {
                    --n[g.part];
                    break;
                }
            }
        }

        if (n[TITLE])
            put_text(1, text.title);
        if (n[GAP_TOP])
            put("", 0);
        const int upper = beside ? std::max(n[PIC], n[PANEL]) : n[PIC];
        for (int r = 0; r < upper; ++r) {
            std::string s(1, ' ');
            s += r < n[PIC] ? view_term_line(v, r, mode, pic_cols, n[PIC]) : std::string(static_cast<size_t>(pic_cols), ' ');
            int width = 1 + pic_cols;
            if (beside && r < n[PANEL]) {
                const std::string t = fit(text.panel[r], cols - width - 2);
                s += "  ";
                s += t;
                width += 2 + static_cast<int>(t.size());
            }
            put(s, width);
        }
        for (int i = 0; !beside && i < n[PANEL]; ++i)
            put_text(1, text.panel[i]);
        if (n[GAP_MID])
            put("", 0);
        if (n[HELP_LINE])
            put_text(1, text.help.empty() ? longest_fitting(HELP, cols - 1) : fit(text.help, cols - 1));
        if (n[NOTE])
            put_text(1, text.note);
        if (n[ERR_HEAD])
            put_text(1, "standard error:");
        const int first = std::max(0, static_cast<int>(text.err.size()) - n[ERR]);
        for (int i = 0; i < n[ERR]; ++i) {
            const int at = first + i;
            put_text(3, at < static_cast<int>(text.err.size()) ? text.err[static_cast<size_t>(at)] : "");
        }
    }
    if (y < rows) {
        move_to(y);
        out += "\x1b[J";
    }
    return out;
}
