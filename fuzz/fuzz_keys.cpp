// Key events over arbitrary sample streams. Each input byte is one poll: a
// raw word on the key input (from the edges of the voltage windows and the
// ends of the 32-bit range) or a conversion the block refuses. The events
// must follow the debounce rule exactly: a change takes effect on the third
// successful sample in a row that shows it; a press names the new button, a
// release always the button held, with the time it was held; refused
// conversions are as if the poll had not happened.
#include <cstdint>
#include <cstdlib>

#include "keys/keys.h"
#include "os/os.h"
#include "vgoggles/vgoggles.h"

namespace {

struct Sample {
    uint32_t raw;
    int key;
};

// Raw counts and the button each one reads as (1020 counts are 1800 mV).
constexpr Sample SAMPLES[] = {
    {0, KEY_NONE},        {12, KEY_NONE},       {114, KEY_NONE},      {115, KEY_NONE},
    {169, KEY_NONE},      {170, KEY_PLAY},      {283, KEY_PLAY},      {284, KEY_BACK},
    {396, KEY_BACK},      {397, KEY_UP},        {509, KEY_UP},        {510, KEY_LEFT},
    {623, KEY_LEFT},      {624, KEY_RIGHT},     {736, KEY_RIGHT},     {737, KEY_4},
    {849, KEY_4},         {850, KEY_DOWN},      {963, KEY_DOWN},      {964, KEY_5},
    {1076, KEY_5},        {1077, KEY_NONE},     {1078, KEY_NONE},     {2386093, KEY_NONE},
    {0x80000000u, KEY_NONE}, {0xFFFFFFFFu, KEY_NONE},
};
constexpr unsigned SAMPLE_KINDS = sizeof SAMPLES / sizeof SAMPLES[0];

struct Reference {
    int run_key = KEY_NONE;
    int run_length = 0;
    int held = KEY_NONE;
    int32_t press_ms = 0;
};

void poll_once(Reference& ref, uint8_t byte)
{
    VgAdc& adc = vg()->adc;
    const bool refused = byte >= 0xF0;
    const Sample& s = SAMPLES[byte % SAMPLE_KINDS];
    adc.override_raw = true;
    adc.raw_value = s.raw;
    adc.reject_next = refused ? 1 : 0;

    int32_t held_ms = 0x5A5A5A5A;
    const int event = keys_poll(&held_ms);
    const int32_t now = os_now_ms();
    vg_advance(30000);

    int want = 0;
    if (!refused) {
        ref.run_length = s.key == ref.run_key ? ref.run_length + 1 : 1;
        ref.run_key = s.key;
        if (ref.run_length >= 3 && ref.run_key != ref.held) {
            want = ref.run_key == KEY_NONE ? -(ref.held + 1) : ref.run_key + 1;
            if (ref.run_key == KEY_NONE && held_ms != static_cast<int32_t>(static_cast<uint32_t>(now) -
                                                                          static_cast<uint32_t>(ref.press_ms)))
                std::abort();  // wrong hold time
            if (ref.run_key != KEY_NONE) {
                if (held_ms != 0)
                    std::abort();
                ref.press_ms = now;
            }
            ref.held = ref.run_key;
        }
    }
    if (event != want)
        std::abort();
    if (want == 0 && held_ms != 0x5A5A5A5A)
        std::abort();  // nothing may be written without an event
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool opened = false;
    if (!opened) {
        vg()->limit_us = UINT64_MAX;
        vg()->now_us = ((1ull << 32) - 3000) * 1000;  // the millisecond count wraps within the first inputs
        if (keys_open() != 0)
            std::abort();
        opened = true;
    }
    // Three quiet samples bring the debounce to rest with no button held.
    Reference ref;
    for (int i = 0; i < 3; ++i) {
        vg()->adc.override_raw = true;
        vg()->adc.raw_value = 0;
        vg()->adc.reject_next = 0;
        keys_poll(nullptr);
        vg_advance(30000);
    }
    ref.run_length = 3;
    for (size_t i = 0; i < size; ++i)
        poll_once(ref, data[i]);
    return 0;
}
