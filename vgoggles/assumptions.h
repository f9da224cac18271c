// The models' assumptions: where a model chooses a behaviour that what we
// know of the goggles does not fix. vgoggles/ASSUMPTIONS.md says each in
// full; this table lets the replay name the one a disagreement falls on.
#pragma once

#include <cstddef>

#include "app/settings.h"

struct ModelAssumption {
    const char* place;   // a place in the replay's terms; a '*' at its end stands for any rest
    const char* models;  // "the models assume ..."
};

constexpr const char* CARD_TAKES_THE_SAVE =
    "the card has room and no fault: every step of the settings file's save takes, the removal of a short file too";

constexpr ModelAssumption MODEL_ASSUMPTIONS[] = {
    {"video processor register 0a01", "the OSD control register reads 00 at power-up"},
    {"video processor register 0a22",
     "the OSD engine is never busy after a cell write, and the status register's bits 1 to 7 read 0"},
    {"video processor register 0a1e", "a cell read-back gives the byte last written to the selected cell"},
    {"video processor write *", "the video processor acknowledges every write"},
    {"LT8668 write *", "the LT8668 acknowledges every write"},
    {"LT8668 register *",
     "the inputs answer b7 ad ac: none 00 00 00, normal 01 00 00, HDMI 02 00 00, AV 02 02 01, AV without "
     "signal 02 02 00; other registers read 0; a BACK held 2 s steps the input toward AV"},
    {"ADC 038", "the ADC's configuration register reads 0 at power-up and keeps the 6 written to it"},
    {"ADC 018", "the ADC's control register reads back the 6 written, with no status bits, and no conversion "
                "is refused"},
    {"map /dev/mem", "a refused mapping of the ADC page fails with EINVAL"},
    {"open /dev/mem", "a /dev/mem that cannot be opened fails with EACCES"},
    {"open /sys/class/pwm/pwmchip0/pwm7/*", "the channel's files exist only after its export"},
    {"write pwmchip0/export", "channel 7 is not exported at power-up: the first export takes, a second is refused "
                              "with EBUSY"},
    {"write pwm7/*", "an exported channel starts with period 0, duty 0, disabled; a duty above the period is "
                     "refused with EINVAL"},
    // The places of the settings file's save: paths whole, a descriptor's file by its last two elements.
    {"open " AVMENU_SETTINGS_DIR "/settings.tmp", CARD_TAKES_THE_SAVE},
    {"write VelmoX-AVMenu/settings.tmp", CARD_TAKES_THE_SAVE},
    {"fsync VelmoX-AVMenu/settings.tmp", CARD_TAKES_THE_SAVE},
    {"close VelmoX-AVMenu/settings.tmp", CARD_TAKES_THE_SAVE},
    {"rename " AVMENU_SETTINGS_DIR "/settings", CARD_TAKES_THE_SAVE},
    {"unlink " AVMENU_SETTINGS_DIR "/settings.tmp", CARD_TAKES_THE_SAVE},
};

constexpr bool model_assumption_covers(const ModelAssumption& a, const char* place)
{
    const char* p = a.place;
    for (; *p != '\0' && *p != '*'; ++p, ++place) {
        if (*p != *place)
            return false;
    }
    return *p == '*' || *place == '\0';
}

// The first assumption that covers the place (the table lists the narrow
// ones first), or null: a model contradicts what we know of the goggles.
constexpr const ModelAssumption* model_assumption_at(const char* place)
{
    for (const ModelAssumption& a : MODEL_ASSUMPTIONS) {
        if (model_assumption_covers(a, place))
            return &a;
    }
    return nullptr;
}

static_assert(model_assumption_at("video processor register 0a01") == &MODEL_ASSUMPTIONS[0]);
static_assert(model_assumption_at("video processor register 0a01x") == nullptr);
static_assert(model_assumption_at("write pwm7/enable") == &MODEL_ASSUMPTIONS[12]);
static_assert(model_assumption_at("select bus 2 at 5b") == nullptr);
static_assert(model_assumption_at("close VelmoX-AVMenu/settings.tmp") == &MODEL_ASSUMPTIONS[16]);
static_assert(model_assumption_at("close VelmoX-AVMenu/settings") == nullptr);
