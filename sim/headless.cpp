// The headless run: key script, printout, snapshot.
#include "sim/headless.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "sim/session_state.h"
#include "sim/shared_text.h"
#include "sim/standin.h"
#include "sim/view.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

namespace {

constexpr uint64_t FIRST_KEY_MS = 1000;

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

void headless_hook(uint64_t)
{
    standin_sync();
    const ViewState v = view_capture();
    if (v.osd_on && !view_grid_blank(v)) {
        shared->snapshot = v;
        shared->have_snapshot = true;
    }
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

}  // namespace

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
