// Shared fixtures for the tests: fresh virtual goggles, an SD card folder
// of the test's own, and small readers of the models' traces.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "video/osd.h"

#include "vgoggles/session.h"
#include "vgoggles/vgoggles.h"

class Goggles : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The card folder that stands in for "/"; the settings folder exists.
    std::string card_root;
    std::string settings_file() const;
    std::string read_settings() const;  // "" when there is no file
    void write_settings(const std::string& text) const;

    // Runs the program's entry function on the goggles.
    VgRun run(std::initializer_list<const char*> args = {}, int kill_after_ms = 0);
};

// Goggles with the transport open and an OSD record holding it.
class TransportGoggles : public Goggles {
protected:
    void SetUp() override;
    void TearDown() override;
    int fd = -1;
    OsdScreen s {};
    uint64_t sent() const { return vg()->i2c.total; }
    const VgI2cMessage& last() const { return *vg_i2c_message(vg()->i2c.total - 1); }
};

std::vector<std::string> split_lines(const std::string& text);

// Runs f with standard error sent to a memory file; returns what it wrote.
std::string capture_stderr(const std::function<void()>& f);

// Polls done() every 5 ms of real time; false when timeout_ms passed first.
bool wait_until(const std::function<bool()>& done, int timeout_ms);

// A real process that only waits, named like the stock service (or not
// quite); it dies with the test. The name is visible in /proc on return.
int start_standin(const char* name = "fpv_grd_service");
void end_standin(int pid);  // kills and reaps it if it is still a child of ours

// The pids of pid's children, from the kernel's lists.
std::vector<int> children_of(int pid);

// Kills every process this one started, however deep, and reaps its own
// children; returns how many there were. Runs after every test.
int end_descendants();

// The bytes of message i of the transcript, "len=15 02 00 00 00 ...".
std::string payload_hex(const VgI2cMessage& m);

// The register writes to the video processor since transcript index from:
// (register, value) pairs in order.
std::vector<std::pair<int, int>> vproc_writes_since(uint64_t from);

// Whether a process is stopped (state T in /proc/PID/stat) or will be at
// once (a SIGSTOP sent to it and not yet taken).
bool process_stopped(int pid);

// Checks the goggles' timeline against steps in order; "" when it holds,
// else what is wrong with the events around it. Each step is the start of
// an event's text (see vgoggles.h), found after the previous step's event:
//   "text"   anywhere later;
//   "~text"  later, with no sleep between (the same turn of the loop);
//   ">text"  the very next event (as the first step: the first event);
//   "!text"  no such event between the neighbouring steps (or the ends);
//   "$"      the previous step's event is the last one.
std::string timeline_check(const std::vector<std::string>& steps);

// Events [from, to) of the timeline, one a line with the virtual time.
std::string timeline_text(uint64_t from, uint64_t to);
