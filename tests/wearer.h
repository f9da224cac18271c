// Tools for whole sessions under faults: a patient wearer who presses the
// next key only once the menu has gone quiet (so the same script works at
// any fault rate), an audit of the OSD cell writes rebuilt from the wire,
// and stand-ins for the stock service.
//
// The wearer and the audit run inside the program's process, from the
// virtual goggles' sleep hook; their state lives in a shared mapping so the
// test reads it after the run.
#pragma once

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "support.h"
#include "video/osd.h"
#include "vgoggles/vgoggles.h"

namespace wearer {

enum StepKind { KEY, RAW, CLEAN, KILL_SERVICE };

struct Step {
    StepKind kind;
    int key;       // KEY
    uint32_t raw;  // RAW: a fixed raw word on the key input
    uint32_t ms;   // KEY: hold; RAW: how long
};

constexpr int MAX_STEPS = 32;
constexpr uint64_t LOOP_SLEEP_US = 30000;
constexpr int QUIET_TURNS = 8;  // loop turns with nothing else going on

// The OSD cell writes as the wire shows them: every attempt of a cell write
// is select, row (mode 11), column, data, status reads, select, read-back.
struct Audit {
    uint64_t cursor;
    bool lost;             // the transcript wrapped before it was read
    bool in_attempt;
    int row, col, data;
    bool placed;           // row and column writes both went through
    bool data_sent;
    int status_reads;
    bool call_open;
    int call_row, call_col, call_data, call_attempts;
    long writes, fails, attempts;
    long abandoned;        // a call given up before its 4th attempt, or left half done
    long stray_data;       // data sent although the cell was not selected
    int max_status_reads;
};

struct Tally {
    Step steps[MAX_STEPS];
    int step_count;
    int step;
    int quiet_turns;
    uint64_t busy_until_us;
    uint64_t override_until_us;
    int service_pid;
    bool service_seen_stopped;
    bool exit_snapshot_taken;
    uint8_t visible_at_exit[OSD_CELLS];
    uint8_t picture_at_exit[4];
    uint64_t kill_at_us;   // SIGKILL the program at this virtual time; 0: off
    uint64_t first_loop_total;  // transfers when the main loop first slept
    uint64_t first_loop_us;
    uint64_t total_at_step[MAX_STEPS];  // transfers when each step began
    Audit audit;
};

inline Tally& tally()
{
    static Tally* t = [] {
        void* p = mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            std::abort();
        return static_cast<Tally*>(p);
    }();
    return *t;
}

inline uint32_t word(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }

inline void close_call(Audit& a)
{
    if (a.call_open)
        ++a.abandoned;
    a.call_open = false;
}

inline void end_attempt(Audit& a, bool read_ok, uint8_t reply)
{
    a.in_attempt = false;
    ++a.attempts;
    if (a.status_reads > a.max_status_reads)
        a.max_status_reads = a.status_reads;
    // An attempt whose cell was not selected sends no data: it belongs to
    // the open call on the same cell.
    const bool same_data = a.call_data == a.data || a.call_data < 0 || a.data < 0;
    if (a.call_open && a.call_row == a.row && a.call_col == a.col && same_data && a.call_attempts < 4) {
        ++a.call_attempts;
        if (a.call_data < 0)
            a.call_data = a.data;
    } else {
        close_call(a);
        a.call_open = true;
        a.call_row = a.row;
        a.call_col = a.col;
        a.call_data = a.data;
        a.call_attempts = 1;
    }
    if (a.placed && read_ok && reply == a.data) {
        ++a.writes;
        a.call_open = false;
    } else if (a.call_attempts == 4) {
        ++a.fails;
        a.call_open = false;
    }
}

// Reads the transcript from the audit's cursor to the newest message.
inline void audit_wire()
{
    Audit& a = tally().audit;
    const uint64_t total = vg()->i2c.total;
    if (total - a.cursor > VG_TRANSCRIPT_SIZE) {
        a.lost = true;
        a.cursor = total - VG_TRANSCRIPT_SIZE;
    }
    for (; a.cursor < total; ++a.cursor) {
        const VgI2cMessage* m = vg_i2c_message(a.cursor);
        if (m == nullptr)
            continue;
        if (m->cmd == RI2C_CMD_SELECT)
            continue;  // the select before each half of an attempt
        const uint8_t* p = m->payload;
        const bool to_vproc = word(p) == VPROC_BUS && word(p + 4) == VPROC_ADDR;
        const bool ok = m->result == 0;
        if (to_vproc && m->cmd == RI2C_CMD_WRITE && word(p + 8) == 3) {
            const int reg = p[12] | (p[13] << 8), val = p[14];
            if (reg == OSD_REG_CELL_ROW && (val & 0x0F) == OSD_ROW_MODE_VERIFIED) {
                if (a.in_attempt)
                    ++a.abandoned;
                a.in_attempt = true;
                a.row = val >> 4;
                a.col = -1;
                a.data = -1;
                a.placed = ok;
                a.data_sent = false;
                a.status_reads = 0;
                continue;
            }
            if (a.in_attempt && reg == OSD_REG_CELL_COL) {
                a.col = val;
                a.placed = a.placed && ok;
                continue;
            }
            if (a.in_attempt && reg == OSD_REG_CELL_DATA) {
                a.data = val;
                a.data_sent = true;
                continue;
            }
        } else if (to_vproc && m->cmd == RI2C_CMD_WRITE_READ && word(p + 8) == 2 && word(p + 12) == 1) {
            const int reg = p[16] | (p[17] << 8);
            if (a.in_attempt && reg == OSD_REG_STATUS) {
                ++a.status_reads;
                continue;
            }
            if (a.in_attempt && reg == OSD_REG_CELL_DATA) {
                if (a.data_sent && !a.placed)
                    ++a.stray_data;
                end_attempt(a, ok && m->reply_len == 1, m->reply[0]);
                continue;
            }
        }
        // Anything else ends a cell write: an attempt cut short or a call
        // that stopped before its fourth attempt is a counting fault.
        if (a.in_attempt) {
            ++a.abandoned;
            a.in_attempt = false;
        }
        close_call(a);
    }
}

// Ends the transport and video-processor faults; ADC rejects stay on.
inline void clean_faults()
{
    VgWorld* w = vg();
    w->i2c.faults.fail_all = false;
    w->i2c.faults.fail_reads = false;
    w->i2c.faults.fail_ppm = 0;
    w->vp.busy_stuck = false;
    w->vp.readback_always_wrong = false;
    w->vp.wrong_readbacks = 0;
}

// The sleep hook: runs in the program's process before each of its sleeps.
inline void on_sleep(uint64_t usec)
{
    Tally& t = tally();
    VgWorld* w = vg();
    audit_wire();
    if (t.kill_at_us != 0 && w->now_us >= t.kill_at_us)
        kill(getpid(), SIGKILL);
    if (t.override_until_us != 0 && w->now_us >= t.override_until_us) {
        w->adc.override_raw = false;
        t.override_until_us = 0;
    }
    t.quiet_turns = usec == LOOP_SLEEP_US ? t.quiet_turns + 1 : 0;
    if (usec == LOOP_SLEEP_US && t.first_loop_total == 0) {
        t.first_loop_total = w->i2c.total;
        t.first_loop_us = w->now_us;
    }
    if (usec == LOOP_SLEEP_US && t.service_pid > 0 && process_stopped(t.service_pid))
        t.service_seen_stopped = true;
    if (t.step >= t.step_count || w->now_us < t.busy_until_us || t.quiet_turns < QUIET_TURNS)
        return;

    t.total_at_step[t.step] = w->i2c.total;
    const Step& s = t.steps[t.step++];
    const uint64_t now_ms = (w->now_us - w->start_us) / 1000 + 1;
    switch (s.kind) {
    case KEY:
        if (t.step == t.step_count) {
            // The last key leaves: this is the screen the wearer last saw.
            std::memcpy(t.visible_at_exit, w->vp.visible, OSD_CELLS);
            std::memcpy(t.picture_at_exit, &w->vp.regs[0x0890], 4);
            t.exit_snapshot_taken = true;
        }
        vg_key_hold(s.key, now_ms, s.ms);
        t.busy_until_us = w->start_us + (now_ms + s.ms + 100) * 1000;
        break;
    case RAW:
        w->adc.override_raw = true;
        w->adc.raw_value = s.raw;
        t.override_until_us = w->now_us + static_cast<uint64_t>(s.ms) * 1000;
        t.busy_until_us = t.override_until_us + 100000;
        break;
    case CLEAN:
        clean_faults();
        break;
    case KILL_SERVICE:
        if (t.service_pid > 0)
            kill(t.service_pid, SIGKILL);
        break;
    }
}

// Starts a fresh tally with the given steps and installs the hook.
inline void prepare(const std::vector<Step>& steps, int service_pid = -1)
{
    Tally& t = tally();
    std::memset(&t, 0, sizeof t);
    for (const Step& s : steps)
        t.steps[t.step_count++] = s;
    t.service_pid = service_pid;
    t.audit.cursor = vg()->i2c.total;
    vg_set_sleep_hook(on_sleep);
}

inline Step key(int k, uint32_t ms = 200) { return {KEY, k, 0, ms}; }
inline Step raw(uint32_t value, uint32_t ms) { return {RAW, 0, value, ms}; }
inline Step clean() { return {CLEAN, 0, 0, 0}; }
inline Step kill_service() { return {KILL_SERVICE, 0, 0, 0}; }

// Fresh goggles with an empty card (settings folder present) under root.
inline void fresh_goggles(const std::string& card_root)
{
    vg_set_sleep_hook(nullptr);
    vg_reset();
    vg()->limit_us = vg()->start_us + 1800ull * 1000 * 1000;  // room for every transfer failing
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
    const std::string cmd = "chmod -R u+w '" + card_root + "'; rm -rf '" + card_root + "/record'; mkdir -p '" +
                            card_root + "/record/velmo-x/apps/VelmoX-AVMenu'";
    if (system(cmd.c_str()) != 0)
        std::abort();
}

// A process that looks like the stock service by name: it only waits.
inline int start_stand_in(const char* name)
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, name);
        for (;;)
            pause();
    }
    // Wait until the kernel shows the new name, so no scan can miss it.
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(path);
        std::string comm;
        std::getline(in, comm);
        if (comm == std::string(name).substr(0, 15))
            break;
        usleep(1000);
    }
    return pid;
}

inline void end_stand_in(int pid)
{
    if (pid <= 0)
        return;
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// The two counters of the exit line, or -1 when it is missing.
inline bool exit_counters(const std::string& err, long* writes, long* fails)
{
    const auto at = err.rfind("avmenu: wyjscie (writes=");
    return at != std::string::npos && std::sscanf(err.c_str() + at, "avmenu: wyjscie (writes=%ld fail=%ld)\n", writes, fails) == 2;
}

}  // namespace wearer
