// The simulator: the program's own entry function on virtual goggles, with a
// stand-in stock service, interactively in a terminal or headless by script.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "app/avmenu.h"
#include "keys/keys.h"
#include "sim/input.h"
#include "sim/options.h"
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
constexpr const char* SETTINGS_REL = "/record/velmo-x/apps/VelmoX-AVMenu";
constexpr uint64_t FIRST_KEY_MS = 1000;

// State shared by the simulator, the program's process and the stand-in.
struct Shared {
    volatile sig_atomic_t force_quit;
    int standin_pid;
    int packets;
    int long_backs;
    bool have_snapshot;
    ViewState snapshot;
};
Shared* shared = nullptr;

int port_fd = -1;  // the stand-in's socket; the simulator keeps a copy to see its queue
SimOptions opts;
ColourMode colours = ColourMode::PLAIN;

uint64_t real_us()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

void write_all(int fd, const std::string& s)
{
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t n = write(fd, s.data() + off, s.size() - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

// ---- the stand-in stock service -------------------------------------------

// Like the goggles' service: a BACK held 2 s or more (down, then up) moves
// the input one step toward AV. Each datagram is handled before it leaves
// the queue, so an empty queue means every press sent so far has acted.
[[noreturn]] void standin_main(int parent)
{
    prctl(PR_SET_NAME, "fpv_grd_service", 0, 0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (getppid() != parent)
        _exit(0);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        signal(sig, SIG_DFL);
    const int null_fd = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
        dup2(null_fd, fd);
    if (port_fd < 0) {
        for (;;)
            pause();
    }
    bool down = false;
    uint64_t down_us = 0;
    for (;;) {
        uint8_t pkt[64];
        const ssize_t n = recv(port_fd, pkt, sizeof pkt, MSG_PEEK);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            _exit(1);
        }
        ++shared->packets;
        if (n == 10 && pkt[0] == 0x40 && pkt[1] == 7) {
            const uint64_t now = vg()->now_us;  // the goggles' time
            if (pkt[2] == 1) {
                down = true;
                down_us = now;
            } else if (pkt[2] == 0 && down) {
                down = false;
                if (now - down_us >= 2000000) {
                    ++shared->long_backs;
                    vg_lt8668_step_toward_av();
                }
            }
        }
        (void)!recv(port_fd, pkt, sizeof pkt, 0);
    }
}

void start_standin()
{
    port_fd = vg_key_port_socket(0);
    const int parent = getpid();
    const pid_t pid = fork();
    if (pid == 0)
        standin_main(parent);
    shared->standin_pid = pid > 0 ? pid : -1;
}

void stop_standin()
{
    if (shared->standin_pid > 0) {
        kill(shared->standin_pid, SIGKILL);
        waitpid(shared->standin_pid, nullptr, 0);
        shared->standin_pid = -1;
    }
    if (port_fd >= 0)
        close(port_fd);
    port_fd = -1;
}

// Waits (briefly) until the stand-in has handled every key packet sent so
// far, so that a press acts before the goggles' time moves on.
void standin_sync()
{
    if (port_fd < 0)
        return;
    for (int i = 0; i < 500; ++i) {
        int pending = 0;
        if (ioctl(port_fd, FIONREAD, &pending) != 0 || pending == 0)
            return;
        usleep(1000);
    }
}

// 'R', 'S', 'T' ... from /proc/PID/stat, or 0 when the process is gone.
char process_state(int pid)
{
    if (pid <= 0)
        return 0;
    char path[64], buf[256];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return 0;
    buf[n] = '\0';
    const char* p = std::strrchr(buf, ')');
    return p != nullptr && p[1] == ' ' ? p[2] : 0;
}

std::string service_text()
{
    const int pid = shared->standin_pid;
    const char st = process_state(pid);
    char buf[96];
    const char* what = st == 0 ? "gone" : st == 'T' || st == 't' ? "STOPPED (SIGSTOP)" : st == 'Z' ? "ended" : "running";
    std::snprintf(buf, sizeof buf, "fpv_grd_service %d: %s", pid, what);
    return buf;
}

// ---- the SD card ----------------------------------------------------------

bool make_dirs(const std::string& path)
{
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

std::string default_card()
{
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/velmox-sim/card";
    if (home != nullptr && home[0] == '/')
        return std::string(home) + "/.local/state/velmox-sim/card";
    return "/tmp/velmox-sim-card";
}

std::string read_file(const std::string& path, bool* exists)
{
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    *exists = fd >= 0;
    if (fd < 0)
        return text;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    close(fd);
    return text;
}

// ---- the screen -----------------------------------------------------------

KeyDriver keys;
bool leaving = false;         // a BACK was pressed for the quit key
uint64_t real_base = 0, virt_base = 0;
std::string err_text;         // the program's standard error so far
std::string last_frame;
const char* const KEY_NAMES[] = {"UP", "DOWN", "LEFT", "RIGHT", "4", "5", "PLAY", "BACK"};

std::vector<std::string> last_lines(const std::string& text, size_t count)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() > count)
        lines.erase(lines.begin(), lines.end() - static_cast<long>(count));
    return lines;
}

std::string osd_counters()
{
    // The program prints its counters in its entry and exit lines.
    const size_t at = err_text.rfind("(writes=");
    if (at == std::string::npos)
        return "-";
    const size_t end = err_text.find(')', at);
    return err_text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

// The four picture bytes as the processor holds them; "--" until written.
std::string register_text()
{
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char buf[16];
        if (vg()->vp.picture_writes[i] > 0)
            std::snprintf(buf, sizeof buf, "%s%04x=%02x", i ? " " : "", 0x0890 + i, vg()->vp.regs[0x0890 + i]);
        else
            std::snprintf(buf, sizeof buf, "%s%04x=--", i ? " " : "", 0x0890 + i);
        s += buf;
    }
    return s;
}

std::string render(const std::string& note)
{
    VgWorld* w = vg();
    const ViewState v = view_capture();
    char line[160];
    std::vector<std::string> panel;
    auto add = [&](const char* fmt, auto... args) {
        std::snprintf(line, sizeof line, fmt, args...);
        panel.emplace_back(line);
    };
    add("input      %s", sim_input_name(w->lt.input));
    add("menu       %s", v.osd_on ? "OSD on" : "OSD off");
    add("service    %s", service_text().c_str());
    add("registers  %s", register_text().c_str());
    if (w->pwm.enabled && w->pwm.period > 0)
        add("buzzer     %u Hz", static_cast<unsigned>(1000000000u / w->pwm.period));
    else
        add("buzzer     silent");
    if (keys.play_held())
        add("PLAY       held %.1f s", static_cast<double>(w->now_us - keys.play_since_us()) / 1e6);
    else
        add("PLAY       up");
    const int held = w->adc.override_raw ? [&] {
        for (int k = 0; k < 8; ++k)
            if (vg_key_raw(k) == w->adc.raw_value)
                return k;
        return -1;
    }() : -1;
    add("button     %s", held >= 0 ? KEY_NAMES[held] : "-");
    add("OSD        %s", osd_counters().c_str());
    add("cells      %d written, %d commits", w->vp.cell_writes, w->vp.commits);
    add("I2C        %llu transfers, %llu failed", static_cast<unsigned long long>(w->i2c.total),
        static_cast<unsigned long long>(w->i2c.failed));
    if (port_fd >= 0)
        add("key port   %d packets, %d long BACK", shared->packets, shared->long_backs);
    else
        add("key port   6222 busy: no key injection");
    add("time       %.1f s", static_cast<double>(w->now_us - w->start_us) / 1e6);
    if (opts.fail_ppm || opts.busy_reads || opts.wrong_readbacks)
        add("faults     fail %.2f%%, busy %d, wrong %d", opts.fail_ppm / 10000.0, opts.busy_reads, opts.wrong_readbacks);

    std::string out = "\x1b[H";
    auto row = [&](const std::string& s) { out += s + "\x1b[K\r\n"; };
    row(std::string(" ") + PROGRAM + " on virtual goggles (the wearer's view)");
    row("");
    for (int r = 0; r < PIC_ROWS; ++r) {
        std::string s(1, ' ');
        s += view_term_line(v, r, colours);
        s += "  ";
        if (r < static_cast<int>(panel.size()))
            s += panel[r];
        row(s);
    }
    row("");
    row(" arrows: move/adjust   p: PLAY down/up (hold 3 s to leave)   b: BACK   B: BACK long   4 5: buttons   q: quit");
    row(std::string(1, ' ').append(note));
    row(" standard error:");
    for (const std::string& l : last_lines(err_text, 8))
        row("   " + l);
    out += "\x1b[J";
    return out;
}

void draw(const std::string& note)
{
    std::string frame = render(note);
    if (frame != last_frame) {
        write_all(1, frame);
        last_frame.swap(frame);
    }
}

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

void headless_hook(uint64_t)
{
    standin_sync();
    const ViewState v = view_capture();
    if (v.osd_on && !view_grid_blank(v)) {
        shared->snapshot = v;
        shared->have_snapshot = true;
    }
}

// ---- set-up and the two modes --------------------------------------------

int setup_world(std::string* error)
{
    vg_reset();
    VgWorld* w = vg();
    vg_lt8668_set_input(opts.mode);
    w->i2c.faults.fail_ppm = opts.fail_ppm;
    w->vp.busy_reads_per_cell = opts.busy_reads;
    w->vp.wrong_readbacks = opts.wrong_readbacks;
    const std::string card = opts.card.empty() ? default_card() : opts.card;
    if (!make_dirs(card + SETTINGS_REL)) {
        *error = "cannot create the card folder " + card + SETTINGS_REL + ": " + std::strerror(errno);
        return -1;
    }
    char real[PATH_MAX];
    const std::string root = realpath(card.c_str(), real) != nullptr ? real : card;
    if (root.size() >= sizeof w->card.root) {
        *error = "card folder path too long: " + root;
        return -1;
    }
    std::snprintf(w->card.root, sizeof w->card.root, "%s", root.c_str());
    return 0;
}

VgRun run_program()
{
    std::vector<const char*> args;
    for (const std::string& a : opts.program_args)
        args.push_back(a.c_str());
    return vg_run(avmenu_main, args.data(), static_cast<int>(args.size()));
}

std::string framed(const ViewState& v)
{
    std::string s = "+" + std::string(32, '-') + "+\n";
    for (const auto& row : v.grid) {
        std::string line(row, 32);
        for (char& c : line)
            if (c == '%')
                c = '>';
        s += "|" + line + "|\n";
    }
    return s + "+" + std::string(32, '-') + "+\n";
}

int run_headless()
{
    std::string error;
    const int64_t end = vg_keys_script(opts.keys.c_str(), FIRST_KEY_MS, &error);
    if (end < 0) {
        std::fprintf(stderr, "avmenu-sim: bad key script: %s\n", error.c_str());
        return 2;
    }
    if (sim_script_presses(opts.keys) > VG_KEY_SCHEDULE_SIZE) {
        std::fprintf(stderr, "avmenu-sim: bad key script: more than %d presses\n", VG_KEY_SCHEDULE_SIZE);
        return 2;
    }
    start_standin();
    vg_set_sleep_hook(headless_hook);
    const VgRun run = run_program();
    vg_set_sleep_hook(nullptr);
    const ViewState end_view = view_capture();
    stop_standin();

    std::string out;
    if (shared->have_snapshot)
        out += "OSD as last shown by the menu:\n" + framed(shared->snapshot);
    else
        out += "OSD: the menu was never shown\n";
    if (view_grid_blank(end_view))
        out += "OSD at the end: blank\n";
    else
        out += "OSD at the end:\n" + framed(end_view);
    char line[128];
    out += "picture registers: " + register_text() + "\n";
    bool exists = false;
    const std::string settings = read_file(std::string(vg()->card.root) + SETTINGS_REL + "/settings", &exists);
    out += exists ? "settings file: " + settings : std::string("settings file: none\n");
    if (!settings.empty() && settings.back() != '\n')
        out += '\n';
    out += "standard error:\n";
    for (const std::string& l : last_lines(run.err, 1000))
        out += "  " + l + "\n";
    std::snprintf(line, sizeof line, "status: %d\n", run.status);
    out += line;
    write_all(1, out);

    if (!opts.snapshot.empty()) {
        const ViewState shot = shared->have_snapshot ? shared->snapshot : end_view;
        constexpr int W = 640, H = 360;
        const std::vector<uint8_t> img = view_image(shot, W, H);
        if (png_write(opts.snapshot.c_str(), img.data(), W, H, &error) != 0) {
            std::fprintf(stderr, "avmenu-sim: %s\n", error.c_str());
            return run.status != 0 ? run.status : 1;
        }
    }
    return run.status;
}

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

}  // namespace

int main(int argc, char** argv)
{
    std::string error;
    if (sim_parse_options(argc, argv, &opts, &error) != 0) {
        std::fprintf(stderr, "avmenu-sim: %s\n", error.c_str());
        return 2;
    }
    if (opts.help) {
        std::fputs(SIM_USAGE, stdout);
        return 0;
    }
#if !SIM_BASIC
    if (opts.basic) {
        // The reduced program is its own binary beside this one.
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 32);
        if (n > 0) {
            self[n] = '\0';
            char* slash = std::strrchr(self, '/');
            std::snprintf(slash + 1, sizeof self - static_cast<size_t>(slash + 1 - self), "avmenu-sim-basic");
            execv(self, argv);
        }
        std::fprintf(stderr, "avmenu-sim: cannot start avmenu-sim-basic: %s\n", std::strerror(errno));
        return 2;
    }
#endif
    void* mem = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (mem == MAP_FAILED) {
        std::perror("avmenu-sim: mmap");
        return 1;
    }
    shared = new (mem) Shared();
    shared->standin_pid = -1;
    if (setup_world(&error) != 0) {
        std::fprintf(stderr, "avmenu-sim: %s\n", error.c_str());
        return 2;
    }
    return opts.headless ? run_headless() : run_interactive();
}
