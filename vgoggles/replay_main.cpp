// The replay: a recording (docs/RECORDING.md) fed back to the program it
// names, on the virtual goggles, with every answer of the models held
// against the goggles' own (vgoggles/replay.h). Prints each disagreement
// with its place, the end state, and the summary line; exits 0 only when
// every answer agrees and the program kept to the recorded path to its
// recorded end. Built with REPLAY_VIEW (the simulator's build), "--view"
// first shows the replay in the terminal as it goes, on the recording's
// own time: the shadow's picture, the replay's place and its disagreements.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/avmenu.h"
#include "app/settings.h"
#include "app/variant.h"
#include "vgoggles/replay.h"
#if REPLAY_VIEW
#include "sim/view.h"
#endif
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

#ifndef SIM_BASIC
#error "SIM_BASIC must be defined by the build"
#endif
#ifndef REPLAY_VIEW
#define REPLAY_VIEW 0
#endif

namespace {

constexpr const char* PROGRAM = SIM_BASIC ? "VelmoX-AVMenu-basic" : "VelmoX-AVMenu";

int run_entry(int argc, char** argv) { return replay_entry(avmenu_main, argc, argv); }

// A process named like the stock service, for the program to find, stop
// and resume as the recording shows it did.
int start_service()
{
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_NAME, "fpv_grd_service");
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (;;)
            pause();
    }
    for (int i = 0; i < 200; ++i) {  // until /proc shows the name
        char path[64], comm[32] = "";
        std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? read(fd, comm, sizeof comm - 1) : -1;
        if (fd >= 0)
            close(fd);
        if (n > 0 && std::strncmp(comm, "fpv_grd_service", 15) == 0)
            break;
        usleep(5000);
    }
    return static_cast<int>(pid);
}

bool read_file(const char* path, std::string* text)
{
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text->append(buf, static_cast<size_t>(n));
    close(fd);
    return n == 0;
}

void print_end_state(const VgRun& run)
{
    std::printf("OSD at the end (the shadow's video processor):\n");
    const std::string screen = vg_screen();
    std::printf("%s\n", screen.find_first_not_of(" \n") == std::string::npos ? "  blank" : screen.c_str());
    const uint8_t* r = &vg()->vp.regs[0x0890];
    std::printf("picture registers: 0890=%02x 0891=%02x 0892=%02x 0893=%02x\n", r[0], r[1], r[2], r[3]);
    char path[512];
    std::string settings;
    if (vg_card_path(AVMENU_SETTINGS_DIR "/settings", path, sizeof path) && read_file(path, &settings))
        std::printf("settings file: %s%s", settings.c_str(), !settings.empty() && settings.back() == '\n' ? "" : "\n");
    else
        std::printf("settings file: none\n");
    std::printf("standard error:\n");
    size_t at = 0;
    while (at < run.err.size()) {
        const size_t nl = run.err.find('\n', at);
        const size_t end = nl == std::string::npos ? run.err.size() : nl;
        std::printf("  %s\n", run.err.substr(at, end - at).c_str());
        at = end + 1;
    }
}

#if REPLAY_VIEW
// ---- the view, drawn from the program's process before each of its sleeps --

const char* view_file = "";
uint64_t real_base = 0, virt_base = 0, last_draw = 0;
bool fast = false;
termios saved_tty {};

uint64_t real_us()
{
    timespec t {};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_nsec) / 1000u;
}

void put(const std::string& s) { (void)!write(1, s.data(), s.size()); }

void draw(const char* note)
{
    winsize ws {};
    const int cols = ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
    const int rows = ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 ? ws.ws_row : 24;
    const ReplayResult* r = replay_result();
    const RecHeader& h = replay_header();
    ScreenText t;
    t.title = std::string("Replay of ") + view_file + ": " + h.program + " " + h.version;
    char line[160];
    std::snprintf(line, sizeof line, "line      %d", r->line);
    t.panel.emplace_back(line);
    std::snprintf(line, sizeof line, "time      %lld.%03lld s", static_cast<long long>(r->ms / 1000),
                  static_cast<long long>(r->ms % 1000));
    t.panel.emplace_back(line);
    std::snprintf(line, sizeof line, "answers   %ld, %ld agree", r->answers, r->agree);
    t.panel.emplace_back(line);
    std::snprintf(line, sizeof line, "disagree  %ld", r->disagreements);
    t.panel.emplace_back(line);
    const long kept = r->disagreements < REPLAY_KEPT ? r->disagreements : REPLAY_KEPT;
    for (long i = kept > 6 ? kept - 6 : 0; i < kept; ++i) {
        std::snprintf(line, sizeof line, "%d: %.34s", r->kept[i].line, r->kept[i].text);
        t.panel.emplace_back(line);
    }
    if (r->stopped)
        t.panel.emplace_back(std::string("stopped: ") + r->stop);
    t.note = note;
    t.help = "f: fast / the recording's time   q: quit";
    put(view_frame(view_capture(), t, cols, rows, colour_mode_from_env(getenv("COLORTERM"), getenv("TERM"))));
}

