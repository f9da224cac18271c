// The main flow of either program end to end on the virtual goggles, as one
// timeline of everything the goggles see: start-up, value changes, the PLAY
// hold, both ways out and shut-down are rows of steps in order. Included by
// test_avmenu.cpp (the full program) and test_basic_avmenu.cpp (the reduced
// one); each row names the programs it holds for.
#pragma once

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "app/avmenu.h"
#include "keys/keys.h"
#include "support.h"
#include "video/picture.h"

namespace {

constexpr bool FULL = AVMENU_FULL;
const std::string VERSION = FULL ? "1.3.0" : "1.1.0";

// What the program's process saw at its first loop sleep, for the test.
struct Seen {
    int turns;                // loop sleeps so far
    int service_stopped;      // 1: the stand-in was stopped then, 2: it was not
    char fds_at_entry[256];   // the descriptors the program inherited, " 0 1 2 ..."
    char held[128];           // what it held beyond them
    char watchdog[256];       // its watchdog's surroundings
};

Seen& seen()
{
    static auto* s =
        static_cast<Seen*>(mmap(nullptr, sizeof(Seen), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    return *s;
}

int standin = -1;
uint64_t overrun_from_us = UINT64_MAX;  // the first loop sleep from then on takes overrun_us longer
uint64_t overrun_us = 0;

std::set<int> fds_of(int pid)
{
    std::set<int> fds;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] != '.' && (pid != getpid() || std::atoi(e->d_name) != dirfd(d)))
                fds.insert(std::atoi(e->d_name));
        }
        closedir(d);
    }
    return fds;
}

std::string link_of(int pid, int fd)
{
    char target[256];
    const std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "-";
}

// Descriptors of pid beyond those the program inherited, by what they are.
std::string beyond_entry(int pid)
{
    std::set<int> entry;
    std::stringstream in(seen().fds_at_entry);
    for (int fd; in >> fd;)
        entry.insert(fd);
    std::string out;
    for (int fd : fds_of(pid)) {
        if (entry.count(fd) == 0)
            out.append(out.empty() ? "" : " ").append(fd == vg()->i2c.fds[0] ? "transport" : link_of(pid, fd));
    }
    return out.empty() ? "nothing" : out;
}

int flow_entry(int argc, char** argv)
{
    std::string fds;
    for (int fd : fds_of(getpid()))
        fds.append(" ").append(std::to_string(fd));
    std::snprintf(seen().fds_at_entry, sizeof seen().fds_at_entry, "%s", fds.c_str());
    return avmenu_main(argc, argv);
}

// Runs in the program's process before each of its sleeps.
void loop_sleep_hook(uint64_t usec)
{
    if (usec != 30000)
        return;
    Seen& s = seen();
    if (s.turns++ == 0) {
        if (standin > 0)
            s.service_stopped = wait_until([] { return process_stopped(standin); }, 1000) ? 1 : 2;
        std::snprintf(s.held, sizeof s.held, "%s", beyond_entry(getpid()).c_str());
        // The watchdog sets itself up right after the fork: give it a moment.
        const int dog = vg()->timeline.forked_pid;
        std::string about = "no watchdog";
        wait_until(
            [&] {
                if (dog <= 0)
                    return true;
                about = std::string(getsid(dog) == dog ? "own session" : "the program's session") + ", stdout " +
                        link_of(dog, 1) + ", stderr " + link_of(dog, 2) + ", inherited " + beyond_entry(dog);
                return about == "own session, stdout /dev/null, stderr /dev/null, inherited transport";
            },
            2000);
        std::snprintf(s.watchdog, sizeof s.watchdog, "%s", about.c_str());
    }
    if (vg()->now_us >= overrun_from_us) {
        vg()->now_us += overrun_us;
        overrun_from_us = UINT64_MAX;
    }
}

// Step texts.
std::string hex2(int v)
{
    char b[8];
    std::snprintf(b, sizeof b, "%02x", v & 0xFF);
    return b;
}
std::string vp_write(int reg, int byte) { return "vp w " + hex2(reg >> 8) + hex2(reg) + "=" + hex2(byte); }
std::string picture(int reg, int value) { return vp_write(reg, picture_byte(reg, value)); }
std::string raw_of(int key) { return "adc ld 810=" + std::to_string(vg_key_raw(key)); }
const std::string IDLE = "adc ld 810=12";
const std::string COMMIT = vp_write(OSD_REG_COMMIT, 1);

