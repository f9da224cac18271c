// The buttons: one ADC conversion per poll, mapped to a button by voltage
// windows, and debounced press and release events with hold times.
#pragma once

#include <array>
#include <cstdint>

constexpr int KEY_UP = 0;
constexpr int KEY_DOWN = 1;
constexpr int KEY_LEFT = 2;
constexpr int KEY_RIGHT = 3;
constexpr int KEY_4 = 4;  // present on the ADC ladder, no function
constexpr int KEY_5 = 5;
constexpr int KEY_PLAY = 6;
constexpr int KEY_BACK = 7;
constexpr int KEY_NONE = 8;

constexpr const char* ADC_DEVICE = "/dev/mem";
constexpr int64_t ADC_PHYS_BASE = 0x60632000;
constexpr unsigned ADC_MAP_SIZE = 4096;
constexpr unsigned ADC_REG_CTRL = 0x018;    // written 6; must read back 6
constexpr unsigned ADC_REG_CONFIG = 0x038;  // kept at 6
constexpr unsigned ADC_REG_TIMING = 0x040;  // written 140
constexpr unsigned ADC_REG_START = 0x800;   // written 6
constexpr unsigned ADC_REG_DATA = 0x810;    // the raw conversion result
constexpr uint32_t ADC_SECOND_READ_RAW = 115;
constexpr unsigned ADC_SETTLE_US = 9000;

struct KeyWindow {
    int key;
    uint32_t centre_mv;  // the window is centre - 100 <= mV < centre + 100
};

constexpr std::array<KeyWindow, 8> KEY_WINDOWS = {{
    {KEY_PLAY, 400},
    {KEY_BACK, 600},
    {KEY_UP, 800},
    {KEY_DOWN, 1600},
    {KEY_RIGHT, 1200},
    {KEY_LEFT, 1000},
    {KEY_4, 1400},
    {KEY_5, 1800},
}};

constexpr uint32_t KEY_MV_MIN = 200;  // below and above: no button, whatever the windows say
constexpr uint32_t KEY_MV_MAX = 1900;
constexpr uint32_t KEY_WINDOW_HALF_MV = 100;

constexpr uint32_t keys_raw_to_mv(uint32_t raw) { return raw * 1800u / 1020u; }

// The button whose window holds mv, the first in KEY_WINDOWS; KEY_NONE if none.
constexpr int keys_key_of_mv(uint32_t mv)
{
    if (mv < KEY_MV_MIN || mv > KEY_MV_MAX)
        return KEY_NONE;
    for (const KeyWindow& w : KEY_WINDOWS) {
        if (mv + KEY_WINDOW_HALF_MV >= w.centre_mv && mv < w.centre_mv + KEY_WINDOW_HALF_MV)
            return w.key;
    }
    return KEY_NONE;
}

// The way a reading takes the key sampler: whether it asks for a second
// conversion, and the button its window gives. Readings that take the same
// way make the program do the same.
constexpr int keys_reading_way(uint32_t raw)
{
    return (raw >= ADC_SECOND_READ_RAW ? KEY_NONE + 1 : 0) + keys_key_of_mv(keys_raw_to_mv(raw));
}

// The debounce: a button (or none) counts once it is seen in three samples
// in a row; a refused conversion is no sample.
constexpr int KEY_SAMPLES_TO_SETTLE = 2;  // repeats after the first sighting

struct KeyDebounce {
    int last_sample;  // KEY_NONE or a key
    int repeats;      // of last_sample, counted up to KEY_SAMPLES_TO_SETTLE and kept there
    int stable;       // the button taken as held, KEY_NONE when none
};
constexpr KeyDebounce KEY_DEBOUNCE_START = {KEY_NONE, 0, KEY_NONE};

// One sample in; true when it makes the held button change (to d->stable).
constexpr bool keys_debounce(KeyDebounce* d, int sample)
{
    if (sample != d->last_sample) {
        d->last_sample = sample;
        d->repeats = 0;
        return false;
    }
    if (d->repeats < KEY_SAMPLES_TO_SETTLE && ++d->repeats < KEY_SAMPLES_TO_SETTLE)
        return false;
    if (sample == d->stable)
        return false;
    d->stable = sample;
    return true;
}

int keys_open();
int keys_sample();
void keys_close();
int keys_ready();
uint32_t keys_last_raw();
uint32_t keys_last_mv();

// One sample per call: +(k+1) on a press of key k, -(k+1) on its release
// (with the hold time in ms through held_ms, which may be null), else 0.
int keys_poll(int32_t* held_ms);
