// Whole sessions under faults. A patient wearer presses the next key only
// once the menu has gone quiet, so one script serves any fault rate; an
// audit rebuilds the OSD cell writes from the wire. Both run inside the
// program's process from the goggles' sleep hook and keep their state in a
// shared mapping, so the test reads it after the run.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <regex>
#include <utility>

#include "app/avmenu.h"
#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "support.h"
#include "video/picture.h"

enum StepKind { HOLD, CLEAN, KILL_SERVICE };
struct Step { StepKind kind; uint32_t raw, ms; };  // HOLD: this raw word on the key input for ms
inline Step key(int k, uint32_t ms = 200) { return {HOLD, vg_key_raw(k), ms}; }

struct Tally {
    Step steps[32];
    int step_count, step, quiet_turns, service_pid;
    uint64_t busy_until_us, kill_at_us, total_at_step[32], us_at_step[32];  // when each step began
    bool service_seen_stopped, lost;  // lost: a message gone before the audit read it
    char screen_at_exit[8 * 33];  // as the wearer saw it before the last key
    uint8_t saturation_at_exit;
    // The audit. An attempt on the wire: select, row (verified mode), column,
    // data, status reads, select, read-back; a call is up to four attempts on
    // one cell and ends written or failed.
    uint64_t cursor;
    // placed: the row and column writes went through
    struct Attempt { bool on, placed; int cell, data, status_reads; } at;
    int max_status_reads, call_cell, streak;
    // abandoned: an attempt cut short, or a call given up before its fourth
    // attempt; stray_data: data sent although the cell was not selected.
    long writes, fails, abandoned, stray_data;
};

