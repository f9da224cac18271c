// The replay's terminal view (scripts/simulate --replay on a terminal):
// drawn from the program's process before each of its sleeps, on the
// recording's own time: the shadow's picture, the replay's place and the
// places it disagrees at.
#include "sim/replay_view.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/view.h"
#include "vgoggles/replay.h"
#include "vgoggles/vgoggles.h"

namespace {

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
    std::snprintf(line, sizeof line, "disagree  %ld", r->answers - r->agree);
    t.panel.emplace_back(line);
    for (int i = 0; i < r->places && i < 6; ++i) {
        std::snprintf(line, sizeof line, "%ld at %.30s", r->place[i].count, r->place[i].place);
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

bool view_enter(const char* file)
{
    view_file = file;
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

}  // namespace

const ReplayView SIM_REPLAY_VIEW = {view_enter, view_leave};