// The program's sleeps take the recording's time (or none, fast); q ends
// the run, f switches between the recording's time and fast.
void view_hook(uint64_t usec)
{
    const uint64_t until = real_base + (vg()->now_us + usec - virt_base);
    for (;;) {
        char c = 0;
        while (read(0, &c, 1) == 1) {
            if (c == 'q')
                _exit(130);
            if (c == 'f') {
                fast = !fast;
                real_base = real_us() - (vg()->now_us - virt_base);
            }
        }
        const uint64_t now = real_us();
        if (now - last_draw > 40000) {
            draw(fast ? "replaying fast" : "replaying on the recording's time");
            last_draw = now;
        }
        if (fast || now >= until)
            break;
        usleep(static_cast<useconds_t>(until - now < 20000 ? until - now : 20000));
    }
}

bool view_enter()
{
    if (!isatty(0) || !isatty(1) || tcgetattr(0, &saved_tty) != 0)
        return false;
    termios raw = saved_tty;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(0, TCSANOW, &raw);
    put("\x1b[?1049h\x1b[?25l\x1b[2J");
    real_base = real_us();
    virt_base = vg()->now_us;
    vg_set_sleep_hook(view_hook);
    return true;
}

void view_leave()
{
    draw("the replay has ended: press a key");
    char c;
    while (read(0, &c, 1) != 1)
        usleep(50000);
    vg_set_sleep_hook(nullptr);
    put("\x1b[0m\x1b[?25h\x1b[?1049l");
    tcsetattr(0, TCSANOW, &saved_tty);
}
#endif

}  // namespace

int main(int argc, char** argv)
{
    bool view = false;
#if REPLAY_VIEW
    view = argc == 3 && std::strcmp(argv[1], "--view") == 0;
    if (view) {
        --argc;
        ++argv;
    }
#endif
    if (argc != 2 || argv[1][0] == '-') {
        std::fprintf(stderr, "usage: %s %sRECORDING\n", argv[0], REPLAY_VIEW ? "[--view] " : "");
        return 2;
    }
    std::string text;
    if (!read_file(argv[1], &text)) {
        std::fprintf(stderr, "replay: cannot read %s\n", argv[1]);
        return 2;
    }
    char card[] = "/tmp/velmox-replay-XXXXXX";
    if (mkdtemp(card) == nullptr) {
        std::fprintf(stderr, "replay: no folder for the card\n");
        return 2;
    }
    vg_reset();
    std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card);
    char error[256];
    if (replay_open(text.data(), text.size(), error, sizeof error) < 0) {
        std::fprintf(stderr, "replay: %s: %s\n", argv[1], error);
        return 2;
    }
    const RecHeader& h = replay_header();
    if (std::strcmp(h.program, PROGRAM) != 0) {
        std::fprintf(stderr, "replay: %s is a recording of %s, this replay runs %s\n", argv[1], h.program, PROGRAM);
        return 2;
    }
    std::vector<const char*> args;
    for (const char* a = h.args; static_cast<int>(args.size()) < h.argc; a += std::strlen(a) + 1)
        args.push_back(a);
    std::printf("replay: %s: %s %s (build %s), program here %s\n", argv[1], h.program, h.version, h.build,
                AVMENU_VERSION);

    const int service = replay_service_running() ? start_service() : -1;
    vg_key_port_open();  // the stock service's key port, for "-s"
#if REPLAY_VIEW
    view_file = argv[1];
    if (view && !view_enter()) {
        std::fprintf(stderr, "replay: the view needs a terminal\n");
        return 2;
    }
#endif
    const VgRun run = vg_run(run_entry, args.data(), static_cast<int>(args.size()));
#if REPLAY_VIEW
    if (view)
        view_leave();
#endif
    (void)view;
    vg_key_port_close();
    if (service > 0) {
        kill(service, SIGKILL);
        waitpid(service, nullptr, 0);
    }
    const ReplayResult* r = replay_result();
    for (long i = 0; i < r->disagreements && i < REPLAY_KEPT; ++i) {
        const ReplayDisagreement& d = r->kept[i];
        std::printf("line %d, %lld.%03lld s: %s\n", d.line, static_cast<long long>(d.ms / 1000),
                    static_cast<long long>(d.ms % 1000), d.text);
    }
    if (r->disagreements > REPLAY_KEPT)
        std::printf("... and %ld more disagreements\n", r->disagreements - REPLAY_KEPT);
    print_end_state(run);
    const std::string rm = std::string("rm -rf '") + card + "'";
    (void)!system(rm.c_str());
    bool ok = r->agree == r->answers;
    if (r->stopped) {
        std::printf("stopped: %s\n", r->stop);
        ok = false;
    } else if (!r->ended) {
        std::printf("the recording has no end line: replayed up to line %d, the program ended there\n", r->line);
    } else if (r->recorded_status != run.status) {
        std::printf("status %d, recorded %d (line %d)\n", run.status, r->recorded_status, r->line);
        ok = false;
    } else {
        std::printf("status %d, as recorded (line %d)\n", run.status, r->line);
    }
    std::printf("%ld answers from the devices, %ld agree\n", r->answers, r->agree);
    return ok ? 0 : 1;
}
