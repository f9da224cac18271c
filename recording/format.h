// The recording format (docs/RECORDING.md): its names and limits, and one
// table of the entry kinds that drives both the writer (recorder.cpp) and
// the reader (reader.cpp) through the line codec (entry.cpp). A new kind of
// entry is a new row here; the few kinds whose lines need code of their own
// (the transport's payload, the service line, standard error's text, the
// end) keep it in entry.cpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "i2c/ri2c.h"

constexpr const char* REC_MAGIC = "velmox-recording";
constexpr int REC_FORMAT = 2;        // 2: a repeat line may give the range of the ADC's readings
constexpr int REC_FORMAT_OLDEST = 1;  // the oldest the reader still reads

constexpr int REC_MAX_DATA = 256;   // file data, payloads and text kept per entry
constexpr int REC_MAX_PATH = 256;
constexpr int REC_TURN_MAX = 16;    // longest turn that can be repeated
constexpr int REC_MAX_LINE = 2048;  // longest line the recorder writes

enum RecKind : uint8_t {
    REC_DEV_OPEN,
    REC_DEV_IOCTL,
    REC_DEV_MMAP,
    REC_DEV_CLOSE,
    REC_REG_LOAD,
    REC_REG_STORE,
    REC_FILE_OPEN,
    REC_FILE_READ,
    REC_FILE_WRITE,
    REC_FILE_FSYNC,
    REC_FILE_CLOSE,
    REC_FILE_RENAME,
    REC_FILE_UNLINK,
    REC_CLOCK,
    REC_USLEEP,
    REC_SLEEP,
    REC_KILL,
    REC_FORK,
    REC_WAITPID,
    REC_SERVICE,
    REC_STDERR,
    REC_END,
    REC_KIND_COUNT
};

constexpr const char* REC_REPEAT = "repeat";

