// The programs as they ship, on the virtual goggles: the build's own
// VelmoX-AVMenu and VelmoX-AVMenu-basic (the Linux side of the seam,
// unmodified) with the goggles preloaded (vgoggles/preload.cpp), through
// their main ways. Each row checks the end state the in-process tests
// check: status, standard error, settings file, picture registers, the OSD
// and the stock service. The full program's row also runs in-process on
// the same goggles, and every transfer of the two runs must be the same.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <functional>

#include "app/avmenu.h"
#include "keys/keys.h"
#include "support.h"
#include "video/picture.h"

namespace {

int standin = -1;

// Runs in vg_run's child: the program itself, on this world.
int exec_program(const char* exe, char** argv)
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
int exec_full(int, char** argv) { return exec_program(AVMENU_FULL_EXE, argv); }
int exec_basic(int, char** argv) { return exec_program(AVMENU_BASIC_EXE, argv); }

// A transfer as sent and answered. The read area of a request is the
// program's uninitialised buffer until the driver fills it: left out.
std::string transfer_text(const VgI2cMessage& m)
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

class ShippedPrograms : public Goggles {
protected:
    static void SetUpTestSuite() { standin = start_standin(); }
    static void TearDownTestSuite()
    {
        end_standin(standin);
        standin = -1;
        vg_key_port_close();
    }

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

// The row's text for one program: RESTORE is the full program's restore
// line, VERSION its version.
std::string program_text(const std::string& text, bool full)
{
    std::string out;
    for (size_t at = 0; at < text.size();) {
        if (text.compare(at, 7, "RESTORE") == 0) {
            out.append(full ? "settings: restore 50/50/50/50\n" : "");
            at += 7;
        } else if (text.compare(at, 7, "VERSION") == 0) {
            out.append(full ? "1.3.0" : "1.1.0");
            at += 7;
        } else {
            out.push_back(text[at++]);
        }
    }
    return out;
}

std::string bytes_of(std::array<int, 4> v)
{
    char b[16];
    std::snprintf(b, sizeof b, "%02x %02x %02x %02x", v[0] < 0 ? 0 : picture_byte(0x0890, v[0]),
                  v[1] < 0 ? 0 : picture_byte(0x0891, v[1]), v[2] < 0 ? 0 : picture_byte(0x0892, v[2]),
                  v[3] < 0 ? 0 : picture_byte(0x0893, v[3]));
    return b;
}

TEST_F(ShippedPrograms, MainWays)
{
    const std::string av = "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n";
    const std::string normal = "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n";
    const std::string hdmi_refused = "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
                                     "ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n";
    const auto keys = [](const char* script) { return [script] { vg_keys_script(script, 500, nullptr); }; };
    const struct {
        const char* name;
        std::vector<const char*> args;
        std::function<void()> setup;
        int status;
        std::string err;              // a line with VERSION in it is the program's own version
        std::array<int, 4> full_values, basic_values;  // -1: never written
        const char* settings;         // the full program's file after
        uint64_t failed = 0;          // transfers that failed
    } rows[] = {
        {"BACK at once", {}, keys("BACK"), 0,
         av + "RESTORE" + "avmenu VERSION: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=422 fail=0)\n",
         {50, 50, 50, 50}, {-1, -1, -1, -1}, ""},
        {"values changed, PLAY held", {}, keys("DOWN RIGHT RIGHT PLAY:3100"), 0,
         av + "RESTORE" + "avmenu VERSION: wejscie (writes=339 fail=0)\nexit: PLAY held 3 s\n"
                          "avmenu: wyjscie (writes=427 fail=0)\n",
         {50, 60, 50, 50}, {-1, 60, -1, -1}, "50 60 50 50\n"},
        {"refused in HDMI", {"-S"}, [] { vg_lt8668_set_input(VG_INPUT_HDMI); }, 2, hdmi_refused,
         {-1, -1, -1, -1}, {-1, -1, -1, -1}, ""},
        {"no transport", {}, [] { vg()->i2c.present = false; }, 1, "open /dev/remote_i2c fail\n",
         {-1, -1, -1, -1}, {-1, -1, -1, -1}, ""},
        {"-s from normal view", {"-s"},
         [] {
             vg_lt8668_set_input(VG_INPUT_NORMAL);
             vg_key_hold(KEY_BACK, 15000, 200);
         },
         0,
         normal + normal + "switch: BACK-long, proba 1/3\nmode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
                           "switch: BACK-long, proba 2/3\n" + av + "RESTORE" +
             "avmenu VERSION: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=422 fail=0)\n",
         {50, 50, 50, 50}, {-1, -1, -1, -1}, ""},
        {"transport failing for a while", {},
         [] {
             vg()->i2c.faults.fail_all = true;
             vg()->i2c.faults.from_message = 40;
             vg()->i2c.faults.until_message = 400;
             vg_keys_script("RIGHT WAIT:3000 RIGHT BACK", 500, nullptr);
         },
         0, av + "RESTORE" + "avmenu VERSION: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=425 fail=0)\n",
         {60, 50, 50, 50}, {60, -1, -1, -1}, "60 50 50 50\n", 360},
    };
    for (const auto& row : rows) {
        for (const bool full : {true, false}) {
            SCOPED_TRACE(std::string(row.name) + (full ? ", VelmoX-AVMenu" : ", VelmoX-AVMenu-basic"));
            const EndState s = session(full ? exec_full : exec_basic, row.args, row.setup);
            EXPECT_EQ(s.run.status, row.status) << s.run.err;
            EXPECT_EQ(s.run.err, program_text(row.err, full));
            EXPECT_EQ(vg()->i2c.failed, row.failed);
            EXPECT_EQ(s.settings, full ? row.settings : "");
            EXPECT_EQ(s.picture, bytes_of(full ? row.full_values : row.basic_values));
            if (row.status == 0) {
                EXPECT_EQ(s.screen.find_first_not_of(" \n"), std::string::npos) << "blank at the end\n" << s.screen;
                EXPECT_TRUE(s.osd_on);
            }
            if (full) {
                const EndState in = session(avmenu_main, row.args, row.setup);
                EXPECT_EQ(s.run.status, in.run.status);
                EXPECT_EQ(s.run.err, in.run.err);
                EXPECT_EQ(s.settings, in.settings);
                EXPECT_EQ(s.transfers, in.transfers) << "every transfer as in-process";
            }
        }
    }
}

}  // namespace
