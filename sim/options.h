// The simulator's command line.
#pragma once

#include <string>
#include <vector>

#include "vgoggles/vgoggles.h"

struct SimOptions {
    bool basic = false;
    VgInput mode = VG_INPUT_AV;
    std::vector<std::string> program_args;  // after "--"
    uint32_t fail_ppm = 0;
    int busy_reads = 0;
    int wrong_readbacks = 0;
    std::string card;      // empty: the simulator's own folder
    std::string keys;      // headless when set
    bool headless = false;
    std::string snapshot;  // PNG path, headless only
};

// Returns 0 to run, 1 when help was asked for (its text in message), or -1
// with a one-line message saying what is wrong. argv[0] is skipped.
int sim_parse_options(int argc, const char* const* argv, SimOptions* out, std::string* message);

// The number of key presses a script asks for (WAIT words excluded).
int sim_script_presses(const std::string& script);

const char* sim_input_name(VgInput input);
