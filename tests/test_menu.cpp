// The menu as the wearer sees it on the OSD, the cheap redraws, and the
// adjustment rules.
#include <string>
#include <vector>

#include "app/menu.h"
#include "support.h"

namespace {

using Menu = TransportGoggles;
using Writes = std::vector<std::pair<int, int>>;

TEST_F(Menu, FullDrawThenRedrawsOfWhatChanged)
{
    osd_init(&avmenu_screen, fd);
    picture_settings = {{0, 5, 100, 7}};
    selected_item = 2;
    menu_draw(1);
    EXPECT_EQ(vg_screen(), "      VELMO X : AV MENU         \n"
                           "                                \n"
                           "      BRIGHTNESS        000     \n"
                           "      CONTRAST          005     \n"
                           "     %SATURATION        100     \n"
                           "      HUE               007     \n"
                           "                                \n"
                           "UP:DW NAV LT:RT SET PLAY3:EXIT  ");
    // The verified clear, then only the cells that are not blank, then the commit.
    EXPECT_EQ(avmenu_screen.writes, 256 + 83);
    EXPECT_EQ(payload_hex(last()), "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 00 0a 01");

    // UP moves the marker: two cells; with nothing changed the commit alone
    // goes out; then the changed digits. Two digits that never verify keep
    // their old shadow, so the next redraw with the same values tries both again.
    const struct { int item, contrast; bool fail_reads; int fails; Writes writes; } STEPS[] = {
        {1, 5, false, 0, {{0x0A1C, 0x3B}, {0x0A1D, 5}, {0x0A1E, 0x81}, {0x0A1C, 0x4B}, {0x0A1D, 5}, {0x0A1E, 0x80}, {0x0A00, 1}}},
        {1, 5, false, 0, {{0x0A00, 1}}},
        {1, 10, false, 0, {{0x0A1C, 0x3B}, {0x0A1D, 25}, {0x0A1E, 0x85}, {0x0A1C, 0x3B}, {0x0A1D, 26}, {0x0A1E, 0x84}, {0x0A00, 1}}},
        {1, 65, true, 2, {}},
        {1, 65, false, 2, {{0x0A1C, 0x3B}, {0x0A1D, 25}, {0x0A1E, 0x8A}, {0x0A1C, 0x3B}, {0x0A1D, 26}, {0x0A1E, 0x89}, {0x0A00, 1}}},
    };
    for (const auto& step : STEPS) {
        selected_item = step.item;
        picture_settings.value[1] = step.contrast;
        vg()->i2c.faults.fail_reads = step.fail_reads;
        const uint64_t from = sent();
        menu_draw(0);
        EXPECT_EQ(avmenu_screen.fails, step.fails);
        if (!step.fail_reads) {
            EXPECT_EQ(vproc_writes_since(from), step.writes) << "contrast " << step.contrast;
        }
    }
    EXPECT_EQ(split_lines(vg_screen())[3], "     %CONTRAST          065     ");
    EXPECT_EQ(split_lines(vg_screen())[4], "      SATURATION        100     ");
}

TEST(MenuRules, Adjustments)
{
    static const int LEFT[][2] = {{0, 0}, {2, 0}, {5, 0}, {6, 1}, {10, 5}, {52, 47}, {100, 95}};
    static const int RIGHT[][2] = {{0, 5}, {52, 57}, {94, 99}, {95, 100}, {97, 100}, {100, 100}};
    for (const auto& c : LEFT)
        EXPECT_EQ(menu_value_left(c[0]), c[1]) << "LEFT on " << c[0];
    for (const auto& c : RIGHT)
        EXPECT_EQ(menu_value_right(c[0]), c[1]) << "RIGHT on " << c[0];
    static const int UP[4] = {3, 0, 1, 2}, DOWN[4] = {1, 2, 3, 0};
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(std::make_pair(menu_select_up(i), menu_select_down(i)), std::make_pair(UP[i], DOWN[i])) << i;
}

}  // namespace
