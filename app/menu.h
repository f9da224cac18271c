// The menu: four picture values, the selected row, and the screen layout.
#pragma once

#include <array>
#include <cstdint>

#include "video/osd.h"

struct MenuItem {
    const char* label;
    int pad;       // field width of the padding between label and value
    uint16_t reg;  // the picture-control register the value is written to
};

constexpr int MENU_ITEM_COUNT = 4;
constexpr std::array<MenuItem, MENU_ITEM_COUNT> MENU_ITEMS = {{
    {"BRIGHTNESS", 8, 0x0890},
    {"CONTRAST", 10, 0x0891},
    {"SATURATION", 8, 0x0892},
    {"HUE", 15, 0x0893},
}};

constexpr const char* MENU_TITLE = "VELMO X : AV MENU";
constexpr int MENU_TITLE_ROW = 0;
constexpr int MENU_TITLE_COL = 6;
constexpr const char* MENU_FOOTER = "UP:DW NAV LT:RT SET PLAY3:EXIT";
constexpr int MENU_FOOTER_ROW = 7;
constexpr int MENU_FIRST_ITEM_ROW = 2;
constexpr int MENU_ITEM_COL = 5;
constexpr char MENU_MARKER = '%';  // the OSD font shows '%' as the marker glyph
constexpr int MENU_VALUE_DEFAULT = 50;
constexpr int MENU_VALUE_MIN = 0;
constexpr int MENU_VALUE_MAX = 100;
constexpr int MENU_VALUE_STEP = 5;

// Every item row is 22 characters: marker, label, padding, three digits.
constexpr bool menu_rows_line_up()
{
    for (const MenuItem& item : MENU_ITEMS) {
        int len = 0;
        while (item.label[len] != '\0')
            ++len;
        if (1 + len + item.pad + 3 != 22)
            return false;
    }
    return true;
}
static_assert(menu_rows_line_up(), "values must stand in columns 24 to 26");

struct PictureSettings {
    int value[MENU_ITEM_COUNT];  // brightness, contrast, saturation, hue; 0..100
};

extern OsdScreen avmenu_screen;
extern PictureSettings picture_settings;
extern int selected_item;

int menu_draw(int full);

// The adjustment rules for a short release of UP, DOWN, LEFT and RIGHT.
constexpr int menu_select_up(int item) { return (item - 1) & 3; }
constexpr int menu_select_down(int item) { return (item + 1) & 3; }
constexpr int menu_value_left(int v) { return v <= MENU_VALUE_STEP ? MENU_VALUE_MIN : v - MENU_VALUE_STEP; }
constexpr int menu_value_right(int v)
{
    return v >= MENU_VALUE_MAX - MENU_VALUE_STEP ? MENU_VALUE_MAX : v + MENU_VALUE_STEP;
}
