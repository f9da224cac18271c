// Running the program on the virtual goggles, as a test or the simulator
// does: in a forked child, with its standard error captured.
#pragma once

#include <cstdint>
#include <string>

struct VgRun {
    int status = -1;      // the exit status; 128 + n when killed by signal n
    bool signalled = false;
    std::string err;      // everything the program wrote to standard error
};

using VgEntry = int (*)(int argc, char** argv);

// Runs entry(argv) in a child process; the world stays shared with it.
// kill_after_ms > 0 sends SIGKILL after that much real time.
VgRun vg_run(VgEntry entry, const char* const* args, int nargs, int kill_after_ms = 0);

// The visible OSD grid as eight lines of 32 characters, joined by '\n'.
std::string vg_screen();

// Schedules wearer's key presses from a script such as
// "DOWN RIGHT RIGHT PLAY:3100 WAIT:500 BACK". Each word is a key (UP, DOWN,
// LEFT, RIGHT, PLAY, BACK, K4, K5) with an optional hold in ms (default
// 200), or WAIT:ms. Presses start at start_ms (from the world's start) and
// follow each other with a 200 ms gap. Returns the time after the last
// press, or -1 with a message in error.
int64_t vg_keys_script(const char* script, uint64_t start_ms, std::string* error);
