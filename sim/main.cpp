// The simulator: the program's own entry function on virtual goggles, with a
// stand-in stock service, interactively in a terminal or headless by script.
// This file reads the options, prepares the world and the SD card, and
// starts one of the two modes.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/avmenu.h"
#include "sim/headless.h"
#include "sim/interactive.h"
#include "sim/options.h"
#include "sim/session_state.h"
#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

#ifndef SIM_BASIC
#error "SIM_BASIC must be defined by the build"
#endif

Shared* shared = nullptr;
SimOptions opts;

VgRun run_program()
{
    std::vector<const char*> args;
    for (const std::string& a : opts.program_args)
        args.push_back(a.c_str());
    return vg_run(avmenu_main, args.data(), static_cast<int>(args.size()));
}

namespace {

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

// ---- set-up ---------------------------------------------------------------

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

}  // namespace

int main(int argc, char** argv)
{
    std::string text;  // what is wrong, or the help
    const int parsed = sim_parse_options(argc, argv, &opts, &text);
    if (parsed < 0) {
        std::fprintf(stderr, "avmenu-sim: %s\n", text.c_str());
        return 2;
    }
    if (parsed > 0) {
        std::fputs(text.c_str(), stdout);
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
    std::string error;
    if (setup_world(&error) != 0) {
        std::fprintf(stderr, "avmenu-sim: %s\n", error.c_str());
        return 2;
    }
    return opts.headless ? run_headless() : run_interactive();
}
