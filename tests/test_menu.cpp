// The menu as the wearer sees it on the OSD, the cheap redraws, and the
// adjustment rules.
#include <string>
#include <vector>

#include "app/menu.h"
#include "i2c/ri2c.h"
#include "support.h"

namespace {

class Menu : public Goggles {
protected:
    int fd = -1;
    PictureSettings saved_settings {};
    int saved_item = 0;
    void SetUp() override
    {
        Goggles::SetUp();
        saved_settings = picture_settings;
        saved_item = selected_item;
        picture_settings = {{50, 50, 50, 50}};
        selected_item = 0;
        fd = ri2c_open();
        ASSERT_GE(fd, 0);
        osd_init(&avmenu_screen, fd);
    }
    void TearDown() override
    {
        picture_settings = saved_settings;
        selected_item = saved_item;
        ri2c_close(fd);
        Goggles::TearDown();
    }
    static std::string visible(int row)
    {
        char line[33];
        vg_osd_visible_line(row, line);
        return line;
    }
    // The cell data bytes written since a transcript index.
    static std::vector<std::pair<int, int>> cells_since(uint64_t from)
    {
        std::vector<std::pair<int, int>> out;
        int row_byte = -1;
        for (const auto& [reg, value] : vproc_writes_since(from)) {
            if (reg == 0x0A1C)
                row_byte = value;
            else if (reg == 0x0A1E)
                out.emplace_back(row_byte, value);
        }
        return out;
    }
};

const char* const DEFAULT_SCREEN[8] = {
    "      VELMO X : AV MENU         ",
    "                                ",
    "     %BRIGHTNESS        050     ",
    "      CONTRAST          050     ",
    "      SATURATION        050     ",
    "      HUE               050     ",
    "                                ",
    "UP:DW NAV LT:RT SET PLAY3:EXIT  ",
};

TEST_F(Menu, FullDrawShowsTheWholeScreen)
{
    menu_draw(1);
    for (int row = 0; row < 8; ++row)
        EXPECT_EQ(visible(row), DEFAULT_SCREEN[row]) << "row " << row;
    // The verified clear, then only the cells that are not blank.
    EXPECT_EQ(avmenu_screen.writes, 256 + 83);
    EXPECT_EQ(avmenu_screen.fails, 0);
    EXPECT_EQ(vg()->vp.commits, 1);
    const VgI2cMessage& last = *vg_i2c_message(vg()->i2c.total - 1);
    EXPECT_EQ(payload_hex(last), "len=15 02 00 00 00 5b 00 00 00 03 00 00 00 00 0a 01");
    // The marker is glyph 1 of the font.
    EXPECT_EQ(vg()->vp.visible[2 * 32 + 5], 0x81);
}

TEST_F(Menu, ValuesShowAsThreeDigits)
{
    picture_settings = {{0, 5, 100, 7}};
    selected_item = 2;
    menu_draw(1);
    EXPECT_EQ(visible(2), "      BRIGHTNESS        000     ");
    EXPECT_EQ(visible(3), "      CONTRAST          005     ");
    EXPECT_EQ(visible(4), "     %SATURATION        100     ");
    EXPECT_EQ(visible(5), "      HUE               007     ");
}

TEST_F(Menu, SelectionRedrawSendsJustTheTwoMarkerCells)
{
    menu_draw(1);
    selected_item = menu_select_up(selected_item);
    ASSERT_EQ(selected_item, 3);
    const uint64_t from = vg()->i2c.total;
    menu_draw(0);
    EXPECT_EQ(cells_since(from), (std::vector<std::pair<int, int>> {{0x2B, 0x80}, {0x5B, 0x81}}));
    EXPECT_EQ(visible(2), "      BRIGHTNESS        050     ");
    EXPECT_EQ(visible(5), "     %HUE               050     ");
    EXPECT_EQ(avmenu_screen.writes, 256 + 83 + 2);

    // Nothing changed: the commit alone goes out.
    const uint64_t again = vg()->i2c.total;
    menu_draw(0);
    ASSERT_EQ(vg()->i2c.total - again, 1u);
    EXPECT_EQ(vproc_writes_since(again), (std::vector<std::pair<int, int>> {{0x0A00, 1}}));
}

TEST_F(Menu, ValueRedrawSendsChangedDigitsAndRetriesAFailedCell)
{
    menu_draw(1);
    picture_settings.value[1] = 55;
    uint64_t from = vg()->i2c.total;
    menu_draw(0);
    EXPECT_EQ(cells_since(from), (std::vector<std::pair<int, int>> {{0x3B, 0x89}}));

    // The next digit write fails on every attempt: the count shows it and the
    // shadow keeps the old digit.
    picture_settings.value[1] = 60;
    vg()->i2c.faults.fail_reads = true;
    menu_draw(0);
    EXPECT_EQ(avmenu_screen.fails, 2);  // '6' at column 25 and '0' at column 26
    vg()->i2c.faults.fail_reads = false;

    // The redraw with no change of value tries both cells again.
    from = vg()->i2c.total;
    menu_draw(0);
    EXPECT_EQ(cells_since(from), (std::vector<std::pair<int, int>> {{0x3B, 0x8A}, {0x3B, 0x84}}));
    EXPECT_EQ(visible(3), "      CONTRAST          060     ");
    EXPECT_EQ(avmenu_screen.fails, 2);
}

TEST_F(Menu, SingleTransferFaultDuringARedrawIsAbsorbed)
{
    menu_draw(1);
    picture_settings.value[0] = 45;
    // The first cell's write of 0x0A1E is lost; the read-back sees the
    // stale byte and the cell is written again 20 ms later.
    vg()->i2c.faults.fail_nth = vg()->i2c.total + 4;
    const uint64_t t0 = vg()->now_us;
    menu_draw(0);
    EXPECT_EQ(visible(2), "     %BRIGHTNESS        045     ");
    EXPECT_EQ(vg()->now_us - t0, 20000u);
    EXPECT_EQ(avmenu_screen.fails, 0);
}

TEST(MenuRules, Adjustments)
{
    static const int LEFT[][2] = {{0, 0}, {2, 0}, {3, 0}, {5, 0}, {6, 1}, {10, 5}, {52, 47}, {100, 95}};
    for (const auto& c : LEFT)
        EXPECT_EQ(menu_value_left(c[0]), c[1]) << "LEFT on " << c[0];
    static const int RIGHT[][2] = {{0, 5}, {52, 57}, {90, 95}, {94, 99}, {95, 100}, {96, 100}, {97, 100}, {100, 100}};
    for (const auto& c : RIGHT)
        EXPECT_EQ(menu_value_right(c[0]), c[1]) << "RIGHT on " << c[0];
    static const int UP[4] = {3, 0, 1, 2}, DOWN[4] = {1, 2, 3, 0};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(menu_select_up(i), UP[i]);
        EXPECT_EQ(menu_select_down(i), DOWN[i]);
    }
}

}  // namespace
