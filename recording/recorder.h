// The recorder: one line per call into a new numbered file, written at once
// (docs/RECORDING.md). No heap, no buffer held back; an idle turn that
// repeats the one before is counted on one line that is rewritten in place.
// Any failure to write stops the recording with one line on standard error
// and leaves the program's calls, results and errno as they were.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <time.h>

#include "recording/format.h"

// Starts a recording in dir: the first recording-NNNN.txt there that does
// not exist yet. 0, or -1 after saying once on standard error that the
// program cannot record.
int rec_start(const char* dir, const char* program, const char* version, int argc, char** argv);
// The same in the folder of the running program's executable.
int rec_start_beside_program(const char* program, const char* version, int argc, char** argv);
// The end line with the program's status; closes the file.
void rec_finish(int status);
// Whether a recording is being written; the path of its file.
bool rec_active();
const char* rec_path();
// In a forked child: let go of the parent's recording without writing.
void rec_forget();

// The entries, each made right after the call with its result; errno is
// read for a failed call and left as it was.
void rec_dev_open(const char* path, int flags, int fd);
void rec_dev_mmap(int fd, size_t length, int64_t offset, void* mapped);
void rec_fd_result(RecKind kind, int fd, long rc);  // dev_close, file_fsync, file_close
void rec_reg_load(const volatile uint32_t* reg, uint32_t value);
void rec_reg_store(const volatile uint32_t* reg, uint32_t value);
void rec_file_open(const char* path, int flags, mode_t mode, int fd);
void rec_file_read(int fd, const void* buf, size_t count, ssize_t rc);
void rec_file_write(int fd, const void* buf, size_t count, ssize_t rc);
void rec_file_rename(const char* from, const char* to, int rc);
void rec_file_unlink(const char* path, int rc);
void rec_clock(const struct timespec* now, int rc);
void rec_usleep(unsigned usec, int rc);
void rec_sleep(unsigned seconds, unsigned left);
void rec_kill(pid_t pid, int sig, int rc);
void rec_fork(pid_t pid);
void rec_waitpid(pid_t pid, int options, pid_t rc, const int* status);
void rec_stderr(const void* buf, size_t count, ssize_t rc);
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
    uint8_t sent[80];
};
void rec_ioctl_before(RecIoctl* snap, unsigned long request, const void* arg);
void rec_ioctl_after(const RecIoctl* snap, int fd, int rc);
