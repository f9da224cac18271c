// The one reader of recordings (docs/RECORDING.md): typed entries, in the
// order the program made the calls, with repeated turns expanded. A damaged
// or cut file is refused with one line that names its line number.
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

// One call, as its line gives it; the fields a kind does not fill are zero
// (got_len -1). `result` and `err` are filled for every kind that has them.
//
//   dev_open     path, flags; result = fd = the descriptor
//   dev_ioctl    fd, request; with the transport's request also cmd, len,
//                data/data_len (SENT) and, for commands 3 and 4 when the
//                result is not negative, got/got_len (the read area)
//   dev_mmap     fd, length, offset; result 0 (mapped) or -1
//   dev_close, file_fsync, file_close    fd
//   reg_load     offset, value (= result)
//   reg_store    offset, value
//   file_open    path, flags, mode; result = fd
//   file_read    fd, count; data/data_len: the bytes read
//   file_write   fd, count, data/data_len: the bytes written
//   file_rename  path (from), path2 (to)
//   file_unlink  path
//   clock        sec, nsec (when the result is 0)
//   usleep       count (microseconds)      sleep   count (seconds); result: left
//   kill         pid, sig                  fork    result: the child's pid
//   waitpid      pid, options; has_status, status
//   service      pid (= result): -1 none, -2 /proc unreadable (err)
//   stderr       fd 2, data/data_len: the bytes written
//   end          status (= result), sec, nsec
struct RecEntry {
    RecKind kind;
    int line;        // where it was read: for a repeated entry, the repeat line
    int first_line;  // where it is written out in full
    int64_t result;  // the call's result: FD, RC, LEFT, PID; 0 for reg_store
    int err;         // errno=N, 0 when the line has none
    int fd;
    uint32_t flags;
    uint32_t mode;
    uint64_t request;   // dev_ioctl
    uint32_t cmd, len;  // dev_ioctl with the transport's request
    uint64_t length;    // dev_mmap
    uint64_t offset;    // dev_mmap, reg_load, reg_store
    uint32_t value;     // reg_load (the word read), reg_store
    uint64_t count;     // file_read, file_write; usleep's microseconds, sleep's seconds
    int pid, sig, options;      // kill, waitpid, service
    bool has_status;            // waitpid
    int status;                 // waitpid's status; end's exit status
    int64_t sec, nsec;          // clock (when RC is 0), end
    char path[REC_MAX_PATH];    // dev_open, file_open, file_unlink; file_rename's FROM
    char path2[REC_MAX_PATH];   // file_rename's TO
    uint8_t data[REC_MAX_DATA]; // dev_ioctl SENT, file data, stderr text
    int data_len;
    uint8_t got[REC_MAX_DATA];  // dev_ioctl GOT
    int got_len;                // -1: the line has none
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
};

// Reads the first two lines. 0, or -1 with the reason in reader->error.
int rec_reader_open(RecReader* reader, const char* text, size_t size);

// The next entry: 1, 0 at the end of the file, -1 with reader->error.
int rec_reader_next(RecReader* reader, RecEntry* entry);

// Decodes an escaped field into out (at most cap bytes); the length, or -1.
int rec_unescape(const char* field, size_t len, uint8_t* out, size_t cap, bool spaces);
