// Shared fixtures for the tests: fresh virtual goggles, an SD card folder
// of the test's own, and small readers of the models' traces.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

std::vector<std::string> split_lines(const std::string& text);

// The bytes of message i of the transcript, "len=15 02 00 00 00 ...".
std::string payload_hex(const VgI2cMessage& m);

// The register writes to the video processor since transcript index from:
// (register, value) pairs in order.
std::vector<std::pair<int, int>> vproc_writes_since(uint64_t from);

// Whether a process is stopped (state T in /proc/PID/stat).
bool process_stopped(int pid);