// One call, as its line gives it; the fields a kind does not have are left
// as they were (got_len -1, data_len 0). `result` and `err` are filled for
// every kind: the table below says which fields each kind has.
struct RecEntry {
    RecKind kind;
    int line;        // where it was read: for a repeated entry, the repeat line
    int first_line;  // where it is written out in full
    int64_t result;  // the call's result: FD, RC, LEFT, PID, VALUE; the end's status
    int err;         // errno=N, 0 when the line has none
    int fd;
    uint32_t flags;
    uint32_t mode;
    uint64_t request;   // dev_ioctl
    uint32_t cmd, len;  // dev_ioctl with the transport's request
    uint64_t length;    // dev_mmap
    uint64_t offset;    // dev_mmap, reg_load, reg_store
    uint32_t value;     // reg_load (the word read), reg_store
    uint32_t low, high; // reg_load: the lowest and highest word it stands for (a repeat of noisy readings)
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

// ---- the table ------------------------------------------------------------

// How a field is written.
enum RecFmt : uint8_t {
    FMT_DEC,      // signed decimal
    FMT_HEX,      // lower-case hex, no 0x
    FMT_OCT,      // octal
    FMT_PATH,     // escaped, NUL-free, at most REC_MAX_PATH - 1 bytes
    FMT_DATA,     // escaped bytes, at most REC_MAX_DATA
    FMT_TIME,     // SEC.NSEC, nine digits of nanoseconds
    FMT_PAYLOAD,  // the transport's CMD LEN SENT(hex bytes), for its request only
};

// Where a field lives in RecEntry.
enum RecSlot : uint8_t {
    SLOT_NONE,
    SLOT_FD,
    SLOT_FLAGS,
    SLOT_MODE,
    SLOT_REQUEST,
    SLOT_LENGTH,
    SLOT_OFFSET,
    SLOT_VALUE,
    SLOT_COUNT,
    SLOT_PID,
    SLOT_SIG,
    SLOT_OPTIONS,
    SLOT_STATUS,
    SLOT_PATH,
    SLOT_PATH2,
    SLOT_DATA,
    SLOT_TIME,
};

// How the result after "->" is written; kinds without one have no arrow.
enum RecResultFmt : uint8_t { RES_NONE, RES_DEC, RES_HEX, RES_UNSIGNED };

// What may follow the result (and its errno).
enum RecTail : uint8_t {
    TAIL_NONE,
    TAIL_DATA,       // the bytes read, when the result is positive
    TAIL_TIME,       // the time read, when the result is 0
    TAIL_READ_AREA,  // the transport's read area (commands 3 and 4, result not negative)
    TAIL_STATUS,     // status=HEX, when given and the result is positive
    TAIL_TEXT,       // escaped text with spaces, to the end of the line
};

struct RecField {
    const char* name;  // as docs/RECORDING.md writes it
    RecFmt fmt;
    RecSlot slot;
};

struct RecKindRow {
    const char* name;  // the word the line starts with
    const char* call;  // what it records
    std::array<RecField, 3> fields;
    uint8_t n_fields;
    RecResultFmt result;
    const char* result_name;
    bool can_fail;     // a negative result is followed by errno=N
    RecSlot result_slot;  // the result is this field too
    RecTail tail;
    bool repeats;      // part of an idle turn: counted when a turn repeats
};

constexpr RecField F_FD {"FD", FMT_DEC, SLOT_FD};
constexpr RecField F_PATH {"PATH", FMT_PATH, SLOT_PATH};
constexpr RecField F_FLAGS {"FLAGS", FMT_HEX, SLOT_FLAGS};
constexpr RecField F_OFFSET {"OFFSET", FMT_HEX, SLOT_OFFSET};

constexpr std::array<RecKindRow, REC_KIND_COUNT> REC_KINDS = {{
    {"dev_open", "os_dev_open", {F_PATH, F_FLAGS}, 2, RES_DEC, "FD", true, SLOT_FD, TAIL_NONE, false},
    {"dev_ioctl", "os_dev_ioctl", {F_FD, RecField {"REQUEST", FMT_HEX, SLOT_REQUEST}, {"CMD LEN SENT", FMT_PAYLOAD, SLOT_DATA}},
     3, RES_DEC, "RC", true, SLOT_NONE, TAIL_READ_AREA, false},
    {"dev_mmap", "os_dev_mmap", {F_FD, RecField {"LENGTH", FMT_HEX, SLOT_LENGTH}, F_OFFSET}, 3, RES_DEC, "0", true,
     SLOT_NONE, TAIL_NONE, false},
    {"dev_close", "os_dev_close", {F_FD}, 1, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"reg_load", "os_reg_load", {F_OFFSET}, 1, RES_HEX, "VALUE", false, SLOT_VALUE, TAIL_NONE, true},
    {"reg_store", "os_reg_store", {F_OFFSET, RecField {"VALUE", FMT_HEX, SLOT_VALUE}}, 2, RES_NONE, "", false, SLOT_NONE,
     TAIL_NONE, true},
    {"file_open", "os_file_open", {F_PATH, F_FLAGS, RecField {"MODE", FMT_OCT, SLOT_MODE}}, 3, RES_DEC, "FD", true,
     SLOT_FD, TAIL_NONE, false},
    {"file_read", "os_file_read", {F_FD, RecField {"COUNT", FMT_DEC, SLOT_COUNT}}, 2, RES_DEC, "RC", true, SLOT_NONE,
     TAIL_DATA, false},
    {"file_write", "os_file_write", {F_FD, RecField {"COUNT", FMT_DEC, SLOT_COUNT}, RecField {"DATA", FMT_DATA, SLOT_DATA}},
     3, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"file_fsync", "os_file_fsync", {F_FD}, 1, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"file_close", "os_file_close", {F_FD}, 1, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"file_rename", "os_file_rename", {RecField {"FROM", FMT_PATH, SLOT_PATH}, RecField {"TO", FMT_PATH, SLOT_PATH2}}, 2,
     RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"file_unlink", "os_file_unlink", {F_PATH}, 1, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"clock", "os_clock_monotonic", {}, 0, RES_DEC, "RC", true, SLOT_NONE, TAIL_TIME, false},
    {"usleep", "os_usleep", {RecField {"USEC", FMT_DEC, SLOT_COUNT}}, 1, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, true},
    {"sleep", "os_sleep", {RecField {"SECONDS", FMT_DEC, SLOT_COUNT}}, 1, RES_UNSIGNED, "LEFT", false, SLOT_NONE,
     TAIL_NONE, true},
    {"kill", "kill(2), a signal the program sent", {RecField {"PID", FMT_DEC, SLOT_PID}, RecField {"SIG", FMT_DEC, SLOT_SIG}},
     2, RES_DEC, "RC", true, SLOT_NONE, TAIL_NONE, false},
    {"fork", "fork(2): the watchdog; the child records nothing", {}, 0, RES_DEC, "PID", true, SLOT_NONE, TAIL_NONE, false},
    {"waitpid", "waitpid(2), a reap", {RecField {"PID", FMT_DEC, SLOT_PID}, RecField {"OPTIONS", FMT_DEC, SLOT_OPTIONS}}, 2,
     RES_DEC, "RC", true, SLOT_NONE, TAIL_STATUS, false},
    // -1: none found; -2 errno=N: /proc could not be listed.
    {"service", "the stock service's pid as the program's /proc scan found it", {RecField {"PID", FMT_DEC, SLOT_PID}}, 1,
     RES_NONE, "", false, SLOT_NONE, TAIL_NONE, false},
    {"stderr", "write(2) to standard error", {}, 0, RES_DEC, "RC", true, SLOT_NONE, TAIL_TEXT, false},
    {"end", "the program returned STATUS; the recorder's clock then",
     {RecField {"STATUS", FMT_DEC, SLOT_STATUS}, RecField {"SEC.NSEC", FMT_TIME, SLOT_TIME}}, 2, RES_NONE, "", false,
     SLOT_NONE, TAIL_NONE, false},
}};

constexpr const char* rec_kind_name(RecKind k) { return k < REC_KIND_COUNT ? REC_KINDS[k].name : "?"; }

// Whether a call of this kind can fail with errno.
constexpr bool rec_can_fail(RecKind k) { return k < REC_KIND_COUNT && REC_KINDS[k].can_fail; }

// A sleep ends a turn.
constexpr bool rec_is_sleep(RecKind k) { return k == REC_USLEEP || k == REC_SLEEP; }

// ---- the line codec (entry.cpp) ---------------------------------------------

// Writes the entry's line, without its newline, into out (at least
// REC_MAX_LINE bytes); its length.
size_t rec_entry_format(const RecEntry& e, char* out);

// Reads one line (without its newline) into e, whose kind the caller knows
// from the line's first word. 0, or -1 with the reason in `why`.
int rec_entry_parse(const char* begin, const char* end, RecKind kind, RecEntry* e, char* why, size_t cap);

// A number in base 10, 16 (lower case) or 8; SEC.NSEC with nine digits.
bool rec_parse_u64(const char* p, size_t n, int base, uint64_t* out);
bool rec_parse_time(const char* p, size_t n, int64_t* sec, int64_t* nsec);

// Escapes a field into out, as much as fits in cap bytes; its length.
size_t rec_escape(const uint8_t* data, size_t n, bool spaces, char* out, size_t cap);

// Decodes an escaped field into out (at most cap bytes); the length, or -1.
int rec_unescape(const char* field, size_t len, uint8_t* out, size_t cap, bool spaces);

// Sets the fields a kind does not have as a fresh entry has them.
void rec_entry_clear(RecEntry* e, RecKind kind);
