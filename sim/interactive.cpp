// The interactive run: terminal set-up, key input, the status panel and
// drawing, and the sleep hook that keeps the program on real time.
#include "sim/interactive.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/ioctl.h>
#include <string>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "keys/keys.h"
#include "sim/input.h"
#include "sim/session_state.h"
#include "sim/shared_text.h"
#include "sim/standin.h"
#include "sim/view.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

#ifndef SIM_BASIC
#error "SIM_BASIC must be defined by the build"
#endif

namespace {

#if SIM_BASIC
constexpr const char* PROGRAM = "VelmoX-AVMenu-basic 1.1.0";
#else
constexpr const char* PROGRAM = "VelmoX-AVMenu 1.3.0";
#endif

ColourMode colours = ColourMode::PLAIN;

uint64_t real_us()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

// ---- the screen -----------------------------------------------------------

KeyDriver keys;
bool leaving = false;         // a BACK was pressed for the quit key
uint64_t real_base = 0, virt_base = 0;
std::string err_text;         // the program's standard error so far
std::string last_frame;
int last_cols = 0, last_rows = 0;  // the terminal's size at the last frame
const char* const KEY_NAMES[] = {"UP", "DOWN", "LEFT", "RIGHT", "4", "5", "PLAY", "BACK"};

std::string osd_counters()
{
    // The program prints its counters in its entry and exit lines.
    const size_t at = err_text.rfind("(writes=");
    if (at == std::string::npos)
        return "-";
    const size_t end = err_text.find(')', at);
    return err_text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

// The screen's text: the panel's lines are kept within 41 columns, which
// the view gives them beside the picture.
ScreenText screen_text(const ViewState& v, const std::string& note)
{
    VgWorld* w = vg();
    ScreenText t;
    t.title = std::string(PROGRAM) + " on virtual goggles (the wearer's view)";
    char line[160];
    auto add = [&](const char* fmt, auto... args) {
        std::snprintf(line, sizeof line, fmt, args...);
        t.panel.emplace_back(line);
    };
    add("input     %s", sim_input_name(w->lt.input));
    add("menu      %s", v.osd_on ? "OSD on" : "OSD off");
    add("service   %s", service_text().c_str());
    add("registers %s", register_text().c_str());
    if (w->pwm.enabled && w->pwm.period > 0)
        add("buzzer    %u Hz", static_cast<unsigned>(1000000000u / w->pwm.period));
    else
        add("buzzer    silent");
    if (keys.play_held())
        add("PLAY      held %.1f s", static_cast<double>(w->now_us - keys.play_since_us()) / 1e6);
    else
        add("PLAY      up");
    const int held = w->adc.override_raw ? [&] {
        for (int k = 0; k < 8; ++k)
            if (vg_key_raw(k) == w->adc.raw_value)
                return k;
        return -1;
    }() : -1;
    add("button    %s", held >= 0 ? KEY_NAMES[held] : "-");
    add("OSD       %s", osd_counters().c_str());
    add("cells     %d written, %d commits", w->vp.cell_writes, w->vp.commits);
    add("I2C       %llu transfers, %llu failed", static_cast<unsigned long long>(w->i2c.total),
        static_cast<unsigned long long>(w->i2c.failed));
    if (standin_has_port())
        add("key port  %d packets, %d long BACK", shared->packets, shared->long_backs);
    else
        add("key port  6222 busy: no key injection");
    add("time      %.1f s", static_cast<double>(w->now_us - w->start_us) / 1e6);
    if (opts.fail_ppm || opts.busy_reads || opts.wrong_readbacks)
        add("faults    fail %.2f%%, busy %d, wrong %d", opts.fail_ppm / 10000.0, opts.busy_reads, opts.wrong_readbacks);
    t.note = note;
    t.err = last_lines(err_text, ERR_LINES);
    return t;
}

// The terminal's size now; a terminal that does not say is taken as 80 x 24.
void terminal_size(int* cols, int* rows)
{
    winsize ws {};
    if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
        *cols = ws.ws_col;
        *rows = ws.ws_row;
    } else {
        *cols = 80;
        *rows = 24;
    }
}

void draw(const std::string& note)
{
    int cols = 0, rows = 0;
    terminal_size(&cols, &rows);
    const ViewState v = view_capture();
    std::string frame = view_frame(v, screen_text(v, note), cols, rows, colours);
    if (cols != last_cols || rows != last_rows) {
        // After a resize the terminal may have rewrapped or kept old text.
        last_cols = cols;
        last_rows = rows;
        last_frame.clear();
        write_all(1, "\x1b[2J");
    }
    if (frame != last_frame) {
        write_all(1, frame);
        last_frame.swap(frame);
    }
}

// ---- the terminal and the keys --------------------------------------------

termios saved_tty {};
bool tty_raw = false;

void on_signal(int) { shared->force_quit = 1; }

void tty_enter()
{
    if (tcgetattr(0, &saved_tty) == 0) {
        termios raw = saved_tty;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(0, TCSANOW, &raw);
        tty_raw = true;
    }
    write_all(1, "\x1b[?1049h\x1b[?25l\x1b[2J");
}

void tty_leave()
{
    write_all(1, "\x1b[0m\x1b[?25h\x1b[?1049l");
    if (tty_raw)
        tcsetattr(0, TCSANOW, &saved_tty);
    tty_raw = false;
}

// Reads what the program wrote to its standard error (a file in vg_run).
void read_program_stderr()
{
    char buf[1024];
    for (;;) {
        const ssize_t n = pread(2, buf, sizeof buf, static_cast<off_t>(err_text.size()));
        if (n <= 0)
            return;
        err_text.append(buf, static_cast<size_t>(n));
    }
}

std::string note_text()
{
    if (leaving)
        return "leaving: BACK pressed for you (q again ends the program at once)";
    return vg_osd_enabled() ? "the menu runs: its picture changes are live" : "starting...";
}

[[noreturn]] void quit_now()
{
    // The watchdog child resumes the stand-in once this process is gone.
    _exit(130);
}

void handle_terminal_input(uint64_t now_us)
{
    unsigned char buf[64];
    const ssize_t n = read(0, buf, sizeof buf);
    if (n <= 0)
        return;
    size_t off = 0;
    while (off < static_cast<size_t>(n)) {
        KeyAction a;
        size_t used = decode_terminal_key(buf + off, static_cast<size_t>(n) - off, &a);
        if (used == 0)
            used = static_cast<size_t>(n) - off;  // a cut-off sequence: dropped
        off += used;
        switch (a.action) {
        case Action::PRESS: keys.press(a.key, a.hold_ms); break;
        case Action::PLAY_TOGGLE: keys.toggle_play(now_us); break;
        case Action::QUIT:
            if (leaving || !vg_osd_enabled())
                quit_now();
            // The program has no quit of its own: leave as the wearer would.
            keys.clear();
            keys.press(KEY_BACK, 200);
            leaving = true;
            break;
        case Action::NONE: break;
        }
    }
}

// Before every sleep of the program: really sleep that long, reading keys
// and redrawing meanwhile, then set the button the ADC will read.
void interactive_hook(uint64_t usec)
{
    VgWorld* w = vg();
    standin_sync();
    const uint64_t until_real = real_base + (w->now_us + usec - virt_base);
    for (;;) {
        if (shared->force_quit)
            quit_now();
        read_program_stderr();
        handle_terminal_input(w->now_us);
        draw(note_text());
        const uint64_t now = real_us();
        if (now >= until_real)
            break;
        const uint64_t wait_us = until_real - now < 33000 ? until_real - now : 33000;
        pollfd p {0, POLLIN, 0};
        poll(&p, 1, static_cast<int>((wait_us + 999) / 1000));
    }
    // The program may have lagged behind real time; never let it run ahead.
    if (real_us() > until_real + 500000)
        real_base -= real_us() - until_real;
    const int key = keys.key_at(w->now_us + usec);
    w->adc.override_raw = key >= 0;
    w->adc.raw_value = key >= 0 ? vg_key_raw(key) : w->adc.idle_raw;
}

}  // namespace

