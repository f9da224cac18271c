// The program's start-up gate end to end on the virtual goggles: the
// refusals and their statuses, the switch to AV with "-s", and what the
// wearer sees when the menu comes up and when it goes away.
#include <cstdio>
#include <string>
#include <vector>

#include "app/avmenu.h"
#include "support.h"

namespace {

const std::string REFUSAL =
    "ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n";
const std::string NO_ANALOG = "ODMOWA: po 3 probach nadal nie ma analogu (kamera wylaczona?)\n";
const std::string AV_LINE = "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n";

const char* const MENU_SCREEN =
    "      VELMO X : AV MENU         \n"
    "                                \n"
    "     %BRIGHTNESS        050     \n"
    "      CONTRAST          050     \n"
    "      SATURATION        050     \n"
    "      HUE               050     \n"
    "                                \n"
    "UP:DW NAV LT:RT SET PLAY3:EXIT  ";

std::string blank_screen()
{
    std::string s;
    for (int row = 0; row < 8; ++row)
        s += std::string(32, ' ') + (row < 7 ? "\n" : "");
    return s;
}

class Gate : public Goggles {
protected:
    void TearDown() override
    {
        vg_key_port_close();
        Goggles::TearDown();
    }
    // Nothing past the probe: no cell, no picture control, no ADC, transport closed.
    static void expect_untouched()
    {
        EXPECT_EQ(vg()->vp.cell_writes, 0);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(vg()->vp.picture_writes[i], 0);
        EXPECT_EQ(vg()->adc.maps, 0);
        EXPECT_EQ(vg()->i2c.opens, 1);
        EXPECT_EQ(vg()->i2c.closes, 1);
    }
    void leave_by_back_at(uint64_t ms)
    {
        std::string error;
        ASSERT_GE(vg_keys_script("BACK", ms, &error), 0) << error;
    }
};

TEST_F(Gate, NoTransportDevice)
{
    vg()->i2c.present = false;
    const VgRun r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open /dev/remote_i2c fail\n");
    EXPECT_EQ(vg()->i2c.total, 0u);
    EXPECT_EQ(vg()->adc.maps, 0);
}

TEST_F(Gate, NotInAvWithoutAnExactDashS)
{
    const std::vector<std::vector<const char*>> ARGS = {{}, {"-S"}, {"-sx"}, {"--s"}, {"x", "-s"}};
    for (const auto& args : ARGS) {
        vg_reset();
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        vg_lt8668_set_input(VG_INPUT_HDMI);
        const VgRun r = vg_run(avmenu_main, args.data(), static_cast<int>(args.size()));
        const std::string first = args.empty() ? "(none)" : args[0];
        EXPECT_EQ(r.status, 2) << first;
        EXPECT_EQ(r.err, "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n" + REFUSAL) << first;
        EXPECT_EQ(vg()->i2c.total, 5u) << first;
        EXPECT_EQ(vg()->now_us, vg()->start_us) << first;
        expect_untouched();
    }
}

TEST_F(Gate, SwitchGivesUpWhenTheCameraNeverComes)
{
    for (const bool port : {true, false}) {
        vg_reset();
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        if (port) {
            ASSERT_EQ(vg_key_port_open(), 0);
            vg_lt8668_set_input(VG_INPUT_AV_NO_SIGNAL);
        } else {
            vg_key_port_close();
            vg_lt8668_set_input(VG_INPUT_NONE);
        }
        const VgRun r = run({"-s"});
        EXPECT_EQ(r.status, 2);
        const std::vector<std::string> lines = split_lines(r.err);
        ASSERT_EQ(lines.size(), 9u) << r.err;
        EXPECT_EQ(lines[2], "switch: BACK-long, proba 1/3");
        EXPECT_EQ(lines[4], "switch: BACK-long, proba 2/3");
        EXPECT_EQ(lines[6], "switch: BACK-long, proba 3/3");
        EXPECT_EQ(lines[7].substr(0, 5), "mode:");
        EXPECT_EQ(lines[8] + "\n", NO_ANALOG);
        EXPECT_EQ(vg_elapsed_ms(), 3 * 6500u);
        if (port) {
            EXPECT_EQ(vg()->port.long_presses, 3);
        }
        expect_untouched();
    }
}

TEST_F(Gate, SwitchFromNormalReachesAvAndRunsTheMenu)
{
    ASSERT_EQ(vg_key_port_open(), 0);
    vg_lt8668_set_input(VG_INPUT_NORMAL);
    leave_by_back_at(15000);
    const VgRun r = run({"-s", "ignored", "-x"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err,
              "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n"
              "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\n"
              "switch: BACK-long, proba 1/3\n"
              "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
              "switch: BACK-long, proba 2/3\n" +
                  AV_LINE +
                  "settings: restore 50/50/50/50\n"
                  "avmenu 1.3.0: wejscie (writes=339 fail=0)\n"
                  "avmenu: wyjscie (writes=422 fail=0)\n");
    EXPECT_EQ(vg()->port.long_presses, 2);
    EXPECT_EQ(vg()->i2c.closes, 1);
}

TEST_F(Gate, AdcMissing)
{
    vg()->adc.present = false;
    const VgRun r = run();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, AV_LINE + "keys: ADC open fail\n");
    expect_untouched();
}

TEST_F(Gate, InAvAnyArgumentsRunTheMenuAndLeavingBlanksIt)
{
    leave_by_back_at(1000);
    const VgRun r = run({"--bogus", "-S"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, AV_LINE +
                         "settings: restore 50/50/50/50\n"
                         "avmenu 1.3.0: wejscie (writes=339 fail=0)\n"
                         "avmenu: wyjscie (writes=422 fail=0)\n");
    // Left switched on, with every row blank and committed.
    EXPECT_EQ(vg_screen(), blank_screen());
    EXPECT_TRUE(vg_osd_enabled());
    const VgI2cMessage& last_vproc = *vg_i2c_message(vg()->i2c.total - 1);
    EXPECT_EQ(payload_hex(last_vproc), "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 00 0a 01");
    EXPECT_EQ(vg()->i2c.closes, 1);
}

TEST_F(Gate, MenuIsUpAndSwitchedOnWhenTheLoopStarts)
{
    vg()->limit_us = vg()->now_us + 2000000;  // end the run in the loop, menu showing
    const VgRun r = run();
    EXPECT_EQ(r.status, 125);
    EXPECT_EQ(vg_screen(), MENU_SCREEN);
    EXPECT_TRUE(vg_osd_enabled());

    // Window, then the four controls, then the drawing, its commit and only
    // then the enable bit.
    const auto w = vproc_writes_since(0);
    ASSERT_GE(w.size(), 12u);
    const std::vector<int> window = {0x0A08, 0x0A09, 0x0A0A, 0x0A0B, 0x0A04, 0x0A05, 0x0A06, 0x0A07};
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(w[i].first, window[i]);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(w[8 + i].first, 0x0890 + static_cast<int>(i));
    ASSERT_GE(w.size(), 14u);
    EXPECT_EQ(w[w.size() - 2], std::make_pair(0x0A00, 1));
    EXPECT_EQ(w.back().first, 0x0A01);
    EXPECT_EQ(vg()->vp.commits, 1);
}

TEST_F(Gate, CountersInTheEntryAndExitLinesAreTrue)
{
    // The first verified cell (row 0, column 0) is never read back right.
    vg()->vp.wrong_readbacks = 4;
    leave_by_back_at(1000);
    const VgRun r = run();
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = split_lines(r.err);
    ASSERT_EQ(lines.size(), 4u) << r.err;
    EXPECT_EQ(lines[2], "avmenu 1.3.0: wejscie (writes=338 fail=1)");
    // At exit the cell still marked unverified is blanked with the rest.
    EXPECT_EQ(lines[3], "avmenu: wyjscie (writes=422 fail=1)");
    EXPECT_EQ(vg_screen(), blank_screen());
}

}  // namespace
