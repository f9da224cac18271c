// What the simulator's parts share: the options, the state kept in memory
// that every process of a session sees, and how the program is started.
#pragma once

#include <csignal>

#include "sim/options.h"
#include "sim/view.h"
#include "vgoggles/session.h"

constexpr const char* SETTINGS_REL = "/record/velmo-x/apps/VelmoX-AVMenu";

// State shared by the simulator, the program's process and the stand-in.
struct Shared {
    volatile sig_atomic_t force_quit;
    int standin_pid;
    int packets;
    int long_backs;
    bool have_snapshot;
    ViewState snapshot;
};
extern Shared* shared;  // mapped shared in main, before any fork

extern SimOptions opts;

// The program's entry function on the virtual goggles, with the arguments
// given after "--".
VgRun run_program();