inline Tally& tally()
{
    static auto* t =
        static_cast<Tally*>(mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return *t;
}

// Reads the transcript from the audit's cursor to the newest message.
inline void audit_wire()
{
    Tally& t = tally();
    const uint64_t total = vg()->i2c.total;
    t.lost |= total - t.cursor > VG_TRANSCRIPT_SIZE;
    for (; t.cursor < total; ++t.cursor) {
        const VgI2cMessage* m = vg_i2c_message(t.cursor);
        if (m == nullptr || m->cmd == RI2C_CMD_SELECT)
            continue;
        const uint8_t* p = m->payload;
        const bool vproc = p[0] == VPROC_BUS && p[4] == VPROC_ADDR, ok = m->result == 0;
        const bool write = vproc && m->cmd == RI2C_CMD_WRITE && p[8] == 3;
        const bool read = vproc && m->cmd == RI2C_CMD_WRITE_READ && p[8] == 2 && p[12] == 1;
        const int reg = write ? p[12] | p[13] << 8 : read ? p[16] | p[17] << 8 : -1;
        if (write && reg == OSD_REG_CELL_ROW && (p[14] & 0x0F) == OSD_ROW_MODE_VERIFIED) {
            t.abandoned += t.at.on;
            t.at = {true, ok, (p[14] >> 4) * 32, -1, 0};
        } else if (t.at.on && write && reg == OSD_REG_CELL_COL) {
            t.at.cell += p[14];
            t.at.placed = t.at.placed && ok;
        } else if (t.at.on && write && reg == OSD_REG_CELL_DATA) {
            t.at.data = p[14];
        } else if (t.at.on && read && reg == OSD_REG_STATUS) {
            t.max_status_reads = std::max(t.max_status_reads, ++t.at.status_reads);
        } else if (t.at.on && read && reg == OSD_REG_CELL_DATA) {
            t.at.on = false;
            t.stray_data += t.at.data >= 0 && !t.at.placed;
            if (t.at.cell != t.call_cell) {  // a new call
                t.abandoned += t.streak != 0;
                t.streak = 0;
                t.call_cell = t.at.cell;
            }
            const bool written = t.at.placed && ok && m->reply_len == 1 && m->reply[0] == t.at.data;
            t.writes += written;
            t.fails += !written && ++t.streak == 4;
            t.streak = written || t.streak == 4 ? 0 : t.streak;
        } else {  // anything else ends the cell write, which must have reached its verdict
            t.abandoned += t.at.on + (t.streak != 0);
            t.at.on = false;
            t.streak = 0;
        }
    }
}

// The sleep hook: runs in the program's process before each of its sleeps.
inline void on_sleep(uint64_t usec)
{
    Tally& t = tally();
    VgWorld* w = vg();
    audit_wire();
    if (t.kill_at_us != 0 && w->now_us >= t.kill_at_us)
        kill(getpid(), SIGKILL);
    const bool loop = usec == 30000;  // a turn of the main loop
    t.quiet_turns = loop ? t.quiet_turns + 1 : 0;
    t.service_seen_stopped |= loop && t.service_pid > 0 && process_stopped(t.service_pid);
    if (t.step >= t.step_count || w->now_us < t.busy_until_us || t.quiet_turns < 8 ||
        (t.steps[t.step].kind == KILL_SERVICE && !t.service_seen_stopped))  // killed once seen paused
        return;
    t.total_at_step[t.step] = w->i2c.total;
    t.us_at_step[t.step] = w->now_us;
    const Step& s = t.steps[t.step++];
    if (s.kind == HOLD) {
        if (t.step == t.step_count) {  // the last key leaves
            std::snprintf(t.screen_at_exit, sizeof t.screen_at_exit, "%s", vg_screen().c_str());
            t.saturation_at_exit = w->vp.regs[0x0892];
        }
        const uint64_t now_ms = (w->now_us - w->start_us) / 1000 + 1;
        vg_raw_hold(s.raw, now_ms, s.ms);
        t.busy_until_us = w->start_us + (now_ms + s.ms + 100) * 1000;
    } else if (s.kind == CLEAN) {  // transport and engine faults end; ADC rejects stay
        w->i2c.faults.fail_all = w->i2c.faults.fail_reads = false;
        w->i2c.faults.fail_ppm = 0;
        w->vp.busy_stuck = w->vp.readback_always_wrong = false;
    } else if (t.service_pid > 0) {
        kill(t.service_pid, SIGKILL);
    }
}

using Values = std::array<int, 4>;

// RIGHT on item 0, LEFT on 1, RIGHT on 2, LEFT on 3, the faults end, UP to
// item 2 and RIGHT again, leave. PLAY is held past the 3 s, as a wearer
// would when refused conversions delay the press by a few polls.
inline std::vector<Step> script(bool play, std::vector<Step> s = {})
{
    for (int k : {KEY_RIGHT, KEY_DOWN, KEY_LEFT, KEY_DOWN, KEY_RIGHT, KEY_DOWN, KEY_LEFT, -1, KEY_UP, KEY_RIGHT})
        s.push_back(k < 0 ? Step {CLEAN, 0, 0} : key(k));
    s.push_back(play ? key(KEY_PLAY, 3500) : key(KEY_BACK));
    return s;
}

inline Values after_script(const Values& v)
{
    return {std::clamp(v[0] + 5, 0, 100), std::clamp(v[1] - 5, 0, 100), std::clamp(v[2] + 10, 0, 100),
            std::clamp(v[3] - 5, 0, 100)};
}

inline std::string line_of(const Values& v)
{
    return std::to_string(v[0]) + ' ' + std::to_string(v[1]) + ' ' + std::to_string(v[2]) + ' ' +
           std::to_string(v[3]) + '\n';
}

class FaultSession : public Goggles {
protected:
    int service = -1;
    static inline long sessions = 0, transfers = 0, i2c_failures = 0, cell_writes = 0, cell_fails = 0;

    void TearDown() override
    {
        end_standin(service);
        Goggles::TearDown();
    }

    static void TearDownTestSuite()  // scripts/reliability reads this line
    {
        if (sessions > 0)
            std::printf("[figures] %s: sessions=%ld transfers=%ld i2c_failures=%ld cell_writes=%ld cell_fails=%ld\n",
                        AVMENU_FULL ? "full program" : "reduced program", sessions, transfers, i2c_failures,
                        cell_writes, cell_fails);
    }

    // Fresh goggles with an empty card, the settings folder present, and the
    // wearer ready with these steps.
    void fresh(const std::vector<Step>& steps)
    {
        vg_reset();
        vg()->limit_us = vg()->start_us + 1800ull * 1000 * 1000;  // room for every transfer failing
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        ASSERT_EQ(system(("chmod -R u+w '" + card_root + "'; rm -rf '" + card_root + "/record'; mkdir -p '" +
                          card_root + "/record/velmo-x/apps/VelmoX-AVMenu'").c_str()), 0);
        std::memset(&tally(), 0, sizeof(Tally));
        std::copy(steps.begin(), steps.end(), tally().steps);
        tally().step_count = static_cast<int>(steps.size());
        tally().service_pid = service;
        vg_set_sleep_hook(on_sleep);
    }

    // What every session must show: status 0 with the whole script done; the
    // exit line last, its counters equal to the cell writes on the wire; the
    // item rows exact before leaving (redrawn once the faults stopped) and
    // every row blank after. Title and footer, drawn once, may miss cells
    // whose writes all failed: before the exit they show nothing but their
    // own characters, and the exit blanking clears whatever landed.
    void check(const VgRun& r, bool play, const Values& v)
    {
        const Tally& t = tally();
        EXPECT_EQ(r.status, 0) << r.err << " at " << vg_elapsed_ms() << " ms";
        EXPECT_EQ(t.step, t.step_count) << "the script did not run to its end";
        EXPECT_EQ(r.err.find("exit: PLAY held 3 s\n") != std::string::npos, play) << r.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.err, m, std::regex(R"((^|\n)avmenu: wyjscie \(writes=(\d+) fail=(\d+)\)\n$)")))
            << r.err;
        EXPECT_FALSE(t.lost);
        EXPECT_EQ(t.abandoned, 0) << "a cell write stopped before its verdict or its fourth attempt";
        EXPECT_EQ(t.stray_data, 0) << "cell data sent while another cell was selected";
        EXPECT_EQ(std::stol(m[2]), t.writes);
        EXPECT_EQ(std::stol(m[3]), t.fails);
        EXPECT_LE(t.max_status_reads, 50);
        cell_writes += t.writes;
        cell_fails += t.fails;

        static const char* const LABELS[] = {"BRIGHTNESS", "CONTRAST", "SATURATION", "HUE"};
        char items[4][40];
        for (int i = 0; i < 4; ++i)
            std::snprintf(items[i], sizeof items[i], "     %c%-18s%03d     ", i == 2 ? '%' : ' ', LABELS[i], v[i]);
        const std::string blank(32, ' ');
        const std::string want[8] = {"      VELMO X : AV MENU         ", blank, items[0], items[1], items[2], items[3],
                                     blank, "UP:DW NAV LT:RT SET PLAY3:EXIT  "};
        const auto before = split_lines(t.screen_at_exit), after = split_lines(vg_screen());
        ASSERT_EQ(before.size(), 8u) << "the last key never came";
        for (size_t row = 0; row < 8; ++row) {
            auto own = [&](const std::string& seen) {
                return std::equal(seen.begin(), seen.end(), want[row].begin(), want[row].end(),
                                  [](char s, char w) { return s == ' ' || s == w; });
            };
            const bool item = row >= 2 && row <= 5;
            EXPECT_TRUE(item ? before[row] == want[row] : own(before[row])) << "row " << row << ": " << before[row];
            EXPECT_EQ(after[row], blank) << "row " << row << " at exit";
        }
        EXPECT_EQ(t.saturation_at_exit, picture_byte(0x0892, v[2]));  // set after the faults
    }

    struct Row {
        std::string name;
        std::function<void()> setup = [] {};  // on fresh goggles, faults from transfer 6 on
        Values start = {50, 50, 50, 50};       // the values the menu starts from
        std::vector<Step> before = {};         // steps ahead of the script
        bool saves = true;                     // false: the settings file stays as it was
        std::string note = "";                 // a line standard error holds note_times times
        long note_times = 0;
        std::function<void()> after = [] {};
        VgEntry entry = avmenu_main;
    };

    // Each row twice, left by PLAY and by BACK. The reduced program keeps no
    // settings and has no buzzer: it touches neither card nor PWM.
    void run_rows(const std::vector<Row>& rows)
    {
        uint64_t seed = 1;
        for (const Row& row : rows) {
            for (bool play : {true, false}) {
                SCOPED_TRACE(row.name + (play ? ", left by PLAY" : ", left by BACK"));
                end_standin(std::exchange(service, -1));
                fresh(script(play, row.before));
                vg_seed(seed++);
                vg()->i2c.faults.from_message = 6;  // after the input-mode probe, which would refuse the start
                row.setup();
                tally().service_pid = service;
                const std::string old = read_settings();
                const VgRun r = vg_run(row.entry, nullptr, 0);
                audit_wire();  // the messages after the program's last sleep
                sessions += 1;
                transfers += static_cast<long>(vg()->i2c.total);
                i2c_failures += static_cast<long>(vg()->i2c.failed);
                check(r, play, after_script(row.start));
                EXPECT_EQ(read_settings(), row.saves && AVMENU_FULL ? line_of(after_script(row.start)) : old);
                EXPECT_EQ(row.note.empty() ? 0 : std::ranges::count(split_lines(r.err), row.note), row.note_times);
                EXPECT_TRUE(AVMENU_FULL || (vg()->card.opens == 0 && vg()->pwm.log_count == 0));
                row.after();
            }
        }
    }

    // Transfer failures at the given rates, failing reads, a stuck busy bit,
    // wrong read-backs: all end at the script's clean step, and must have
    // shown on the wire.
    static std::vector<Row> transport_rows(std::initializer_list<uint32_t> percents)
    {
        std::vector<Row> rows;
        for (uint32_t p : percents)
            rows.push_back({std::to_string(p) + " % of transfers fail",
                            [p] { vg()->i2c.faults.fail_ppm = p * 10000; }});
        rows.push_back({"every read fails", [] { vg()->i2c.faults.fail_reads = true; }});
        rows.push_back({"busy bit stuck", [] { vg()->vp.busy_stuck = true; }});
        rows.push_back({"read-backs always wrong", [] { vg()->vp.readback_always_wrong = true; }});
        for (Row& r : rows)
            r.after = [] { EXPECT_TRUE(vg()->i2c.failed || tally().max_status_reads == 50 || tally().fails); };
        return rows;
    }
};
