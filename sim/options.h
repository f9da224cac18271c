// The simulator's command line.
#pragma once

#include <string>
#include <vector>

#include "vgoggles/vgoggles.h"

struct SimOptions {
    bool help = false;
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

// Returns 0, or -1 with a message in error. argv[0] is skipped.
int sim_parse_options(int argc, const char* const* argv, SimOptions* out, std::string* error);

// The number of key presses a script asks for (WAIT words excluded).
int sim_script_presses(const std::string& script);

const char* sim_input_name(VgInput input);

extern const char SIM_USAGE[];