int run_interactive()
{
    if (!isatty(0) || !isatty(1)) {
        std::fprintf(stderr, "avmenu-sim: the interactive view needs a terminal; use --keys for a headless run\n");
        return 2;
    }
    colours = colour_mode_from_env(getenv("COLORTERM"), getenv("TERM"));
    vg()->limit_us = UINT64_MAX / 2;  // a wearer may take their time
    start_standin();
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaction(sig, &sa, nullptr);
    tty_enter();
    real_base = real_us();
    virt_base = vg()->now_us;
    vg_set_sleep_hook(interactive_hook);
    const VgRun run = run_program();
    vg_set_sleep_hook(nullptr);

    // The program has ended: show the stock service running again.
    err_text = run.err;
    keys.clear();
    vg()->adc.override_raw = false;
    char note[160];
    std::snprintf(note, sizeof note, "the program ended with status %d; press any key to close", run.status);
    last_frame.clear();
    for (;;) {
        draw(note);
        pollfd p {0, POLLIN, 0};
        if (shared->force_quit || poll(&p, 1, 100) > 0)
            break;
    }
    tty_leave();
    stop_standin();
    std::string tail = "avmenu-sim: " + std::string(PROGRAM) + " ended with status " + std::to_string(run.status) + "\n";
    for (const std::string& l : last_lines(run.err, 1000))
        tail += "  " + l + "\n";
    write_all(2, tail);
    return run.status;
}
