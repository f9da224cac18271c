// The one reader of recordings (docs/RECORDING.md): typed entries, in the
// order the program made the calls, with repeated turns expanded. A
// recording ends at its last whole line: a power cut's last line without
// its newline, or NUL bytes of space never written, end it quietly, with
// `cut` saying where. A damaged line before that is refused with one line
// that names its number.
//
//   RecReader r;
//   if (rec_reader_open(&r, text, size) < 0) puts(r.error);
//   RecEntry e;
//   while ((rc = rec_reader_next(&r, &e)) > 0) ...;   // rc < 0: r.error
//
// The reader keeps no heap: the text stays the caller's, the reader's
// state (the last turn, for repeats) is in the record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "recording/format.h"

struct RecHeader {
    int format;
    char program[64];
    char version[32];
    char build[64];
    int64_t t0_sec, t0_nsec;
    int argc;
    char args[REC_MAX_DATA];  // the arguments, each ended by a NUL
};

struct RecReader {
    const char* text;
    size_t size;
    size_t pos;
    int line;  // the last line read
    RecHeader header;
    bool ended;  // the end line was read
    // Where a power cut ended the file: the line that was cut (a last line
    // without its newline, or NUL bytes after the last one), 0 when the
    // file ends after a whole line; `cut` says so in words.
    int cut_line;
    char cut[160];
    char error[192];
    // Turns, for repeat lines: the last complete turn, and the current one.
    RecEntry turn[REC_TURN_MAX];
    int turn_n;  // -1: the last turn cannot be repeated (too long, or none)
    RecEntry cur[REC_TURN_MAX];
    int cur_n;   // -1: the current turn is too long to repeat
    // A repeat line being expanded.
    uint64_t repeat_turns;
    int repeat_partial;
    int repeat_index;
    int repeat_line;
    bool repeat_ranged;  // the line gives the range of the ADC's data readings
    uint32_t repeat_low, repeat_high;
};

// Reads the first two lines. 0, or -1 with the reason in reader->error.
int rec_reader_open(RecReader* reader, const char* text, size_t size);

// The same for a file, mapped for the life of the process (the tools').
int rec_reader_open_file(RecReader* reader, const char* path);

// The next entry: 1, 0 at the end of the file, -1 with reader->error.
int rec_reader_next(RecReader* reader, RecEntry* entry);

