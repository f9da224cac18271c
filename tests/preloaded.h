// Running a built program itself on the virtual goggles: the goggles'
// library preloaded into it, attached to this process's world, so that
// what the program did is there to read when it ends. Host only (the
// goggles' own programs are static). Used by test_preload.cpp and
// test_replay.cpp.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "keys/keys.h"
#include "support.h"
#include "video/picture.h"
#include "vgoggles/vgoggles.h"

// Runs in vg_run's child: exec's the program with the goggles preloaded.
inline int exec_preloaded(const char* exe, char** argv)
{
    const int world = vg_world_fd();
    fcntl(world, F_SETFD, 0);
    if (vg()->port.fd >= 0)
        fcntl(vg()->port.fd, F_SETFD, 0);  // the stock service's key port, drained by the goggles
    setenv("VGOGGLES_WORLD_FD", std::to_string(world).c_str(), 1);
    setenv("LD_PRELOAD", VGOGGLES_PRELOAD, 1);
    // A sanitized program finds its runtime after the preloaded library.
    const char* asan = std::getenv("ASAN_OPTIONS");
    setenv("ASAN_OPTIONS", (std::string(asan ? asan : "") + ":verify_asan_link_order=0").c_str(), 1);
    execv(exe, argv);
    return 127;
}

// The programs' main ways, each a session's arguments and goggles.
struct Way {
    const char* name;
    std::vector<const char*> args;
    void (*setup)();
};
enum WayId { WAY_BACK, WAY_PLAY, WAY_HDMI, WAY_NO_TRANSPORT, WAY_SWITCH, WAY_FAILING, WAY_COUNT };
inline const Way& main_way(WayId id)
{
    static const std::array<Way, WAY_COUNT> ways = {{
        {"BACK at once", {}, [] { vg_keys_script("BACK", 500, nullptr); }},
        {"values changed, PLAY held", {}, [] { vg_keys_script("DOWN RIGHT RIGHT PLAY:3100", 500, nullptr); }},
        {"refused in HDMI", {"-S"}, [] { vg_lt8668_set_input(VG_INPUT_HDMI); }},
        {"no transport", {}, [] { vg()->i2c.present = false; }},
        {"-s from normal view", {"-s"},
         [] {
             vg_lt8668_set_input(VG_INPUT_NORMAL);
             vg_key_hold(KEY_BACK, 15000, 200);
         }},
        {"transport failing for a while", {},
         [] {
             vg()->i2c.faults.fail_all = true;
             vg()->i2c.faults.from_message = 40;
             vg()->i2c.faults.until_message = 400;
             vg_keys_script("RIGHT WAIT:3000 RIGHT BACK", 500, nullptr);
         }},
    }};
    return ways[id];
}

// A transfer as sent and answered. The read area of a request is the
// program's uninitialised buffer until the driver fills it: left out.
inline std::string transfer_text(const VgI2cMessage& m)
{
    const uint32_t reads = m.cmd == 3 && m.len >= 16 ? m.payload[12] : m.cmd == 4 && m.len >= 12 ? m.payload[8] : 0;
    char t[512];
    int at = std::snprintf(t, sizeof t, "%u:", m.cmd);
    for (uint32_t i = 0; i + reads < m.len && i < sizeof m.payload; ++i)
        at += std::snprintf(t + at, sizeof t - static_cast<size_t>(at), " %02x", m.payload[i]);
    at += std::snprintf(t + at, sizeof t - static_cast<size_t>(at), " -> %d:", m.result);
    for (int i = 0; i < m.reply_len; ++i)
        at += std::snprintf(t + at, sizeof t - static_cast<size_t>(at), " %02x", m.reply[i]);
    return t;
}

struct EndState {
    VgRun run;
    std::string settings;
    std::string picture;  // the four register bytes, "80 80 80 00"
    std::string screen;
    bool osd_on;
    std::vector<std::string> transfers;
};

class Preloaded : public Goggles {
protected:
    // The stock service's stand-in, one per test: whatever a test leaves
    // running is ended after it, a suite-wide one included.
    int standin = -1;
    void SetUp() override
    {
        Goggles::SetUp();
        standin = start_standin();
    }
    void TearDown() override
    {
        end_standin(standin);
        standin = -1;
        Goggles::TearDown();
    }
    static void TearDownTestSuite() { vg_key_port_close(); }

    EndState session(VgEntry entry, const std::vector<const char*>& args, const std::function<void()>& setup)
    {
        vg_reset();
        vg()->limit_us = vg()->start_us + 60ull * 1000 * 1000;
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        unlink(settings_file().c_str());
        EXPECT_EQ(vg_key_port_open(), 0);
        setup();
        EndState s;
        s.run = vg_run(entry, args.data(), static_cast<int>(args.size()));
        s.settings = read_settings();
        char bytes[16];
        const uint8_t* r = &vg()->vp.regs[PICTURE_REG_BRIGHTNESS];
        std::snprintf(bytes, sizeof bytes, "%02x %02x %02x %02x", r[0], r[1], r[2], r[3]);
        s.picture = bytes;
        s.screen = vg_screen();
        s.osd_on = vg_osd_enabled();
        for (uint64_t i = 0; i < vg()->i2c.total; ++i)
            s.transfers.push_back(transfer_text(*vg_i2c_message(i)));
        EXPECT_EQ(vg()->i2c.opens, vg()->i2c.closes) << "the transport is closed";
        EXPECT_FALSE(process_stopped(standin)) << "the stock service runs";
        return s;
    }
};

