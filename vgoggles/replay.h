// Replaying a recording (docs/RECORDING.md) on the virtual goggles.
//
// The program runs on a side of the seam of its own (replay.cpp): each of
// its calls takes the recording's next entry, and the program gets the
// goggles' recorded answer, so that it takes the path it took on the
// goggles. The virtual goggles' models run alongside as a shadow: they get
// every request the program makes and give their own answer, which is held
// against the recorded one. Where the program's request is not the
// recorded one, the replay says so and ends the run there.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recording/reader.h"

constexpr int REPLAY_KEPT = 64;       // disagreements kept with their text
constexpr int REPLAY_STATUS_STOPPED = 124;  // the run ended where the program left the recorded path

struct ReplayDisagreement {
    int line;            // the entry's line in the recording
    int64_t ms;          // the recorded clock, from its first reading
    char text[200];      // place, recorded and modelled answer
};

// What the replay found, shared with the process that started the run.
struct ReplayResult {
    long answers;        // device answers compared
    long agree;
    long disagreements;
    ReplayDisagreement kept[REPLAY_KEPT];
    bool stopped;        // the program left the recorded path (or the recording ended)
    char stop[320];
    int line;            // the line of the last entry taken
    int64_t ms;          // and its time
    bool ended;          // the program returned where the recording's end line is
    int recorded_status; // that line's status; -1: no end line
};

// Reads the recording (the text stays the caller's) and sets the shadow
// goggles up as the recording shows the goggles were: the input mode of
// the first probe, the SD card's settings file as first read, the PWM
// class, the device nodes, the stock service. 0, or -1 with the reason.
int replay_open(const char* text, size_t size, char* error, size_t cap);

const RecHeader& replay_header();
bool replay_service_running();  // the recording found the stock service
ReplayResult* replay_result();  // mapped shared on first use

// The program's entry on the replay: run in the child that vg_run starts,
// with the recorded arguments; returns the program's status.
int replay_entry(int (*program_main)(int, char**), int argc, char** argv);
