#include "keys/keys.h"
#include "os/os.h"

namespace {

constexpr int SAMPLES_TO_SETTLE = 2;  // repeats after the first sighting

int last_sample = KEY_NONE;
int repeat_count = 0;
int stable_key = KEY_NONE;
int32_t press_ms = 0;

}  // namespace

int keys_poll(int32_t* held_ms)
{
    const int s = keys_sample();
    if (s < 0)
        return 0;  // a rejected conversion is as if this poll had not happened
    if (s != last_sample) {
        last_sample = s;
        repeat_count = 0;
        return 0;
    }
    if (repeat_count < SAMPLES_TO_SETTLE) {
        if (++repeat_count == 1)
            return 0;
    }
    if (s == stable_key)
        return 0;

    const int prev = stable_key;
    stable_key = s;
    if (s == KEY_NONE) {
        if (held_ms != nullptr)
            *held_ms = static_cast<int32_t>(static_cast<uint32_t>(os_now_ms()) - static_cast<uint32_t>(press_ms));
        return -(prev + 1);
    }
    press_ms = os_now_ms();
    if (held_ms != nullptr)
        *held_ms = 0;
    return s + 1;
}
