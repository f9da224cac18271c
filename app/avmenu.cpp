#include "app/avmenu.h"

#include <cstdint>
#include <cstring>

#include "app/menu.h"
#include "app/variant.h"
#include "i2c/ri2c.h"
#include "keys/keys.h"
#include "os/log.h"
#include "os/os.h"
#include "service/service.h"
#include "video/mode.h"
#include "video/osd.h"
#include "video/picture.h"
#if AVMENU_FULL
#include "app/settings.h"
#include "buzzer/buzzer.h"
#endif

namespace {

constexpr unsigned LOOP_SLEEP_US = 30000;
constexpr int32_t SHORT_PRESS_MAX_MS = 450;
constexpr uint32_t PLAY_EXIT_MS = 3000;
constexpr unsigned BACK_EXIT_PAUSE_US = 30000;
constexpr int SWITCH_TRIES = 3;
constexpr int HOLD_KIND = 1;

constexpr int press_of(int key) { return key + 1; }
constexpr int release_of(int key) { return -(key + 1); }

// The PLAY hold is timed by an explicit state and a wrapping difference, so
// it works at any uptime, also once the millisecond count turns negative.
struct PlayTimer {
    bool timing = false;
    int32_t press_ms = -1;
};

uint32_t ms_since(int32_t then) { return static_cast<uint32_t>(os_now_ms()) - static_cast<uint32_t>(then); }

void change_value(int new_value)
{
    picture_settings.value[selected_item] = new_value;
    picture_set(&avmenu_screen, MENU_ITEMS[selected_item].reg, new_value);
#if AVMENU_FULL
    settings_save();
#endif
    menu_draw(0);
}

// Acts on a short release; returns 1 when it asks the program to leave.
int dispatch_release(int event)
{
    switch (event) {
    case release_of(KEY_UP):
        selected_item = menu_select_up(selected_item);
        menu_draw(0);
        return 0;
    case release_of(KEY_DOWN):
        selected_item = menu_select_down(selected_item);
        menu_draw(0);
        return 0;
    case release_of(KEY_LEFT):
        change_value(menu_value_left(picture_settings.value[selected_item]));
        return 0;
    case release_of(KEY_RIGHT):
        change_value(menu_value_right(picture_settings.value[selected_item]));
        return 0;
    case release_of(KEY_BACK):
        os_usleep(BACK_EXIT_PAUSE_US);
        return 1;
    default:
        return 0;  // keys 4 and 5, and PLAY, have no menu function
    }
}

void run_loop()
{
    PlayTimer play;
#if AVMENU_FULL
    int hold_kind = HOLD_KIND;
#endif
    for (;;) {
        int32_t hold_ms = 0;
        const int event = keys_poll(&hold_ms);

        if (event == press_of(KEY_PLAY)) {
            const int32_t now = os_now_ms();
#if AVMENU_FULL
            buzzer_key_down(&hold_kind, HOLD_KIND);
#endif
            play.press_ms = now;
            play.timing = true;
        } else if (event == release_of(KEY_PLAY)) {
#if AVMENU_FULL
            buzzer_key_up();
#endif
            play.timing = false;
            play.press_ms = -1;
        }

        if (play.timing) {
#if AVMENU_FULL
            buzzer_hold_ramp(&hold_kind, ms_since(play.press_ms));
#endif
            if (ms_since(play.press_ms) >= PLAY_EXIT_MS) {
#if AVMENU_FULL
                buzzer_exit_chirp(&hold_kind);
#endif
                log_line("exit: PLAY held 3 s\n");
                return;
            }
        }

        if (event < 0 && hold_ms <= SHORT_PRESS_MAX_MS && dispatch_release(event))
            return;

        os_usleep(LOOP_SLEEP_US);
    }
}

void shut_down(int fd)
{
    service_resume();
#if AVMENU_FULL
    buzzer_off();
#endif
    for (int row = 0; row < OSD_ROWS; ++row)
        osd_print(&avmenu_screen, row, 0, OSD_BLANK_ROW);
    osd_commit(&avmenu_screen);
    log_line("avmenu: wyjscie (writes=%ld fail=%ld)\n", static_cast<long>(avmenu_screen.writes),
             static_cast<long>(avmenu_screen.fails));
    ri2c_close(fd);
}

}  // namespace

int avmenu_main(int argc, char** argv)
{
    const int fd = ri2c_open();
    if (fd < 0) {
        log_line("open %s fail\n", RI2C_DEVICE);
        return 1;
    }
    if (mode_read(fd) != MODE_AV) {
        // Only an exact "-s" as the first argument asks for the switch.
        const bool switch_asked = argc > 1 && std::strcmp(argv[1], "-s") == 0;
        if (!switch_asked) {
            log_line("ODMOWA: gogle nie sa w trybie AV z zywym analogiem (odpal z -s aby auto-przelaczyc)\n");
            ri2c_close(fd);
            return 2;
        }
        if (mode_switch_to_av(fd, SWITCH_TRIES) == 0) {
            log_line("ODMOWA: po 3 probach nadal nie ma analogu (kamera wylaczona?)\n");
            ri2c_close(fd);
            return 2;
        }
    }
    if (keys_open() < 0) {
        log_line("keys: ADC open fail\n");
        ri2c_close(fd);
        return 1;
    }

    // From here on the stock service is stopped; the watchdog child resumes
    // it should this process die before shut_down().
    service_pause();
#if AVMENU_FULL
    buzzer_init();
#endif
    osd_init(&avmenu_screen, fd);
    osd_set_default_window(&avmenu_screen);
#if AVMENU_FULL
    settings_load(&avmenu_screen);
#endif
    menu_draw(1);
    osd_enable(&avmenu_screen, 1);
    log_line("avmenu %s: wejscie (writes=%ld fail=%ld)\n", AVMENU_VERSION, static_cast<long>(avmenu_screen.writes),
             static_cast<long>(avmenu_screen.fails));

    run_loop();
    shut_down(fd);
    return 0;
}
