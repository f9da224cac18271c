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
