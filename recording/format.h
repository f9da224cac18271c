// The recording format's names and limits, shared by the recorder (which
// writes them) and the reader (which reads them). docs/RECORDING.md is the
// definition.
#pragma once

#include <cstdint>

#include "i2c/ri2c.h"

constexpr const char* REC_MAGIC = "velmox-recording";
constexpr int REC_FORMAT = 1;

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

// Each kind's word at the start of its line, in RecKind order.
constexpr const char* REC_KIND_NAMES[REC_KIND_COUNT] = {
    "dev_open",  "dev_ioctl",  "dev_mmap",    "dev_close",   "reg_load", "reg_store", "file_open", "file_read",
    "file_write", "file_fsync", "file_close", "file_rename", "file_unlink", "clock",  "usleep",    "sleep",
    "kill",      "fork",       "waitpid",     "service",     "stderr",   "end",
};

constexpr const char* REC_REPEAT = "repeat";

constexpr const char* rec_kind_name(RecKind k) { return k < REC_KIND_COUNT ? REC_KIND_NAMES[k] : "?"; }

// A sleep ends a turn.
constexpr bool rec_is_sleep(RecKind k) { return k == REC_USLEEP || k == REC_SLEEP; }

// How much of a transport payload of `len` bytes the program filled before
// the request (SENT), and how much is the read area (GOT): the same rule
// for the recorder and the reader. `payload` holds at least the first
// min(len, 12) bytes.
struct RecPayloadSplit {
    uint32_t sent;
    uint32_t got;
};
constexpr RecPayloadSplit rec_payload_split(uint32_t cmd, uint32_t len, const uint8_t* payload)
{
    uint64_t words = 0, fixed = 0;
    const bool reads = cmd == RI2C_CMD_WRITE_READ || cmd == RI2C_CMD_READ;
    switch (cmd) {
    case RI2C_CMD_SELECT: fixed = 16; break;
    case RI2C_CMD_READ: fixed = 12; break;
    case RI2C_CMD_WRITE:
    case RI2C_CMD_WRITE_READ:
        // The count of bytes to write, the third little-endian word.
        if (len >= 12)
            words = static_cast<uint64_t>(payload[8]) | static_cast<uint64_t>(payload[9]) << 8 |
                    static_cast<uint64_t>(payload[10]) << 16 | static_cast<uint64_t>(payload[11]) << 24;
        fixed = (cmd == RI2C_CMD_WRITE ? 12 : 16) + words;
        break;
    default: fixed = len; break;
    }
    uint64_t sent = fixed < len ? fixed : len;
    if (sent > RI2C_MAX_PAYLOAD)
        sent = RI2C_MAX_PAYLOAD;
    uint64_t got = reads ? len - sent : 0;
    if (got > RI2C_MAX_DATA)
        got = RI2C_MAX_DATA;
    return {static_cast<uint32_t>(sent), static_cast<uint32_t>(got)};
}
