// The recorder: one line per call into a new numbered file on the card
// (docs/RECORDING.md). No heap. The file is reserved on the card ahead of
// the lines and written through a shared mapping, so an entry costs no
// system call and a killed program loses nothing; the card gets the new
// lines at most a second after they were made, without the program ever
// waiting for it; a clean finish trims the file and syncs it.
//
// An idle turn that repeats the one before is counted on one line, in
// place: the calls of such a turn take the inline path below, a few
// comparisons and two small stores each. Any failure to write stops the
// recording with one line on standard error and leaves the program's calls,
// results and errno as they were.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>
#include <time.h>

#include "recording/format.h"

// Starts a recording in dir: the first recording-NNNN.txt there that does
// not exist yet. 0, or -1 after saying once on standard error that the
// program cannot record.
int rec_start(const char* dir, const char* program, const char* version, int argc, char** argv);
// The same in the folder of the running program's executable.
int rec_start_beside_program(const char* program, const char* version, int argc, char** argv);
// The end line with the program's status; trims, syncs and closes the file.
void rec_finish(int status);
// Whether a recording is being written; the path of its file.
bool rec_active();
const char* rec_path();
// In a forked child: let go of the parent's recording without writing.
void rec_forget();

// What the recorder asked of the card, for the tests and the benchmark.
struct RecStats {
    long writebacks;     // write-backs started while the program ran
    long reserves;       // card space reserved ahead of the lines
    long remaps;         // the window of the file moved on
    bool synced_at_end;  // the finish's sync succeeded
    long bytes;          // the length of the recording's text
};
const RecStats& rec_stats();

// ---- entries ------------------------------------------------------------------

// An entry of any kind but the four of an idle turn: fill the fields the
// table gives its kind, then commit. nullptr when nothing is recorded.
// errno is read for a failed call and left as it was.
RecEntry* rec_begin(RecKind kind, int64_t result);
void rec_commit();
// rec_begin's fields that are text or bytes, cut to what the format keeps.
void rec_set_path(char* field, const char* path);
void rec_set_data(RecEntry* e, const void* data, size_t n);

// The /proc scan for the stock service began (fd: its open's result); the
// pid it finds is written before the next entry.
void rec_service_scan(int fd);

// The transport's request: what the program filled is taken before the
// call, the read area after it.
struct RecIoctl {
    unsigned long request;
    uint32_t cmd, len;
    uint32_t sent_len, got_len;
    const uint8_t* payload;
    uint8_t sent[RI2C_MAX_PAYLOAD];
};
void rec_ioctl_before(RecIoctl* snap, unsigned long request, const void* arg);
void rec_ioctl_after(const RecIoctl* snap, int fd, int rc);

// The mapping of the ADC block, whose register offsets the entries give.
void rec_dev_mmap(int fd, size_t length, int64_t offset, void* mapped);

// ---- the calls of an idle turn ------------------------------------------------

// A call as a repeat compares it; the two characters it leaves as the
// repeat line's ENTRIES when it is counted.
struct RecBrief {
    uintptr_t a;  // register address; the sleep's length
    uint32_t b;   // register value
    int32_t rc, err;
    uint8_t kind;
    char entries[2];
};

// The card is asked to write back what is new once per second of the
// program's sleeps: the program's own clock costs no call.
constexpr uint64_t REC_WRITEBACK_US = 1000000;

// While a repeat line is open: the call the repeated turn makes next and
// the line's ENTRIES in the mapping. With no line open, next is
// REC_NO_REPEAT, whose kind no call has: the inline path needs no test of
// its own for it.
struct RecRepeat {
    const RecBrief* next;
    char* entries;
    uint64_t slept_us;  // sleeps since the last write-back
};
extern RecRepeat rec_repeat;
extern const RecBrief REC_NO_REPEAT;

void rec_brief(RecKind kind, uintptr_t a, uint32_t b, int32_t rc);  // the full path
void rec_repeat_turn_done();  // a whole turn was counted
void rec_repeat_second();     // a second of sleeps went by

namespace rec_detail {
// A turn runs up to and including its one sleep, so a repeated turn's
// register call is never its last: counting it is ENTRIES and one step on.
inline bool counted_reg(RecKind kind, uintptr_t a, uint32_t b)
{
    const RecBrief* p = rec_repeat.next;
    if (p->kind != kind || p->a != a || p->b != b)
        return false;
    std::memcpy(rec_repeat.entries, p->entries, 2);
    rec_repeat.next = p + 1;
    return true;
}
// ... and its sleep always is: the turn is done.
inline bool counted_sleep(RecKind kind, uintptr_t a, int32_t rc)
{
    const RecBrief* p = rec_repeat.next;
    if (p->kind != kind || p->a != a || p->rc != rc || (rc < 0 && p->err != errno))
        return false;
    std::memcpy(rec_repeat.entries, p->entries, 2);
    rec_repeat_turn_done();
    return true;
}
}  // namespace rec_detail

inline void rec_reg_load(const volatile uint32_t* reg, uint32_t value)
{
    if (!rec_detail::counted_reg(REC_REG_LOAD, reinterpret_cast<uintptr_t>(reg), value))
        rec_brief(REC_REG_LOAD, reinterpret_cast<uintptr_t>(reg), value, 0);
}

inline void rec_reg_store(const volatile uint32_t* reg, uint32_t value)
{
    if (!rec_detail::counted_reg(REC_REG_STORE, reinterpret_cast<uintptr_t>(reg), value))
        rec_brief(REC_REG_STORE, reinterpret_cast<uintptr_t>(reg), value, 0);
}

inline void rec_usleep(unsigned usec, int rc)
{
    if (!rec_detail::counted_sleep(REC_USLEEP, usec, rc))
        rec_brief(REC_USLEEP, usec, 0, rc);
    if ((rec_repeat.slept_us += usec) >= REC_WRITEBACK_US)
        rec_repeat_second();
}

inline void rec_sleep(unsigned seconds, unsigned left)
{
    if (!rec_detail::counted_sleep(REC_SLEEP, seconds, static_cast<int32_t>(left)))
        rec_brief(REC_SLEEP, seconds, 0, static_cast<int32_t>(left));
    if ((rec_repeat.slept_us += static_cast<uint64_t>(seconds) * 1000000) >= REC_WRITEBACK_US)
        rec_repeat_second();
}
