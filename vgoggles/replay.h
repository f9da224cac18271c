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

constexpr int REPLAY_STATUS_STOPPED = 124;  // the run ended where the program left the recorded path
constexpr int REPLAY_PLACES = 64;           // places kept with their disagreements
constexpr int REPLAY_PAIRS = 3;             // answer pairs kept with their text, per place
constexpr int REPLAY_PAIRS_COUNTED = 32;    // distinct answer pairs told apart, per place

// A recorded answer and the models' one, as text: "0, 02", "-1 errno=5".
struct ReplayPair {
    char recorded[96];
    char modelled[96];
    long count;
};

// The disagreements at one place: a chip's register, an ADC offset, a file.
struct ReplayPlace {
    char place[128];
    long count;
    int first_line, last_line;
    int64_t first_ms, last_ms;
    ReplayPair pairs[REPLAY_PAIRS];  // the first distinct pairs, in order
    int distinct;                    // distinct pairs seen; exact up to REPLAY_PAIRS_COUNTED
    uint32_t pair_hash[REPLAY_PAIRS_COUNTED];
};

// What the replay found, shared with the process that started the run:
// fixed arrays only, the program's process holds no heap.
struct ReplayResult {
    long answers;        // device answers compared
    long agree;
    int places;          // places kept, in the order of their first disagreement
    ReplayPlace place[REPLAY_PLACES];
    long unplaced;       // disagreements at places beyond the kept ones
    int all_fd;          // every disagreement is written here as a line; -1: not asked for
    bool stopped;        // the program left the recorded path
    bool ran_out;        // the recording, without its end line, ended before the program
    char stop[320];
    int line;            // the line of the last entry taken
    int64_t ms;          // and its time
    bool ended;          // the program returned where the recording's end line is
    int recorded_status; // that line's status; -1: no end line
    char cut[160];       // the reader's sentence when a power cut ended the file; empty: none
};

// Reads the recording (the text stays the caller's) and sets the shadow
// goggles up as the recording shows the goggles were (replay_prepare.cpp).
// 0, or -1 with the reason.
int replay_open(const char* text, size_t size, char* error, size_t cap);

const RecHeader& replay_header();
bool replay_service_running();  // the recording found the stock service
ReplayResult* replay_result();  // mapped shared on first use

// The program's entry on the replay: run in the child that vg_run starts,
// with the recorded arguments; returns the program's status.
int replay_entry(int (*program_main)(int, char**), int argc, char** argv);

// ---- the preparation (replay_prepare.cpp) -----------------------------------

// One pass over the recording from after its header (reader is a copy of
// the open one): the shadow goggles set up as the recording shows they
// were, and the stock service's first recorded pid. 0, or -1 with
// reader->error.
int replay_prepare(RecReader* reader, int* service_pid);

// ---- the command (replay_command.cpp) -----------------------------------------

// The program a replay command runs, and the terminal view it may show.
struct ReplayProgram {
    const char* name;     // as a recording's first line names it
    const char* version;
    int (*main)(int, char**);
};
struct ReplayView {
    bool (*enter)(const char* file);  // false: no terminal
    void (*leave)();
};

// "avmenu-replay [--all] RECORDING" (view non-null: also "--view"): the
// replay, its report and its exit status.
int replay_command(int argc, char** argv, const ReplayProgram& program, const ReplayView* view);
