// The program's start-up gate end to end on the virtual goggles: the
// refusals and their statuses, the switch to AV with "-s", and the menu
// coming up and going away.
#include <cstdio>
#include <string>
#include <vector>

#include "app/avmenu.h"
#include "keys/keys.h"
#include "support.h"

namespace {

const std::string AV_LINE = "mode: LT8668 B7=0x02 AD=0x02 AC=0x01\n";
const std::string HDMI_REFUSED =
    "mode: LT8668 B7=0x02 AD=0x00 AC=0x00\n"
    "ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n";

// Three BACK-long tries, each judged by a read, then the second refusal.
std::string never_comes(const std::string& mode)
{
    std::string s = mode + mode;
    for (const char* n : {"1", "2", "3"})
        s += "switch: BACK-long, proba " + std::string(n) + "/3\n" + mode;
    return s + "ODMOWA: po 3 probach nadal nie ma analogu (kamera wylaczona?)\n";
}

using Gate = Goggles;

// Refusals touch nothing past the probe and leave the stock service alone.
// In AV any arguments run the menu; "-s" from normal view reaches AV on the
// second long BACK. Leaving blanks every row and leaves the OSD on. The
// entry and exit counters are true even when one cell never reads back.
TEST_F(Gate, EveryWayThroughTheGate)
{
    enum Fault { NONE, NO_TRANSPORT, NO_ADC, NO_KEY_PORT, BAD_READBACKS };
    const std::string restore = AV_LINE + "settings: restore 50/50/50/50\n";
    const std::string ran = "avmenu 1.3.0: wejscie (writes=339 fail=0)\navmenu: wyjscie (writes=422 fail=0)\n";
    const struct {
        Fault fault;
        VgInput input;
        std::vector<const char*> args;
        int status;
        uint64_t elapsed_ms;  // of a refusal; for a run, when BACK goes down
        int long_presses;
        std::string err;
    } rows[] = {
        {NO_TRANSPORT, VG_INPUT_AV, {}, 1, 0, 0, "open /dev/remote_i2c fail\n"},
        {NONE, VG_INPUT_HDMI, {}, 2, 0, 0, HDMI_REFUSED},
        {NONE, VG_INPUT_HDMI, {"-S"}, 2, 0, 0, HDMI_REFUSED},
        {NONE, VG_INPUT_HDMI, {"-sx"}, 2, 0, 0, HDMI_REFUSED},
        {NONE, VG_INPUT_HDMI, {"--s"}, 2, 0, 0, HDMI_REFUSED},
        {NONE, VG_INPUT_HDMI, {"x", "-s"}, 2, 0, 0, HDMI_REFUSED},
        {NO_ADC, VG_INPUT_AV, {}, 1, 0, 0, AV_LINE + "keys: ADC open fail\n"},
        {NONE, VG_INPUT_AV_NO_SIGNAL, {"-s"}, 2, 3 * 6500, 3, never_comes("mode: LT8668 B7=0x02 AD=0x02 AC=0x00\n")},
        {NO_KEY_PORT, VG_INPUT_NONE, {"-s"}, 2, 3 * 6500, 0, never_comes("mode: LT8668 B7=0x00 AD=0x00 AC=0x00\n")},
        {NONE, VG_INPUT_AV, {"--bogus", "-S"}, 0, 1000, 0, restore + ran},
        {NONE, VG_INPUT_NORMAL, {"-s", "ignored", "-x"}, 0, 15000, 2,
         "mode: LT8668 B7=0x01 AD=0x00 AC=0x00\nmode: LT8668 B7=0x01 AD=0x00 AC=0x00\n"
         "switch: BACK-long, proba 1/3\nmode: LT8668 B7=0x02 AD=0x00 AC=0x00\nswitch: BACK-long, proba 2/3\n" +
             restore + ran},
        // The first verified cell; at exit it is blanked with the rest.
        {BAD_READBACKS, VG_INPUT_AV, {}, 0, 1000, 0,
         restore + "avmenu 1.3.0: wejscie (writes=338 fail=1)\navmenu: wyjscie (writes=422 fail=1)\n"},
    };
    const int standin = start_standin();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.err.substr(0, 40) + "; first argument " + (row.args.empty() ? "(none)" : row.args[0]));
        vg_reset();
        std::snprintf(vg()->card.root, sizeof vg()->card.root, "%s", card_root.c_str());
        vg_lt8668_set_input(row.input);
        vg_key_port_close();
        ASSERT_EQ(row.fault == NO_KEY_PORT ? 0 : vg_key_port_open(), 0);
        vg()->i2c.present = row.fault != NO_TRANSPORT;
        vg()->adc.present = row.fault != NO_ADC;
        vg()->vp.wrong_readbacks = row.fault == BAD_READBACKS ? 4 : 0;
        vg_key_hold(KEY_BACK, row.elapsed_ms, 200);  // a refusal never reads the keys
        const VgRun r = vg_run(avmenu_main, row.args.data(), static_cast<int>(row.args.size()));
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        EXPECT_EQ(vg()->port.long_presses, row.long_presses);
        EXPECT_FALSE(process_stopped(standin)) << "the stock service runs";
        EXPECT_EQ(vg()->i2c.closes, vg()->i2c.opens);
        if (row.status != 0) {
            EXPECT_EQ(vg_elapsed_ms(), row.elapsed_ms);
            const int* pic = vg()->vp.picture_writes;
            EXPECT_EQ(vg()->vp.cell_writes + pic[0] + pic[1] + pic[2] + pic[3] + vg()->adc.maps, 0);
            continue;
        }
        EXPECT_EQ(vg_screen().find_first_not_of(" \n"), std::string::npos) << vg_screen();
        EXPECT_TRUE(vg_osd_enabled());
        EXPECT_EQ(payload_hex(*vg_i2c_message(vg()->i2c.total - 1)),
                  "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 00 0a 01")
            << "the last transfer is the commit";
    }
    vg_key_port_close();
    end_standin(standin);
}

}  // namespace
