// A fixture for whole sessions under faults, shared by the fault matrices
// of both programs: the standard script, the screen it must leave, and the
// checks every session must pass.
#pragma once

#include <cstdio>
#include <regex>

#include "app/avmenu.h"
#include "support.h"
#include "video/picture.h"
#include "wearer.h"

namespace fault_session {

using wearer::Step;

enum class Leave { PLAY, BACK };

struct Figures {
    int sessions = 0;
    uint64_t i2c_failures = 0;
    uint64_t transfers = 0;
    long cell_writes = 0, cell_fails = 0;
};
inline Figures figures;

inline std::string blank() { return std::string(32, ' '); }

inline std::string item_row(const char* label, int pad, int value, bool selected)
{
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03d", value);
    return std::string(5, ' ') + (selected ? '%' : ' ') + label + std::string(static_cast<size_t>(pad), ' ') +
           digits + std::string(5, ' ');
}

// The menu as it must stand once the script below has run from these values:
// SATURATION (item 2) selected.
inline std::vector<std::string> menu_lines(const int v[4])
{
    return {"      VELMO X : AV MENU         ",
            blank(),
            item_row("BRIGHTNESS", 8, v[0], false),
            item_row("CONTRAST", 10, v[1], false),
            item_row("SATURATION", 8, v[2], true),
            item_row("HUE", 15, v[3], false),
            blank(),
            "UP:DW NAV LT:RT SET PLAY3:EXIT  "};
}

inline int clamp(int v) { return v < 0 ? 0 : (v > 100 ? 100 : v); }

// RIGHT on item 0, LEFT on 1, RIGHT on 2, LEFT on 3, then (faults over)
// UP to item 2 and RIGHT: every value changes, item 2 twice.
inline void expected_values(const int start[4], int out[4])
{
    out[0] = clamp(start[0] + 5);
    out[1] = clamp(start[1] - 5);
    out[2] = clamp(start[2] + 10);
    out[3] = clamp(start[3] - 5);
}

inline std::vector<Step> script(Leave leave, std::vector<Step> before_clean = {})
{
    std::vector<Step> s = before_clean;
    for (Step k : {wearer::key(KEY_RIGHT), wearer::key(KEY_DOWN), wearer::key(KEY_LEFT), wearer::key(KEY_DOWN),
                   wearer::key(KEY_RIGHT), wearer::key(KEY_DOWN), wearer::key(KEY_LEFT)})
        s.push_back(k);
    s.push_back(wearer::clean());
    s.push_back(wearer::key(KEY_UP));
    s.push_back(wearer::key(KEY_RIGHT));
    // PLAY is held a little past the 3 s, as a wearer would when refused
    // conversions delay the press by a few polls.
    s.push_back(leave == Leave::PLAY ? wearer::key(KEY_PLAY, 3500) : wearer::key(KEY_BACK));
    return s;
}

class FaultSession : public Goggles {
protected:
    int service = -1;

    void TearDown() override
    {
        vg_set_sleep_hook(nullptr);
        wearer::end_stand_in(service);
        Goggles::TearDown();
    }

    static void TearDownTestSuite()
    {
        std::printf("[figures] %s: sessions=%d transfers=%llu i2c_failures=%llu cell_writes=%ld cell_fails=%ld\n",
                    AVMENU_FULL ? "full program" : "reduced program", figures.sessions,
                    static_cast<unsigned long long>(figures.transfers),
                    static_cast<unsigned long long>(figures.i2c_failures), figures.cell_writes, figures.cell_fails);
    }

    // Fresh goggles and card between the rows of one test.
    void fresh()
    {
        wearer::end_stand_in(service);
        service = -1;
        wearer::fresh_goggles(card_root);
    }

    VgRun session(const std::vector<Step>& steps, VgEntry entry = avmenu_main)
    {
        wearer::prepare(steps, service);
        VgRun r = vg_run(entry, nullptr, 0);
        vg_set_sleep_hook(nullptr);
        wearer::audit_wire();  // the messages after the program's last sleep
        ++figures.sessions;
        figures.i2c_failures += vg()->i2c.failed;
        figures.transfers += vg()->i2c.total;
        return r;
    }

