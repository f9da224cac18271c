#include "app/menu.h"

#include <cstdio>

OsdScreen avmenu_screen;
PictureSettings picture_settings = {{MENU_VALUE_DEFAULT, MENU_VALUE_DEFAULT, MENU_VALUE_DEFAULT, MENU_VALUE_DEFAULT}};
int selected_item = 0;

int menu_draw(int full)
{
    OsdScreen* s = &avmenu_screen;
    if (full) {
        osd_clear(s);
        osd_print(s, MENU_TITLE_ROW, MENU_TITLE_COL, MENU_TITLE);
        osd_print(s, MENU_FOOTER_ROW, 0, MENU_FOOTER);
    }
    for (int i = 0; i < MENU_ITEM_COUNT; ++i) {
        char value_text[8];
        char row_text[OSD_COLS + 1];
        std::snprintf(value_text, sizeof value_text, "%03d", picture_settings.value[i]);
        const char marker = i == selected_item ? MENU_MARKER : ' ';
        std::snprintf(row_text, sizeof row_text, "%c%s%*s%s", marker, MENU_ITEMS[i].label, MENU_ITEMS[i].pad, "",
                      value_text);
        osd_print(s, MENU_FIRST_ITEM_ROW + i, MENU_ITEM_COL, row_text);
    }
    return osd_commit(s);
}
