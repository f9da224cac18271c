// The layout of a recording's timeline picture (avmenu_rec_picture): one
// time axis shared by every lane, from the recorder's start to the end of
// the run rounded up to the axis' step. The tests find lanes and times here.
#pragma once

#include <array>
#include <cstdint>

constexpr int RP_W = 1200;
constexpr int RP_X0 = 140;  // the first column of the time axis; lane names to its left
constexpr int RP_X1 = RP_W - 24;  // the last

constexpr int RP_TEXT_H = 18;  // a line of text drawn twice the font's size
constexpr int RP_HEADER_LINES = 6;

struct RpLane {
    int y0, y1;  // rows y0 .. y1 - 1
};
constexpr RpLane RP_RUN = {RP_HEADER_LINES * RP_TEXT_H + 16, RP_HEADER_LINES * RP_TEXT_H + 50};
constexpr RpLane RP_ADC = {RP_RUN.y1 + 8, RP_RUN.y1 + 248};
constexpr RpLane RP_KEYS = {RP_ADC.y1 + 8, RP_ADC.y1 + 36};
constexpr std::array<RpLane, 4> RP_VALUES = {{
    {RP_KEYS.y1 + 8, RP_KEYS.y1 + 48},
    {RP_KEYS.y1 + 52, RP_KEYS.y1 + 92},
    {RP_KEYS.y1 + 96, RP_KEYS.y1 + 136},
    {RP_KEYS.y1 + 140, RP_KEYS.y1 + 180},
}};
constexpr int RP_EVENT_ROWS = 3;  // failed transfers, OSD retries, OSD busy polls
constexpr RpLane RP_EVENTS = {RP_VALUES[3].y1 + 8, RP_VALUES[3].y1 + 8 + RP_EVENT_ROWS * 18};
constexpr int RP_H = RP_EVENTS.y1 + 44;  // the axis' labels below

constexpr uint32_t RP_ADC_MAX_MV = 2000;

// The ADC lane's row for a reading in millivolts.
constexpr int rp_adc_row(uint32_t mv)
{
    const uint32_t m = mv < RP_ADC_MAX_MV ? mv : RP_ADC_MAX_MV;
    return RP_ADC.y1 - 2 - static_cast<int>(static_cast<double>(m) * (RP_ADC.y1 - RP_ADC.y0 - 4) / RP_ADC_MAX_MV + 0.5);
}

// Colours the tests look for; nothing else in the picture is drawn in them.
struct RpRgb {
    uint8_t r, g, b;
};
constexpr RpRgb RP_CUT = {255, 0, 0};
constexpr RpRgb RP_BACKGROUND = {255, 255, 255};
constexpr RpRgb RP_VALUE_LINE = {20, 90, 40};
constexpr RpRgb RP_ADC_TRACE = {20, 40, 150};
// The event lane's rows, top to bottom: failed transfers, OSD retries, OSD busy polls.
constexpr std::array<RpRgb, RP_EVENT_ROWS> RP_EVENT_COLOURS = {{{170, 20, 20}, {230, 130, 0}, {160, 140, 0}}};
constexpr int RP_EVENT_ROW_H = (RP_EVENTS.y1 - RP_EVENTS.y0) / RP_EVENT_ROWS;
// The held key's bar, by key number (UP, DOWN, LEFT, RIGHT, KEY4, KEY5, PLAY, BACK).
constexpr std::array<RpRgb, 8> RP_KEY_COLOURS = {{
    {40, 110, 220},
    {150, 60, 200},
    {0, 150, 150},
    {230, 120, 0},
    {120, 120, 120},
    {150, 150, 90},
    {30, 160, 60},
    {200, 40, 110},
}};

// The axis: a step of 1, 2 or 5 times a power of ten seconds (or whole
// minutes and hours for long runs), ten steps at most, and the axis' end
// the run's end rounded up to a step.
struct RpAxis {
    double step;
    double end;
};

constexpr RpAxis rp_axis(double last_s)
{
    constexpr double STEPS[] = {0.001, 0.002, 0.005, 0.01, 0.02, 0.05, 0.1,  0.2,  0.5,  1,     2,     5,
                                10,    15,    30,    60,   120,  300,  600,  900,  1800, 3600, 7200, 14400,
                                21600, 43200, 86400};
    double step = STEPS[sizeof STEPS / sizeof STEPS[0] - 1];
    for (double s : STEPS) {
        if (last_s <= s * 10) {
            step = s;
            break;
        }
    }
    long n = static_cast<long>(last_s / step);
    if (n * step < last_s - step * 1e-9)
        ++n;
    return {step, (n < 1 ? 1 : n) * step};
}

// The column of time t (seconds since the recorder's start).
constexpr int rp_column(const RpAxis& a, double t)
{
    const double x = RP_X0 + t / a.end * (RP_X1 - RP_X0);
    return static_cast<int>(x + 0.5);
}
