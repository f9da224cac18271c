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
#include "preloaded.h"
#include "support.h"
#include "video/picture.h"

namespace {

int exec_full(int, char** argv) { return exec_preloaded(AVMENU_FULL_EXE, argv); }
int exec_basic(int, char** argv) { return exec_preloaded(AVMENU_BASIC_EXE, argv); }

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

class ShippedPrograms : public Preloaded {};

TEST_F(ShippedPrograms, MainWays)
{
    const std::string av = "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n";
    const std::string normal = "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n";
    const std::string hdmi_refused = "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
                                     "ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n";
    const struct {
        WayId way;
        int status;
        std::string err;              // a line with VERSION in it is the program's own version
        std::array<int, 4> full_values, basic_values;  // -1: never written
        const char* settings;         // the full program's file after
        uint64_t failed = 0;          // transfers that failed
    } rows[] = {
        {WAY_BACK, 0,
         av + "RESTORE" + "avmenu VERSION: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=422 fail=0)\n",
         {50, 50, 50, 50}, {-1, -1, -1, -1}, ""},
        {WAY_PLAY, 0,
         av + "RESTORE" + "avmenu VERSION: wejscie (writes=339 fail=0)\nexit: PLAY held 3 s\n"
                          "avmenu: wyjscie (writes=427 fail=0)\n",
         {50, 60, 50, 50}, {-1, 60, -1, -1}, "50 60 50 50\n"},
        {WAY_HDMI, 2, hdmi_refused,
         {-1, -1, -1, -1}, {-1, -1, -1, -1}, ""},
        {WAY_NO_TRANSPORT, 1, "open /dev/remote_i2c fail\n",
         {-1, -1, -1, -1}, {-1, -1, -1, -1}, ""},
        {WAY_SWITCH, 0,
         normal + normal + "switch: BACK-long, proba 1/3\nmode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
                           "switch: BACK-long, proba 2/3\n" + av + "RESTORE" +
             "avmenu VERSION: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=422 fail=0)\n",
         {50, 50, 50, 50}, {-1, -1, -1, -1}, ""},
        {WAY_FAILING, 0, av + "RESTORE" + "avmenu VERSION: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=425 fail=0)\n",
         {60, 50, 50, 50}, {60, -1, -1, -1}, "60 50 50 50\n", 360},
    };
    for (const auto& row : rows) {
        for (const bool full : {true, false}) {
            const Way& way = main_way(row.way);
            SCOPED_TRACE(std::string(way.name) + (full ? ", VelmoX-AVMenu" : ", VelmoX-AVMenu-basic"));
            const EndState s = session(full ? exec_full : exec_basic, way.args, way.setup);
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
                const EndState in = session(avmenu_main, way.args, way.setup);
                EXPECT_EQ(s.run.status, in.run.status);
                EXPECT_EQ(s.run.err, in.run.err);
                EXPECT_EQ(s.settings, in.settings);
                EXPECT_EQ(s.transfers, in.transfers) << "every transfer as in-process";
            }
        }
    }
}

}  // namespace