using Steps = std::vector<std::string>;
Steps cat(std::initializer_list<Steps> parts)
{
    Steps all;
    for (const Steps& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// The poll that reports the release of a key held from the next poll on:
// its reading, then three polls that read no button.
Steps released(int key) { return {raw_of(key), IDLE, IDLE, IDLE}; }

// Start-up with these values restored (the full program) or shown.
Steps start_up(const std::array<int, 4>& v, bool from_file = false)
{
    Steps s = {">open /dev/remote_i2c",
               "i2c select 1:43", "lt w ff=e0", "lt r b7=02", "lt r ad=02", "lt r ac=01",
               "err mode: LT8668 B7=0x02 AD=0x02 AC=0x01",
               "open /dev/mem", "mmap /dev/mem 60632000", "close /dev/mem",
               "kill fpv_grd_service STOP", "fork"};
    if (FULL)
        s = cat({s, {"pwm export=7", "pwm enable=0", "pwm duty_cycle=0"}});
    s = cat({s, {"vp w 0a08=91", "vp w 0a07=04"}});  // the OSD window: its first and last register
    if (FULL) {
        // Read and closed, or not there; then all four controls in order.
        s = cat({s, from_file ? Steps {"card open settings r", "card read settings", "card close settings"}
                              : Steps {"card open settings r fail", "!card"}});
        for (int i = 0; i < 4; ++i)
            s.push_back(picture(0x0890 + i, v[static_cast<size_t>(i)]));
        char line[64];
        std::snprintf(line, sizeof line, "err settings: restore %d/%d/%d/%d", v[0], v[1], v[2], v[3]);
        s.push_back(line);
    } else {
        s.push_back("!vp w 089");  // no picture control before a change
    }
    // The whole menu from the clear on, committed once, then the OSD on,
    // the entry line and at once the first turn.
    return cat({s, {vp_write(OSD_REG_CELL_ROW, OSD_ROW_MODE_BLANK), "!" + COMMIT, "!vp w 0a01", COMMIT,
                    ">vp r 0a01=", ">vp w 0a01=01", ">err avmenu " + VERSION + ": wejscie (writes=339 fail=0)",
                    ">adc st 018=6"}});
}

// Shut-down from its first step to the transport closed last.
Steps shut_down(const std::string& exit_counters)
{
    Steps s = {">kill watchdog KILL", ">reap watchdog", ">kill fpv_grd_service CONT"};
    if (FULL)
        s = cat({s, {">pwm duty_cycle=0", ">pwm enable=0"}});
    s.push_back(">i2c select 2:5b");
    for (int row : {0, 2, 3, 4, 5, 7})  // rows 1 and 6 are blank already
        s = cat({s, {vp_write(OSD_REG_CELL_ROW, row * 16 + OSD_ROW_MODE_VERIFIED), vp_write(OSD_REG_CELL_DATA, 0x80)}});
    return cat({s, {COMMIT, ">err avmenu: wyjscie " + exit_counters, ">close /dev/remote_i2c", "$"}});
}

// PLAY held to the exit: the last ramp tone, then the exit tone, then the
// exit line, then shut-down.
Steps play_exit()
{
    if (!FULL)
        return {"err exit: PLAY held 3 s"};
    return {"pwm period=666666", "~pwm duty_cycle=333333", ">pwm duty_cycle=0", ">pwm enable=0",
            ">pwm period=588235", ">pwm duty_cycle=294117", ">pwm enable=1", ">sleep 100000",
            ">pwm duty_cycle=0", ">pwm enable=0", ">err exit: PLAY held 3 s"};
}

// A value change in the turn of the release: the register, the save
// through the temporary file (the full program), the redraw.
Steps value_change(int reg, int value, const std::string& line, const std::string& digit_cell)
{
    Steps s = {std::string("~").append(picture(reg, value))};
    if (FULL)
        s = cat({s, {"~card open settings.tmp wct", "~card write settings.tmp " + line + "\\n",
                     "~card close settings.tmp", "~card rename settings.tmp settings"}});
    else
        s.push_back("!card");
    if (digit_cell.empty())
        return cat({s, {"!vp w 0a1e", "~" + COMMIT}});  // no visible change
    return cat({s, {"~" + digit_cell, "~" + COMMIT}});
}

class MainFlow : public Goggles {
protected:
    void SetUp() override
    {
        Goggles::SetUp();
        standin = start_standin();
    }
    void TearDown() override
    {
        end_standin(standin);
        standin = -1;
        Goggles::TearDown();
    }

    // Fresh goggles whose clock starts at start_ms, on the same card, with
    // this settings file (null: none) and keys from 500 ms.
    void restart(uint64_t start_ms, const char* script = "", const char* settings = nullptr)
    {
        vg_reset(start_ms);
        vg()->limit_us = vg()->start_us + 60ull * 1000 * 1000;  // a session that does not end fails in a minute
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        unlink(settings_file().c_str());
        if (settings != nullptr)
            write_settings(settings);
        overrun_from_us = UINT64_MAX;  // the runs' children consume it, not this process
        std::memset(&seen(), 0, sizeof(Seen));
        vg_set_sleep_hook(loop_sleep_hook);
        ASSERT_GE(vg_keys_script(script, 500, nullptr), 0) << script;
    }

    static VgRun run_flow(const std::vector<const char*>& args = {})
    {
        return vg_run(flow_entry, args.data(), static_cast<int>(args.size()));
    }
    static uint64_t ms_of(uint64_t t_us) { return (t_us - vg()->start_us) / 1000; }

    // The n-th poll time (ms from the start) with no key held, learned from
    // a run that sees only a BACK press at 1500 ms.
    uint64_t idle_poll_ms(int n)
    {
        restart(100000);
        vg_key_hold(KEY_BACK, 1500, 200);
        EXPECT_EQ(run_flow().status, 0);
        const VgAdcAccess* t = vg()->adc.trace;
        const auto nth_poll = [&n](const VgAdcAccess& a) { return a.offset == ADC_REG_DATA && n-- == 0; };
        return ms_of(std::find_if(t, t + VG_ADC_TRACE_SIZE, nth_poll)->t_us);
    }
};

// Each row a session from start-up to shut-down: its steps must appear in
// this order. Every session also shows, at its first loop sleep, the stock
// service stopped, the program holding the transport and nothing else it
// opened (the /dev/mem descriptor closed once mapped), and the watchdog in
// a session of its own with its output on /dev/null, holding nothing of
// the program's but the transport descriptor it inherited.
TEST_F(MainFlow, StepsComeInOrder)
{
    const std::array<int, 4> defaults = {50, 50, 50, 50};
    const std::string back_out = "(writes=422 fail=0)";
    const std::string digit5 = vp_write(OSD_REG_CELL_DATA, 0x89), digit6 = vp_write(OSD_REG_CELL_DATA, 0x8A);
    enum { BOTH, ONLY_FULL, ONLY_BASIC };
    const struct {
        int programs;
        const char* script;
        const char* settings;        // the file before; null: none
        const char* settings_after;  // null: none
        Steps steps;
    } rows[] = {
        // Left at once by BACK: a 30 ms pause after the release, then shut-down.
        {BOTH, "BACK", nullptr, nullptr,
         cat({start_up(defaults), released(KEY_BACK), {"~sleep 30000"}, shut_down(back_out)})},
        // The reduced program ignores the full program's file.
        {ONLY_FULL, "BACK", "20 30 40 50\n", "20 30 40 50\n",
         cat({start_up({20, 30, 40, 50}, true), released(KEY_BACK)})},
        {ONLY_BASIC, "BACK", "20 30 40 50\n", "20 30 40 50\n", cat({start_up(defaults), released(KEY_BACK)})},
        // A selection change writes and saves nothing; each change of a
        // value writes its register, saves, redraws; PLAY held leaves.
        {BOTH, "DOWN RIGHT RIGHT PLAY:3100", nullptr, FULL ? "50 60 50 50\n" : nullptr,
         cat({start_up(defaults), {"!vp w 089", "!card"}, released(KEY_DOWN), {"!vp w 089", "!card", "~" + COMMIT},
              released(KEY_RIGHT), value_change(0x0891, 55, "50 55 50 50", digit5),
              released(KEY_RIGHT), value_change(0x0891, 60, "50 60 50 50", digit6),
              {"!vp w 089", "!card"}, play_exit(), shut_down("(writes=427 fail=0)")})},
        // RIGHT at 100 and LEFT at 0 still write, save and redraw.
        {ONLY_FULL, "RIGHT DOWN LEFT BACK", "100 0 50 50\n", "100 0 50 50\n",
         cat({start_up({100, 0, 50, 50}, true), released(KEY_RIGHT), value_change(0x0890, 100, "100 0 50 50", ""),
              released(KEY_LEFT), value_change(0x0891, 0, "100 0 50 50", ""), released(KEY_BACK),
              {"~sleep 30000"}})},
        // DOWN four times comes back to BRIGHTNESS, UP goes on to HUE.
        {BOTH, "DOWN DOWN DOWN DOWN UP RIGHT BACK", nullptr, FULL ? "50 50 50 55\n" : nullptr,
         cat({start_up(defaults), {"!vp w 089"}, released(KEY_UP), {"~" + COMMIT}, released(KEY_RIGHT),
              value_change(0x0893, 55, "50 50 50 55", digit5),
              released(KEY_BACK), {"~sleep 30000"}, shut_down("(writes=433 fail=0)")})},
        // A long BACK, PLAY let go at 2.9 s, keys 4 and 5 and a long RIGHT
        // do nothing; the tone of PLAY stops in the turn of its release.
        {BOTH, "BACK:600 PLAY:2900 K4 K5 RIGHT:800 BACK", nullptr, nullptr,
         cat({start_up(defaults), {"!vp w 089", "!card", "!err", "!pwm", raw_of(KEY_PLAY)},
              FULL ? Steps {"pwm period=2500000", IDLE, IDLE, IDLE, "~pwm duty_cycle=0", "~pwm enable=0"}
                   : released(KEY_PLAY),
              {"!vp w 089", "!card", "!err", "!pwm"}, released(KEY_BACK), {"~sleep 30000"}, shut_down(back_out)})},
    };
    for (const auto& row : rows) {
        if ((row.programs == ONLY_FULL && !FULL) || (row.programs == ONLY_BASIC && FULL))
            continue;
        SCOPED_TRACE(std::string(row.script) + (row.settings ? std::string(" from ") + row.settings : ""));
        restart(100000, row.script, row.settings);
        const VgRun r = run_flow();
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(timeline_check(row.steps), "");
        EXPECT_EQ(timeline_check({"err avmenu " + VERSION, "!vp w 0a01"}), "") << "the OSD is left on";
        if (!FULL) {
            EXPECT_EQ(timeline_check({"!card", "!pwm", "!err settings"}), "") << "no settings store, no buzzer";
        }
        EXPECT_EQ(read_settings(), row.settings_after ? row.settings_after : "");
        EXPECT_EQ(seen().service_stopped, 1) << "the stock service was stopped in the loop";
        EXPECT_FALSE(process_stopped(standin)) << "and runs again";
        EXPECT_STREQ(seen().held, "transport");
        EXPECT_STREQ(seen().watchdog, "own session, stdout /dev/null, stderr /dev/null, inherited transport");
    }
}

// Polls come every 30 ms with no key and every 39 ms with one (the settle
// pause): a key held from an idle poll at `a` is pressed at a + 87, and the
// turns that follow come every 39 ms while a key is held.
TEST_F(MainFlow, HoldsAreTimedTrue)
{
    const uint64_t a = idle_poll_ms(17), press = a + 87;
    // A RIGHT let go after 12 held polls is released 39 * 12 - 27 = 441 ms
    // after the press; one loop sleep overrunning by 9 or 10 ms makes it
    // 450, which still acts, or 451, which does not.
    for (const uint64_t overrun_ms : {9, 10}) {
        SCOPED_TRACE("RIGHT held " + std::to_string(441 + overrun_ms) + " ms");
        restart(100000);
        vg_key_hold(KEY_RIGHT, a, 460 + overrun_ms);
        vg_key_hold(KEY_BACK, a + 1500, 200);
        overrun_from_us = vg()->start_us + press * 1000;
        overrun_us = overrun_ms * 1000;
        EXPECT_EQ(run_flow().status, 0);
        EXPECT_EQ(timeline_check({std::string(overrun_ms == 9 ? "" : "!").append(picture(0x0890, 55))}), "");
    }

    // PLAY held leaves at the first turn whose clock reads 3000 ms or more
    // after the last press of PLAY, at any uptime: the millisecond count
    // turns negative after 2^31 ms and wraps at 2^32 ms; the press may even
    // land on the count 0. Only the release of PLAY stops the timer, and
    // every press of it starts the timer anew.
    struct Hold {
        int key;
        uint64_t from_ms, for_ms;  // from a
    };
    const std::vector<Hold> held = {{KEY_PLAY, 0, 3200}};
    const struct {
        const char* name;
        std::vector<Hold> holds;
        uint64_t overrun_ms;  // the sleep after the turn at press + 2925 ms
        int64_t exit_ms;      // after the press; -1: no exit
        uint64_t start_ms = 100000;
    } rows[] = {
        {"PLAY held", held, 0, 3003},
        {"a turn at 3000 ms", held, 36, 3000},
        {"a turn at 2999 ms", held, 35, 3038},
        {"let go, pressed again", {{KEY_PLAY, 0, 2000}, {KEY_PLAY, 2200, 2000}, {KEY_BACK, 5000, 200}}, 0, -1},
        {"into RIGHT, back to PLAY",
         {{KEY_PLAY, 0, 2000}, {KEY_RIGHT, 2000, 300}, {KEY_PLAY, 2300, 2000}, {KEY_BACK, 5000, 200}}, 0, -1},
        {"into RIGHT held on", {{KEY_PLAY, 0, 1000}, {KEY_RIGHT, 1000, 2500}}, 0, 3003},
        // RIGHT let go: idle turns of 30 ms from press + 1239 on.
        {"into RIGHT, let go", {{KEY_PLAY, 0, 1000}, {KEY_RIGHT, 1000, 300}, {KEY_BACK, 5000, 200}}, 0, 3009},
        {"count turns negative", held, 0, 3003, (1ull << 31) - 1000},
        {"count negative", held, 0, 3003, (1ull << 31) + 1000},
        {"count wraps", held, 0, 3003, (1ull << 32) - 1000},
        {"press on the count 0", held, 0, 3003, (1ull << 32) - press},
        {"third wrap", held, 0, 3003, (3ull << 32) - 2000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        restart(row.start_ms);
        for (const Hold& h : row.holds)
            vg_key_hold(h.key, a + h.from_ms, h.for_ms);
        overrun_from_us = vg()->start_us + (press + 2925) * 1000;
        overrun_us = row.overrun_ms * 1000;
        const VgRun r = run_flow();
        EXPECT_EQ(r.status, 0);
        // The press (where the full program starts its key-down tone) and
        // the exit turn (its last conversion before the exit line).
        int64_t tone_ms = -1, exit_ms = -1, last_poll_ms = -1;
        for (uint64_t i = 0; i < vg()->timeline.total && exit_ms < 0; ++i) {
            const VgEvent* e = vg_timeline_event(i);
            const auto ms = static_cast<int64_t>(ms_of(e->t_us)) - static_cast<int64_t>(press);
            if (std::strncmp(e->text, "adc ", 4) == 0)
                last_poll_ms = ms;
            if (tone_ms < 0 && std::strcmp(e->text, "pwm period=2500000") == 0)
                tone_ms = ms;
            if (std::strcmp(e->text, "err exit: PLAY held 3 s") == 0)
                exit_ms = last_poll_ms;
        }
        EXPECT_EQ(tone_ms, FULL ? 0 : -1) << "the press";
        EXPECT_EQ(exit_ms, row.exit_ms);
    }
}

// The start-up gate. Refusals touch nothing past the probe and leave the
// stock service alone. In AV any arguments run the menu; "-s" from normal
// view reaches AV on the second long BACK. Leaving blanks every row and
// leaves the OSD on. The entry and exit counters are true even when one
// cell never reads back.
TEST_F(MainFlow, EveryWayThroughTheGate)
{
    const std::string av_line = "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n";
    const std::string hdmi_refused = "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
                                     "ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n";
    // Three BACK-long tries, each judged by a read, then the second refusal.
    const auto never_comes = [](const std::string& mode) {
        std::string s = mode + mode;
        for (const char* n : {"1", "2", "3"})
            s += "switch: BACK-long, proba " + std::string(n) + "/3\n" + mode;
        return s + "ODMOWA: po 3 probach nadal nie ma analogu (kamera wylaczona?)\n";
    };
    enum Fault { NONE, NO_TRANSPORT, NO_ADC, NO_KEY_PORT, BAD_READBACKS };
    const std::string restore = av_line + (FULL ? "settings: restore 50/50/50/50\n" : "");
    const std::string entry = "avmenu " + VERSION + ": wejscie ";
    const std::string ran = entry + "(writes=339 fail=0)\navmenu: wyjscie (writes=422 fail=0)\n";
    const struct {
        Fault fault;
        VgInput input;
        std::vector<const char*> args;
        int status;
        uint64_t elapsed_ms;  // of a refusal; for a run, when BACK goes down
        int long_presses;
        std::string err;
    } rows[] = {
        {NO_TRANSPORT, VG_INPUT_AV, {}, 1, 0, 0, "open /dev/remote_i2c fail\n"},
        {NONE, VG_INPUT_HDMI, {}, 2, 0, 0, hdmi_refused},
        {NONE, VG_INPUT_HDMI, {"-S"}, 2, 0, 0, hdmi_refused},
        {NONE, VG_INPUT_HDMI, {"-sx"}, 2, 0, 0, hdmi_refused},
        {NONE, VG_INPUT_HDMI, {"--s"}, 2, 0, 0, hdmi_refused},
        {NONE, VG_INPUT_HDMI, {"x", "-s"}, 2, 0, 0, hdmi_refused},
        {NO_ADC, VG_INPUT_AV, {}, 1, 0, 0, av_line + "keys: ADC open fail\n"},
        {NONE, VG_INPUT_AV_NO_SIGNAL, {"-s"}, 2, 3 * 6500, 3, never_comes("mode: LT8668 B7=0x02 AD=0x02 AC=0x00\n")},
        {NO_KEY_PORT, VG_INPUT_NONE, {"-s"}, 2, 3 * 6500, 0, never_comes("mode: LT8668 B7=0x00 AD=0x00 AC=0x00\n")},
        {NONE, VG_INPUT_AV, {"--bogus", "-S"}, 0, 1000, 0, restore + ran},
        {NONE, VG_INPUT_NORMAL, {"-s", "ignored", "-x"}, 0, 15000, 2,
         "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\nmode: LT8668 B7=0x01 AD=0x00 AC=0x00\n"
         "switch: BACK-long, proba 1/3\nmode: LT8668 B7=0x02 AD=0x00 AC=0x00\nswitch: BACK-long, proba 2/3\n" +
             restore + ran},
        // The first verified cell; at exit it is blanked with the rest.
        {BAD_READBACKS, VG_INPUT_AV, {}, 0, 1000, 0,
         restore + entry + "(writes=338 fail=1)\navmenu: wyjscie (writes=422 fail=1)\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.err.substr(0, 40) + "; first argument " + (row.args.empty() ? "(none)" : row.args[0]));
        restart(100000);
        vg_lt8668_set_input(row.input);
        vg_key_port_close();
        ASSERT_EQ(row.fault == NO_KEY_PORT ? 0 : vg_key_port_open(), 0);
        vg()->i2c.present = row.fault != NO_TRANSPORT;
        vg()->adc.present = row.fault != NO_ADC;
        vg()->vp.wrong_readbacks = row.fault == BAD_READBACKS ? 4 : 0;
        vg_key_hold(KEY_BACK, row.elapsed_ms, 200);  // a refusal never reads the keys
        const VgRun r = run_flow(row.args);
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(vg()->port.long_presses, row.long_presses);
        EXPECT_FALSE(process_stopped(standin)) << "the stock service runs";
        EXPECT_EQ(vg()->i2c.closes, vg()->i2c.opens);
        if (row.status != 0) {
            EXPECT_EQ(vg_elapsed_ms(), row.elapsed_ms);
            // Nothing past the probe: no signal, no sound, no card, no drawing.
            EXPECT_EQ(timeline_check({"!kill", "!fork", "!pwm", "!card", "!vp", "!adc"}), "");
            continue;
        }
        EXPECT_STREQ(seen().held, "transport") << "the key-injection socket is closed too";
        EXPECT_EQ(vg_screen().find_first_not_of(" \n"), std::string::npos) << vg_screen();
        EXPECT_TRUE(vg_osd_enabled());
        EXPECT_EQ(payload_hex(*vg_i2c_message(vg()->i2c.total - 1)),
                  "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 00 0a 01")
            << "the last transfer is the commit";
    }
    vg_key_port_close();
}

}  // namespace