    // What holds for every row: status 0, the exit line last, the counters
    // equal to the cell writes seen on the wire, every step of the script
    // done.
    void expect_clean_exit(const VgRun& r, Leave leave)
    {
        EXPECT_EQ(r.status, 0) << r.err << " step " << wearer::tally().step << " of " << wearer::tally().step_count
                               << " at " << vg_elapsed_ms() << " ms";
        const auto lines = split_lines(r.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(std::regex_match(lines.back(), std::regex(R"(avmenu: wyjscie \(writes=\d+ fail=\d+\))")))
            << lines.back();
        EXPECT_EQ(r.err.back(), '\n');
        EXPECT_EQ(r.err.find("exit: PLAY held 3 s\n") != std::string::npos, leave == Leave::PLAY) << r.err;
        long writes = -1, fails = -1;
        ASSERT_TRUE(wearer::exit_counters(r.err, &writes, &fails));
        const wearer::Audit& a = wearer::tally().audit;
        EXPECT_FALSE(a.lost);
        EXPECT_EQ(a.abandoned, 0) << "a cell write stopped before its verdict or its fourth attempt";
        EXPECT_EQ(a.stray_data, 0) << "cell data sent while another cell was selected";
        EXPECT_EQ(writes, a.writes);
        EXPECT_EQ(fails, a.fails);
        EXPECT_EQ(writes + fails, a.writes + a.fails);
        EXPECT_LE(a.max_status_reads, OSD_BUSY_READS);
        figures.cell_writes += writes;
        figures.cell_fails += fails;
        EXPECT_EQ(wearer::tally().step, wearer::tally().step_count) << "the script did not run to its end";
    }

    // After the exit blanking the item rows are empty. A title or footer
    // cell whose four attempts all failed the read-back may still have taken
    // its glyph; its shadow kept the blank, so the blanking skips it: such
    // leftovers are the menu's own characters, never anything else.
    void expect_blank_at_exit(const int values[4])
    {
        const auto menu = menu_lines(values);
        const auto screen = split_lines(vg_screen());
        ASSERT_EQ(screen.size(), 8u);
        for (size_t row = 0; row < 8; ++row) {
            if (row >= 2 && row <= 5) {
                EXPECT_EQ(screen[row], blank()) << "row " << row;
                continue;
            }
            for (size_t c = 0; c < 32; ++c)
                EXPECT_TRUE(screen[row][c] == ' ' || screen[row][c] == menu[row][c]) << "row " << row << " column " << c;
        }
    }

    // The screen the wearer saw before leaving: the item rows exact (they
    // were redrawn after the faults ended); the title and footer rows, never
    // redrawn, may miss cells whose writes all failed but show nothing wrong.
    void expect_menu_healed(const int values[4])
    {
        ASSERT_TRUE(wearer::tally().exit_snapshot_taken);
        const auto want = menu_lines(values);
        for (int row = 0; row < 8; ++row) {
            std::string seen;
            for (int c = 0; c < 32; ++c)
                seen += vg_glyph_char(wearer::tally().visible_at_exit[row * 32 + c]);
            if (row >= 2 && row <= 5) {
                EXPECT_EQ(seen, want[static_cast<size_t>(row)]) << "row " << row;
                continue;
            }
            for (int c = 0; c < 32; ++c) {
                const char w = want[static_cast<size_t>(row)][static_cast<size_t>(c)];
                EXPECT_TRUE(seen[static_cast<size_t>(c)] == w || seen[static_cast<size_t>(c)] == ' ')
                    << "row " << row << " column " << c << " shows '" << seen[static_cast<size_t>(c)] << "'";
            }
        }
        // Saturation was written after the faults ended.
        EXPECT_EQ(wearer::tally().picture_at_exit[2], picture_byte(0x0892, values[2]));
        expect_blank_at_exit(values);
    }

    static std::string line_of(const int v[4])
    {
        char line[64];
        std::snprintf(line, sizeof line, "%d %d %d %d\n", v[0], v[1], v[2], v[3]);
        return line;
    }
};

inline const int DEFAULTS[4] = {50, 50, 50, 50};

}  // namespace fault_session
